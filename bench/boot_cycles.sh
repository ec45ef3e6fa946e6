#!/usr/bin/env bash
# Cycles per byte of the boot check on a Cortex-M0: runs boot_cycles.c under
# qemu-system-arm one instruction at a time with every executed instruction
# logged, weighs each instruction inside the routine's own code with the
# Cortex-M0 timings (zero wait states), and prints instructions and cycles per
# byte for the memory form and for the stream form fed 256-byte pieces
# straight from flash, as (64 KiB image - 4 KiB image) / the extra bytes, so
# that set-up costs drop out, for images without a CRC and images that carry
# one, with the routine built with each CRC table (IMGSEAL_CHECK_CRC 256 and
# 16) and without the CRC (0); on a Cortex-M3 (mps2-an385), instructions per
# byte, with the 256-entry table. Needs gcc-arm-none-eabi and qemu-system-arm
# (tools/install_packages.sh).
# Usage: bench/boot_cycles.sh IMGSEAL [BOOT_DIR]
#   IMGSEAL   the host's imgseal, which seals the images; imgseal-pack beside
#             it packs the two that carry a CRC
#   BOOT_DIR  where imgseal_check.c and .h are (default boot/): an earlier
#             version's copy there measures that version
# Work files go to build/boot-cycles.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
root=$(dirname "$here")
usage="usage: boot_cycles.sh IMGSEAL [BOOT_DIR]"
imgseal=$(realpath "${1:?$usage}")
boot=$(realpath "${2:-$root/boot}")
build=$root/build/boot-cycles
rm -rf "$build" && mkdir -p "$build"

small=4096 large=65536
"$root/tools/make_sample_image.sh" "$build/small.img" cycles "$small"
"$root/tools/make_sample_image.sh" "$build/large.img" cycles "$large"
"$imgseal" "$build/small.img" >/dev/null
"$imgseal" "$build/large.img" >/dev/null
# Packed from binaries that make images of the same sizes (the binary starts at 2048).
for pair in small=$small large=$large; do
  "$root/tools/make_sample_binary.sh" "$build/${pair%%=*}.bin" $((${pair#*=} - 2048))
  "$(dirname "$imgseal")/imgseal-pack" --name=cycles "$build/${pair%%=*}.bin" \
    "$build/${pair%%=*}-crc.img"
  "$imgseal" "$build/${pair%%=*}-crc.img" >/dev/null
done

# The Cortex-M0 timings (its Technical Reference Manual, zero wait states):
# 1 cycle for data processing and MULS (the single-cycle multiplier), 2 for a
# single load or store, 1+N for LDM, STM, PUSH and POP, 4+N for POP with PC,
# 3 for a taken branch and 1 for one not taken, 4 for BL, 3 for BX and BLX,
# and for an instruction that writes PC. Whether a branch was taken comes from
# the next address in the trace.
weigh() {  # DISASSEMBLY TRACE MARK: prints "instructions cycles" per part of the trace
  awk -v mark="$3" '
    FNR == NR {
      if (!match($0, /^ *[0-9a-f]+:\t/)) next
      split($0, f, "\t")
      gsub(/[ :]/, "", f[1])
      address = hex(f[1])
      raw = f[2]; gsub(/ +$/, "", raw)
      size[address] = 2 * split(raw, halves, " ")
      mnemonic = f[3]; sub(/\.[nw]$/, "", mnemonic)
      operands = f[4]
      registers = 0
      if (match(operands, /\{[^}]*\}/)) registers = split(substr(operands, RSTART, RLENGTH), r, ",")
      if (mnemonic ~ /^b(eq|ne|cs|cc|hs|lo|mi|pl|vs|vc|hi|ls|ge|lt|gt|le)$/) cost[address] = "branch"
      else if (mnemonic == "b" || mnemonic == "bx" || mnemonic == "blx") cost[address] = 3
      else if (mnemonic == "bl") cost[address] = 4
      else if (mnemonic == "pop" && operands ~ /pc/) cost[address] = 4 + registers
      else if (mnemonic ~ /^(push|pop|ldm|stm)/) cost[address] = 1 + registers
      else if (mnemonic ~ /^(ldr|str)/) cost[address] = 2
      else if (operands ~ /^pc,/) cost[address] = 3
      else cost[address] = 1
      next
    }
    function hex(text,   i, value) {
      value = 0
      for (i = 1; i <= length(text); i++) value = value * 16 + index("0123456789abcdef", substr(text, i, 1)) - 1
      return value
    }
    BEGIN { mark = hex(mark) }
    # The trace: one line per executed instruction, its address the second
    # field in brackets; a call to the mark function starts the next part.
    /^Trace / {
      match($0, /\[[0-9a-f]+\/[0-9a-f]+\//)
      split(substr($0, RSTART + 1, RLENGTH - 2), field, "/")
      pc = hex(field[2])
      if (previous in cost) {
        weight = cost[previous]
        if (weight == "branch") weight = pc == previous + size[previous] ? 1 : 3
        instructions[part] += 1; cycles[part] += weight
      }
      previous = pc
      if (pc == mark) part++
    }
    END { for (i = 1; i < part; i++) print instructions[i] + 0, cycles[i] + 0 }
  ' "$1" "$2"
}

# MACHINE CPU CRC: builds the routine at -Os for CPU with IMGSEAL_CHECK_CRC set
# to CRC, runs the program and prints "instructions cycles" for each of its
# eight checks.
measure() {
  local machine=$1 cpu=$2 out=$build/$2-$3 range start size mark
  mkdir -p "$out"
  local flags=(-mcpu="$cpu" -mthumb -ffreestanding -std=c99 -Os -Wall -Wextra -Werror
    -DIMGSEAL_CHECK_CRC="$3")
  arm-none-eabi-gcc "${flags[@]}" -c "$boot/imgseal_check.c" -o "$out/imgseal_check.o"
  arm-none-eabi-gcc "${flags[@]}" -I"$boot" -I"$root/boot/example" -DSMALL_SIZE="$small"u \
    -DLARGE_SIZE="$large"u -Wa,-I,"$build" -nostdlib \
    -T "$root/boot/example/flash.ld" -Wl,-Map="$out/map" -o "$out/cycles.elf" \
    "$root/boot/example/vectors.c" "$root/boot/example/semihosting.c" "$here/boot_cycles.c" \
    "$here/boot_cycles_images.S" "$out/imgseal_check.o"
  # The routine's own code: its object's .text, from the link map.
  range=$(awk '$1 == ".text" && $4 ~ /imgseal_check\.o$/ { print $2, $3 }' "$out/map")
  read -r start size <<<"$range"
  arm-none-eabi-objdump -d --start-address=$((start)) --stop-address=$((start + size)) \
    "$out/cycles.elf" >"$out/routine.dis"
  local status=0
  timeout 300 qemu-system-arm -M "$machine" -nographic -monitor none -serial none \
    -semihosting-config enable=on,target=native -kernel "$out/cycles.elf" \
    -singlestep -d exec,nochain -D "$out/trace" >"$out/output" 2>&1 || status=$?
  if ((status != 0)); then
    echo "boot_cycles.sh: the program on $machine ended with status $status" >&2
    cat "$out/output" >&2
    exit 1
  fi
  # The mark function's address, without the Thumb bit.
  mark=$(arm-none-eabi-nm "$out/cycles.elf" | awk '$3 == "boot_cycles_mark" { print $1 }')
  mark=$(printf '%x' $((16#$mark & ~1)))
  weigh "$out/routine.dis" "$out/trace" "$mark"
  rm -f "$out/trace"
}

per_byte() {  # LABEL UNIT... < eight lines of "instructions cycles"
  awk -v extra=$((large - small)) -v what="$*" '
    { i[NR] = $1; c[NR] = $2 }
    END {
      split("memory form, no CRC|stream form, 256-byte pieces, no CRC|" \
            "memory form, with a CRC|stream form, 256-byte pieces, with a CRC", form, "|")
      for (k = 1; k <= 4; k++) {
        small = 2 * k - 1; large = 2 * k
        line = sprintf("%s %s: %.2f instructions", what, form[k], (i[large] - i[small]) / extra)
        if (what ~ /cortex-m0/) line = line sprintf(", %.2f cycles", (c[large] - c[small]) / extra)
        print line " per byte"
      }
    }'
}

# All measured before anything is printed: a run that fails prints no figure.
m0_256=$(measure microbit cortex-m0 256)
m0_16=$(measure microbit cortex-m0 16)
m0_0=$(measure microbit cortex-m0 0)
m3=$(measure mps2-an385 cortex-m3 256)
echo "boot check per image byte, from a 4 KiB and a 64 KiB image in flash, routine at -Os:"
per_byte "cortex-m0, 256-entry table," <<<"$m0_256"
per_byte "cortex-m0, 16-entry table," <<<"$m0_16"
per_byte "cortex-m0, no CRC (IMGSEAL_CHECK_CRC 0)," <<<"$m0_0" | grep -v 'with a CRC'
per_byte "cortex-m3, 256-entry table," <<<"$m3"
