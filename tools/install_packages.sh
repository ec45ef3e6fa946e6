#!/usr/bin/env bash
# Installs those of the named Debian packages that are missing, with apt-get:
# as root, or through sudo for any other user.
# Usage: [NO_RECOMMENDS=1] tools/install_packages.sh [--for=PURPOSE] PACKAGE... [--for=PURPOSE PACKAGE...]...
# Each --for names what the packages after it are for; each group is
# installed in turn, with a line saying what it is installing and why. With
# NO_RECOMMENDS=1, without the packages they recommend (gcc-arm-none-eabi's
# newlib is 370 MB). A package of another architecture (nettle-dev:arm64, for
# a cross build) has its architecture added to dpkg's first.
set -euo pipefail
groups=() purpose=""
for argument in "$@"; do
  case "$argument" in
    --for=*) purpose=${argument#--for=} ;;
    *)
      dpkg-query -W -f='${Status}' "$argument" 2>/dev/null | grep -q 'ok installed' ||
        groups+=("$purpose" "$argument")
      ;;
  esac
done
((${#groups[@]})) || exit 0

if ((EUID == 0)); then
  as_root=()
elif command -v sudo >/dev/null; then
  as_root=(sudo)
else
  missing=$(printf '%s\n' "${groups[@]}" | sed -n 'n;p' | paste -sd ' ')
  echo "install_packages.sh: $missing missing; run as root, or install sudo" >&2
  exit 1
fi
native=$(dpkg --print-architecture)
for ((i = 1; i < ${#groups[@]}; i += 2)); do
  arch=${groups[i]#*:}
  if [ "$arch" != "${groups[i]}" ] && [ "$arch" != "$native" ] &&
    ! dpkg --print-foreign-architectures | grep -qx "$arch"; then
    echo "adding the architecture $arch for ${groups[i]}"
    "${as_root[@]}" dpkg --add-architecture "$arch"
  fi
done
echo "updating the package lists"
"${as_root[@]}" apt-get update -qq
# The missing packages come in pairs (purpose, package), in the order given.
for ((i = 0; i < ${#groups[@]}; )); do
  purpose=${groups[i]} packages=()
  while ((i < ${#groups[@]})) && [ "${groups[i]}" = "$purpose" ]; do
    packages+=("${groups[i + 1]}")
    i=$((i + 2))
  done
  echo "installing ${packages[*]}${purpose:+ (for $purpose)}"
  "${as_root[@]}" env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq \
    ${NO_RECOMMENDS:+--no-install-recommends} "${packages[@]}" >/dev/null
done
