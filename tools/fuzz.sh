#!/usr/bin/env bash
# Builds the fuzz targets with clang, libFuzzer and the sanitizers, makes the
# seed corpus with the tests' image builder and runs every target.
# Usage: tools/fuzz.sh --runs N [--seed K]      a fixed number of inputs per target
#        tools/fuzz.sh --seconds S [--seed K]   as long as asked, per target
# A run of --runs starts from the seed corpus alone with seed 1 unless told
# otherwise, so that a failure it finds is found again by the same command.
# A run of --seconds grows the kept corpus from a new random seed each time.
# The seed is printed either way: --seed replays it.
set -euo pipefail
cd "$(dirname "$0")/.."
usage="usage: tools/fuzz.sh --runs N | --seconds S [--seed K]"
case "${1:-}" in
  --runs) limit=(-runs="${2:?}") seed=1 fresh_corpus=1 ;;
  --seconds) limit=(-max_total_time="${2:?}") seed=$((RANDOM * 32768 + RANDOM + 1)) fresh_corpus=0 ;;
  *) echo "$usage" >&2; exit 2 ;;
esac
case "${3:-}" in
  --seed) seed="${4:?}" ;;
  "") ;;
  *) echo "$usage" >&2; exit 2 ;;
esac

build=build/fuzz
# The boot check is C: clang builds it with the same flags, so that libFuzzer
# sees its branches too.
sanitizers="-fsanitize=fuzzer-no-link,address,undefined -fno-sanitize-recover=all"
CC=clang CXX=clang++ cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DIMGSEAL_WERROR=ON \
  -DIMGSEAL_TESTS=OFF -DIMGSEAL_FUZZERS=ON -DCMAKE_CXX_FLAGS="$sanitizers" \
  -DCMAKE_C_FLAGS="$sanitizers" >/dev/null
cmake --build "$build" -j "$(nproc)"

seeds=$build/seeds
rm -rf "$seeds" && mkdir -p "$seeds"
"$build/fuzz/make_fuzz_seeds" "$seeds"

for target in sum_kernels_fuzz image_check_fuzz boot_check_fuzz crc32_fuzz record_line_fuzz; do
  corpus=$build/corpus/$target
  if ((fresh_corpus)); then rm -rf "$corpus"; fi
  mkdir -p "$corpus"
  echo "== $target ${limit[*]} -seed=$seed"
  log=$build/$target.log
  status=0
  # -close_fd_mask=3: the stages print their lines, which would drown the log.
  ASAN_OPTIONS=exitcode=99 UBSAN_OPTIONS=exitcode=98:print_stacktrace=1 \
    "$build/fuzz/$target" "${limit[@]}" -seed="$seed" -max_len=8192 -close_fd_mask=3 \
    -print_final_stats=1 -artifact_prefix="$build/$target-" "$corpus" "$seeds" \
    >"$log" 2>&1 || status=$?
  grep -E '^(stat::number_of_executed_units|INFO: Seed)' "$log" || true
  if ((status != 0)); then
    tail -n 40 "$log"
    echo "$target found a failing input (status $status) with seed $seed; see $build" >&2
    exit 1
  fi
done
