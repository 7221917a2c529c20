#!/usr/bin/env bash
# The dry runs against the commands they stand for, in one run:
# - `check` against `sync` of the same raw folder (sync_vs_grep.sh's folder
#   of CREATURES creatures, and its world with a 1 MiB rest, listing none of
#   them). sync also rewrites the world, which check does not, so the
#   baseline is sync's time less that of a durable copy of the world
#   (`cp world copy` and `sync copy`), timed in the same repetitions;
# - `compare` of a dump with one identifier changed against `export` of the
#   same world (lists_vs_cp.sh's world of IDS identifiers, `benchgen lists`).
#
#   bench/dry_runs.sh
#
# Env CREATURES (default 100000), REST_BYTES (sync's world, default 1 MiB),
# IDS (default 1000000). The outputs of check and compare (check: one line per
# identifier to add) go to files, as do sync's messages. Caches are warm:
# every command runs once untimed first; before every timed command the
# untouched world is put back where sync changed it (untimed), a global
# `sync` runs and `benchgen touch` makes free memory host-backed
# (PREFAULT_MIB overrides, 0 turns it off; see benchgen.cpp). See common.sh
# for BUILD_DIR, WORK_DIR, REPS, NO_BUILD, KEEP.
#
# Targets: check <= 1.1 x (sync - (cp + sync copy)); compare <= 2 x export;
# both as medians of wall time.
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"

CREATURES=${CREATURES:-100000}
REST_BYTES=${REST_BYTES:-1048576}
IDS=${IDS:-1000000}
build_all
new_game dry_runs
cd "$GAME"
W=data/save/region1/world.dat
RAW=data/save/region1/raw/objects
LW=data/save/region2/world.dat  # compare's and export's world
mkdir -p "$(dirname "$LW")"

echo "== dry_runs: check vs sync of $CREATURES creatures; compare vs export of $IDS identifiers; cache warm, $REPS reps"
conditions
"$BENCHGEN" world world.orig 40 "$REST_BYTES"
read -r files ids < <("$BENCHGEN" raws "$RAW" "$CREATURES")
echo "   folder: $files files, $(mib $(($(du -sb "$RAW" | cut -f1) / 1024))) MiB, $ids identifiers;" \
  "sync's world $(stat -c %s world.orig) bytes"
"$BENCHGEN" lists "$LW" "$IDS" 4096
"$RAWGRAFT" 2 export dump.txt 2>/dev/null
lines=$(grep -cv -e '^$' -e '^====' -e '^\*\*data exported' dump.txt)
[[ $lines == "$IDS" ]] || die "dump holds $lines identifier lines, expected $IDS"
change_one_identifier dump.txt changed.txt
echo "   compare's world $(stat -c %s "$LW") bytes; dump.txt $(stat -c %s dump.txt) bytes; changed.txt differs in one identifier"

# Untimed first round: warms the caches and checks what each command does.
restore_world
"$RAWGRAFT" 1 sync 2>sync.err
check_sync "$ids"
restore_world
"$RAWGRAFT" 1 check >check.out 2>check.err
listed=$(grep -c '^  ' check.out || true)
[[ $listed == "$ids" ]] || die "check listed $listed identifiers to add, expected $ids"
cmp -s "$W" world.orig || die "check changed the world"
cp world.orig copy.dat && sync copy.dat && rm -f copy.dat
"$RAWGRAFT" 2 export export.txt 2>/dev/null
"$RAWGRAFT" 2 compare changed.txt >compare.out 2>compare.err
grep -q 'Z' compare.out || die "compare did not show the changed identifier"
echo "   check: sync and check both find all $ids identifiers, check leaves the world alone;" \
  "compare's report is $(wc -l <compare.out) lines"

sync_t=() sync_cpu=() sync_rss=() check_t=() check_cpu=() check_rss=() copy_t=() copy_cpu=()
exp_t=() exp_cpu=() exp_rss=() cmp_t=() cmp_cpu=() cmp_rss=()
run_sync() {
  restore_world; sync; prefault 256
  timed /dev/null sync.err "$RAWGRAFT" 1 sync
  check_sync "$ids"
  sync_t+=("$T") sync_cpu+=("$CPU") sync_rss+=("$RSS")
}
run_check() {
  restore_world; sync; prefault 256
  timed check.out check.err "$RAWGRAFT" 1 check
  check_t+=("$T") check_cpu+=("$CPU") check_rss+=("$RSS")
}
run_copy() {
  rm -f copy.dat; sync; prefault 256
  timed /dev/null /dev/null cp world.orig copy.dat
  local t=$T cpu=$CPU
  timed /dev/null /dev/null sync copy.dat
  copy_t+=("$(awk -v a="$t" -v b="$T" 'BEGIN { printf "%.6f", a + b }')")
  copy_cpu+=("$(awk -v a="$cpu" -v b="$CPU" 'BEGIN { printf "%.3f", a + b }')")
}
run_export() {
  rm -f export.txt; sync; prefault 256
  timed /dev/null /dev/null "$RAWGRAFT" 2 export export.txt
  exp_t+=("$T") exp_cpu+=("$CPU") exp_rss+=("$RSS")
}
run_compare() {
  sync; prefault 256
  timed compare.out compare.err "$RAWGRAFT" 2 compare changed.txt
  cmp_t+=("$T") cmp_cpu+=("$CPU") cmp_rss+=("$RSS")
}
for ((r = 1; r <= REPS; r++)); do
  # Alternate the order so that neither side always runs first.
  if ((r % 2)); then run_check; run_sync; run_copy; run_compare; run_export
  else run_copy; run_sync; run_check; run_export; run_compare; fi
done

m_sync=$(median "${sync_t[@]}") m_check=$(median "${check_t[@]}") m_copy=$(median "${copy_t[@]}")
c_sync=$(median "${sync_cpu[@]}") c_check=$(median "${check_cpu[@]}") c_copy=$(median "${copy_cpu[@]}")
m_exp=$(median "${exp_t[@]}") m_cmp=$(median "${cmp_t[@]}")
sub() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.6f", a - b }'; }
base=$(sub "$m_sync" "$m_copy") c_base=$(sub "$c_sync" "$c_copy")
r_check=$(ratio "$m_check" "$base")
r_cmp=$(ratio "$m_cmp" "$m_exp")
echo "-- $REPS reps, wall seconds (CPU seconds of the medians in brackets)"
echo "   sync         $(show_times "${sync_t[@]}")  median $(show_times "$m_sync") (cpu $(median3 "${sync_cpu[@]}")), peak RSS $(mib "$(maximum "${sync_rss[@]}")") MiB"
echo "   cp + sync    $(show_times "${copy_t[@]}")  median $(show_times "$m_copy") (cpu $(median3 "${copy_cpu[@]}"))  (the world, $(stat -c %s world.orig) bytes)"
echo "   check        $(show_times "${check_t[@]}")  median $(show_times "$m_check") (cpu $(median3 "${check_cpu[@]}")), peak RSS $(mib "$(maximum "${check_rss[@]}")") MiB"
echo "   export       $(show_times "${exp_t[@]}")  median $(show_times "$m_exp") (cpu $(median3 "${exp_cpu[@]}")), peak RSS $(mib "$(maximum "${exp_rss[@]}")") MiB"
echo "   compare      $(show_times "${cmp_t[@]}")  median $(show_times "$m_cmp") (cpu $(median3 "${cmp_cpu[@]}")), peak RSS $(mib "$(maximum "${cmp_rss[@]}")") MiB"
echo "   check/(sync - (cp+sync)) $r_check (cpu $(ratio "$c_check" "$c_base")); check/sync $(ratio "$m_check" "$m_sync")" \
  "(cpu $(ratio "$c_check" "$c_sync"))"
echo "   compare/export $r_cmp (cpu $(ratio "$(median "${cmp_cpu[@]}")" "$(median "${exp_cpu[@]}")"))"
conditions
echo "-- targets"
verdict "check/(sync - (cp+sync)) time ratio" "$r_check" 1.1
verdict "compare/export time ratio (medians)" "$r_cmp" 2
exit $((MISSES > 0))
