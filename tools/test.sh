#!/usr/bin/env bash
# Installs what the tests need, then runs every stage of the tests: formatting,
# a release build with warnings as errors and its tests, the README's Makefile
# example, the firmware example built against the installed CMake package and
# run under QEMU, the same tests built with AddressSanitizer and
# UndefinedBehaviorSanitizer, a short fuzzing run of every fuzz target, the
# static analysers, the boot check on Cortex-M boards and its proof, the cross
# builds under emulation, and the Debian packages.
# Every stage runs even when an earlier one failed: only a stage that needs a
# build which failed is skipped. The run ends with a summary, a line per stage,
# and fails if any stage failed.
# Usage: tools/test.sh            everything, as CI runs it
#        tools/test.sh --quick    the release build and its tests only
set -euo pipefail
cd "$(dirname "$0")/.."
quick=0
case "${1:-}" in
  --quick) quick=1 ;;
  "") ;;
  *) echo "usage: tools/test.sh [--quick]" >&2; exit 2 ;;
esac

jobs=$(nproc)

# Each stage's outcome (passed, failed or skipped) and seconds, by name, in order.
declare -A outcome=() seconds=()
stages=()

# stage NAME NEEDS FUNCTION: runs FUNCTION as the stage NAME, under set -e, in
# a subshell of its own; skipped unless every stage named in NEEDS (comma
# separated) passed.
stage() {
  local name=$1 needs=$2 function=$3 need status started=$SECONDS
  stages+=("$name")
  IFS=, read -r -a needs <<<"$needs"
  for need in "${needs[@]}"; do
    if [ "${outcome[$need]:-}" != passed ]; then
      echo "== $name: skipped, since $need did not pass"
      outcome[$name]=skipped seconds[$name]=0
      return
    fi
  done
  echo "== $name"
  set +e
  (set -e; "$function")
  status=$?
  set -e
  seconds[$name]=$((SECONDS - started))
  if ((status == 0)); then outcome[$name]=passed; else outcome[$name]=failed; fi
  echo "== $name: ${outcome[$name]} in ${seconds[$name]}s"
}

# ctest over DIRECTORY, with the environment ASSIGNMENTS..., then the five
# slowest tests, whatever the outcome. (Each test's timeout, set where the
# tests are registered, is far above the slowest, so that only a hang meets it.)
run_ctest() {
  local directory=$1 status=0
  shift
  env "$@" ctest --test-dir "$directory" -j "$jobs" --output-on-failure --no-tests=error |
    tee "$directory/ctest.log" || status=$?
  echo "the five slowest tests:"
  sed -nE 's/.*Test +#[0-9]+: ([^ ]+) .* ([0-9.]+) sec$/\2 \1/p' "$directory/ctest.log" |
    sort -rn | awk 'NR <= 5 { printf "  %7.2f s  %s\n", $1, $2 }'
  return "$status"
}

formatting() { git ls-files -- '*.cpp' '*.hpp' | xargs clang-format --dry-run --Werror; }

release_build() {
  cmake -S . -B build/release -DCMAKE_BUILD_TYPE=Release -DIMGSEAL_WERROR=ON -DIMGSEAL_TESTS=ON \
    -DCMAKE_EXPORT_COMPILE_COMMANDS=ON >/dev/null
  cmake --build build/release -j "$jobs"
}
release_tests() { run_ctest build/release; }

makefile_example() {
  tools/check_examples.sh build/release/imgseal build/release/imgseal-verify build/release/imgseal-pack
}
firmware_example() { tools/check_firmware.sh build/release; }

sanitizers="-fsanitize=address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer"
sanitizer_build() {
  cmake -S . -B build/sanitize -DCMAKE_BUILD_TYPE=RelWithDebInfo -DIMGSEAL_WERROR=ON -DIMGSEAL_TESTS=ON \
    -DCMAKE_CXX_FLAGS="$sanitizers" -DCMAKE_C_FLAGS="$sanitizers" \
    -DCMAKE_EXE_LINKER_FLAGS="$sanitizers" >/dev/null
  cmake --build build/sanitize -j "$jobs"
}
# Sanitizer findings end with their own statuses, never one of the tool's.
sanitizer_tests() {
  run_ctest build/sanitize ASAN_OPTIONS=exitcode=99 UBSAN_OPTIONS=exitcode=98:print_stacktrace=1
}

fuzzing() { tools/fuzz.sh --runs 50000; }
clang_tidy() { clang-tidy -p build/release --quiet src/*.cpp; }
cppcheck_stage() {
  cppcheck --enable=warning,performance,portability --std=c++20 --error-exitcode=1 \
    --inline-suppr --quiet -I src src/
}
# These stages seal their images with the host's imgseal (and pack with its
# imgseal-pack), which they build themselves: a release build that failed elsewhere does not keep them from
# running.
host_imgseal() { cmake --build build/release --target imgseal imgseal-pack -j "$jobs" >/dev/null; }
boot_check() { host_imgseal && tools/check_boot.sh build/release/imgseal; }
proof() { tools/prove_boot.sh; }
cross() { rm -f "build/cross-$1/built" && host_imgseal && tools/check_cross.sh "$1" build/release/imgseal; }
cross_arm64() { cross arm64; }
cross_armhf() { cross armhf; }
cross_s390x() { cross s390x; }
# The cross builds' packages are checked where those builds succeeded:
# check_cross.sh leaves build/cross-ARCH/built once its build did, whatever
# its tests gave.
packages() {
  local builds=() arch
  for arch in arm64 armhf; do
    if [ -e "build/cross-$arch/built" ]; then
      builds+=("$arch=build/cross-$arch")
    else
      echo "no $arch package: its cross build failed"
    fi
  done
  tools/check_package.sh "${builds[@]}"
}

install_packages() {
  tools/install_packages.sh \
    --for="building, the README's Makefile example and the manuals' CRC check in Python" cmake g++ \
    make git nettle-dev libdeflate-dev python3 \
    --for="the tests: the test framework, the system-call tracer, losetup" libgtest-dev strace \
    util-linux
  if ((quick)); then return; fi
  tools/install_packages.sh \
    --for="the sanitizers, fuzzing, formatting and static analysis" clang clang-format clang-tidy \
    cppcheck libclang-rt-14-dev \
    --for="the manual pages' lint and the Debian packages" mandoc dpkg-dev file lintian \
    --for="the cross builds and running them" qemu-user crossbuild-essential-arm64 \
    crossbuild-essential-armhf crossbuild-essential-s390x nettle-dev:arm64 nettle-dev:armhf \
    nettle-dev:s390x libdeflate-dev:arm64 libdeflate-dev:armhf libdeflate-dev:s390x \
    --for="the firmware example's second generator" ninja-build
  NO_RECOMMENDS=1 tools/install_packages.sh \
    --for="the boot check on Cortex-M boards (the example needs no C library)" gcc-arm-none-eabi \
    qemu-system-arm \
    --for="the boot check's proof" frama-c-base why3 z3 cvc4
}

# Packages that could not be installed leave the stages that need them to fail
# on their own, and the others to run.
stage "install" "" install_packages
if ((!quick)); then stage "formatting" "" formatting; fi
stage "release build" "" release_build
stage "release tests" "release build" release_tests
if ((!quick)); then
  stage "Makefile example" "release build" makefile_example
  stage "firmware example" "release build" firmware_example
  stage "sanitizer build" "" sanitizer_build
  stage "sanitizer tests" "sanitizer build" sanitizer_tests
  stage "fuzzing" "" fuzzing
  stage "clang-tidy" "release build" clang_tidy
  stage "cppcheck" "" cppcheck_stage
  stage "boot check" "" boot_check
  stage "proof" "" proof
  stage "cross arm64" "" cross_arm64
  stage "cross armhf" "" cross_armhf
  stage "cross s390x" "" cross_s390x
  stage "packages" "" packages
fi

echo "== summary"
failed=()
for name in "${stages[@]}"; do
  printf '%-18s %-7s %4ds\n' "$name" "${outcome[$name]}" "${seconds[$name]}"
  if [ "${outcome[$name]}" = failed ]; then failed+=("$name"); fi
done
if ((${#failed[@]} == 0)); then
  echo "all checks passed in $((SECONDS / 60))m $((SECONDS % 60))s"
else
  names=$(printf '%s, ' "${failed[@]}")
  echo "${#failed[@]} of ${#stages[@]} stages failed: ${names%, }"
  exit 1
fi
