#!/usr/bin/env bash
# The boot check's proof: Frama-C's WP proves the contracts written in
# boot/imgseal_check.h and boot/imgseal_check.c, with guards against every
# runtime error, for a 32-bit size_t (the Cortex-M targets), and the chaining
# of the stream and slot forms' calls in boot/imgseal_check_chain.c; for a
# 64-bit size_t (the host) it proves again the functions that take or pass
# on a size_t, the only ones whose goals change with it. It fails unless every goal is
# proven. WP's smoke tests, which look for preconditions that no input meets
# and loops whose invariants contradict each other, run for the 32-bit
# proof, in a run of their own. Those for calls that cannot return are left out: every loop carries
# a variant that the proof checks and no function calls itself, so every
# call returns, and a call after which nothing holds could only follow code
# that cannot run. Those for each unreachable statement take minutes more;
# both are left to a run by hand (add -wp-smoke-dead-code and
# -wp-smoke-dead-call). Then
# each fault below is planted in a copy of the routine, and the stage fails
# unless the copy's proof fails on a goal that the routine's own proof
# settled in at most a fifth of the faults' timeout. It prints the goals
# proven by each prover and the time of each part. imgseal_check(3), PROOF,
# says what the proof covers.
# Usage: tools/prove_boot.sh
# The build directory is build/proof; WP's cache lives there and is removed
# first, so that every run proves from nothing.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD build=$PWD/build/proof
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
# imgseal_check_result_name()'s contract spells.
# The provers stop at a number of steps, their own measure of work, so that
# what they prove does not depend on how busy the machine is: the goal that
# needs the most takes CVC4 about 1.1 million steps (15 s on an idle
# machine). The timeout is only a backstop for a machine far busier than one
# that runs two other jobs beside the proof. Each run names its provers.
steps=2000000 timeout=300
wp=(-warn-invalid-pointer -warn-signed-downcast
  -wp -wp-rte -rte-initialized @all -wp-no-volatile -wp-no-filter-init -wp-model Typed+cast
  -wp-literals -wp-timeout "$timeout" -wp-par "$(nproc)"
  -wp-cache update -wp-cache-dir "$build/cache")
goals=(-wp-prover z3,cvc4 -wp-steps "$steps")
# A smoke test passes when no prover proves false from what it assumes, so a
# prover stopped by the clock lets it pass sooner on a busy machine. CVC4
# keeps to its steps on them; Z3 does not (it takes 40 s to 5 minutes on most
# of them, whatever its steps), so they are CVC4's alone, with steps that the
# stage can afford: 200,000, a few seconds of an idle machine each, against
# the 2 million of the goals, at which the 55 would take it half an hour. The
# clock is the goals' backstop. Their run proves only the goals that come
# quickly (the assigns clauses and the loop variants), since WP makes no
# smoke test for a function none of whose goals it proves; those goals are
# counted in the other runs, not in this one.
smoke_steps=200000
smoke=(-wp-prover cvc4 -wp-steps "$smoke_steps" -wp-smoke-tests -wp-no-smoke-dead-code
  -wp-no-smoke-dead-call -wp-smoke-timeout "$timeout"
  -wp-prop=-@ensures,-@assert,-@invariant,-@check,-@requires,-@exits,-@terminates,-@breaks,-@continues,-@returns,-@complete_behaviors,-@disjoint_behaviors)
# Every run reads the chaining's driver too, so that the goals of the
# routine are the same in each and a fault's run finds those it leaves
# unchanged in the cache.
sources=(boot/imgseal_check.c boot/imgseal_check_chain.c)
# The functions whose goals depend on size_t's width: those that take a
# size_t or pass one on.
wide=imgseal_check_feed,narrow,sum_step,imgseal_check_pieces,feed_piece,total_grows,byte_more
wide+=,piece_byte_more,pieces_add_up

# prove NAME DIRECTORY MACHDEP ARGUMENT...: runs WP from DIRECTORY, the
# ARGUMENTs after the common options so that they may override them (the
# sources' paths relative to it, as in every run, so that a goal that a
# fault leaves as it was is the same goal and comes from the cache), with
# its log in $build/NAME.log, its seconds in $build/NAME.seconds and the
# processor seconds that it and the provers took in $build/NAME.cpu; prints
# "proven total" from WP's summary. A run is stopped after 20 minutes.
prove() {
  local name=$1 directory=$2 machdep=$3 from=$SECONDS TIMEFORMAT='%U %S'
  shift 3
  # The build without the CRC (IMGSEAL_CHECK_CRC 0): the CRC's code is not
  # proven yet (imgseal_check(3), PROOF).
  { time (cd "$directory" && timeout 1200 frama-c -machdep "$machdep" \
    -cpp-extra-args="-Iboot -DIMGSEAL_CHECK_CRC=0" \
    "${wp[@]}" "$@" >"$build/$name.log" 2>&1); } 2>"$build/$name.times" || {
    tail -n 20 "$build/$name.log" >&2
    echo "frama-c failed or took 20 minutes on $name: see $build/$name.log" >&2
    return 1
  }
  echo $((SECONDS - from)) >"$build/$name.seconds"
  awk '{ printf "%d\n", $1 + $2 }' "$build/$name.times" >"$build/$name.cpu"
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

# Seconds from WP's way of writing a time: 870ms, 6.0s, 1'05s.
seconds() {
  awk -v t="$1" 'BEGIN {
    if (t ~ /ms$/) { sub(/ms$/, "", t); printf "%.2f", t / 1000 }
    else if (t ~ /'\''/) { split(t, a, "'\''"); sub(/s$/, "", a[2]); printf "%.2f", a[1] * 60 + a[2] }
    else { sub(/s$/, "", t); printf "%.2f", t } }'
}
# goal_time GOAL LOG...: the seconds in which the first LOG that proved GOAL
# proved it (Qed's own time where Qed settled it); nothing if none did.
goal_time() {
  local goal=$1 line time
  shift
  line=$(grep -h -m1 -F "] Goal $goal : Valid" "$@" | head -n 1) || true
  [ -n "$line" ] || return 0
  time=$(sed -nE 's/.* : Valid.* \(([0-9.]+(ms|s)|[0-9]+'\''[0-9]*s?)\)( \([0-9]+\))?( \(cached\))?$/\1/p' <<<"$line")
  seconds "${time:-0ms}"
}

# Part 1, both data models at once. WP's own work in a run goes on one core,
# so the 32-bit proof is two runs, imgseal_check_feed() and what it calls
# apart from the rest, and all six runs, the smoke tests' included, share
# the cores. The kept descriptor bytes of imgseal_check_feed() prove quickly
# path by path and slowly as one goal, so they are proven apart, split at
# each branch.
part_started=$SECONDS
feed_family=imgseal_check_feed,feed_piece,sum_step,descriptor_kept,header_kept
runs=(x86_32 x86_32-feed x86_64 descriptor-32 descriptor-64 smoke)
prove x86_32 "$root" x86_32 "${sources[@]}" "${goals[@]}" -wp-skip-fct "$feed_family" \
  -wp-prop=-descriptor_kept >"$build/x86_32.count" &
pids=($!)
prove x86_32-feed "$root" x86_32 "${sources[@]}" "${goals[@]}" -wp-fct "$feed_family" \
  -wp-prop=-descriptor_kept >"$build/x86_32-feed.count" &
pids+=($!)
prove x86_64 "$root" x86_64 "${sources[@]}" "${goals[@]}" -wp-fct "$wide" -wp-prop=-descriptor_kept \
  >"$build/x86_64.count" &
pids+=($!)
for machdep in 32 64; do
  prove "descriptor-$machdep" "$root" "x86_$machdep" "${sources[@]}" "${goals[@]}" \
    -wp-fct imgseal_check_feed -wp-prop descriptor_kept -wp-split >"$build/descriptor-$machdep.count" &
  pids+=($!)
done
prove smoke "$root" x86_32 "${sources[@]}" "${smoke[@]}" >/dev/null &
pids+=($!)
status=0
for pid in "${pids[@]}"; do wait "$pid" || status=1; done
((status == 0)) || exit 1

for machdep in 32 64; do
  names=("x86_$machdep" "descriptor-$machdep")
  ((machdep == 64)) || names+=(x86_32-feed)
  logs=() proven=0 total=0 seconds=
  for name in "${names[@]}"; do
    logs+=("$build/$name.log")
    read -r run_proven run_total <"$build/$name.count"
    ((proven += run_proven, total += run_total)) || true
    seconds+="${seconds:+, }$name $(<"$build/$name.seconds") s"
  done
  echo "x86_$machdep: $proven of $total goals proven ($(by_prover "${logs[@]}")): $seconds"
  if ((proven != total)); then
    echo "x86_$machdep: not proven:" >&2
    for log in "${logs[@]}"; do unproven "$log" >&2; done
    status=1
  fi
done
smoke_passed=$(grep -c '^\[wp\] \[Passed\] Smoke-test' "$build/smoke.log" || true)
smoke_total=$(grep -c '^\[wp\] \[[^]]*\] Smoke-test' "$build/smoke.log" || true)
if ((smoke_total == 0 || smoke_passed != smoke_total)); then
  echo "smoke tests: $((smoke_total - smoke_passed)) of $smoke_total failed:" >&2
  unproven "$build/smoke.log" | grep -F _wp_smoke_ >&2 || true
  status=1
fi
echo "smoke tests: $smoke_passed passed (no precondition that no input meets, no loop whose" \
  "invariants contradict each other; CVC4, $smoke_steps steps each), 32-bit:" \
  "$(<"$build/smoke.seconds") s ($(<"$build/smoke.cpu") s of the processors' time)"
cpu=0
for name in "${runs[@]}"; do ((cpu += $(<"$build/$name.cpu"))) || true; done
echo "both data models and the smoke tests, side by side: $((SECONDS - part_started)) s ($cpu s of the processors' time)"
((status == 0)) || exit 1

# The planted faults: NAME, the function whose proof must fail (and the WP
# options that select its goals: by default those of the runs above; for a
# function with many goals, the kind of goal that the fault must break, so
# that its run does not prove afresh the goals that it changes but leaves
# true), the text of boot/imgseal_check.c to change, and what it becomes. Each is planted
# alone, in a copy; a text that is not found once fails the stage, so that a
# change to the routine cannot turn a fault into a run that changes nothing.
fault_timeout=10
faults=(
  "a descriptor bound weakened by one" check_header
  "offset + DESCRIPTOR_SIZE > room" "offset + DESCRIPTOR_SIZE > room + 1u"
  "the odd-length check dropped" check_fields
  "length % 2u != 0u || " ""
  "the memory form reading one byte past available" "imgseal_check_memory -wp-prop @requires"
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
  "a stream whose length need not be the bytes fed" "judge -wp-prop @assert"
  "if (check && !check->slot && sealed_length != check->count)"
  "if (check && !check->slot && sealed_length > check->count)"
  "the memory form summing the slot, not the length" "judge -wp-prop @assert"
  "sum_words(image, sealed_length)" "sum_words(image, given)"
  "a slot's bytes still needed not held at its size" imgseal_check_needed
  "if (until > check->limit)" "if (until > check->limit + 1u)"
  "a slot's length checked against its size, not the bytes fed" "judge -wp-prop @assert"
  "result = check_fields(fields, offset, sealed_length, given);"
  "result = check_fields(fields, offset, sealed_length, check ? check->limit : given);"
  "a piece that starts at an odd position summed as if at an even one" "add_words -wp-prop @assert"
  "if (at % 2u != 0u) {" "if (at % 2u == 0u) {"
  "feed capping the sum only once the descriptor is strictly passed" "imgseal_check_feed -wp-prop @assert"
  "if (end >= offset + DESCRIPTOR_SIZE) {" "if (end > offset + DESCRIPTOR_SIZE) {"
  "feed taking a byte past the slot's end" "imgseal_check_feed -wp-prop @assert"
  "uint32_t n = check->limit - at;" "uint32_t n = check->limit - at + 1u;"
  "feed keeping no descriptor byte from a piece that ends at 9" "imgseal_check_feed -wp-prop descriptor_kept -wp-split"
  "if (end > HEADER_SIZE) {" "if (end > HEADER_SIZE + 1u) {"
  "feed counting only the bytes summed" "imgseal_check_feed -wp-prop @ensures,-descriptor_kept"
  "check->count = end;" "check->count = sum_end;"
  "sum_words taking an odd last byte as a low-order byte" "sum_words -wp-prop @ensures"
  $'    if (n % 2u != 0u) {\n        high += p[0];' $'    if (n % 2u != 0u) {\n        low += p[0];'
  "sum_words ending its groups of 8 at a multiple of 16" "sum_words -wp-prop @assert"
  "p + (n - n % 8u);" "p + (n - n % 16u);"
)
# plant INDEX: plants fault INDEX and proves its function; prints its lines.
plant() {
  local i=$1 name function options text planted copy source_text rest goal outcome unchanged \
    cpu counted=0 from=$SECONDS
  name=${faults[i]} text=${faults[i + 2]} planted=${faults[i + 3]}
  read -r function options <<<"${faults[i + 1]}"
  copy=$build/fault-$((i / 4 + 1))
  mkdir -p "$copy/boot"
  cp boot/imgseal_check.h boot/imgseal_check_chain.c "$copy/boot/"
  source_text=$(<boot/imgseal_check.c)
  rest=${source_text/"$text"/}
  if [ "$rest" = "$source_text" ] || [ "${rest/"$text"/}" != "$rest" ]; then
    echo "fault \"$name\": its text is not in boot/imgseal_check.c exactly once: $text" >&2
    return 1
  fi
  printf '%s\n' "${source_text/"$text"/"$planted"}" >"$copy/boot/imgseal_check.c"
  # A run that takes minutes of the processors' time is a fault that only a
  # timeout would catch, or a change that keeps the provers busy: either way
  # it fails the stage. Its time on the clock depends on the load.
  # shellcheck disable=SC2086
  read -r proven total < <(prove "${copy##*/}" "$copy" x86_32 "${sources[@]}" "${goals[@]}" \
    -wp-fct "$function" ${options:--wp-prop=-descriptor_kept} -wp-timeout "$fault_timeout") || return 1
  cpu=$(<"$build/${copy##*/}.cpu")
  if ((cpu > 240)); then
    echo "fault \"$name\": its run took $cpu s of the processors' time, more than 240" >&2
    return 1
  fi
  echo "fault \"$name\": $((total - proven)) of $total goals of $function fail in" \
    "$((SECONDS - from)) s ($cpu s of the processors' time):"
  # Each failed goal, what the provers said, and how long the routine's own
  # proof took for it.
  while read -r goal; do
    outcome=$(awk -v goal="$goal" '
      $0 ~ /^\[wp\] / { inside = ($4 == goal) ; next }
      inside { sub(/^ +/, ""); printf "%s%s", sep, $0; sep = "; " }' "$build/${copy##*/}.log")
    unchanged=$(goal_time "$goal" "$build/x86_32.log" "$build/x86_32-feed.log" "$build/descriptor-32.log")
    if [ -n "$unchanged" ] && awk -v u="$unchanged" -v t="$fault_timeout" 'BEGIN { exit !(u <= t / 5) }'; then
      counted=1
      echo "  ${goal#typed_cast_}: $outcome; proven unchanged in $unchanged s"
    else
      echo "  ${goal#typed_cast_}: $outcome; unchanged ${unchanged:+in $unchanged s, }not counted"
    fi
  done < <(awk '/^\[wp\] \[[^]]+\] Goal / && $2 !~ /^\[(Qed|Z3|CVC4)/ { print $4 }' "$build/${copy##*/}.log")
  if ((!counted)); then
    echo "fault \"$name\": no goal that the routine proves in ${fault_timeout}/5 s fails" >&2
    return 1
  fi
}

# Two at a time, their lines in order.
part_started=$SECONDS
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
echo "the faults: $((SECONDS - part_started)) s"
((status == 0)) || exit 1

echo "proof: $((SECONDS - started)) s"
