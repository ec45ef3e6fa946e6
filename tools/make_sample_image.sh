#!/usr/bin/env bash
# Writes a fresh unsealed image to PATH: header pointing at a descriptor at
# offset 8, signature 0x55, zero stamp fields, the name NAME (default "abc") and
# SIZE bytes in all (default 2024, which leaves no room after the name field).
# Whatever follows the name field is pseudo-random, seeded by the name, so that
# one NAME and SIZE always give the same bytes and other names other images.
# The defaults give the sample that the README seals: Length = 2024, Checksum DEAC.
set -euo pipefail
export LC_ALL=C  # lengths in bytes, not characters
fail() { echo "make_sample_image.sh: $1" >&2; exit 2; }
(($# >= 1 && $# <= 3)) || fail "usage: make_sample_image.sh PATH [NAME [SIZE]]"
out=$1
name=${2-abc}
size=${3:-2024}

name_field=2000
fixed=$((8 + 16 + name_field))  # header, descriptor, name field
((${#name} <= name_field)) || fail "NAME is ${#name} bytes; the name field holds $name_field"
[[ $size =~ ^[0-9]{1,12}$ ]] || fail "SIZE must be a whole number of bytes: $size"
size=$((10#$size))
((size >= fixed)) || fail "SIZE is $size bytes; an image is at least $fixed"

# awk's own rand() differs between awks: this is the minimal standard generator,
# exact in awk's doubles, whose low 24 bits become 6 hex digits each round.
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
crc=$(printf '%s' "$name" | cksum)
seed=$((${crc%% *} % 2147483646 + 1))

{
  printf '\0\0\0\0\0\0\0\x08'    # header: descriptor_offset 8
  head -c 8 /dev/zero           # descriptor +0..+7
  printf '\x55\0'               # signature
  head -c 6 /dev/zero           # checksum and length, unsealed
  printf '%s' "$name"           # name, zero-filled to its field's end
  head -c $((name_field - ${#name})) /dev/zero
  content "$seed" $((size - fixed))
} >"$out"
