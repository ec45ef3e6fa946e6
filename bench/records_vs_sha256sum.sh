#!/usr/bin/env bash
# Times what the records cost on a page-cached 1 GiB sealed image, side by
# side in paired runs: imgseal-verify printing its record (seal and SHA-256),
# sha256sum on the same file, imgseal-verify -q (the seal alone), and a
# --same-as comparison with a copy beside cmp -n LENGTH of the same two files,
# with and without the record's SHA-256. Each round runs every command once,
# in an order that turns from round to round; the medians are printed. Then
# the SHA-256 of nettle and of OpenSSL's libcrypto alone, over a buffer in
# the processor's cache.
# Usage: bench/records_vs_sha256sum.sh [BUILD] [ROUNDS] [DIRECTORY]
#   BUILD: a build with -DIMGSEAL_BENCHMARKS=ON (default build/bench)
set -euo pipefail
cd "$(dirname "$0")/.."
build=$(realpath "${1:-build/bench}")
rounds=${2:-7}
where=${3:-/var/tmp}
verify=$build/imgseal-verify libraries=$build/bench/sha256_libraries
for command in sha256sum cmp "$build/imgseal" "$verify"; do
  command -v "$command" >/dev/null ||
    { echo "needs $command (a build with -DIMGSEAL_BENCHMARKS=ON)" >&2; exit 1; }
done

dir=$(mktemp -d "$where/imgseal-bench-XXXXXX")
trap 'rm -rf "$dir"' EXIT
tools/make_sample_image.sh "$dir/image.img"
head -c $(((1 << 30) - 2024)) /dev/urandom >>"$dir/image.img"
"$build/imgseal" "$dir/image.img" >/dev/null
cp "$dir/image.img" "$dir/copy.img"
length=$(stat -c %s "$dir/image.img")
cat "$dir/image.img" "$dir/copy.img" >/dev/null  # both in the page cache

sha=no
grep -qw sha_ni /proc/cpuinfo && sha=yes
echo "== $(nproc) cores,$(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2), SHA instructions: $sha"
echo "   kernel $(uname -r), $(findmnt -n -o FSTYPE -T "$dir") in $where, load $(cut -d' ' -f1-3 /proc/loadavg), $rounds rounds"

names=(record sha256sum seal-only same-as cmp same-as-record)
declare -A command=(
  [record]="$verify $dir/image.img"
  [sha256sum]="sha256sum $dir/image.img"
  [seal-only]="$verify -q $dir/image.img"
  [same-as]="$verify -q --same-as=$dir/image.img $dir/copy.img"
  [cmp]="cmp -n $length $dir/image.img $dir/copy.img"
  [same-as-record]="$verify --same-as=$dir/image.img $dir/copy.img"
)
declare -A times=()
for ((round = 0; round < rounds; round++)); do
  for ((i = 0; i < ${#names[@]}; i++)); do
    name=${names[(i + round) % ${#names[@]}]}
    start=$(date +%s%N)
    ${command[$name]} >/dev/null
    times[$name]+="$((($(date +%s%N) - start) / 1000)) "
  done
done
median() { tr ' ' '\n' <<<"$1" | grep . | sort -n | awk '{ a[NR] = $1 } END { print a[int((NR + 1) / 2)] }'; }
for name in "${names[@]}"; do
  us=$(median "${times[$name]}")
  printf '%-15s median %7.1f ms  %6.0f MB/s\n' "$name" "$((us))e-3" "$(awk -v us="$us" -v n="$length" 'BEGIN { print n / us }')"
done

if [ -x "$libraries" ]; then
  echo "== SHA-256 alone, 1 MiB in the cache, best of 7"
  "$libraries" 2>/dev/null | awk '/_median/ { sub(/\/.*/, "", $1); print $1, $NF }'
else
  echo "(no $libraries: configure the build with libssl-dev installed to measure both libraries)"
fi
