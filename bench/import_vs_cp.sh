#!/usr/bin/env bash
# Import of a dump into a world whose rest (the bytes after the object-name
# block) is large, against cp of the same world file, in one run.
#
#   bench/import_vs_cp.sh [REST_BYTES]
#
# REST_BYTES (or env REST_BYTES): size of the world's rest, default 1 GiB
# (1073741824). Env BLOCK_IDS: identifiers in the block (default 20000).
# An import that changes nothing rewrites nothing, so the timed imports
# alternate between the dump with one identifier changed and the original
# dump: each changes the world, and the new block has the old one's length.
# Env CACHE=warm (default): every command runs once untimed first, and the
# files stay in the page cache; CACHE=cold: before every timed command the
# world file and the dump are dropped from the page cache (fadvise through
# dd iflag=nocache). Either way a global `sync` runs (untimed) before every
# timed command, so no dirty data of an earlier command is written during it,
# and then `benchgen touch` makes 2 x REST_BYTES + 256 MiB of free memory
# host-backed (PREFAULT_MIB overrides, 0 turns it off; see benchgen.cpp).
# The tool fsyncs its new file and cp does not, so cp is followed by a timed
# `sync copy.dat` (coreutils, one file), and import is compared with both.
# See common.sh for BUILD_DIR, WORK_DIR, REPS (default 5), NO_BUILD, KEEP.
#
# Targets: import <= 1.1 x (cp + sync copy), peak RSS < 64 MiB.
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"

REST_BYTES=${1:-${REST_BYTES:-1073741824}}
BLOCK_IDS=${BLOCK_IDS:-20000}
CACHE=${CACHE:-warm}
[[ $CACHE == warm || $CACHE == cold ]] || die "CACHE must be warm or cold"

build_all
new_game import_vs_cp
need_kib=$((REST_BYTES * 4 / 1024 + 1048576))
avail_kib=$(df --output=avail -k "$WORK_DIR" | tail -n 1 | tr -d ' ')
((avail_kib > need_kib)) ||
  die "not enough disk under $WORK_DIR: $((avail_kib / 1024)) MiB free, ~$((need_kib / 1024)) MiB needed"

echo "== import_vs_cp: rest $REST_BYTES bytes, $BLOCK_IDS identifiers in the block, cache $CACHE, $REPS reps"
conditions
"$BENCHGEN" world "$REGION_DIR/world.dat" "$BLOCK_IDS" "$REST_BYTES"
cd "$GAME"
W=data/save/region1/world.dat
"$RAWGRAFT" 1 export dump.txt 2>/dev/null
change_one_identifier dump.txt changed.txt
world_size=$(stat -c %s "$W")
echo "   world.dat $world_size bytes, dump.txt $(stat -c %s dump.txt) bytes, in $GAME;" \
  "changed.txt differs in one identifier"

remove_backups() { rm -f "$W".2* "$W".TEMP; }
placed() { grep -q 'New World Placed' "$1" || { tail -n 5 "$1" >&2; die "import did not place the new world"; }; }
settle() { # before each timed command
  sync
  if [[ $CACHE == cold ]]; then
    drop_file_cache "$W"
    drop_file_cache dump.txt
  fi
  prefault $((2 * REST_BYTES / 1048576 + 256))
}

# Untimed first round: warms the caches and checks the round trip. The
# first import's backup is the original world.
cp "$W" copy.dat && sync copy.dat && rm -f copy.dat
"$RAWGRAFT" 1 import dump.txt 2>warmup.err
if grep -q 'No change' warmup.err; then
  compgen -G "$W.2*" >/dev/null && die "an import that changed nothing left a backup"
  echo "   check: import of the unchanged dump rewrote nothing"
else
  placed warmup.err  # builds older than the no-change check rewrite the world
  remove_backups
fi
"$RAWGRAFT" 1 import changed.txt 2>warmup.err
placed warmup.err
backups=("$W".2*)
original=${backups[0]}
mv "$original" world.orig
"$RAWGRAFT" 1 import dump.txt 2>warmup.err
placed warmup.err
remove_backups
cmp -s "$W" world.orig || die "importing the changed dump and then the original did not give world.dat back"
rm -f world.orig
echo "   check: importing the changed dump and then the original gave world.dat back byte for byte"
next_dump=changed.txt  # the dump the world does not hold

cp_t=() sync_t=() cpsync_t=() imp_t=() imp_rss=() cp_rss=() cpsync_cpu=() imp_cpu=()
run_cp() {
  settle
  local cached cp_cpu
  cached=$(cached_share "$W")
  timed /dev/null /dev/null cp "$W" copy.dat
  cp_t+=("$T") cp_rss+=("$RSS") cp_cpu=$CPU
  timed /dev/null /dev/null sync copy.dat
  sync_t+=("$T")
  cpsync_cpu+=("$(awk -v a="$cp_cpu" -v b="$CPU" 'BEGIN { printf "%.3f", a + b }')")
  cpsync_t+=("$(awk -v a="${cp_t[-1]}" -v b="$T" 'BEGIN { printf "%.6f", a + b }')")
  rm -f copy.dat
  echo "   rep $r: cp     $(show_times "${cp_t[-1]}") s (cpu $cp_cpu) + sync $(show_times "$T") s (cpu $CPU)" \
    "  [world.dat cached before: $cached]"
}
run_import() {
  settle
  local cached
  cached=$(cached_share "$W")
  timed /dev/null import.err "$RAWGRAFT" 1 import "$next_dump"
  placed import.err
  [[ $(stat -c %s "$W") == "$world_size" ]] || die "the new world has another size"
  imp_t+=("$T") imp_rss+=("$RSS") imp_cpu+=("$CPU")
  remove_backups
  if [[ $next_dump == changed.txt ]]; then next_dump=dump.txt; else next_dump=changed.txt; fi
  echo "   rep $r: import $(show_times "$T") s (cpu $CPU), peak RSS $(mib "$RSS") MiB" \
    "  [world.dat cached before: $cached]"
}
for ((r = 1; r <= REPS; r++)); do
  # Alternate the order so that neither side always runs first.
  if ((r % 2)); then run_cp; run_import; else run_import; run_cp; fi
done

m_cp=$(median "${cp_t[@]}") m_cpsync=$(median "${cpsync_t[@]}") m_imp=$(median "${imp_t[@]}")
min_cpsync=$(minimum "${cpsync_t[@]}") min_imp=$(minimum "${imp_t[@]}")
max_rss=$(maximum "${imp_rss[@]}")
echo "-- medians over $REPS reps (cache: $CACHE)"
echo "   cp          $(show_times "$m_cp") s   (peak RSS $(mib "$(maximum "${cp_rss[@]}")") MiB)"
echo "   cp + sync   $(show_times "$m_cpsync") s"
echo "   import      $(show_times "$m_imp") s   (peak RSS $(mib "$max_rss") MiB)"
echo "   import/cp          $(ratio "$m_imp" "$m_cp")   (cp leaves its data unsynced)"
echo "   import/(cp+sync)   $(ratio "$m_imp" "$m_cpsync")   (fastest runs: $(show_times "$min_imp") s /" \
  "$(show_times "$min_cpsync") s = $(ratio "$min_imp" "$min_cpsync"))"
echo "   CPU time (user + system; fsync's wait for the disk is not CPU time):" \
  "import $(median3 "${imp_cpu[@]}") s, cp + sync $(median3 "${cpsync_cpu[@]}") s," \
  "ratio $(ratio "$(median "${imp_cpu[@]}")" "$(median "${cpsync_cpu[@]}")")"
conditions
echo "-- targets"
verdict "import/(cp+sync) time ratio (medians)" "$(ratio "$m_imp" "$m_cpsync")" 1.1
verdict "import peak RSS (MiB)" "$(mib "$max_rss")" 64
exit $((MISSES > 0))
