#!/usr/bin/env bash
# The boot check on the processors it is for: builds boot/imgseal_check.c for
# Cortex-M0 and Cortex-M3 at -Os and -O2, with each CRC table and without the
# CRC (IMGSEAL_CHECK_CRC 256, 16 and 0), fails on an undefined symbol, a
# division or a multiplication, static data but the CRC's table, a code size
# above the limit or a stack above the bound, prints the cycles per byte
# (bench/boot_cycles.sh) and fails where those of the Cortex-M0 pass their
# limits, then runs the example boot program under qemu-system-arm on a
# Cortex-M3 board and a Cortex-M0 board.
# Usage: tools/check_boot.sh IMGSEAL    (the host's imgseal, to seal the example's images)
# The build directory is build/boot.
set -euo pipefail
cd "$(dirname "$0")/.."
imgseal=$(realpath "${1:?usage: check_boot.sh IMGSEAL}")
build=$PWD/build/boot
rm -rf "$build" && mkdir -p "$build"

# Every form on the M0 at -Os, without imgseal_check_result_name, which a link
# with --gc-sections drops where it is unused: without the CRC, the size of
# 1.2.0's (766 bytes); with it, the size is printed beside the table's. The
# stack bounds, at -Os and at -O2, hold on both cores; with the CRC, at most
# 80 bytes at -Os (imgseal_check(3), RESOURCES).
text_limit=766 stack_limit_Os=64 crc_stack_limit_Os=80 stack_limit_O2=96 struct_limit=48
flags=(-mthumb -ffreestanding -std=c99 -Wall -Wextra -Wpedantic -Wconversion -Wsign-conversion
  -Wcast-align -Werror -ffunction-sections -fdata-sections)
public=(imgseal_check_memory imgseal_check_begin imgseal_check_begin_slot imgseal_check_feed
  imgseal_check_needed imgseal_check_end)
crc_public=(imgseal_check_memory_crc imgseal_check_require_crc)

# The deepest call chain in bytes, from the call graph that -fcallgraph-info=su
# writes with each function's -fstack-usage figure; "dynamic" when a
# function's frame is not of a fixed size.
deepest_stack() {
  awk '
    /^node:/ {
      match($0, /title: "[^"]*"/); name = substr($0, RSTART + 8, RLENGTH - 9)
      match($0, /[0-9]+ bytes \([a-z,]*\)/); split(substr($0, RSTART, RLENGTH), f, " ")
      frame[name] = f[1]; if (f[3] != "(static)") dynamic = 1
    }
    /^edge:/ {
      match($0, /sourcename: "[^"]*"/); from = substr($0, RSTART + 13, RLENGTH - 14)
      match($0, /targetname: "[^"]*"/); to = substr($0, RSTART + 13, RLENGTH - 14)
      callees[from] = callees[from] " " to
    }
    function depth(name,   n, list, i, d, most) {
      most = 0; n = split(callees[name], list, " ")
      for (i = 1; i <= n; i++) { d = depth(list[i]); if (d > most) most = d }
      return frame[name] + most
    }
    END {
      if (dynamic) { print "dynamic"; exit }
      for (name in frame) { d = depth(name); if (d > most) most = d }
      print most + 0
    }' "$1"
}

# The code and constants that a link keeps: of the functions named, and of
# what they call.
linked_text() {  # CPU OBJECT FUNCTION...
  local cpu=$1 object=$2 roots=() name
  shift 2
  for name in "$@"; do roots+=(-Wl,--require-defined="$name"); done
  arm-none-eabi-gcc -mcpu="$cpu" -mthumb -nostdlib -Wl,--gc-sections -Wl,--entry=0 "${roots[@]}" \
    "$object" -o "${object%.o}.elf"
  arm-none-eabi-size "${object%.o}.elf" | awk 'NR == 2 { print $1 }'
}

declare -A m0_text=()
for crc in 0 256 16; do
  table=$((crc * 4))
  roots=("${public[@]}")
  if ((crc != 0)); then roots+=("${crc_public[@]}"); fi
  for cpu in cortex-m0 cortex-m3; do
    for level in -Os -O2; do
      name="$cpu $level, IMGSEAL_CHECK_CRC $crc"
      object=$build/imgseal_check-$cpu$level-crc$crc.o
      arm-none-eabi-gcc -mcpu="$cpu" "${flags[@]}" "$level" -DIMGSEAL_CHECK_CRC="$crc" \
        -fstack-usage -fcallgraph-info=su -c boot/imgseal_check.c -o "$object"
      undefined=$(arm-none-eabi-nm -u "$object")
      if [ -n "$undefined" ]; then
        echo "$name: the routine calls what it must not: $undefined" >&2
        exit 1
      fi
      if arm-none-eabi-objdump -d "$object" | grep -Eq $'\t([su]div|mul)'; then
        echo "$name: the routine divides or multiplies" >&2
        exit 1
      fi
      # Nothing static but the names' strings, which only the names' function
      # keeps, and the CRC's table, in flash.
      static=$(arm-none-eabi-size "$object" | awk 'NR == 2 { print $2 + $3 }')
      text=$(linked_text "$cpu" "$object" "${roots[@]}")
      rodata=$(arm-none-eabi-size -A "${object%.o}.elf" | awk '$1 == ".rodata" { print $2 }')
      if ((static != 0 || ${rodata:-0} != table)); then
        echo "$name: the routine has static data (${rodata:-0} bytes of constants, $table wanted)" >&2
        exit 1
      fi
      with_names=$(linked_text "$cpu" "$object" "${roots[@]}" imgseal_check_result_name)
      stack=$(deepest_stack "${object%.o}.ci")
      bound=$stack_limit_Os
      if ((crc != 0)); then bound=$crc_stack_limit_Os; fi
      if [ "$level" = -O2 ]; then bound=$stack_limit_O2; fi
      echo "$name: no undefined symbols, no division or multiplication, deepest call chain" \
        "$stack bytes of stack, text $text bytes, the table's $table among them" \
        "(imgseal_check_result_name and its strings: $((with_names - text)) more)"
      if [ "$cpu" = cortex-m0 ] && [ "$level" = -Os ]; then
        m0_text[$crc]=$text
        if ((crc != 0)); then
          echo "$name: $((text - m0_text[0])) bytes more than without the CRC, $table of them the table's"
        fi
        if ((crc == 0 && text > text_limit)); then
          echo "$name: text above $text_limit bytes" >&2
          exit 1
        fi
      fi
      if [ "$stack" = dynamic ] || ((stack > bound)); then
        echo "$name: the stack is not bounded by $bound bytes" >&2
        exit 1
      fi
    done
  done
done
# The struct's size as the target's compiler lays it out, in every build: the
# size of an array of that many bytes.
struct_sizes=()
for crc in 0 256 16; do
  printf '#include "imgseal_check.h"\nchar struct_size[sizeof(struct imgseal_check)];\n' |
    arm-none-eabi-gcc -mcpu=cortex-m0 "${flags[@]}" -DIMGSEAL_CHECK_CRC="$crc" -Iboot -x c -c - \
      -o "$build/struct_size.o"
  struct_sizes+=($((16#$(arm-none-eabi-nm -S "$build/struct_size.o" |
    awk '$4 == "struct_size" { print $2 }'))))
done
struct_size=${struct_sizes[0]}
echo "struct imgseal_check: ${struct_sizes[*]} bytes with IMGSEAL_CHECK_CRC 0, 256 and 16"
((struct_size <= struct_limit)) || { echo "struct imgseal_check is above $struct_limit bytes" >&2; exit 1; }
if [ "${struct_sizes[1]}" != "$struct_size" ] || [ "${struct_sizes[2]}" != "$struct_size" ]; then
  echo "struct imgseal_check's size differs between builds" >&2
  exit 1
fi
# A caller that requires a CRC does not link with a build without it.
printf '#include "imgseal_check.h"\nint main(void) { return imgseal_check_memory_crc((void *)0, 0, (void *)0); }\n' |
  arm-none-eabi-gcc -mcpu=cortex-m0 "${flags[@]}" -Iboot -x c -c - -o "$build/requires_crc.o"
if arm-none-eabi-gcc -mcpu=cortex-m0 -mthumb -nostdlib -Wl,--entry=main "$build/requires_crc.o" \
  "$build/imgseal_check-cortex-m0-Os-crc0.o" -o "$build/requires_crc.elf" 2>/dev/null; then
  echo "a caller of imgseal_check_memory_crc links with the build without the CRC" >&2
  exit 1
fi

# Cycles per byte on both cores, from a trace under qemu; on the Cortex-M0,
# the CRC's within its limits (imgseal_check(3), RESOURCES): with the
# 256-entry table, 12.5 for the memory form and 13.5 for the stream form in
# 256-byte pieces; with the 16-entry table, 20 and 21.
bench/boot_cycles.sh "$imgseal" | tee "$build/cycles"
awk '
  /^cortex-m0, 256-entry table, memory form, with a CRC/ { limit = 12.5 }
  /^cortex-m0, 256-entry table, stream form, .* with a CRC/ { limit = 13.5 }
  /^cortex-m0, 16-entry table, memory form, with a CRC/ { limit = 20 }
  /^cortex-m0, 16-entry table, stream form, .* with a CRC/ { limit = 21 }
  limit {
    match($0, /[0-9.]+ cycles/); cycles = substr($0, RSTART, RLENGTH - 7)
    if (cycles + 0 > limit) { print "above " limit " cycles a byte: " $0 > "/dev/stderr"; failed = 1 }
    checked++; limit = 0
  }
  END { exit failed || checked != 4 }' "$build/cycles"

run() {  # MACHINE ELF: runs the program under QEMU, whose semihosting output goes to
  # standard error; prints it on standard output and returns the status
  timeout 60 qemu-system-arm -M "$1" -nographic -monitor none -serial none \
    -semihosting-config enable=on,target=native -kernel "$2" 2>&1
}

# The example, built for each board's core, with each CRC table and without
# the CRC, where the images with erased zeros pass: the seal alone cannot
# see them. A hung guest is stopped by timeout.
for board in microbit=cortex-m0 mps2-an385=cortex-m3; do
  machine=${board%%=*} cpu=${board#*=}
  for crc in 256 16 0; do
    out=$build/example-$cpu-crc$crc
    make -s -C boot/example CPU="$cpu" OUT="$out" IMGSEAL="$imgseal" \
      EXTRA_CFLAGS=-DIMGSEAL_CHECK_CRC="$crc"
    echo "== the example on $machine ($cpu), IMGSEAL_CHECK_CRC $crc"
    status=0
    run "$machine" "$out/example.elf" || status=$?
    if ((status != 0)); then
      echo "the example on $machine, IMGSEAL_CHECK_CRC $crc, ended with status $status" >&2
      exit 1
    fi
  done
done

# The odd-address runs prove something only if the M0 faults on an unaligned
# word load, and the M3 once the example has set its trap: the example built
# to make one must fault there (status 2), and not on the M3 before the trap
# (probe 1: before it, 2: after).
for board in microbit=cortex-m0=1=2 mps2-an385=cortex-m3=1=0 mps2-an385=cortex-m3=2=2; do
  IFS== read -r machine cpu probe want <<<"$board"
  out=$build/probe-$cpu-$probe
  make -s -C boot/example CPU="$cpu" OUT="$out" IMGSEAL="$imgseal" \
    EXTRA_CFLAGS=-DUNALIGNED_WORD_LOAD="$probe"
  status=0
  run "$machine" "$out/example.elf" >"$out/output" || status=$?
  echo "an unaligned word load on $machine: status $status ($(grep -m 1 unaligned "$out/output"))"
  if ((status != want)); then
    echo "expected status $want from the unaligned word load on $machine" >&2
    exit 1
  fi
done
