#!/usr/bin/env bash
# Times sealing a page-cached 1 GiB image against reading it with cat, for the
# two shapes the page cache can hold a freshly written file in: written in
# 1 MiB pieces and in 4 KiB pieces. Every measurement gets the image written
# afresh and synced, so that the seal's fsync writes only the stamp. Also
# reports the peak resident memory of sealing a 16 MiB and a 1 GiB image, and
# the time of sealing a 4 KiB image.
# Usage: bench/seal_vs_cat.sh [IMGSEAL] [RUNS] [DIRECTORY]
set -euo pipefail
cd "$(dirname "$0")/.."
tool=$(realpath "${1:-build/release/imgseal}")
runs=${2:-15}
where=${3:-/var/tmp}
for command in hyperfine /usr/bin/time; do
  command -v "$command" >/dev/null || { echo "needs $command (apt-get install -y hyperfine time)" >&2; exit 1; }
done

dir=$(mktemp -d "$where/imgseal-bench-XXXXXX")
trap 'rm -rf "$dir"' EXIT

# An unsealed image of SIZE bytes: the sample's header, descriptor and name,
# then random content.
make_image() {
  tools/make_sample_image.sh "$1"
  head -c $(($2 - 2024)) /dev/urandom >>"$1"
}
make_image "$dir/source.img" $((1 << 30))

echo "== $(nproc) cores,$(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2), kernel $(uname -r), $(findmnt -n -o FSTYPE -T "$dir") in $where"
for piece in 1M 4k; do
  # dd truncates the image first, so its pages are all written anew.
  fresh="dd if=$dir/source.img of=$dir/big.img bs=$piece status=none && sync $dir/big.img"
  hyperfine --style basic --runs "$runs" --prepare "$fresh" --export-csv "$dir/$piece.csv" \
    --command-name seal "$tool $dir/big.img" \
    --command-name cat "cat $dir/big.img > /dev/null" >/dev/null
  awk -F, -v piece="$piece" '$1 == "seal" { seal = $4 } $1 == "cat" { cat = $4 }
    END { printf "1 GiB written in %s pieces: median seal %.1f ms, cat %.1f ms, seal/cat %.2f\n",
          piece, seal * 1000, cat * 1000, seal / cat }' "$dir/$piece.csv"
done

echo "== peak resident memory"
for size in $((16 << 20)) $((1 << 30)); do
  dd if="$dir/source.img" of="$dir/image.img" bs=1M count=$((size >> 20)) status=none
  /usr/bin/time -v "$tool" "$dir/image.img" 2>"$dir/time.txt" >/dev/null
  printf '%s byte image: %s KiB\n' "$size" \
    "$(awk -F: '/Maximum resident/ { gsub(/ /, "", $2); print $2 }' "$dir/time.txt")"
done

echo "== a 4 KiB image"
make_image "$dir/small.img" 4096
hyperfine --style basic --warmup 20 --runs 300 -N \
  --prepare "dd if=/dev/zero of=$dir/small.img bs=1 seek=18 count=6 conv=notrunc status=none" \
  "$tool $dir/small.img" | grep -E 'Time|Range'
