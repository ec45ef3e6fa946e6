#!/usr/bin/env bash
# Times the checksum pass on a page-cached 1 GiB image against the peers a
# user would compare it with, side by side in paired runs: both designs of
# the pass (every window mapped, every block read), sealing (the design the
# tools choose), imgseal-verify -q, cat, xxhsum -H3, and for a comparison of
# two images, cmp beside imgseal-verify --same-as. For both shapes the page
# cache can hold a freshly written file in: written in 1 MiB pieces and in
# 4 KiB pieces. Each round writes the image afresh and syncs it, then runs
# every command once, in an order that turns from round to round; the
# medians are printed, with each one's ratio to xxhsum -H3. Then the peak
# resident memory of sealing and verifying a 16 MiB and a 1 GiB image, and
# the time of sealing a 4 KiB image.
# Usage: bench/pass_vs_peers.sh [BUILD] [ROUNDS] [DIRECTORY]
#   BUILD: a build with -DIMGSEAL_BENCHMARKS=ON (default build/bench)
set -euo pipefail
cd "$(dirname "$0")/.."
build=$(realpath "${1:-build/bench}")
rounds=${2:-7}
where=${3:-/var/tmp}
seal=$build/imgseal verify=$build/imgseal-verify designs=$build/bench/pass_designs
for command in hyperfine /usr/bin/time xxhsum cmp "$seal" "$verify" "$designs"; do
  command -v "$command" >/dev/null ||
    { echo "needs $command (apt-get install -y hyperfine time xxhash; a build with -DIMGSEAL_BENCHMARKS=ON)" >&2; exit 1; }
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
cp "$dir/source.img" "$dir/sealed.img" && "$seal" "$dir/sealed.img" >/dev/null
length=$(stat -c %s "$dir/sealed.img")

virtualised=no
grep -qw hypervisor /proc/cpuinfo && virtualised="yes ($(systemd-detect-virt --vm 2>/dev/null || echo a hypervisor))"
echo "== $(nproc) cores,$(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2) (family $(grep -m1 'cpu family' /proc/cpuinfo | cut -d: -f2 | tr -d ' '), model $(grep -m1 '^model' /proc/cpuinfo | cut -d: -f2 | tr -d ' ')), virtualised: $virtualised"
echo "   kernel $(uname -r), $(findmnt -n -o FSTYPE -T "$dir") in $where, load $(cut -d' ' -f1-3 /proc/loadavg), $rounds rounds"

# The commands over the image, by name; "seal" runs after the others that
# read the unsealed image, and those that need the seal after it.
declare -A command=(
  [read]="$designs read IMAGE"
  [mapped]="$designs mapped IMAGE"
  [cat]="cat IMAGE"
  [xxhsum]="xxhsum -H3 IMAGE"
  [seal]="$seal IMAGE"
  [verify]="$verify -q IMAGE"
  [cmp]="cmp -n $length IMAGE $dir/copy.img"
  [same-as]="$verify -q --same-as=$dir/copy.img IMAGE"
)
before_seal=(read mapped cat xxhsum)
after_seal=(verify cmp same-as)

# Runs NAME on IMAGE and appends its wall time, in microseconds, to its list.
declare -A times=()
timed() {
  local started=$EPOCHREALTIME
  # (xxhsum draws its progress on standard error.)
  ${command[$1]//IMAGE/$dir/image.img} >/dev/null 2>"$dir/errors.txt"
  local ended=$EPOCHREALTIME
  times[$1]+=" $(((${ended/./} - ${started/./})))"
}

median_ms() { tr ' ' '\n' <<<"${times[$1]}" | grep . | sort -n | awk '{ t[NR] = $1 } END { m = NR % 2 ? t[(NR + 1) / 2] : (t[NR / 2] + t[NR / 2 + 1]) / 2; printf "%.1f", m / 1000 }'; }

for piece in 1M 4k; do
  times=()
  # The sealed copy that cmp and --same-as compare with, in the same shape.
  dd if="$dir/sealed.img" of="$dir/copy.img" bs=$piece status=none && sync "$dir/copy.img"
  cat "$dir/copy.img" >/dev/null
  for ((round = 0; round < rounds; ++round)); do
    # dd truncates the image first, so its pages are all written anew.
    dd if="$dir/source.img" of="$dir/image.img" bs=$piece status=none && sync "$dir/image.img"
    for ((i = 0; i < ${#before_seal[@]}; ++i)); do
      timed "${before_seal[(i + round) % ${#before_seal[@]}]}"
    done
    timed seal
    for ((i = 0; i < ${#after_seal[@]}; ++i)); do
      timed "${after_seal[(i + round) % ${#after_seal[@]}]}"
    done
  done
  xxhsum_ms=$(median_ms xxhsum)
  cat_ms=$(median_ms cat)
  echo "== 1 GiB written in $piece pieces: medians of $rounds rounds"
  printf '  %-26s %9s %9s %9s\n' command ms /xxhsum /cat
  for name in read mapped seal verify cat xxhsum cmp same-as; do
    ms=$(median_ms "$name")
    awk -v n="$name" -v ms="$ms" -v x="$xxhsum_ms" -v c="$cat_ms" \
      'BEGIN { printf "  %-26s %9.1f %9.2f %9.2f\n", n, ms, ms / x, ms / c }'
  done
  awk -v s="$(median_ms same-as)" -v c="$(median_ms cmp)" 'BEGIN { printf "  same-as / cmp: %.2f\n", s / c }'
done

echo "== peak resident memory"
for size in $((16 << 20)) $((1 << 30)); do
  head -c "$size" "$dir/source.img" >"$dir/image.img"
  /usr/bin/time -f %M "$seal" "$dir/image.img" 2>"$dir/seal-rss.txt" >/dev/null
  /usr/bin/time -f %M "$verify" -q "$dir/image.img" 2>"$dir/verify-rss.txt" >/dev/null
  printf '%s byte image: seal %s KiB, verify %s KiB\n' "$size" "$(tail -n 1 "$dir/seal-rss.txt")" \
    "$(tail -n 1 "$dir/verify-rss.txt")"
done

echo "== a 4 KiB image"
make_image "$dir/small.img" 4096
hyperfine --style basic --warmup 20 --runs 300 -N \
  --prepare "dd if=/dev/zero of=$dir/small.img bs=1 seek=18 count=6 conv=notrunc status=none" \
  "$seal $dir/small.img" | grep -E 'Time|Range'
