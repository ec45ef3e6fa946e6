#!/usr/bin/env bash
# Writes a sample firmware binary to PATH, shaped as objcopy -O binary writes a
# small Cortex-M application: its vector table (the initial stack pointer, then
# the reset handler and 14 more handlers' addresses, little-endian, with the
# Thumb bit), code-like pseudo-random bytes, and a tail of zeros, the
# initialised data that is all zero: SIZE bytes in all (default 6000), the
# last quarter zeros. One SIZE always gives the same bytes.
# Usage: make_sample_binary.sh PATH [SIZE]
set -euo pipefail
export LC_ALL=C
fail() { echo "make_sample_binary.sh: $1" >&2; exit 2; }
(($# >= 1 && $# <= 2)) || fail "usage: make_sample_binary.sh PATH [SIZE]"
out=$1
size=${2:-6000}
[[ $size =~ ^[0-9]{1,9}$ ]] || fail "SIZE must be a whole number of bytes: $size"
size=$((10#$size))
table=64  # 16 words
((size >= table)) || fail "SIZE is $size bytes; the vector table alone is $table"
zeros=$((size / 4))
((zeros <= size - table)) || zeros=$((size - table))

# The minimal standard generator, exact in awk's doubles, as in
# make_sample_image.sh: its low 24 bits become 6 hex digits each round.
content() {  # SEED BYTES
  awk -v x="$1" -v n="$2" 'BEGIN {
    for (i = 0; i < n; i += 3) {
      x = x * 48271 % 2147483647
      hex = sprintf("%06X", x % 16777216)
      printf "%s", (n - i < 3 ? substr(hex, 1, 2 * (n - i)) : hex)
      if (i % 96 == 93) printf "\n"
    }
  }' | basenc --base16 -d
}
le32() { printf "\\x$(printf %02x $(($1 & 255)))\\x$(printf %02x $(($1 >> 8 & 255)))\\x$(printf %02x $(($1 >> 16 & 255)))\\x$(printf %02x $(($1 >> 24 & 255)))"; }

{
  le32 0x20002000                 # initial stack pointer: the top of 8 KiB of RAM
  for ((handler = 0; handler < 15; handler++)); do
    le32 $((0x08000841 + 4 * handler))  # handlers past the table, at the slot's start + 2 KiB
  done
  content "$size" $((size - table - zeros))
  head -c "$zeros" /dev/zero
} >"$out"
