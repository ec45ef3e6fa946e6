#!/usr/bin/env bash
# Installs those of the named Debian packages that are missing, with apt-get:
# as root, or through sudo for any other user. With NO_RECOMMENDS=1, without
# the packages they recommend (gcc-arm-none-eabi's newlib is 370 MB).
# Usage: [NO_RECOMMENDS=1] tools/install_packages.sh PACKAGE...
set -euo pipefail
missing=()
for package in "$@"; do
  dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'ok installed' ||
    missing+=("$package")
done
((${#missing[@]})) || exit 0

if ((EUID == 0)); then
  as_root=()
elif command -v sudo >/dev/null; then
  as_root=(sudo)
else
  echo "install_packages.sh: ${missing[*]} missing; run as root, or install sudo" >&2
  exit 1
fi
echo "installing ${missing[*]}"
"${as_root[@]}" apt-get update -qq
"${as_root[@]}" env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq \
  ${NO_RECOMMENDS:+--no-install-recommends} "${missing[@]}" >/dev/null
