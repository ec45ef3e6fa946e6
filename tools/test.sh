#!/usr/bin/env bash
# Installs what the tests need, checks the formatting, builds with warnings as
# errors and runs every test: in a release build, with which it also runs the
# README's Makefile example, again with AddressSanitizer and
# UndefinedBehaviorSanitizer, a short fuzzing run of every fuzz target, the
# static analysers, the boot check on Cortex-M boards, the cross builds under
# emulation, and the Debian packages.
set -euo pipefail
cd "$(dirname "$0")/.."

tools/install_packages.sh \
  --for="building, and the README's Makefile example" cmake g++ make git \
  --for="the tests: the test framework, the system-call tracer, losetup" libgtest-dev strace util-linux \
  --for="the sanitizers, fuzzing, formatting and static analysis" clang clang-format clang-tidy \
  cppcheck libclang-rt-14-dev \
  --for="the manual pages' lint and the Debian packages" mandoc dpkg-dev file lintian \
  --for="the cross builds and running them" qemu-user crossbuild-essential-arm64 \
  crossbuild-essential-armhf crossbuild-essential-s390x
NO_RECOMMENDS=1 tools/install_packages.sh \
  --for="the boot check on Cortex-M boards (the example needs no C library)" gcc-arm-none-eabi \
  qemu-system-arm
jobs=$(nproc)

echo "== formatting"
git ls-files -- '*.cpp' '*.hpp' | xargs clang-format --dry-run --Werror

echo "== release build, warnings as errors"
cmake -S . -B build/release -DCMAKE_BUILD_TYPE=Release -DIMGSEAL_WERROR=ON \
  -DCMAKE_EXPORT_COMPILE_COMMANDS=ON >/dev/null
cmake --build build/release -j "$jobs"
ctest --test-dir build/release -j "$jobs" --output-on-failure

echo "== the README's Makefile example"
tools/check_examples.sh build/release/imgseal build/release/imgseal-verify

echo "== AddressSanitizer and UndefinedBehaviorSanitizer build"
sanitizers="-fsanitize=address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer"
cmake -S . -B build/sanitize -DCMAKE_BUILD_TYPE=RelWithDebInfo -DIMGSEAL_WERROR=ON \
  -DCMAKE_CXX_FLAGS="$sanitizers" -DCMAKE_C_FLAGS="$sanitizers" \
  -DCMAKE_EXE_LINKER_FLAGS="$sanitizers" >/dev/null
cmake --build build/sanitize -j "$jobs"
# Sanitizer findings end with their own statuses, never one of the tool's.
ASAN_OPTIONS=exitcode=99 UBSAN_OPTIONS=exitcode=98:print_stacktrace=1 \
  ctest --test-dir build/sanitize -j "$jobs" --output-on-failure

echo "== fuzzing, a fixed number of inputs per target"
tools/fuzz.sh --runs 50000

echo "== clang-tidy"
clang-tidy -p build/release --quiet src/*.cpp

echo "== cppcheck"
cppcheck --enable=warning,performance,portability --std=c++20 --error-exitcode=1 --inline-suppr \
  --quiet -I src src/

echo "== the boot check on Cortex-M0 and Cortex-M3, under qemu-system-arm"
tools/check_boot.sh build/release/imgseal

echo "== cross builds: arm64, armhf (32-bit), s390x (big-endian), run under qemu-user"
for arch in arm64 armhf s390x; do
  tools/check_cross.sh "$arch" build/release/imgseal
done

echo "== manual pages and Debian packages: amd64 built twice, arm64, armhf"
tools/check_package.sh arm64=build/cross-arm64 armhf=build/cross-armhf

echo "all checks passed in $((SECONDS / 60))m $((SECONDS % 60))s"
