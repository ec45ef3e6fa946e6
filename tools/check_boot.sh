#!/usr/bin/env bash
# The boot check on the processors it is for: builds boot/imgseal_check.c for
# Cortex-M0 and Cortex-M3 at -Os and -O2, fails on an undefined symbol, a
# division, static data, a code size above the limit or a stack above the
# bound, prints the cycles per byte (bench/boot_cycles.sh; never a failure),
# then runs the example boot program under qemu-system-arm on a Cortex-M3
# board and a Cortex-M0 board.
# Usage: tools/check_boot.sh IMGSEAL    (the host's imgseal, to seal the example's images)
# The build directory is build/boot.
set -euo pipefail
cd "$(dirname "$0")/.."
imgseal=$(realpath "${1:?usage: check_boot.sh IMGSEAL}")
build=$PWD/build/boot
rm -rf "$build" && mkdir -p "$build"

# Every form on the M0 at -Os, without imgseal_check_result_name, which a link
# with --gc-sections drops where it is unused; the stack bounds, at -Os and at
# -O2, hold on both cores.
text_limit=768 stack_limit_Os=64 stack_limit_O2=96 struct_limit=48
flags=(-mthumb -ffreestanding -std=c99 -Wall -Wextra -Wpedantic -Wconversion -Wsign-conversion
  -Wcast-align -Werror -ffunction-sections -fdata-sections)
public=(imgseal_check_memory imgseal_check_begin imgseal_check_begin_slot imgseal_check_feed
  imgseal_check_needed imgseal_check_end)

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

for cpu in cortex-m0 cortex-m3; do
  for level in -Os -O2; do
    object=$build/imgseal_check-$cpu$level.o
    arm-none-eabi-gcc -mcpu="$cpu" "${flags[@]}" "$level" -fstack-usage -fcallgraph-info=su \
      -c boot/imgseal_check.c -o "$object"
    undefined=$(arm-none-eabi-nm -u "$object")
    if [ -n "$undefined" ]; then
      echo "$cpu $level: the routine calls what it must not: $undefined" >&2
      exit 1
    fi
    if arm-none-eabi-objdump -d "$object" | grep -Eq $'\t[su]div'; then
      echo "$cpu $level: the routine divides" >&2
      exit 1
    fi
    # Nothing static but the names' strings, which only the names' function keeps.
    static=$(arm-none-eabi-size "$object" | awk 'NR == 2 { print $2 + $3 }')
    text=$(linked_text "$cpu" "$object" "${public[@]}")
    if ((static != 0)) || arm-none-eabi-size -A "${object%.o}.elf" | grep -q '^\.rodata'; then
      echo "$cpu $level: the routine has static data" >&2
      exit 1
    fi
    with_names=$(linked_text "$cpu" "$object" "${public[@]}" imgseal_check_result_name)
    stack=$(deepest_stack "${object%.o}.ci")
    bound=$stack_limit_Os
    if [ "$level" = -O2 ]; then bound=$stack_limit_O2; fi
    echo "$cpu $level: no undefined symbols, no division, no static data, deepest call chain" \
      "$stack bytes of stack, text $text bytes (imgseal_check_result_name and its strings:" \
      "$((with_names - text)) more)"
    if [ "$cpu" = cortex-m0 ] && [ "$level" = -Os ] && ((text > text_limit)); then
      echo "$cpu $level: text above $text_limit bytes" >&2
      exit 1
    fi
    if [ "$stack" = dynamic ] || ((stack > bound)); then
      echo "$cpu $level: the stack is not bounded by $bound bytes" >&2
      exit 1
    fi
  done
done
# The struct's size as the target's compiler lays it out: the size of an array of that many bytes.
printf '#include "imgseal_check.h"\nchar struct_size[sizeof(struct imgseal_check)];\n' |
  arm-none-eabi-gcc -mcpu=cortex-m0 "${flags[@]}" -Iboot -x c -c - -o "$build/struct_size.o"
struct_size=$((16#$(arm-none-eabi-nm -S "$build/struct_size.o" | awk '$4 == "struct_size" { print $2 }')))
echo "struct imgseal_check: $struct_size bytes"
((struct_size <= struct_limit)) || { echo "struct imgseal_check is above $struct_limit bytes" >&2; exit 1; }

# Cycles per byte on both cores, from a trace under qemu: figures, not limits.
bench/boot_cycles.sh "$imgseal"

run() {  # MACHINE ELF: runs the program under QEMU, whose semihosting output goes to
  # standard error; prints it on standard output and returns the status
  timeout 60 qemu-system-arm -M "$1" -nographic -monitor none -serial none \
    -semihosting-config enable=on,target=native -kernel "$2" 2>&1
}

# The example, built for each board's core; a hung guest is stopped by timeout.
for board in microbit=cortex-m0 mps2-an385=cortex-m3; do
  machine=${board%%=*} cpu=${board#*=}
  make -s -C boot/example CPU="$cpu" OUT="$build/example-$cpu" IMGSEAL="$imgseal"
  echo "== the example on $machine ($cpu)"
  status=0
  run "$machine" "$build/example-$cpu/example.elf" || status=$?
  if ((status != 0)); then
    echo "the example on $machine ended with status $status" >&2
    exit 1
  fi
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
