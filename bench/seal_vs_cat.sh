#!/usr/bin/env bash
# Times sealing a page-cached 1 GiB image against reading it with cat, and
# reports the peak resident memory of sealing a 16 MiB and a 1 GiB image.
# Usage: bench/seal_vs_cat.sh [IMGSEAL] [RUNS] [DIRECTORY]
# Sealing ends with fsync: on a disk it writes the stamped page and commits the
# journal, on tmpfs (/dev/shm) it costs nothing, which isolates the pass.
set -euo pipefail
cd "$(dirname "$0")/.."
tool=$(realpath "${1:-build/release/imgseal}")
runs=${2:-21}
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
# Clears the 6 stamp bytes at offset 18, so that the image can be sealed again.
unseal="printf '\\0\\0\\0\\0\\0\\0' | dd of=$dir/big.img bs=1 seek=18 conv=notrunc status=none"

make_image "$dir/big.img" $((1 << 30))
make_image "$dir/small.img" $((16 << 20))
sync

echo "== 1 GiB image in $where, page-cached: seal against cat ($(nproc) cores, $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2-))"
hyperfine --warmup 3 --runs "$runs" --prepare "$unseal" --export-csv "$dir/times.csv" \
  --command-name seal "$tool $dir/big.img" \
  --command-name cat "cat $dir/big.img > /dev/null"
awk -F, '$1 == "seal" { seal = $4 } $1 == "cat" { cat = $4 }
  END { printf "median seal %.1f ms, cat %.1f ms, seal/cat %.2f\n", seal * 1000, cat * 1000, seal / cat }' \
  "$dir/times.csv"

echo "== peak resident memory"
for image in small big; do
  eval "${unseal//big.img/$image.img}"
  /usr/bin/time -v "$tool" "$dir/$image.img" 2>"$dir/time.txt" >/dev/null
  printf '%s image (%s bytes): %s KiB\n' "$image" "$(stat -c %s "$dir/$image.img")" \
    "$(awk -F: '/Maximum resident/ { gsub(/ /, "", $2); print $2 }' "$dir/time.txt")"
done
