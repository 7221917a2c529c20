#!/usr/bin/env bash
# Compressed worlds, in one run:
# - import of a dump into a compressed world whose rest is large, against
#   `cp` of the same world file followed by `sync` of the copy;
# - export of that world against export of one with the same block and a
#   small rest (export reads the chunks up to the block's end only, so the
#   rest's size should not matter).
#
#   bench/compressed.sh [REST_MIB]
#
# REST_MIB (or env REST_MIB): the large world's rest in MiB before
# compression, default 1024; pseudo-random bytes, which barely compress, so
# the file is about as large. Env SMALL_REST_MIB: the small world's rest,
# default 16. Env BLOCK_IDS: identifiers in the block (default 20000). Both
# worlds are written plain by `benchgen world` and then compressed by
# `benchgen compress` as the tool writes them (chunks inflating to 20 000
# bytes, zlib's default level). As in import_vs_cp.sh the timed imports
# alternate between the dump with one identifier changed and the original
# dump, so each changes the world and keeps the block's length; the tool
# fsyncs and cp does not, so cp is followed by a timed `sync copy.dat`.
# Caches are warm: every command runs once untimed first; before every timed
# command a global `sync` runs and `benchgen touch` makes free memory
# host-backed (PREFAULT_MIB overrides, 0 turns it off; see benchgen.cpp).
# See common.sh for BUILD_DIR, WORK_DIR, REPS (default 5), NO_BUILD, KEEP.
#
# Targets: import <= 1.1 x (cp + sync copy) and import peak RSS < 64 MiB;
# export with the large rest <= 1.2 x export with the small rest.
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"

REST_MIB=${1:-${REST_MIB:-1024}}
SMALL_REST_MIB=${SMALL_REST_MIB:-16}
BLOCK_IDS=${BLOCK_IDS:-20000}

build_all
new_game compressed
need_kib=$((REST_MIB * 1024 * 5 + 1048576))
avail_kib=$(df --output=avail -k "$WORK_DIR" | tail -n 1 | tr -d ' ')
((avail_kib > need_kib)) ||
  die "not enough disk under $WORK_DIR: $((avail_kib / 1024)) MiB free, ~$((need_kib / 1024)) MiB needed"

echo "== compressed: rest $REST_MIB MiB (small world: $SMALL_REST_MIB MiB), $BLOCK_IDS identifiers in the block, cache warm, $REPS reps"
conditions
cd "$GAME"
W=data/save/region1/world.dat        # the large world
SMALL=data/save/region2/world.dat    # the small world
mkdir -p "$(dirname "$SMALL")"
"$BENCHGEN" world plain.dat "$BLOCK_IDS" $((REST_MIB * 1048576))
"$BENCHGEN" compress plain.dat "$W"
"$BENCHGEN" world plain.dat "$BLOCK_IDS" $((SMALL_REST_MIB * 1048576))
"$BENCHGEN" compress plain.dat "$SMALL"
rm -f plain.dat
"$RAWGRAFT" 1 export dump.txt 2>/dev/null
"$RAWGRAFT" 2 export small.txt 2>/dev/null
cmp -s <(tail -n +2 dump.txt) <(tail -n +2 small.txt) || die "the two worlds export different lists"
change_one_identifier dump.txt changed.txt
world_size=$(stat -c %s "$W")
echo "   region1 world.dat $world_size bytes, region2 world.dat $(stat -c %s "$SMALL") bytes" \
  "(compressed); dump.txt $(stat -c %s dump.txt) bytes, the same from both; changed.txt differs in one identifier"

remove_backups() { rm -f "$W".2* "$W".TEMP; }
placed() { grep -q 'New World Placed' "$1" || { tail -n 5 "$1" >&2; die "import did not place the new world"; }; }

# Untimed first round: warms the caches and checks the round trip. The
# first import's backup is the original world.
cp "$W" copy.dat && sync copy.dat && rm -f copy.dat
"$RAWGRAFT" 1 import dump.txt 2>warmup.err
grep -q 'No change' warmup.err || { tail -n 5 warmup.err >&2; die "import of the unchanged dump rewrote the world"; }
"$RAWGRAFT" 1 import changed.txt 2>warmup.err
placed warmup.err
backups=("$W".2*)
mv "${backups[0]}" world.orig
"$RAWGRAFT" 1 import dump.txt 2>warmup.err
placed warmup.err
remove_backups
# The chunks rewritten around the block's end may be stored differently
# (the last one is padded so that the copied chunks keep their place within
# a page); the lists and every chunk after those must be the original's.
"$RAWGRAFT" 1 export export.txt 2>/dev/null
cmp -s <(tail -n +2 export.txt) <(tail -n +2 dump.txt) ||
  die "importing the changed dump and then the original did not give the lists back"
kept=$((world_size - 4 * 1048576))
cmp -s <(tail -c "$kept" "$W") <(tail -c "$kept" world.orig) ||
  die "importing the changed dump and then the original changed the chunks after the block's"
rm -f world.orig export.txt
echo "   check: importing the changed dump and then the original gave the lists and the chunks after the block's back"
next_dump=changed.txt  # the dump the world does not hold

cp_t=() cpsync_t=() cpsync_cpu=() imp_t=() imp_cpu=() imp_rss=()
big_t=() big_cpu=() big_rss=() small_t=() small_cpu=() small_rss=()
run_cp() {
  sync; prefault $((2 * REST_MIB + 256))
  timed /dev/null /dev/null cp "$W" copy.dat
  local t=$T cpu=$CPU
  cp_t+=("$t")
  timed /dev/null /dev/null sync copy.dat
  cpsync_t+=("$(awk -v a="$t" -v b="$T" 'BEGIN { printf "%.6f", a + b }')")
  cpsync_cpu+=("$(awk -v a="$cpu" -v b="$CPU" 'BEGIN { printf "%.3f", a + b }')")
  rm -f copy.dat
  echo "   rep $r: cp     $(show_times "$t") s (cpu $cpu) + sync $(show_times "$T") s (cpu $CPU)"
}
run_import() {
  sync; prefault $((2 * REST_MIB + 256))
  timed /dev/null import.err "$RAWGRAFT" 1 import "$next_dump"
  placed import.err
  imp_t+=("$T") imp_cpu+=("$CPU") imp_rss+=("$RSS")
  remove_backups
  if [[ $next_dump == changed.txt ]]; then next_dump=dump.txt; else next_dump=changed.txt; fi
  echo "   rep $r: import $(show_times "$T") s (cpu $CPU), peak RSS $(mib "$RSS") MiB;" \
    "world.dat now $(stat -c %s "$W") bytes"
}
run_export() { # region
  rm -f export.txt; sync; prefault 256
  timed /dev/null /dev/null "$RAWGRAFT" "$1" export export.txt
  if [[ $1 == 1 ]]; then big_t+=("$T") big_cpu+=("$CPU") big_rss+=("$RSS")
  else small_t+=("$T") small_cpu+=("$CPU") small_rss+=("$RSS"); fi
}
for ((r = 1; r <= REPS; r++)); do
  # Alternate the order so that neither side always runs first.
  if ((r % 2)); then run_cp; run_import; run_export 1; run_export 2
  else run_import; run_cp; run_export 2; run_export 1; fi
done
held=dump.txt
[[ $next_dump == dump.txt ]] && held=changed.txt
"$RAWGRAFT" 1 export export.txt 2>/dev/null
cmp -s <(tail -n +2 export.txt) <(tail -n +2 "$held") || die "after the imports the world does not export $held"

m_cpsync=$(median "${cpsync_t[@]}") m_imp=$(median "${imp_t[@]}")
m_big=$(median "${big_t[@]}") m_small=$(median "${small_t[@]}")
r_imp=$(ratio "$m_imp" "$m_cpsync") r_exp=$(ratio "$m_big" "$m_small")
imp_max_rss=$(mib "$(maximum "${imp_rss[@]}")")
echo "-- $REPS reps, wall seconds (CPU seconds of the medians in brackets)"
echo "   cp          $(show_times "${cp_t[@]}")  median $(show_times "$(median "${cp_t[@]}")")"
echo "   cp + sync   $(show_times "${cpsync_t[@]}")  median $(show_times "$m_cpsync") (cpu $(median3 "${cpsync_cpu[@]}"))"
echo "   import      $(show_times "${imp_t[@]}")  median $(show_times "$m_imp") (cpu $(median3 "${imp_cpu[@]}")), peak RSS $imp_max_rss MiB"
echo "   export, $REST_MIB MiB rest   $(show_times "${big_t[@]}")  median $(show_times "$m_big") (cpu $(median3 "${big_cpu[@]}")), peak RSS $(mib "$(maximum "${big_rss[@]}")") MiB"
echo "   export, $SMALL_REST_MIB MiB rest   $(show_times "${small_t[@]}")  median $(show_times "$m_small") (cpu $(median3 "${small_cpu[@]}")), peak RSS $(mib "$(maximum "${small_rss[@]}")") MiB"
echo "   import/(cp+sync) $r_imp (cpu $(ratio "$(median "${imp_cpu[@]}")" "$(median "${cpsync_cpu[@]}")"));" \
  "export $REST_MIB MiB / $SMALL_REST_MIB MiB rest $r_exp (cpu $(ratio "$(median "${big_cpu[@]}")" "$(median "${small_cpu[@]}")"))"
conditions
echo "-- targets"
verdict "import/(cp+sync) time ratio (medians)" "$r_imp" 1.1
verdict "import peak RSS (MiB)" "$imp_max_rss" 64
verdict "export large/small rest time ratio" "$r_exp" 1.2
exit $((MISSES > 0))
