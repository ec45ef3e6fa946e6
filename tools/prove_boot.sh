#!/usr/bin/env bash
# The boot check's proof: Frama-C's WP proves the contracts written in
# boot/imgseal_check.h and boot/imgseal_check.c, with guards against every
# runtime error, for a 32-bit size_t (the Cortex-M targets) and a 64-bit one
# (the host), and fails unless every goal is proven. WP's smoke tests, which
# look for preconditions that no input meets, loops whose invariants
# contradict each other and calls that cannot return, run with the 32-bit
# proof; those for each unreachable statement take minutes more and are left
# to a run by hand (add -wp-smoke-tests to prove()'s options). Then each fault below is planted in a copy of the
# routine, and the stage fails unless the proof of that copy fails. It prints
# the goals proven by each prover and the time. imgseal_check(3), PROOF, says
# what the proof covers.
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
# the routine reads them as nothing else (imgseal_check(3), PROOF).
# -wp-literals gives the provers the characters of string literals, which
# imgseal_check_result_name()'s contract spells. The
# slowest goal takes about 20 s of a prover's time; the provers' limits are
# of wall time, so the timeout leaves room for a slower or busier machine. A goal that a planted fault breaks fails
# quickly where it fails at all, and one that the fault leaves as it was
# comes from WP's cache, which the proof of the routine fills.
timeout=120 fault_timeout=10
wp=(-warn-invalid-pointer -warn-signed-downcast
  -wp -wp-rte -rte-initialized @all -wp-no-volatile -wp-no-filter-init -wp-model Typed+cast
  -wp-literals -wp-prover z3,cvc4 -wp-timeout "$timeout" -wp-smoke-timeout 2 -wp-par 2
  -wp-cache update -wp-cache-dir "$build/cache")

# prove NAME DIRECTORY MACHDEP [OPTION...]: runs WP on DIRECTORY's routine,
# with its log in $build/NAME.log; prints "proven total" from WP's summary.
prove() {
  local name=$1 directory=$2 machdep=$3
  shift 3
  # The build without the CRC (IMGSEAL_CHECK_CRC 0): the CRC's code is not
  # proven yet (imgseal_check(3), PROOF).
  frama-c -machdep "$machdep" -cpp-extra-args="-I$directory -DIMGSEAL_CHECK_CRC=0" \
    "$directory/imgseal_check.c" \
    "${wp[@]}" "$@" >"$build/$name.log" 2>&1 || {
    tail -n 20 "$build/$name.log" >&2
    echo "frama-c failed on $name: see $build/$name.log" >&2
    return 1
  }
  sed -nE 's/^\[wp\] Proved goals: *([0-9]+) \/ ([0-9]+)$/\1 \2/p' "$build/$name.log"
}

# The goals of some logs by the prover that settled them (Qed is WP's own
# simplifier), and the goals and smoke tests left unproven.
by_prover() {
  cat "$@" | sed -nE 's/^\[wp\] \[([^]]+)\] Goal .* : Valid.*/\1/p' | sed 's/ [0-9.]*$//' |
    sort | uniq -c | awk '{ count = $1; $1 = ""; printf "%s %s,", substr($0, 2), count }' |
    sed 's/,$//; s/,/, /g'
}
unproven() {
  awk '/^\[wp\] \[[^]]+\] (Goal|Smoke-test) / && $2 !~ /^\[(Qed|Z3|CVC4|Passed)/ { print "  " $3 " " $4 }' "$1"
}

# Both data models at once, each on a core for WP's own work. The kept
# descriptor bytes of imgseal_check_feed() prove quickly path by path and
# slowly as one goal, so they are proven apart, split at each branch.
prove x86_32 "$PWD/boot" x86_32 -wp-prop=-descriptor_kept -wp-smoke-tests \
  -wp-no-smoke-dead-code >"$build/x86_32.count" &
first=$!
prove x86_64 "$PWD/boot" x86_64 -wp-prop=-descriptor_kept >"$build/x86_64.count" &
second=$!
wait "$first" && wait "$second" || exit 1
for machdep in 32 64; do
  prove "descriptor-$machdep" "$PWD/boot" "x86_$machdep" -wp-fct imgseal_check_feed \
    -wp-prop descriptor_kept -wp-split >"$build/descriptor-$machdep.count" &
  pids[machdep]=$!
done
wait "${pids[32]}" && wait "${pids[64]}" || exit 1

status=0
smoke=$(grep -c '^\[wp\] \[Passed\] Smoke-test' "$build/x86_32.log" || true)
for machdep in 32 64; do
  read -r proven total <"$build/x86_$machdep.count"
  # The smoke tests that passed are in WP's count; the goals are the rest.
  if ((machdep == 32)); then ((proven -= smoke, total -= smoke)) || true; fi
  read -r split_proven split_total <"$build/descriptor-$machdep.count"
  echo "x86_$machdep: $((proven + split_proven)) of $((total + split_total)) goals proven" \
    "($(by_prover "$build/x86_$machdep.log" "$build/descriptor-$machdep.log"))"
  if ((proven != total || split_proven != split_total)); then
    echo "x86_$machdep: not proven:" >&2
    unproven "$build/x86_$machdep.log" >&2
    unproven "$build/descriptor-$machdep.log" >&2
    status=1
  fi
done
echo "smoke tests: $smoke passed (no precondition that no input meets, no loop whose" \
  "invariants contradict each other, no call that cannot return)"
((status == 0)) || exit 1

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
  "judge(NULL, image, available, REQUIRE(0) length)"
  "judge(NULL, image, available + 1u, REQUIRE(0) length)"
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
  "if (check && !check->slot && sealed_length != check->count)"
  "if (check && !check->slot && sealed_length > check->count)"
  "the memory form summing the slot, not the length" judge
  "sum_words(image, sealed_length)" "sum_words(image, given)"
  "a slot's bytes still needed not held at its size" imgseal_check_needed
  "if (until > check->limit)" "if (until > check->limit + 1u)"
)
# plant INDEX: plants fault INDEX and proves its function; prints its line.
plant() {
  local i=$1 name function text planted copy source_text rest proven total
  name=${faults[i]} function=${faults[i + 1]} text=${faults[i + 2]} planted=${faults[i + 3]}
  copy=$build/fault-$((i / 4 + 1))
  mkdir -p "$copy"
  cp boot/imgseal_check.h "$copy/"
  source_text=$(<boot/imgseal_check.c)
  rest=${source_text/"$text"/}
  if [ "$rest" = "$source_text" ] || [ "${rest/"$text"/}" != "$rest" ]; then
    echo "fault \"$name\": its text is not in boot/imgseal_check.c exactly once: $text" >&2
    return 1
  fi
  printf '%s\n' "${source_text/"$text"/"$planted"}" >"$copy/imgseal_check.c"
  read -r proven total < <(prove "${copy##*/}" "$copy" x86_32 -wp-fct "$function" \
    -wp-timeout "$fault_timeout" -wp-no-rte) || return 1
  if ((proven == total)); then
    echo "fault \"$name\": the proof still holds" >&2
    return 1
  fi
  echo "fault \"$name\": $((total - proven)) of $total goals of $function fail:" \
    "$(unproven "$build/${copy##*/}.log" | sed 's/^ *Goal typed_cast_//' | paste -sd ' ' -)"
}

# Two at a time, their lines in order.
for ((i = 0; i < ${#faults[@]}; i += 8)); do
  plant "$i" >"$build/fault-line-$i" &
  first=$!
  if ((i + 4 < ${#faults[@]})); then
    plant "$((i + 4))" >"$build/fault-line-$((i + 4))" &
    wait "$!" || status=1
  fi
  wait "$first" || status=1
  cat "$build/fault-line-$i" "$build/fault-line-$((i + 4))" 2>/dev/null || true
done
((status == 0)) || exit 1

echo "proof: $((SECONDS - started)) s"
