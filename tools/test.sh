#!/usr/bin/env bash
# Installs what the tests need, checks the formatting, builds with warnings as
# errors and runs every test: in a release build, again with AddressSanitizer
# and UndefinedBehaviorSanitizer, a short fuzzing run of every fuzz target,
# the static analysers, and the Debian package with its manual page.
set -euo pipefail
cd "$(dirname "$0")/.."

packages=(cmake g++ make libgtest-dev strace util-linux clang clang-format clang-tidy cppcheck
  libclang-rt-14-dev mandoc dpkg-dev file)
missing=()
for package in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'ok installed' ||
    missing+=("$package")
done
if ((${#missing[@]})); then
  apt-get update -qq
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${missing[@]}"
fi
jobs=$(nproc)

echo "== formatting"
git ls-files -- '*.cpp' '*.hpp' | xargs clang-format --dry-run --Werror

echo "== release build, warnings as errors"
cmake -S . -B build/release -DCMAKE_BUILD_TYPE=Release -DIMGSEAL_WERROR=ON \
  -DCMAKE_EXPORT_COMPILE_COMMANDS=ON >/dev/null
cmake --build build/release -j "$jobs"
ctest --test-dir build/release -j "$jobs" --output-on-failure

echo "== AddressSanitizer and UndefinedBehaviorSanitizer build"
sanitizers="-fsanitize=address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer"
cmake -S . -B build/sanitize -DCMAKE_BUILD_TYPE=RelWithDebInfo -DIMGSEAL_WERROR=ON \
  -DCMAKE_CXX_FLAGS="$sanitizers" -DCMAKE_EXE_LINKER_FLAGS="$sanitizers" >/dev/null
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

echo "== manual page and Debian package"
tools/check_package.sh build/release
