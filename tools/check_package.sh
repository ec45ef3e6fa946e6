#!/usr/bin/env bash
# The Debian packages' checks, one line each. Builds the package of the last
# commit twice, from a clone and from the commit's exported archive (no git),
# at different paths and a minute apart, and compares the two; checks its fields, files, hardening, lintian's verdict,
# that its tool seals the sample, that its packer packs the sample binary and that its CMake package names its
# programs; then the same for the package of each cross
# build given, whose tool is started through qemu.
# Usage: tools/check_package.sh [ARCH=CROSS_BUILD_DIRECTORY...]
set -euo pipefail
cd "$(dirname "$0")/.."

# The installed programs, each with its manual page docs/PROGRAM.1.
programs=(imgseal imgseal-verify imgseal-pack)

version=$(sed -n 's/^project(imgseal VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
commit=$(git rev-parse HEAD)
# The packages' timestamps: the date of the changelog's top entry.
release_time=$(date -u -d "$(sed -n 's/^ -- .*>  //p' packaging/changelog | awk 'NR == 1')" +%s)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
git diff --quiet HEAD || echo "note: the packages are built from the last commit, not from the changes since"

check() {  # DESCRIPTION COMMAND...: stops with DESCRIPTION unless COMMAND succeeds
  local what=$1
  shift
  "$@" || { echo "FAILED: $what" >&2; exit 1; }
}
lacks() { ! grep -qF "$2" "$1"; }  # FILE TEXT
# ELF: it needs no shared library beyond the C and C++ runtime's. The C
# library's dynamic loader counts as part of it: on arm64 the stack
# protector's guard lives there, so every hardened program needs it.
c_and_cxx_only() {
  ! readelf -dW "$1" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p' |
    grep -vE '^(lib(c|m|stdc\+\+|gcc_s)|ld-linux[-a-z0-9_]*)\.so\.[0-9]+$'
}
fortified() { readelf --dyn-syms -W "$1" | grep -E ' __[a-z0-9_]+_chk@' | grep -qv __stack_chk; }
lintian_clean() {  # DEB: prints lintian's tags, and fails on an error or a warning
  local status=0 tags
  tags=$(lintian --fail-on error,warning --display-info "$1" 2> >(grep -v 'root privileges' >&2)) ||
    status=$?
  echo "lintian $(basename "$1"): ${tags:-no tags}"
  return "$status"
}
all_dated() {  # DEB EPOCH: every file in the package has the time EPOCH
  ! dpkg-deb --fsys-tarfile "$1" | tar -t -v --full-time --utc | grep -v "$(date -u -d "@$2" '+%F %T')"
}

package_found() {  # ROOT: a project that finds the package in ROOT sees its programs there
  local project=$work/find-package-$(basename "$1")
  mkdir -p "$project"
  cat >"$project/CMakeLists.txt" <<'EOF'
cmake_minimum_required(VERSION 3.20)
project(find_imgseal NONE)
find_package(imgseal 1.3 CONFIG REQUIRED)
file(GENERATE OUTPUT programs.txt CONTENT
  "$<TARGET_FILE:imgseal::imgseal>\n$<TARGET_FILE:imgseal::pack>\n$<TARGET_FILE:imgseal::verify>\n")
EOF
  cmake -S "$project" -B "$project/build" -Dimgseal_DIR="$1/usr/share/imgseal/cmake" >/dev/null &&
    test "$(cat "$project/build/programs.txt")" = \
      "$(printf '%s\n' "$1"/usr/bin/imgseal "$1"/usr/bin/imgseal-pack "$1"/usr/bin/imgseal-verify)"
}

make_deb() {  # BUILD_DIRECTORY: cpack, quiet unless it fails
  (cd "$1" && umask 022 && cpack -G DEB >cpack.log 2>&1) || { cat "$1/cpack.log" >&2; return 1; }
}
build_package() {  # clone|archive TREE BUILD_DIRECTORY: the last commit's package, as Debian builds (-O2 -g)
  local kind=$1
  shift
  if [ "$kind" = clone ]; then
    git clone --quiet --shared --no-checkout . "$1"
    git -C "$1" checkout --quiet --detach "$commit"
  else
    mkdir -p "$1"
    git archive "$commit" | tar -x -C "$1"
  fi
  cmake -S "$1" -B "$2" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DIMGSEAL_TESTS=OFF >/dev/null
  cmake --build "$2" -j "$(nproc)" >/dev/null
  make_deb "$2"
}

check_deb() {  # DEB ARCH [RUNNER...]: the package's checks; RUNNER starts its tool
  local deb=$1 arch=$2 root
  shift 2
  root=$work/root-$arch
  check "$arch: package name" test "$(dpkg-deb -f "$deb" Package)" = imgseal
  check "$arch: version is $version" test "$(dpkg-deb -f "$deb" Version)" = "$version"
  check "$arch: architecture is $arch" test "$(dpkg-deb -f "$deb" Architecture)" = "$arch"
  check "$arch: section is utils" test "$(dpkg-deb -f "$deb" Section)" = utils
  check "$arch: depends on libc6, named as a native build names it" grep -q '^libc6 (' \
    <<<"$(dpkg-deb -f "$deb" Depends)"
  check "$arch: depends on libnettle8, for imgseal-verify" grep -q 'libnettle8' \
    <<<"$(dpkg-deb -f "$deb" Depends)"
  check "$arch: depends on libdeflate0, for imgseal-pack and imgseal-verify" grep -q 'libdeflate0' \
    <<<"$(dpkg-deb -f "$deb" Depends)"
  check "$arch: file times are the changelog's date" all_dated "$deb" "$release_time"
  check "$arch: lintian reports no error and no warning" lintian_clean "$deb"

  dpkg -x "$deb" "$root"
  local doc=$root/usr/share/doc/imgseal
  check "$arch: machine-readable copyright" grep -qx 'Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/' "$doc/copyright"
  check "$arch: copyright is the MIT (Expat) licence" grep -qx 'License: Expat' "$doc/copyright"
  check "$arch: changelog.gz's entry is for $version" test "$(zcat "$doc/changelog.gz" | dpkg-parsechangelog -l - -S Version)" = "$version"
  for program in "${programs[@]}"; do
    local elf=$root/usr/bin/$program page=$root/usr/share/man/man1/$program.1.gz
    check "$arch: $program is in /usr/bin" test -x "$elf"
    check "$arch: $program.1.gz is a gzip file" gzip -t "$page"
    check "$arch: $program.1.gz passes mandoc's lint" mandoc -T lint -W warning <(zcat "$page")
    check "$arch: $program is position-independent" grep -q 'Type: *DYN' <(readelf -hW "$elf")
    check "$arch: $program is flagged PIE" grep -q 'FLAGS_1.*PIE' <(readelf -dW "$elf")
    check "$arch: $program binds now" grep -q 'BIND_NOW' <(readelf -dW "$elf")
    check "$arch: $program has read-only relocations" grep -q 'GNU_RELRO' <(readelf -lW "$elf")
    check "$arch: $program has the stack protector" grep -q ' __stack_chk_fail@' <(readelf --dyn-syms -W "$elf")
    check "$arch: $program calls fortified functions" fortified "$elf"
  done
  # The boot check, as sources to copy, and its manual page.
  local page3=$root/usr/share/man/man3/imgseal_check.3.gz
  for source in imgseal_check.h imgseal_check.c; do
    check "$arch: boot/$source is in /usr/share/imgseal/boot" \
      cmp "boot/$source" "$root/usr/share/imgseal/boot/$source"
  done
  check "$arch: imgseal_check.3.gz is a gzip file" gzip -t "$page3"
  check "$arch: imgseal_check.3.gz passes mandoc's lint" mandoc -T lint -W warning <(zcat "$page3")
  local page7=$root/usr/share/man/man7/imgseal-firmware.7.gz
  check "$arch: imgseal-firmware.7.gz is a gzip file" gzip -t "$page7"
  check "$arch: imgseal-firmware.7.gz passes mandoc's lint" mandoc -T lint -W warning <(zcat "$page7")
  # The CMake package, where a bare-metal project finds it, naming the
  # package's own programs.
  for file in imgsealConfig.cmake imgsealConfigVersion.cmake imgsealTargets.cmake imgseal_image.cmake; do
    check "$arch: $file is in /usr/share/imgseal/cmake" test -f "$root/usr/share/imgseal/cmake/$file"
  done
  check "$arch: find_package(imgseal) gives the package's programs" package_found "$root"
  check "$arch: imgseal needs no library beyond the C and C++ ones" c_and_cxx_only \
    "$root/usr/bin/imgseal"
  tools/make_sample_image.sh "$root/sample.img"
  check "$arch: imgseal seals the sample" test "$("$@" "$root/usr/bin/imgseal" "$root/sample.img")" = \
    $'Name: abc\nLength = 2024\nChecksum DEAC'
  check "$arch: imgseal-verify finds the sample sealed, with sha256sum's digest" test \
    "$("$@" "$root/usr/bin/imgseal-verify" "$root/sample.img")" = \
    "$root/sample.img: OK, Length = 2024, Checksum DEAC, SHA-256 $(head -c 2024 "$root/sample.img" | sha256sum | cut -d ' ' -f 1)"
  # The README's sample binary, packed and sealed as the README shows.
  tools/make_sample_binary.sh "$root/app.bin"
  check "$arch: imgseal-pack packs the sample binary" test \
    "$("$@" "$root/usr/bin/imgseal-pack" --name=app "$root/app.bin" "$root/app.img")" = \
    "$root/app.img: binary of 6000 bytes at 2048, Length = 8048, CRC-32 95D6AF56"
  check "$arch: imgseal seals the packed image" test "$("$@" "$root/usr/bin/imgseal" "$root/app.img")" = \
    $'Name: app\nLength = 8048\nChecksum 0E0C'
  echo "$arch: $(basename "$deb"): fields, files, hardening, lintian, the CMake package, a sealed, verified sample and a packed, sealed binary as expected"
}

for page in "${programs[@]}"; do
  check "docs/$page.1 passes mandoc's lint" mandoc -T lint -W warning "docs/$page.1"
done
check "docs/imgseal_check.3 passes mandoc's lint" mandoc -T lint -W warning docs/imgseal_check.3
check "docs/imgseal-firmware.7 passes mandoc's lint" mandoc -T lint -W warning docs/imgseal-firmware.7

started=$(date +%s)
first=$work/a/imgseal
build_package clone "$first" "$first/build/package"
first_deb=$(ls "$first"/build/package/imgseal_*.deb)
for program in "${programs[@]}"; do
  check "no build path in $program, built with -g" lacks "$first/build/package/$program" "$work"
done
check_deb "$first_deb" "$(dpkg --print-architecture)"

for cross in "$@"; do
  arch=${cross%%=*} build=${cross#*=}
  triplet=$("$(sed -n 's/^CMAKE_CXX_COMPILER:[A-Z]*=//p' "$build/CMakeCache.txt")" -dumpmachine)
  make_deb "$build"
  # The cross toolchain's C library first, as tools/check_cross.sh says why.
  check_deb "$(ls "$build"/imgseal_*_"$arch".deb)" "$arch" "qemu-${triplet%%-*}" -L "/usr/$triplet" \
    -E "LD_LIBRARY_PATH=/usr/$triplet/lib:/usr/lib/$triplet"
done

# The second build: the commit's archive, without git, at another path, a
# minute later.
wait=$((started + 60 - $(date +%s)))
if ((wait > 0)); then sleep "$wait"; fi
second=$work/second-tree/src
build_package archive "$second" "$work/b/build"
second_deb=$(ls "$work"/b/build/imgseal_*.deb)
check "a clone and an archive of one commit give identical packages" cmp "$first_deb" "$second_deb"
sha256sum "$first_deb" "$second_deb" | sed "s|$work/||"
