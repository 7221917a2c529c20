#!/usr/bin/env bash
# Sync of a folder of creature raw files into a world that lists none of
# their identifiers, against one `grep -rc '\[CREATURE:' raw/objects` pass
# over the same folder in the same run; then the same with twice the
# creatures in twice the files.
#
#   bench/sync_vs_grep.sh [CREATURES]
#
# CREATURES (or env CREATURES): creatures in the first folder, default
# 100000, spread over FILES files (env, default 50): each creature a
# [CREATURE:...] line and eight lines of other tags, several of them
# [CREATURE_...] tags, about 400 bytes (38 MiB at the defaults). Env
# REST_BYTES: the world's rest, default 1 MiB.
# Caches are warm: each command runs once untimed first; before every timed
# command the untouched world is put back (untimed), a global `sync` runs and
# `benchgen touch` makes free memory host-backed (see benchgen.cpp;
# PREFAULT_MIB=0 turns it off). grep's output goes to a file, not to
# /dev/null: GNU grep stops at the first match when its output is /dev/null.
# The tool's messages (one line per added identifier) go to a file too.
# CALLGRIND=1 also counts sync's instructions at both sizes (see common.sh).
# See common.sh for BUILD_DIR, WORK_DIR, REPS, NO_BUILD, KEEP.
#
# Targets: sync <= 3 x grep in wall and in CPU time (medians), peak RSS
# < 128 MiB; sync time at 2 x CREATURES at most 2.1 x that at CREATURES.
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"

CREATURES=${1:-${CREATURES:-100000}}
FILES=${FILES:-50}
REST_BYTES=${REST_BYTES:-1048576}
build_all
new_game sync_vs_grep
cd "$GAME"
W=data/save/region1/world.dat
RAW=data/save/region1/raw/objects

echo "== sync_vs_grep: $CREATURES and $((2 * CREATURES)) creatures, cache warm, $REPS reps"
conditions
"$BENCHGEN" world world.orig 40 "$REST_BYTES"
declare -A sync_med sync_cpu_med sync_ir peak_rss
for n in "$CREATURES" $((2 * CREATURES)); do
  rm -rf "$RAW" && mkdir -p "$RAW"
  read -r files ids < <("$BENCHGEN" raws "$RAW" "$n" $((FILES * n / CREATURES)))
  bytes=$(du -sb "$RAW" | cut -f1)
  echo "   folder: $files files, $(mib $((bytes / 1024))) MiB, $ids identifiers ($n creatures)"

  # Untimed first round: warms the caches and checks what sync adds.
  grep -rc '\[CREATURE:' "$RAW" >grep.out
  restore_world
  "$RAWGRAFT" 1 sync 2>sync.err
  check_sync "$ids"
  found=$(awk -F: '{ s += $NF } END { print s }' grep.out)
  echo "   check: sync added all $ids identifiers; grep counted $found [CREATURE: lines"

  sync_t=() grep_t=() sync_rss=() sync_cpu=() grep_cpu=()
  for ((r = 1; r <= REPS; r++)); do
    run_sync() {
      restore_world; sync; prefault 256
      timed /dev/null sync.err "$RAWGRAFT" 1 sync
      check_sync "$ids"
      sync_t+=("$T") sync_rss+=("$RSS") sync_cpu+=("$CPU")
    }
    run_grep() {
      rm -f grep.out; sync; prefault 256
      timed grep.out /dev/null grep -rc '\[CREATURE:' "$RAW"
      grep_t+=("$T") grep_cpu+=("$CPU")
    }
    if ((r % 2)); then run_sync; run_grep; else run_grep; run_sync; fi
  done
  m_sync=$(median "${sync_t[@]}"); m_grep=$(median "${grep_t[@]}")
  c_sync=$(median "${sync_cpu[@]}"); c_grep=$(median "${grep_cpu[@]}")
  sync_med[$n]=$m_sync
  sync_cpu_med[$n]=$c_sync
  echo "   $n creatures: sync $(show_times "${sync_t[@]}") s  (median $(show_times "$m_sync") s," \
    "cpu $(median3 "${sync_cpu[@]}") s, peak RSS $(mib "$(maximum "${sync_rss[@]}")") MiB)"
  echo "   $n creatures: grep $(show_times "${grep_t[@]}") s  (median $(show_times "$m_grep") s," \
    "cpu $(median3 "${grep_cpu[@]}") s)"
  echo "   $n creatures: sync/grep wall $(ratio "$m_sync" "$m_grep"), cpu $(ratio "$c_sync" "$c_grep")"
  if [[ ${CALLGRIND:-0} == 1 ]]; then
    restore_world
    count_instructions callgrind.err "$RAWGRAFT" 1 sync
    sync_ir[$n]=$IR
    echo "   $n creatures: sync runs $IR instructions under callgrind"
  fi
  if [[ $n == "$CREATURES" ]]; then
    first_ratio=$(ratio "$m_sync" "$m_grep")
    first_cpu_ratio=$(ratio "$c_sync" "$c_grep")
  fi
  peak_rss[$n]=$(maximum "${sync_rss[@]}")
done
scale=$(ratio "${sync_med[$((2 * CREATURES))]}" "${sync_med[$CREATURES]}")
echo "-- sync time at $((2 * CREATURES)) / at $CREATURES creatures: $scale" \
  "(cpu: $(ratio "${sync_cpu_med[$((2 * CREATURES))]}" "${sync_cpu_med[$CREATURES]}"))"
if [[ ${CALLGRIND:-0} == 1 ]]; then
  echo "-- sync instructions at $((2 * CREATURES)) / at $CREATURES creatures:" \
    "$(ratio "${sync_ir[$((2 * CREATURES))]}" "${sync_ir[$CREATURES]}")"
fi
conditions
echo "-- targets"
verdict "sync/grep wall ($CREATURES creatures)" "$first_ratio" 3
verdict "sync/grep cpu ($CREATURES creatures)" "$first_cpu_ratio" 3
verdict "sync peak RSS (MiB, either size; < 128)" "$(mib "$(maximum "${peak_rss[@]}")")" 127.9
verdict "sync time 2x / 1x (linear: ~2)" "$scale" 2.1
exit $((MISSES > 0))
