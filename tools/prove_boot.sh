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
# memory (imgseal_check(3), PROOF). Goals shared by the runs below come from
# WP's cache, which the planted faults' runs fill up from the first.
timeout=20
wp=(-warn-invalid-pointer -warn-signed-downcast
  -wp -wp-rte -rte-initialized @all -wp-no-volatile -wp-no-filter-init
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
read -r proven total < <(prove smoke "$PWD/boot" x86_32 -wp-smoke-tests) || exit 1
smoke=$(grep -E '^\[wp\].*(Smoke|smoke|dead|Dead)' "$build/smoke.log" | grep -vE 'Goal .* : (Valid|Unsuccess)' || true)
echo "smoke tests: ${smoke:-none of them proven, so no contract is vacuous and no code dead}"

# The planted faults: NAME, the function whose proof must fail, the text of
# boot/imgseal_check.c to change, and what it becomes. Each is planted alone,
# in a copy; a text that is not found once fails the stage, so that a change
# to the routine cannot turn a fault into a run that changes nothing.
faults=(
  "descriptor-bound" check_header
  "*offset + DESCRIPTOR_SIZE > room" "*offset + DESCRIPTOR_SIZE > room + 1u"
)
for ((i = 0; i < ${#faults[@]}; i += 4)); do
  name=${faults[i]} function=${faults[i + 1]} text=${faults[i + 2]} planted=${faults[i + 3]}
  copy=$build/fault-$name
  mkdir -p "$copy"
  cp boot/imgseal_check.h "$copy/"
  source_text=$(<boot/imgseal_check.c)
  rest=${source_text/"$text"/}
  if [ "$rest" = "$source_text" ] || [ "${rest/"$text"/}" != "$rest" ]; then
    echo "fault $name: its text is not in boot/imgseal_check.c exactly once: $text" >&2
    exit 1
  fi
  printf '%s\n' "${source_text/"$text"/"$planted"}" >"$copy/imgseal_check.c"
  read -r proven total < <(prove "fault-$name" "$copy" x86_32 -wp-fct "$function") || exit 1
  if ((proven == total)); then
    echo "fault $name: the proof still holds" >&2
    exit 1
  fi
  echo "fault $name: $((total - proven)) of $total goals of $function fail:" \
    "$(unproven "$build/fault-$name.log" | sed 's/^ *typed_//' | paste -sd ' ')"
done

echo "proof: $((SECONDS - started)) s"
