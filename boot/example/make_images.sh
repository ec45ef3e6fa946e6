#!/bin/sh
# Makes the example's images in DIRECTORY with the host's imgseal: the
# sample image unsealed, sealed, and sealed with one content byte changed;
# a sealed image of 6000 bytes, longer than the example's 4 KiB slots; and
# with imgseal-pack, an image that carries a CRC, packed from a binary whose
# last 2 KiB are zeros, and two copies of it as an interrupted update leaves
# them: those 2 KiB left erased (0xFF), and one 256-byte page among them.
# Usage: make_images.sh IMGSEAL DIRECTORY [IMGSEAL_PACK]
#   IMGSEAL_PACK defaults to imgseal-pack beside IMGSEAL, or in PATH
set -eu
imgseal=${1:?usage: make_images.sh IMGSEAL DIRECTORY}
dir=${2:?usage: make_images.sh IMGSEAL DIRECTORY}
mkdir -p "$dir"
here=$(dirname "$0")
"$here/../../tools/make_sample_image.sh" "$dir/unsealed.img"
cp "$dir/unsealed.img" "$dir/sealed.img"
"$imgseal" "$dir/sealed.img" >/dev/null
cp "$dir/sealed.img" "$dir/changed.img"
printf 'x' | dd of="$dir/changed.img" bs=1 seek=1500 conv=notrunc status=none
"$here/../../tools/make_sample_image.sh" "$dir/long.img" long 6000
"$imgseal" "$dir/long.img" >/dev/null

case $imgseal in
  */*) pack=${3:-$(dirname "$imgseal")/imgseal-pack} ;;
  *) pack=${3:-imgseal-pack} ;;
esac
# 8192 bytes, the last quarter zeros; the image is 10240 bytes, the binary
# from 2048 on, so that its zeros are the image's last 2048 bytes.
"$here/../../tools/make_sample_binary.sh" "$dir/app.bin" 8192
"$pack" --name=app --image-version=1 "$dir/app.bin" "$dir/packed.img" >/dev/null
"$imgseal" "$dir/packed.img" >/dev/null
erase() {  # FILE OFFSET COUNT
  head -c "$3" /dev/zero | tr '\000' '\377' | dd of="$1" bs=1 seek="$2" conv=notrunc status=none
}
cp "$dir/packed.img" "$dir/tail-erased.img"
erase "$dir/tail-erased.img" 8192 2048
cp "$dir/packed.img" "$dir/page-erased.img"
erase "$dir/page-erased.img" 8448 256
