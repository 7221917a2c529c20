#!/usr/bin/env bash
# Export and import of a large object-name block against copying the dump, in
# one run: export to a file vs `cp` of the dump; import of the dump with one
# identifier changed vs `cp` of the dump and `sync` of the copy.
#
#   bench/lists_vs_cp.sh [IDS]
#
# IDS (or env IDS): identifiers in the block, default 1000000, spread over
# the 19 lists with no creature_layer groups (`benchgen lists`: at 1 000 000
# lists of 52 631-52 632, a dump of about 18.5 MB). Env REST_BYTES: the
# world's rest, default 4096. The import alternates between the dump with one
# identifier changed and the original dump, so every import changes the
# world (an import that changes nothing rewrites nothing) and the new block
# always has the old one's length. The tool fsyncs the world it writes and cp
# does not, so cp is followed by a timed `sync copy.txt` (coreutils, one
# file). Caches are warm: each command runs once untimed first; before every
# timed command a global `sync` runs and `benchgen touch` makes free memory
# host-backed (PREFAULT_MIB overrides, 0 turns it off; see benchgen.cpp).
# Env COMPARE=<path to another rawgraft>: times that build too, in the same
# repetitions (e.g. an older commit built elsewhere), and prints its figures
# beside this build's. See common.sh for BUILD_DIR, WORK_DIR, REPS, NO_BUILD,
# KEEP.
#
# Targets (this build): export <= 2 x cp, import <= 1.5 x (cp + sync), both
# as medians of wall time; peak RSS of export and of import < 64 MiB.
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"

IDS=${1:-${IDS:-1000000}}
REST_BYTES=${REST_BYTES:-4096}
build_all
tools=(rawgraft) paths=("$RAWGRAFT")
if [[ -n ${COMPARE:-} ]]; then
  [[ -x $COMPARE ]] || die "COMPARE: no tool at $COMPARE"
  tools+=(compare) paths+=("$(realpath "$COMPARE")")
fi
new_game lists_vs_cp
cd "$GAME"
W=data/save/region1/world.dat

echo "== lists_vs_cp: $IDS identifiers in 19 lists, rest $REST_BYTES bytes, cache warm, $REPS reps"
[[ -z ${COMPARE:-} ]] || echo "   compare: $COMPARE"
conditions
"$BENCHGEN" lists "$W" "$IDS" "$REST_BYTES"
world_size=$(stat -c %s "$W")
"$RAWGRAFT" 1 export dump.txt 2>/dev/null
lines=$(grep -cv -e '^$' -e '^====' -e '^\*\*data exported' dump.txt)
[[ $lines == "$IDS" ]] || die "dump holds $lines identifier lines, expected $IDS"
change_one_identifier dump.txt changed.txt
dump_size=$(stat -c %s dump.txt)
echo "   world.dat $world_size bytes; dump.txt $dump_size bytes holding $lines identifiers;" \
  "changed.txt differs in one identifier ($(cmp dump.txt changed.txt | cut -d, -f2 | tr -d ' '))"
touch_mib=$((4 * world_size / 1048576 + 64))

# Untimed first round: warms the caches and checks the round trip through
# the changed dump. Which dump the next import takes: the one the world does
# not hold.
cp dump.txt copy.txt && sync copy.txt && rm -f copy.txt
cp "$W" world.orig
next_dump=changed.txt
for i in "${!tools[@]}"; do
  "${paths[$i]}" 1 export "export.txt" 2>/dev/null
  cmp -s <(tail -n +2 export.txt) <(tail -n +2 dump.txt) || die "${tools[$i]}: export differs from the dump"
  for dump in changed.txt dump.txt; do
    "${paths[$i]}" 1 import "$dump" 2>import.err
    grep -q 'New World Placed' import.err || { tail -5 import.err >&2; die "${tools[$i]}: import did not place the new world"; }
    rm -f "$W".2*  # older builds name backups by the second only
  done
  cmp -s "$W" world.orig || die "${tools[$i]}: importing the changed dump and then the original did not give the world back"
  rm -f export.txt
done
echo "   check: every build exports the same dump, and importing the changed dump and then the original gives world.dat back byte for byte"
rm -f world.orig

declare -A exp_t exp_cpu exp_rss imp_t imp_cpu imp_rss
cp_t=() cp_cpu=() cpsync_t=() cpsync_cpu=()
run_export() { # index
  rm -f export.txt; sync; prefault "$touch_mib"
  timed /dev/null /dev/null "${paths[$1]}" 1 export export.txt
  exp_t[$1]+="$T " exp_cpu[$1]+="$CPU " exp_rss[$1]+="$RSS "
}
run_import() { # index
  sync; prefault "$touch_mib"
  timed /dev/null import.err "${paths[$1]}" 1 import "$next_dump"
  grep -q 'New World Placed' import.err || { tail -5 import.err >&2; die "import did not complete"; }
  [[ $(stat -c %s "$W") == "$world_size" ]] || die "the new world has another size"
  imp_t[$1]+="$T " imp_cpu[$1]+="$CPU " imp_rss[$1]+="$RSS "
  rm -f "$W".2*
  if [[ $next_dump == changed.txt ]]; then next_dump=dump.txt; else next_dump=changed.txt; fi
}
run_cp() {
  rm -f copy.txt; sync; prefault "$touch_mib"
  timed /dev/null /dev/null cp dump.txt copy.txt
  cp_t+=("$T") cp_cpu+=("$CPU")
}
run_cpsync() {
  rm -f copy.txt; sync; prefault "$touch_mib"
  timed /dev/null /dev/null cp dump.txt copy.txt
  local t=$T cpu=$CPU
  timed /dev/null /dev/null sync copy.txt
  cpsync_t+=("$(awk -v a="$t" -v b="$T" 'BEGIN { printf "%.6f", a + b }')")
  cpsync_cpu+=("$(awk -v a="$cpu" -v b="$CPU" 'BEGIN { printf "%.3f", a + b }')")
}
for ((r = 1; r <= REPS; r++)); do
  # Alternate the order so that neither side always runs first.
  order=()
  for i in "${!tools[@]}"; do
    if ((r % 2)); then order+=("$i"); else order=("$i" "${order[@]}"); fi
  done
  if ((r % 2)); then
    for i in "${order[@]}"; do run_export "$i"; done
    run_cp
    for i in "${order[@]}"; do run_import "$i"; done
    run_cpsync
  else
    run_cp
    for i in "${order[@]}"; do run_export "$i"; done
    run_cpsync
    for i in "${order[@]}"; do run_import "$i"; done
  fi
done
m_cp=$(median "${cp_t[@]}") m_cpsync=$(median "${cpsync_t[@]}")
c_cp=$(median "${cp_cpu[@]}") c_cpsync=$(median "${cpsync_cpu[@]}")
echo "-- $REPS reps, wall seconds (CPU seconds in the medians' brackets)"
echo "   cp          $(show_times "${cp_t[@]}")  median $(show_times "$m_cp") (cpu $(median3 "${cp_cpu[@]}"))"
echo "   cp + sync   $(show_times "${cpsync_t[@]}")  median $(show_times "$m_cpsync") (cpu $(median3 "${cpsync_cpu[@]}"))"
for i in "${!tools[@]}"; do
  # shellcheck disable=SC2086  # the lists are space-separated on purpose
  {
    m_exp=$(median ${exp_t[$i]}) m_imp=$(median ${imp_t[$i]})
    c_exp=$(median ${exp_cpu[$i]}) c_imp=$(median ${imp_cpu[$i]})
    rss_exp=$(mib "$(maximum ${exp_rss[$i]})") rss_imp=$(mib "$(maximum ${imp_rss[$i]})")
    echo "   ${tools[$i]} export $(show_times ${exp_t[$i]})  median $(show_times "$m_exp") (cpu $(median3 ${exp_cpu[$i]})), peak RSS $rss_exp MiB"
    echo "   ${tools[$i]} import $(show_times ${imp_t[$i]})  median $(show_times "$m_imp") (cpu $(median3 ${imp_cpu[$i]})), peak RSS $rss_imp MiB"
  }
  r_exp=$(ratio "$m_exp" "$m_cp") r_imp=$(ratio "$m_imp" "$m_cpsync")
  echo "   ${tools[$i]}: export/cp $r_exp (cpu $(ratio "$c_exp" "$c_cp"));" \
    "import/(cp+sync) $r_imp (cpu $(ratio "$c_imp" "$c_cpsync"))"
  if ((i == 0)); then
    target_exp=$r_exp target_imp=$r_imp target_rss_exp=$rss_exp target_rss_imp=$rss_imp
  fi
done
conditions
echo "-- targets"
verdict "export/cp time ratio (medians)" "$target_exp" 2
verdict "import/(cp+sync) time ratio (medians)" "$target_imp" 1.5
verdict "export peak RSS (MiB)" "$target_rss_exp" 64
verdict "import peak RSS (MiB)" "$target_rss_imp" 64
exit $((MISSES > 0))
