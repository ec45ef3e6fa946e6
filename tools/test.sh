#!/usr/bin/env bash
# Installs what the tests need, checks the formatting, builds with warnings as
# errors and runs every test.
set -euo pipefail
cd "$(dirname "$0")/.."

packages=(cmake g++ make libgtest-dev strace clang-format util-linux)
missing=()
for package in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'ok installed' ||
    missing+=("$package")
done
if ((${#missing[@]})); then
  apt-get update -qq
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${missing[@]}"
fi

echo "== formatting"
git ls-files -- '*.cpp' '*.hpp' | xargs clang-format --dry-run --Werror

echo "== release build, warnings as errors"
cmake -S . -B build/release -DCMAKE_BUILD_TYPE=Release -DIMGSEAL_WERROR=ON >/dev/null
cmake --build build/release -j "$(nproc)"
ctest --test-dir build/release -j "$(nproc)" --output-on-failure
