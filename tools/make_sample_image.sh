#!/usr/bin/env bash
# Writes a fresh unsealed sample image to $1: header pointing at a descriptor at
# offset 8, signature 0x55, zero stamp fields, the name "abc", 2024 bytes.
set -euo pipefail
out=${1:?usage: make_sample_image.sh OUTPUT}
{
  printf '\0\0\0\0\0\0\0\x08'    # header: descriptor_offset 8
  head -c 8 /dev/zero           # descriptor +0..+7
  printf '\x55\0'               # signature
  head -c 6 /dev/zero           # checksum and length, unsealed
  printf 'abc'                  # name, zero-filled to 2000 bytes
  head -c 1997 /dev/zero
} >"$out"
