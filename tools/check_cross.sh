#!/usr/bin/env bash
# Cross-builds for one Debian architecture, runs the in-process tests under
# qemu-user, and packs a handful of binaries and seals a handful of images with
# the cross-built tools started through qemu, each run compared with the native
# tool's on a copy of the image.
# Usage: tools/check_cross.sh ARCH NATIVE_IMGSEAL    (ARCH: arm64, armhf, s390x)
# The build directory is build/cross-ARCH.
set -euo pipefail
cd "$(dirname "$0")/.."
arch=${1:?usage: check_cross.sh ARCH NATIVE_IMGSEAL}
native=$(realpath "${2:?usage: check_cross.sh ARCH NATIVE_IMGSEAL}")

case "$arch" in
  arm64) triplet=aarch64-linux-gnu processor=aarch64 ;;
  armhf) triplet=arm-linux-gnueabihf processor=arm ;;
  s390x) triplet=s390x-linux-gnu processor=s390x ;;
  *) echo "check_cross.sh: unknown architecture $arch" >&2; exit 2 ;;
esac
# There is no binfmt_misc here: a foreign program is started through qemu,
# with the cross toolchain's C library first, the one its loader was built
# with: where the target's own (a multiarch libc6:ARCH, which nettle-dev:ARCH
# and libdeflate-dev:ARCH bring) is installed too, the cross loader would
# otherwise find that one, of another build, and programs abort at start
# (s390x) or spin in fork (arm64). nettle and libdeflate are the target's own.
qemu=("qemu-${triplet%%-*}" -L "/usr/$triplet" -E "LD_LIBRARY_PATH=/usr/$triplet/lib:/usr/lib/$triplet")

# The test suites that start no program, and so can run under qemu: the tests
# that start the tool through sh, strace or a preload library stay native.
in_process_tests='checksum.*:pass_in_process.*:terminal_text.*:boot_check.*:crc32*:record_line.*'

# CMake's standard cross-compiling variables alone; the package's architecture
# follows from them.
build=build/cross-$arch
rm -f "$build/built"
cmake -S . -B "$build" -DCMAKE_SYSTEM_NAME=Linux -DCMAKE_SYSTEM_PROCESSOR="$processor" \
  -DCMAKE_C_COMPILER="$triplet-gcc" -DCMAKE_CXX_COMPILER="$triplet-g++" -DIMGSEAL_WERROR=ON \
  >/dev/null
cmake --build "$build" -j "$(nproc)" >/dev/null
# For tools/test.sh: the build succeeded, whatever the tests below give.
touch "$build/built"

# A hang under emulation fails the stage instead of holding up the test command.
summary=$(timeout 900 "${qemu[@]}" "$build/tests/imgseal_tests" --gtest_filter="$in_process_tests" \
  --gtest_brief=1 | tail -n 2)
echo "$arch in-process tests under qemu: $(paste -sd " " <<<"$summary")"
grep -q '^\[  PASSED  \]' <<<"$summary"

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir "$work/native" "$work/cross"
sample=$work/sample.img
tools/make_sample_image.sh "$sample"
ff() { head -c "$1" /dev/zero | tr '\0' '\377'; }

# Each image, made from the sample: one that ends odd, one that ends even, one
# whose 32-bit sum wraps over more than one buffer, and three that are refused.
cp "$sample" "$work/even.img"
{ cat "$sample"; printf '\x01'; } >"$work/odd.img"
{ cat "$sample"; ff $((3 * 1024 * 1024 + 1)); } >"$work/wrapping.img"
cp "$sample" "$work/bad_signature.img"
printf '\x12' | dd of="$work/bad_signature.img" bs=1 seek=16 conv=notrunc status=none
cp "$sample" "$work/too_large.img"
truncate -s $(((1 << 31) + 1)) "$work/too_large.img"

seal_both() {  # IMAGE_NAME: runs both tools on their copies and compares
  local name=$1 status
  for side in native cross; do
    [ -e "$work/$side/$name" ] || cp "$work/$name" "$work/$side/$name"
    status=0
    if [ "$side" = native ]; then
      "$native" "$work/$side/$name" >"$work/$side/$name.out" 2>&1 || status=$?
    else
      "${qemu[@]}" "$build/imgseal" "$work/$side/$name" >"$work/$side/$name.out" 2>&1 || status=$?
    fi
    echo "status $status" >>"$work/$side/$name.out"
  done
  if ! cmp -s "$work/native/$name.out" "$work/cross/$name.out" ||
    ! cmp -s "$work/native/$name" "$work/cross/$name"; then
    echo "$arch: $name: the cross-built tool differs from the native one" >&2
    diff "$work/native/$name.out" "$work/cross/$name.out" >&2 || true
    exit 1
  fi
  echo "$arch $name: $(tail -n 2 "$work/cross/$name.out" | tr '\n' ' ')(as native)"
}
# imgseal-pack on both sides, in each side's directory so that the paths
# match: the same lines, statuses and images from the same binaries, the
# large one's CRC taken by the target's libdeflate there and the host's here.
native_pack=$(dirname "$native")/imgseal-pack
tools/make_sample_binary.sh "$work/app.bin"
head -c 4097 "$work/wrapping.img" >"$work/odd.bin"
head -c $((3 * 1024 * 1024 + 1)) "$work/wrapping.img" >"$work/large.bin"
: >"$work/empty.bin"
here=$PWD
pack_both() {  # IMAGE_NAME BINARY OPTION...: packs on both sides and compares
  local name=$1 binary=$2 side status same=1
  shift 2
  for side in native cross; do
    status=0
    if [ "$side" = native ]; then
      (cd "$work/$side" && "$native_pack" "$@" "../$binary" "$name") >"$work/$side/$name.pack" 2>&1 ||
        status=$?
    else
      (cd "$work/$side" && "${qemu[@]}" "$here/$build/imgseal-pack" "$@" "../$binary" "$name") \
        >"$work/$side/$name.pack" 2>&1 || status=$?
    fi
    echo "status $status" >>"$work/$side/$name.pack"
  done
  cmp -s "$work/native/$name.pack" "$work/cross/$name.pack" || same=0
  if [ -e "$work/native/$name" ] || [ -e "$work/cross/$name" ]; then
    cmp -s "$work/native/$name" "$work/cross/$name" || same=0
  fi
  if ((!same)); then
    echo "$arch: $name: the cross-built packer differs from the native one" >&2
    diff "$work/native/$name.pack" "$work/cross/$name.pack" >&2 || true
    exit 1
  fi
  echo "$arch pack $name: $(paste -sd ' ' "$work/cross/$name.pack") (as native)"
}
pack_both app.img app.bin --name=app
pack_both packed_odd.img odd.bin --name=odd --align=4 --image-version=0x01020304 --signature=AA
pack_both packed_large.img large.bin --align=65536
pack_both packed_empty.img empty.bin
head -c 8192 /dev/zero >"$work/zeros.bin"
pack_both packed_zeros.img zeros.bin

for name in even.img odd.img wrapping.img bad_signature.img too_large.img app.img packed_odd.img \
  packed_large.img packed_zeros.img; do
  seal_both "$name"
done
# The sealed image again: refused as sealed.
seal_both even.img
# A page of the packed zeros left erased: the seal passes it, and both
# verifiers must fail it by the CRC.
for side in native cross; do
  cp "$work/$side/packed_zeros.img" "$work/$side/erased_page.img"
  ff 256 | dd of="$work/$side/erased_page.img" bs=256 seek=12 conv=notrunc status=none
done
# imgseal-verify on every image, in each side's directory so that the paths match.
verify_in() {  # SIDE PROGRAM...
  local side=$1 status=0
  shift
  (cd "$work/$side" && "$@" *.img) >"$work/$side.verify" 2>&1 || status=$?
  echo "status $status" >>"$work/$side.verify"
}
verify_in native "$(dirname "$native")/imgseal-verify"
verify_in cross "${qemu[@]}" "$PWD/$build/imgseal-verify"
cmp -s "$work/native.verify" "$work/cross.verify" || { diff "$work/native.verify" "$work/cross.verify" >&2; exit 1; }
grep -q '^erased_page.img: FAILED: CRC-32 ' "$work/cross.verify" ||
  { echo "$arch: the page left erased passed imgseal-verify" >&2; exit 1; }
echo "$arch imgseal-verify: $(paste -sd ' ' "$work/cross.verify") (as native)"
