#!/bin/sh
# Makes the example's images in DIRECTORY with the host's imgseal: the
# sample image unsealed, sealed, and sealed with one content byte changed;
# and a sealed image of 6000 bytes, longer than the example's 4 KiB slots.
# Usage: make_images.sh IMGSEAL DIRECTORY
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
