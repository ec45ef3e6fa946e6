#!/usr/bin/env bash
# The boot check's proof: Frama-C's WP proves the contracts written in
# boot/imgseal_check.h and boot/imgseal_check.c, with guards against every
# runtime error, for a 32-bit size_t (the Cortex-M targets) and a 64-bit one
# (the host), and fails unless every goal is proven. It then runs WP's smoke
# tests, which look for contracts that could prove anything, and prints what
# they find; and it plants each fault below in a copy of the routine and fails
# unless the proof of that copy fails. It prints the goals proven by each
# prover and the time. imgseal_check(3), PROOF, says what the proof covers.
# Usage: tools/prove_boot.sh
# The build directory is build/proof.
set -euo pipefail
cd "$(dirname "$0")/.."
build=$PWD/build/proof
rm -rf "$build" && mkdir -p "$build"
started=$SECONDS

# Why3 finds the provers; WP's default prover is missing here, so each run
# names its own.
why3 config detect >"$build/why3-detect.log" 2>&1 ||
  { cat "$build/why3-detect.log" >&2; exit 1; }

# -wp-no-volatile: the routine reads the image's fields through a volatile
# pointer only so that no compiler merges its byte loads into word loads; the
# bytes do not change while it reads them, so the proof reads them as plain
# memory. Typed+cast: the image and the pieces come in as const void *, which
# WP types as char, and are read as uint8_t; the cast keeps the address, and
# the routine reads them as nothing else (imgseal_check(3), PROOF). The
# slowest goal takes about 20 s of a prover's time; the timeout leaves room
# for a slower or busier machine. Goals shared by the runs below come from
# WP's cache, which the planted faults' runs fill up from the first.
timeout=60
# A smoke test that holds, and a goal that a planted fault breaks, is found
# quickly where it is found at all; a goal that a fault leaves as it was comes
# from the cache.
smoke_timeout=5 fault_timeout=10
wp=(-warn-invalid-pointer -warn-signed-downcast
  -wp -wp-rte -rte-initialized @all -wp-no-volatile -wp-no-filter-init -wp-model Typed+cast
  -wp-prover z3,cvc4 -wp-timeout "$timeout" -wp-par 2
  -wp-cache update -wp-cache-dir "$build/cache")

# prove NAME DIRECTORY MACHDEP [OPTION...]: runs WP on DIRECTORY's routine,
# with its log in $build/NAME.log; prints "proven total" from WP's summary.
prove() {
  local name=$1 directory=$2 machdep=$3
  shift 3
  frama-c -machdep "$machdep" -cpp-extra-args=-I"$directory" "$directory/imgseal_check.c" \
    "${wp[@]}" -wp-session "$build/session-$name" "$@" >"$build/$name.log" 2>&1 || {
    tail -n 20 "$build/$name.log" >&2
    echo "frama-c failed on $name: see $build/$name.log" >&2
    return 1
  }
  sed -nE 's/^\[wp\] Proved goals: *([0-9]+) \/ ([0-9]+)$/\1 \2/p' "$build/$name.log"
}

# The goals of a log by the prover that settled them (Qed is WP's own
# simplifier), and the goals left unproven.
by_prover() {
  sed -nE 's/^\[wp\] \[([^]]+)\] Goal .* : Valid.*/\1/p' "$1" | sed 's/ [0-9.]*$//' | sort |
    uniq -c | awk '{ count = $1; $1 = ""; printf "%s %s,", substr($0, 2), count }' |
    sed 's/,$//; s/,/, /g'
}
unproven() { sed -nE 's/^\[wp\] \[(Failed|Unknown|Timeout)\] Goal ([^ ]+).*/  \2/p' "$1"; }

status=0
for machdep in x86_32 x86_64; do
  read -r proven total < <(prove "$machdep" "$PWD/boot" "$machdep") || exit 1
  echo "$machdep: $proven of $total goals proven ($(by_prover "$build/$machdep.log"))"
  if ((proven != total)); then
    echo "$machdep: not proven:" >&2
    unproven "$build/$machdep.log" >&2
    status=1
  fi
done
((status == 0)) || exit 1

# Smoke tests: each is a goal that should stay unproven (a false precondition,
# unreachable code, a loop whose invariants contradict each other); one that
# is proven is reported by WP as a warning.
read -r proven total < <(prove smoke "$PWD/boot" x86_32 -wp-smoke-tests \
  -wp-timeout "$smoke_timeout") || exit 1
smoke=$(grep -E '^\[wp\].*(Smoke|smoke|dead|Dead)' "$build/smoke.log" | grep -vE 'Goal .* : (Valid|Unsuccess)' || true)
echo "smoke tests: ${smoke:-none of them proven, so no contract is vacuous and no code dead}"

# The planted faults: NAME, the function whose proof must fail, the text of
# boot/imgseal_check.c to change, and what it becomes. Each is planted alone,
# in a copy; a text that is not found once fails the stage, so that a change
# to the routine cannot turn a fault into a run that changes nothing.
faults=(
  "a descriptor bound weakened by one" check_header
  "offset + DESCRIPTOR_SIZE > room" "offset + DESCRIPTOR_SIZE > room + 1u"
  "the odd-length check dropped" check_fields
  "length % 2u != 0u || " ""
  "the memory form reading one byte past available" imgseal_check_memory
  "judge(NULL, image, available, length)" "judge(NULL, image, available + 1u, length)"
  "a kept header byte from the wrong position" keep_header
  "check->kept[position] = piece[position - at];" "check->kept[position] = piece[position - at + 1u];"
  "a kept descriptor byte from the wrong position" keep_descriptor
  "check->kept[position - offset] = piece[position - at];"
  "check->kept[position - offset] = piece[position + 1u - at];"
  "the signature and not-sealed checks swapped" check_fields
  $'    if (signature != 0x55u && signature != 0xAAu)\n        return IMGSEAL_CHECK_BAD_SIGNATURE;\n    if ((fields[2] | fields[3] | length) == 0u)\n        return IMGSEAL_CHECK_NOT_SEALED;'
  $'    if ((fields[2] | fields[3] | length) == 0u)\n        return IMGSEAL_CHECK_NOT_SEALED;\n    if (signature != 0x55u && signature != 0xAAu)\n        return IMGSEAL_CHECK_BAD_SIGNATURE;'
  "an erased header of 7 bytes" is_erased
  "for (i = 0u; i < HEADER_SIZE; ++i)" "for (i = 0u; i < HEADER_SIZE - 1u; ++i)"
  "a stream whose length need not be the bytes fed" judge
  "sealed_length != check->count" "sealed_length > check->count"
  "the memory form summing the slot, not the length" judge
  "sum_words(image, sealed_length)" "sum_words(image, given)"
  "a slot's bytes still needed not held at its size" imgseal_check_needed
  "if (until > check->limit)" "if (until > check->limit + 1u)"
)
for ((i = 0; i < ${#faults[@]}; i += 4)); do
  name=${faults[i]} function=${faults[i + 1]} text=${faults[i + 2]} planted=${faults[i + 3]}
  copy=$build/fault-$((i / 4 + 1))
  mkdir -p "$copy"
  cp boot/imgseal_check.h "$copy/"
  source_text=$(<boot/imgseal_check.c)
  rest=${source_text/"$text"/}
  if [ "$rest" = "$source_text" ] || [ "${rest/"$text"/}" != "$rest" ]; then
    echo "fault \"$name\": its text is not in boot/imgseal_check.c exactly once: $text" >&2
    exit 1
  fi
  printf '%s\n' "${source_text/"$text"/"$planted"}" >"$copy/imgseal_check.c"
  read -r proven total < <(prove "${copy##*/}" "$copy" x86_32 -wp-fct "$function" \
    -wp-timeout "$fault_timeout") || exit 1
  if ((proven == total)); then
    echo "fault \"$name\": the proof still holds" >&2
    exit 1
  fi
  echo "fault \"$name\": $((total - proven)) of $total goals of $function fail:" \
    "$(unproven "$build/${copy##*/}.log" | sed 's/^ *typed_cast_//' | paste -sd ' ')"
done

echo "proof: $((SECONDS - started)) s"
