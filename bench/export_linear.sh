#!/usr/bin/env bash
# Export time per identifier at two block sizes (linearity), with `cat` of
# the same world file into a file as the baseline measured in the same run.
#
#   bench/export_linear.sh [IDS]
#
# IDS (or env IDS): identifiers in the smaller world, default 1000000; the
# larger world holds twice as many. The worlds' rest is 4 KiB (export never
# reads it). Caches are warm: each command runs once untimed first; before
# every timed command a global `sync` runs and `benchgen touch` makes free
# memory host-backed (see benchgen.cpp; PREFAULT_MIB=0 turns it off). Export
# and cat both write a new file on the same disk (removed before each run).
# CALLGRIND=1 also counts export's instructions at both sizes (see
# common.sh). See common.sh for BUILD_DIR, WORK_DIR, REPS, NO_BUILD, KEEP.
#
# Target: (time per identifier at 2 x IDS) / (time per identifier at IDS)
# near 1; the check allows up to 1.2.
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"

IDS=${1:-${IDS:-1000000}}
build_all
new_game export_linear
cd "$GAME"
W=data/save/region1/world.dat

echo "== export_linear: $IDS and $((2 * IDS)) identifiers, cache warm, $REPS reps"
conditions
declare -A per_id cpu_per_id export_ir
for n in "$IDS" $((2 * IDS)); do
  "$BENCHGEN" world "$W" "$n" 4096
  size=$(stat -c %s "$W")
  touch_mib=$((3 * size / 1048576 + 64))
  # Untimed first round: warms the caches and checks the dump.
  "$RAWGRAFT" 1 export dump.txt 2>/dev/null
  cat "$W" >cat.out
  lines=$(grep -cv -e '^$' -e '^====' -e '^\*\*data exported' dump.txt)
  [[ $lines == "$n" ]] || die "dump holds $lines identifier lines, expected $n"
  echo "   world.dat $size bytes; dump.txt $(stat -c %s dump.txt) bytes holding $lines identifiers"

  exp_t=() cat_t=() exp_rss=() exp_cpu=() cat_cpu=()
  for ((r = 1; r <= REPS; r++)); do
    run_export() {
      rm -f dump.txt; sync; prefault "$touch_mib"
      timed /dev/null /dev/null "$RAWGRAFT" 1 export dump.txt
      exp_t+=("$T") exp_rss+=("$RSS") exp_cpu+=("$CPU")
    }
    run_cat() {
      rm -f cat.out; sync; prefault "$touch_mib"
      timed cat.out /dev/null cat "$W"
      cat_t+=("$T") cat_cpu+=("$CPU")
    }
    if ((r % 2)); then run_export; run_cat; else run_cat; run_export; fi
  done
  m_exp=$(median "${exp_t[@]}"); m_cat=$(median "${cat_t[@]}")
  per_id[$n]=$(awk -v t="$m_exp" -v n="$n" 'BEGIN { printf "%.3f", t * 1e9 / n }')
  cpu_per_id[$n]=$(awk -v t="$(median "${exp_cpu[@]}")" -v n="$n" 'BEGIN { printf "%.3f", t * 1e9 / n }')
  echo "   $n ids: export $(show_times "${exp_t[@]}") s  (median $(show_times "$m_exp") s," \
    "${per_id[$n]} ns/identifier, cpu $(median3 "${exp_cpu[@]}") s, peak RSS $(mib "$(maximum "${exp_rss[@]}")") MiB)"
  echo "   $n ids: cat    $(show_times "${cat_t[@]}") s  (median $(show_times "$m_cat") s, cpu $(median3 "${cat_cpu[@]}") s);" \
    "export/cat $(ratio "$m_exp" "$m_cat")"
  if [[ ${CALLGRIND:-0} == 1 ]]; then
    count_instructions /dev/null "$RAWGRAFT" 1 export dump.txt
    export_ir[$n]=$IR
    echo "   $n ids: export runs $IR instructions under callgrind" \
      "($(awk -v i="$IR" -v n="$n" 'BEGIN { printf "%.1f", i / n }') per identifier)"
  fi
done
lin=$(ratio "${per_id[$((2 * IDS))]}" "${per_id[$IDS]}")
echo "-- time per identifier: ${per_id[$IDS]} ns at $IDS, ${per_id[$((2 * IDS))]} ns at $((2 * IDS))"
echo "-- CPU time per identifier: ${cpu_per_id[$IDS]} ns at $IDS, ${cpu_per_id[$((2 * IDS))]} ns at" \
  "$((2 * IDS)); 2x / 1x: $(ratio "${cpu_per_id[$((2 * IDS))]}" "${cpu_per_id[$IDS]}")"
conditions
if [[ ${CALLGRIND:-0} == 1 ]]; then
  echo "-- instructions per identifier, 2x / 1x:" \
    "$(ratio "$(awk -v i="${export_ir[$((2 * IDS))]}" 'BEGIN { print i / 2 }')" "${export_ir[$IDS]}")"
fi
echo "-- targets"
verdict "per-identifier time ratio (2x / 1x)" "$lin" 1.2
le 0.8 "$lin" || { echo "  (ratio below 0.8: the smaller run carries a large fixed cost)"; }
exit $((MISSES > 0))
