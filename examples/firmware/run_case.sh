#!/bin/sh
# Runs one case of cases.txt: makes the two slots' contents from this
# build's images, runs the loader under QEMU on the micro:bit with them in
# flash, and checks the loader's verdicts and which slot ran.
# Usage: run_case.sh QEMU LOADER SLOT_A SLOT_B SLOT_SIZE NAME A B VERDICTS RUNS
# from the build directory, where the images are; the slots' files go to
# cases/NAME/.
set -eu
if [ $# -ne 10 ]; then
  echo "usage: run_case.sh QEMU LOADER SLOT_A SLOT_B SLOT_SIZE NAME A B VERDICTS RUNS" >&2
  exit 2
fi
qemu=$1 loader=$2 slot_a=$3 slot_b=$4 slot_size=$(($5)) name=$6
work=cases/$name
rm -rf "$work" && mkdir -p "$work"

fail() { echo "$name: $*" >&2; exit 1; }

# make_slot CASE FILE: the slot's bytes as the case column gives them
# (an image, then its damage), erased flash past the image.
make_slot() {
  head -c "$slot_size" /dev/zero | tr '\000' '\377' >"$2"
  image=${1%%,*}
  if [ "$image" = erased ]; then size=0; else
    [ -f "$image" ] || fail "no image $image"
    size=$(wc -c <"$image")
    dd if="$image" of="$2" conv=notrunc status=none
  fi
  changes=${1#"$image"}
  for change in $(echo "$changes" | tr ',' ' '); do
    offset=${change#*@} offset=$((${offset%+*}))
    if [ "$offset" -lt 0 ]; then offset=$((size + offset)); fi
    case $change in
      erase@*+*) count=$((${change#*+})) fill='\377' ;;
      zero@*+*) count=$((${change#*+})) fill='\000' ;;
      flip@*)
        count=1
        byte=$(od -A n -t u1 -j "$offset" -N 1 "$2" | tr -d ' ')
        fill=$(printf '\\%03o' $((byte ^ 1)))
        ;;
      *) fail "unknown change $change" ;;
    esac
    head -c "$count" /dev/zero | tr '\000' "$fill" |
      dd of="$2" bs=1 seek="$offset" conv=notrunc status=none
  done
}
make_slot "$7" "$work/slot-a.bin"
make_slot "$8" "$work/slot-b.bin"

status=0
timeout 60 "$qemu" -M microbit -nographic -monitor none -serial none \
  -semihosting-config enable=on,target=native -kernel "$loader" \
  -device loader,file="$work/slot-a.bin",addr="$slot_a",force-raw=on \
  -device loader,file="$work/slot-b.bin",addr="$slot_b",force-raw=on \
  >"$work/output" 2>&1 || status=$?
cat "$work/output"

verdicts=$(sed -n 's/^slot \([AB]\): \([A-Z_]*\).*/\1:\2/p' "$work/output" | paste -s -d , -)
[ "$verdicts" = "$9" ] || fail "the loader found $verdicts, not ${9}"
ran=$(sed -n 's/^application .* running in slot \([AB]\)$/\1/p' "$work/output")
case ${10} in
  none)
    [ -z "$ran" ] || fail "slot $ran ran, where the loader should have halted"
    grep -qx 'no slot holds an image to start: halted' "$work/output" || fail "no halt reported"
    [ "$status" -eq 1 ] || fail "the run ended with status $status, not 1 (halted)"
    ;;
  *)
    [ "$ran" = "${10}" ] || fail "slot ${ran:-none} ran, not ${10}"
    grep -qx "starting slot ${10}" "$work/output" || fail "the loader did not say it started ${10}"
    [ "$status" -eq 0 ] || fail "the run ended with status $status"
    ;;
esac
if [ "${10}" = none ]; then outcome=halted; else outcome="slot ${10} ran"; fi
echo "$name: verdicts $verdicts, $outcome" | tee "$work/result"
