#!/usr/bin/env bash
# The CMake package as a firmware project uses it: installs the build's
# package into build/firmware/prefix, then builds examples/firmware against
# it, not against the build tree, with the Ninja generator and an unbounded
# -j, and with the README's command (the Unix Makefiles, -j "$(nproc)", then
# ctest, which runs the loader under QEMU on every case of cases.txt). Each
# build must make and seal each image once, record them in seals.txt, and
# have nothing to make again on a second run; both builds must give the same
# images. The Release configuration of a Ninja Multi-Config build must pass
# the same. A host project then checks that a failed pack leaves no image and
# that a changed setting makes the image again, and projects of their own
# what else a project may do.
# Usage: tools/check_firmware.sh BUILD_DIRECTORY    (a built release build)
set -euo pipefail
cd "$(dirname "$0")/.."
build=$(realpath "${1:?usage: check_firmware.sh BUILD_DIRECTORY}")
work=$PWD/build/firmware
prefix=$work/prefix
verify=$prefix/bin/imgseal-verify
images=(app-1-a app-1-b app-2-a app-2-b)
rm -rf "$work" && mkdir -p "$work"

# The checks' messages go to the standard error the script was given (3),
# also from a check whose output goes to a log.
exec 3>&2
check() {  # DESCRIPTION COMMAND...: stops with DESCRIPTION unless COMMAND succeeds
  local what=$1
  shift
  "$@" || { echo "FAILED: firmware example: $what" >&3; exit 1; }
}
times() { (cd "$1" && stat -c '%n %i %.9Y' ./*.img seals.txt); }
packed_once() {  # LOG: each image's packer line appears once
  local image
  for image in "${images[@]}"; do
    test "$(grep -c "/$image.img: binary of" "$1")" = 1 || return 1
  done
}

cmake --install "$build" --prefix "$prefix" >/dev/null
# The package is found as the guide says: with Ninja through
# CMAKE_PREFIX_PATH, and with the Unix Makefiles, in the README's command,
# through the prefix's bin/ on PATH (with NO_CMAKE_FIND_ROOT_PATH in the
# project both times); the host project below names imgseal_DIR.
readme=$(grep -m 1 '^    cd examples/firmware && cmake -B build && cmake --build build -j ' README.md)
check "the README shows the example's command" test -n "$readme"
mkdir -p "$work/readme/examples"
cp -r examples/firmware "$work/readme/examples/"
for generator in Ninja "Unix Makefiles"; do
  if [ "$generator" = Ninja ]; then
    dir=$work/Ninja log=$work/Ninja.log
    CMAKE_PREFIX_PATH=$prefix cmake -S examples/firmware -B "$dir" -G "$generator" >"$log"
    check "Ninja: the build succeeds" cmake --build "$dir" -j >>"$log" 2>&1
  else
    dir=$work/readme/examples/firmware/build log=$work/readme.log
    check "the README's command builds the example and passes every case" \
      env -u CMAKE_GENERATOR PATH="$prefix/bin:$PATH" bash -c "cd '$work/readme' && $readme" >"$log" 2>&1
    check "with the Unix Makefiles" grep -qx 'CMAKE_GENERATOR:INTERNAL=Unix Makefiles' "$dir/CMakeCache.txt"
  fi
  check "$generator: no warning" eval '! grep -i "warning" "$log"'
  check "$generator: every image packed and sealed once" packed_once "$log"
  check "$generator: seals.txt holds the images' OK lines" test "$(cat "$dir/seals.txt")" = \
    "$(cd "$dir" && "$verify" "${images[@]/%/.img}")"
  check "$generator: imgseal-verify -c seals.txt passes" \
    bash -c "cd '$dir' && '$verify' -q -c seals.txt"
  before=$(times "$dir")
  check "$generator: a second build succeeds" cmake --build "$dir" -j >"$log.again" 2>&1
  check "$generator: a second build makes no image again" test "$(times "$dir")" = "$before"
  echo "$generator: built, each image packed and sealed once, seals.txt verified, nothing made again"
done
for image in "${images[@]}"; do
  check "$image.img is the same from both generators" \
    cmp "$work/Ninja/$image.img" "$work/readme/examples/firmware/build/$image.img"
done
# The cases that the README's command ran under QEMU, one test a case.
cat "$work"/readme/examples/firmware/build/cases/*/result
grep 'tests passed' "$work/readme.log"

# With a generator of several configurations, a configuration's images,
# seals.txt and cases lie in its directory (here one with a space in its
# name).
dir="$work/multi config" log=$work/multi.log
CMAKE_PREFIX_PATH=$prefix cmake -S examples/firmware -B "$dir" -G "Ninja Multi-Config" >"$log"
check "Ninja Multi-Config: the Release build succeeds" \
  cmake --build "$dir" --config Release -j >>"$log" 2>&1
check "Ninja Multi-Config: every image packed and sealed once" packed_once "$log"
check "Ninja Multi-Config: imgseal-verify -c seals.txt passes" \
  bash -c "cd '$dir/Release' && '$verify' -q -c seals.txt"
check "Ninja Multi-Config: every case passes" \
  ctest --test-dir "$dir" -C Release -j 2 --output-on-failure >>"$log" 2>&1
echo "Ninja Multi-Config: the Release configuration built, seals.txt verified, every case passed"

# A host project: a version the packer refuses fails the build and leaves no
# image, again on a second run; a version it takes then makes the image.
host=$work/host
mkdir -p "$host/src"
echo 'int main(void) { return 0; }' >"$host/src/prog.c"
cat >"$host/src/CMakeLists.txt" <<'EOF'
cmake_minimum_required(VERSION 3.20)
project(host_image C)
find_package(imgseal CONFIG REQUIRED)
add_executable(prog prog.c)
imgseal_add_image(TARGET prog VERSION ${VERSION})
EOF
configure() { cmake -S "$host/src" -B "$host/build" -DVERSION="$1" -Dimgseal_DIR="$prefix/share/imgseal/cmake" >/dev/null; }
configure 0xFFFFFFFF
for run in first second; do
  check "a version the packer refuses fails the $run build" \
    eval '! cmake --build "$host/build" >"$host/$run.log" 2>&1'
  check "and says why" grep -q 'reads as erased flash' "$host/$run.log"
  check "and leaves no image" test ! -e "$host/build/prog.img" -a ! -e "$host/build/prog.img.part"
done
configure 0x00010000
check "a changed version makes the image" cmake --build "$host/build" >"$host/third.log" 2>&1
check "which is sealed" "$verify" -q "$host/build/prog.img"
check "with the version in its header" test "$(head -c 4 "$host/build/prog.img" | od -A n -t x1 | tr -d ' ')" = 00010000
echo "a host project: a refused pack failed twice and left no image; the changed version made it"

# The host project again, from a made image: a version the packer refuses
# removes the earlier image rather than leaving it to pass for this one; a
# version changed from one it takes to another makes the image again; a
# rerun of cmake that changes nothing makes nothing again.
configure 0xFFFFFFFF
check "a refused version after a made image fails the build" \
  eval '! cmake --build "$host/build" >"$host/fourth.log" 2>&1'
check "and removes the earlier image" test ! -e "$host/build/prog.img"
configure 0x00010000
check "a version it takes makes the image again" cmake --build "$host/build" >"$host/fifth.log" 2>&1
configure 0x00020000
check "a version changed to another it takes makes the image again" \
  cmake --build "$host/build" >"$host/sixth.log" 2>&1
check "with the new version in its header" \
  test "$(head -c 4 "$host/build/prog.img" | od -A n -t x1 | tr -d ' ')" = 00020000
before=$(stat -c '%i %.9Y' "$host/build/prog.img")
configure 0x00020000
check "a rerun of cmake that changes nothing builds" cmake --build "$host/build" >"$host/seventh.log" 2>&1
check "and makes no image again" test "$(stat -c '%i %.9Y' "$host/build/prog.img")" = "$before"
echo "a host project: a refused pack removed the made image; a changed version made it again; a rerun of cmake made nothing"

# What a project may do that the projects above do not, each checked whatever
# the others gave; the stage fails if any failed.
faults=0
fault_check() {  # DESCRIPTION COMMAND...: as check, but goes on
  local what=$1
  shift
  "$@" || { echo "FAILED: firmware example: $what" >&3; faults=$((faults + 1)); }
}
# A project of its own: PROJECT is its CMakeLists.txt; then cmake ARGS....
project_at() {  # DIRECTORY PROJECT
  rm -rf "$1" && mkdir -p "$1/src"
  echo 'int main(void) { return 0; }' >"$1/src/prog.c"
  printf 'cmake_minimum_required(VERSION 3.20)\nproject(review C)\nfind_package(imgseal CONFIG REQUIRED)\nadd_executable(prog prog.c)\n%s\n' \
    "$2" >"$1/src/CMakeLists.txt"
}
package=-Dimgseal_DIR=$prefix/share/imgseal/cmake

# A name with a square bracket, or what else CMake's syntax gives a meaning
# to, which the packer takes: the build packs and seals it under that name.
for name in 'fw v1]' 'fw [beta' 'a;b]=]' '${x} "y" \z #'; do
  project_at "$work/bracket" 'imgseal_add_image(TARGET prog NAME "${NAME}")'
  fault_check "a NAME of '$name' is packed and sealed" \
    eval 'cmake -S "$work/bracket/src" -B "$work/bracket/build" "$package" "-DNAME=$name" \
      >"$work/bracket.log" 2>&1 && cmake --build "$work/bracket/build" >>"$work/bracket.log" 2>&1 &&
      grep -qxF "Name: $name" "$work/bracket.log"'
done

# A multi-config generator: the image of the configuration built is that
# configuration's, also when another was built before it. (Here and below,
# a step that fails leaves its check to fail.)
project_at "$work/configs" 'imgseal_add_image(TARGET prog)'
cmake -S "$work/configs/src" -B "$work/configs/build" -G "Ninja Multi-Config" "$package" >/dev/null || :
for config in Release Debug Release; do
  cmake --build "$work/configs/build" --config $config >"$work/configs.log" 2>&1 || :
done
configs_image=$work/configs/build/Release/prog.img
[ -e "$configs_image" ] || configs_image=$work/configs/build/prog.img
objcopy -O binary "$work/configs/build/Release/prog" "$work/configs/release.bin" || :
fault_check "Ninja Multi-Config: the Release image holds the Release binary after a Debug build" \
  cmp -s -n "$(stat -c %s "$work/configs/release.bin")" <(tail -c +2049 "$configs_image") \
  "$work/configs/release.bin"

# One target given to imgseal_add_image twice: both would make the one file
# TARGET.img, which the Unix Makefiles then seal twice at once; refused when
# the project is configured.
project_at "$work/twice" 'imgseal_add_image(TARGET prog NAME a)
imgseal_add_image(TARGET prog NAME b IMAGE_TARGET prog_image_b)'
fault_check "a target given to imgseal_add_image twice is refused by cmake" \
  eval '! cmake -S "$work/twice/src" -B "$work/twice/build" -G "Unix Makefiles" "$package" >"$work/twice.log" 2>&1'

# A changed toolchain's objcopy makes the image again, on a rerun of cmake
# that changes nothing else; a program whose ELF file is named as its
# binary is refused, not overwritten; a VERSION that is not a number is
# refused when the project is configured.
printf '#!/bin/sh\nexec objcopy "$@"\n' >"$work/host/objcopy" && chmod +x "$work/host/objcopy"
cmake "$host/build" -DCMAKE_OBJCOPY="$work/host/objcopy" >/dev/null || :
fault_check "a changed objcopy makes the image again" \
  eval 'cmake --build "$host/build" >"$host/eighth.log" 2>&1 && grep -q "/prog.img: binary of" "$host/eighth.log"'
project_at "$work/suffix" 'set_target_properties(prog PROPERTIES SUFFIX .bin)
imgseal_add_image(TARGET prog)'
cmake -S "$work/suffix/src" -B "$work/suffix/build" "$package" >/dev/null || :
fault_check "an ELF file named as its binary is refused" \
  eval '! cmake --build "$work/suffix/build" >"$work/suffix.log" 2>&1 &&
    tr -s " \n" " " <"$work/suffix.log" | grep -q "the ELF file has the name of its image or its binary" &&
    test "$(head -c 4 "$work/suffix/build/prog.bin" | od -A n -t x1 | tr -d " ")" = 7f454c46'
project_at "$work/number" 'imgseal_add_image(TARGET prog VERSION "1]")'
fault_check "a VERSION that is not a number is refused by cmake" \
  eval '! cmake -S "$work/number/src" -B "$work/number/build" "$package" >"$work/number.log" 2>&1 &&
    tr -s " \n" " " <"$work/number.log" | grep -q "VERSION 1\] is not a number"'

# Eleven targets that take the image as the guide says, in a directory with
# a space in its name: ten of this directory that name it by its full path,
# which gives them the dependency on the image's target, and one of another
# directory that depends on that target. A parallel build with the Unix
# Makefiles packs the image once, and a changed program makes each copy
# again. (A name without its directory gets no dependency on the target
# from the Unix Makefiles: the guide says so.)
project_at "$work/consumers dir" 'imgseal_add_image(TARGET prog)
set(image ${CMAKE_CURRENT_BINARY_DIR}/prog.img)
foreach(i RANGE 1 10)
  add_custom_command(OUTPUT copy${i}.img COMMAND ${CMAKE_COMMAND} -E copy ${image} copy${i}.img
    DEPENDS ${image} VERBATIM)
  add_custom_target(copy${i} ALL DEPENDS copy${i}.img)
endforeach()
add_subdirectory(other)'
mkdir -p "$work/consumers dir/src/other"
cat >"$work/consumers dir/src/other/CMakeLists.txt" <<'EOF'
add_custom_command(OUTPUT copy11.img COMMAND ${CMAKE_COMMAND} -E copy ${image} copy11.img
  DEPENDS ${image} VERBATIM)
add_custom_target(copy11 ALL DEPENDS copy11.img)
add_dependencies(copy11 prog_image)
EOF
copies_current() {  # each copy is the image as it is
  local copy
  for copy in copy{1..10}.img other/copy11.img; do
    cmp -s "$work/consumers dir/build/prog.img" "$work/consumers dir/build/$copy" || return 1
  done
}
cmake -S "$work/consumers dir/src" -B "$work/consumers dir/build" -G "Unix Makefiles" "$package" \
  >/dev/null || :
fault_check "with the Unix Makefiles, eleven targets that take the image build with -j 8" \
  eval 'cmake --build "$work/consumers dir/build" -j 8 >"$work/consumers.log" 2>&1'
fault_check "which packs it once" test "$(grep -c '/prog.img: binary of' "$work/consumers.log")" = 1
fault_check "and copies it eleven times" copies_current
echo 'int main(void) { return 1; }' >"$work/consumers dir/src/prog.c"
fault_check "a changed program builds with -j 8" \
  eval 'cmake --build "$work/consumers dir/build" -j 8 >"$work/consumers.log" 2>&1'
fault_check "and makes each copy again" copies_current

((faults == 0)) || exit 1
echo "projects of their own: a bracket in a name, a multi-config generator, one target given twice, a changed objcopy, an ELF file named as its binary, a VERSION not a number, eleven targets that take the image"
