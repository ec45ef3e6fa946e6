#!/usr/bin/env bash
# Lints the manual page, builds the Debian package from a configured build
# directory, unpacks it into a temporary root and checks that the tool and
# its manual page are where a Debian user expects them and that the unpacked
# tool seals a sample image.
# Usage: tools/check_package.sh BUILD_DIRECTORY
set -euo pipefail
cd "$(dirname "$0")/.."
build=$(realpath "${1:?usage: check_package.sh BUILD_DIRECTORY}")

mandoc -T lint -W warning docs/imgseal.1

(cd "$build" && cpack -G DEB >/dev/null)
package=$(ls "$build"/imgseal_*_*.deb)
version=$(sed -n 's/^project(imgseal VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
test "$(dpkg-deb -f "$package" Version)" = "$version"
test "$(dpkg-deb -f "$package" Section)" = utils
dpkg-deb -f "$package" Depends | grep -q '^libc6'

root=$(mktemp -d)
trap 'rm -rf "$root"' EXIT
dpkg -x "$package" "$root"
test -x "$root/usr/bin/imgseal"
gzip -t "$root/usr/share/man/man1/imgseal.1.gz"
zcat "$root/usr/share/man/man1/imgseal.1.gz" | mandoc -T lint -W warning

tools/make_sample_image.sh "$root/sample.img"
output=$("$root/usr/bin/imgseal" "$root/sample.img")
expected=$'Name: abc\nLength = 2024\nChecksum DEAC'
if [ "$output" != "$expected" ]; then
  printf 'the packaged tool printed:\n%s\n' "$output" >&2
  exit 1
fi
echo "package $(basename "$package"): binary, manual page and a sealed sample are as expected"
