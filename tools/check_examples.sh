#!/usr/bin/env bash
# Runs the README's examples with the built tools in a temporary directory:
# its first command's packing and sealing of a sample binary, whose CRC the
# manuals' one-line check in Python prints, and its steps from the record to
# the read-back on that sample, whose lines must be those it shows; compiles
# its C lines against boot/imgseal_check.h; finds its CMake lines in
# examples/firmware, which check_firmware.sh builds; and runs the Makefile it
# points to, docs/examples/Makefile: make, make seals.txt, make again, make
# after a change.
# Usage: tools/check_examples.sh IMGSEAL IMGSEAL_VERIFY IMGSEAL_PACK
set -euo pipefail
cd "$(dirname "$0")/.."
usage="usage: check_examples.sh IMGSEAL IMGSEAL_VERIFY IMGSEAL_PACK"
imgseal=$(realpath "${1:?$usage}")
verify=$(realpath "${2:?$usage}")
pack=$(realpath "${3:?$usage}")
export LC_ALL=C

check() {  # DESCRIPTION COMMAND...: stops with DESCRIPTION unless COMMAND succeeds
  local what=$1
  shift
  "$@" || { echo "FAILED: README example: $what" >&2; exit 1; }
}
check "the README points to docs/examples/Makefile" grep -q '(docs/examples/Makefile)' README.md

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# The first command's steps after the build, run with the built tools in
# build/tool/, and the lines that the README shows under it.
first=$(grep -m 1 '^    tools/install_packages.sh cmake g++ make nettle-dev libdeflate-dev && ' README.md)
build_step='cmake --build build/tool -j "$(nproc)" && '
steps=${first#*"$build_step"}
check "the README's first command builds, then packs and seals" test "$steps" != "$first"
shown() { awk '/^The packer.s line, then the seal.s:$/ { f = 1; next }
  f && /^    / { print substr($0, 5); seen = 1; next } f && seen { exit }' README.md; }
mkdir -p "$work/first/build/tool"
ln -s "$PWD/tools" "$work/first/tools"
ln -s "$pack" "$work/first/build/tool/imgseal-pack"
ln -s "$imgseal" "$work/first/build/tool/imgseal"
check "the README's first command packs and seals the sample" \
  bash -c "cd '$work/first' && $steps" >"$work/first.out"
check "and prints the lines the README shows" cmp -s <(shown) "$work/first.out"
check "whose image imgseal-verify finds sealed, with its CRC" "$verify" -q --require-crc \
  "$work/first/build/app.img"
# Each manual's one-line CRC check, as the page shows it, on that image.
packed_crc=$(sed -n 's/.*, CRC-32 \([0-9A-F]*\)$/\1/p' "$work/first.out")
check "the packer printed a CRC" test -n "$packed_crc"
for page in docs/imgseal-pack.1 docs/imgseal-verify.1; do
  one_line=$(grep -m 1 "^python3 \\\\-c 'import zlib" "$page" | sed 's/\\-/-/g; s/ \\fIimage\\fP$//')
  check "$page's one-line CRC check prints the packed image's CRC" \
    test "$(bash -c "$one_line \"\$0\"" "$work/first/build/app.img")" = "$packed_crc"
done

# The steps from the record to the read-back, on that sample: their lines,
# and status 1 from the read-back with an erased page.
block() {  # PARAGRAPH: the first indented block after the paragraph that starts so
  awk -v start="$1" 'index($0, start) == 1 { f = 1; next }
    f && /^    / { print substr($0, 5); seen = 1; next } f && seen { exit }' README.md
}
ln -s "$verify" "$work/first/build/tool/imgseal-verify"
status=0
flow=$(block 'Steps 3 to 5 on the sample')
(cd "$work/first" && bash -c "$flow") >"$work/flow.out" 2>&1 || status=$?
check "the README's steps 3 to 5 print the lines it shows" \
  cmp -s <(block 'Its lines; the last command ends with status 1:') "$work/flow.out"
check "and the last ends with status 1" test "$status" = 1

# The C lines, compiled as a boot loader's function; the CMake lines, the
# firmware example's.
c_lines() { sed -n '/^```c$/,/^```$/{//!p}' README.md; }
check "the README's C lines compile" gcc -std=c99 -Wall -Wextra -Werror -fsyntax-only -Iboot -x c - \
  <<<"$(printf '#include "imgseal_check.h"\n#define SLOT ((const void *)0x10000)\n'
    printf '#define SLOT_SIZE 0x10000u\nvoid refuse_to_boot(void);\nvoid boot(void)\n{\n'
    c_lines; printf '}\n')"
check "the README shows C lines" test -n "$(c_lines)"
while IFS= read -r line; do
  check "examples/firmware/CMakeLists.txt has the README's line: $line" \
    grep -qxF "$line" <(sed 's/^ *//' examples/firmware/CMakeLists.txt)
done < <(block 'With CMake, the installed package does it')
mkdir "$work/images"
tools/make_sample_image.sh "$work/images/a.img"
tools/make_sample_image.sh "$work/images/b.img" boot 100001
cp docs/examples/Makefile "$work"
cd "$work"
run_make() { make IMGSEAL="$imgseal" IMGSEAL_VERIFY="$verify" "$@" >make.log 2>&1; }
seals() { stat -c '%n %i %.9Y' out/*.img; }  # which file each output is, and when it was written

check "make seals both images" run_make
digest() { head -c "$2" "$1" | sha256sum | cut -d ' ' -f 1; }  # FILE LENGTH: as sha256sum prints it
check "both verify with the expected seals and sha256sum's digests" test "$("$verify" out/*.img)" = \
  "out/a.img: OK, Length = 2024, Checksum DEAC, SHA-256 $(digest out/a.img 2024)
out/b.img: OK, Length = 100002, Checksum 4D32, SHA-256 $(digest out/b.img 100002)"
check "make seals.txt records both" run_make seals.txt
check "seals.txt holds their OK lines" test "$(cat seals.txt)" = "$("$verify" out/*.img)"
check "and imgseal-verify -c seals.txt passes" "$verify" -q -c seals.txt
before=$(seals)
check "a second make succeeds" run_make
check "a second make has nothing to do" grep -q 'Nothing to be done' make.log
check "a second make reseals nothing" test "$(seals)" = "$before"

touch images/b.img
check "make after touching an input succeeds" run_make
check "the other input's copy is left alone" test "$(seals | sed -n 1p)" = "$(sed -n 1p <<<"$before")"
check "the touched input's copy is a new file" test "$(seals | sed -n 2p)" != "$(sed -n 2p <<<"$before")"
check "the fresh copy verifies" test "$("$verify" out/b.img)" = \
  "out/b.img: OK, Length = 100002, Checksum 4D32, SHA-256 $(digest out/b.img 100002)"
check "make seals.txt succeeds" run_make seals.txt
check "and records the fresh copy again" test seals.txt -nt out/b.img
check "and -c seals.txt still passes" "$verify" -q -c seals.txt

# A seal that fails leaves no output, so that make does not take it as done.
head -c 100 /dev/zero >images/c.img
check "make over an image that cannot be sealed fails" eval '! run_make'
check "and leaves no out/c.img to take as done" test ! -e out/c.img -a ! -e out/c.img.tmp
echo "README: the first command packed and sealed the sample, and steps 3 to 5 printed their lines, as shown; its C lines compile; its CMake lines are the firmware example's"
echo "docs/examples/Makefile: sealed, recorded, nothing to do on a rerun, a touched input sealed afresh and recorded again, a failed seal left no output"
