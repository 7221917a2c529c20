# Shared helpers for the rawgraft benchmarks; sourced by bench/*.sh.
# shellcheck disable=SC2034  # T, CPU, RSS and IR are read by the scripts
#
# Environment (all optional):
#   BUILD_DIR  build folder of the tool      (default <repo>/build-bench)
#   WORK_DIR   where inputs are generated    (default $BUILD_DIR/bench-work;
#              keep it on the same disk as the build)
#   REPS       timed repetitions per command (default 5; the median is used)
#   NO_BUILD=1 use the existing $BUILD_DIR/rawgraft without (re)building
#   KEEP=1     keep the generated inputs afterwards

set -euo pipefail

BENCH_DIR=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
REPO_DIR=$(cd "$BENCH_DIR/.." && pwd)
BUILD_DIR=${BUILD_DIR:-$REPO_DIR/build-bench}
WORK_DIR=${WORK_DIR:-$BUILD_DIR/bench-work}
REPS=${REPS:-5}
RAWGRAFT=$BUILD_DIR/rawgraft
BENCHGEN=$BUILD_DIR/benchgen

die() { echo "bench: $*" >&2; exit 1; }

need_tools() {
  local tool
  for tool in g++ cmake; do
    command -v "$tool" >/dev/null || die "$tool is needed"
  done
}

# Builds the tool (Release, no tests) and the input generator.
build_all() {
  need_tools
  if [[ ${NO_BUILD:-0} != 1 ]]; then
    cmake -S "$REPO_DIR" -B "$BUILD_DIR" -DCMAKE_BUILD_TYPE=Release -DRAWGRAFT_TESTS=OFF >/dev/null
    cmake --build "$BUILD_DIR" -j2 --target rawgraft >/dev/null
  fi
  [[ -x $RAWGRAFT ]] || die "no tool at $RAWGRAFT"
  if [[ ! -x $BENCHGEN || $BENCH_DIR/benchgen.cpp -nt $BENCHGEN ]]; then
    g++ -std=c++20 -O2 -Wall -Wextra -o "$BENCHGEN" "$BENCH_DIR/benchgen.cpp" -lz
  fi
}

# Makes an empty game folder: sets GAME and REGION_DIR. At exit the folder
# is removed (unless KEEP=1), and so is the scratch file of `timed`.
new_game() {
  mkdir -p "$WORK_DIR"
  GAME=$WORK_DIR/$1
  rm -rf "$GAME"
  REGION_DIR=$GAME/data/save/region1
  mkdir -p "$REGION_DIR/raw/objects"
  trap cleanup EXIT
}
cleanup() {
  [[ -z $RSS_FILE ]] || rm -f "$RSS_FILE"
  [[ ${KEEP:-0} == 1 || -z ${GAME:-} ]] || rm -rf "$GAME"
}

# timed OUT ERR CMD...   runs CMD with stdout to OUT and stderr to ERR under
# `benchgen run` (fork, exec, wait4); sets T (wall seconds from fork to the
# end of wait4), CPU (user + system seconds of CMD, from getrusage) and RSS
# (peak resident set of CMD in KiB, getrusage's ru_maxrss). A failing CMD
# aborts. Every measured command goes through this, so both sides of a ratio
# carry the same small start-up cost.
RSS_FILE=""
timed() {
  local out=$1 err=$2
  shift 2
  [[ -n $RSS_FILE ]] || RSS_FILE=$(mktemp "$WORK_DIR/usage.XXXXXX")
  if ! "$BENCHGEN" run "$RSS_FILE" "$out" "$err" "$@"; then
    echo "bench: command failed: $*" >&2
    [[ $err == /dev/null ]] || tail -n 5 "$err" >&2
    exit 1
  fi
  local wall user sys
  read -r wall user sys RSS <"$RSS_FILE"
  T=$wall
  CPU=$(awk -v u="$user" -v s="$sys" 'BEGIN { printf "%.3f", u + s }')
}

# Prints the machine's load, so that a run on a busy machine shows it. The
# timings are wall times: another busy process on this machine (2 cores)
# inflates them, and medians over REPS only partly hide that.
conditions() {
  local load
  read -r load _ </proc/loadavg
  echo "   machine: $(nproc) cores, load average $(cut -d' ' -f1-3 /proc/loadavg)"
  if awk -v l="$load" 'BEGIN { exit !(l > 0.7) }'; then
    echo "   WARNING: the machine is busy; busiest processes (%CPU over their lifetime):"
    { ps -eo pcpu=,pid=,args= --sort=-pcpu 2>/dev/null || true; } | awk 'NR <= 4 && !/ ps -eo/' |
      head -n 3 | cut -c1-110 | sed 's/^/     /' || true
  fi
}

# median of the arguments
median() { printf '%s\n' "$@" | sort -g | awk '{ v[NR] = $1 } END { if (NR % 2) print v[(NR + 1) / 2]; else printf "%.6f\n", (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }
# median with 3 decimals
median3() { printf '%.3f' "$(median "$@")"; }
# max of the arguments
maximum() { printf '%s\n' "$@" | sort -g | tail -n 1; }
# min of the arguments
minimum() { printf '%s\n' "$@" | sort -g | head -n 1; }
# ratio a/b with 3 decimals
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { if (b <= 0) print "inf"; else printf "%.3f", a / b }'; }
# a <= b ?  (floating point)
le() { awk -v a="$1" -v b="$2" 'BEGIN { exit !(a <= b) }'; }
# KiB -> MiB with 1 decimal
mib() { awk -v k="$1" 'BEGIN { printf "%.1f", k / 1024 }'; }
# seconds list for display
show_times() { local s=""; for t in "$@"; do s+=$(printf '%.3f ' "$t"); done; echo "${s% }"; }

# verdict NAME VALUE LIMIT  prints PASS/MISS for VALUE <= LIMIT and records it
MISSES=0
verdict() {
  if le "$2" "$3"; then
    printf '  %-44s %10s  <= %-8s PASS\n' "$1" "$2" "$3"
  else
    printf '  %-44s %10s  <= %-8s MISS\n' "$1" "$2" "$3"
    MISSES=$((MISSES + 1))
  fi
}

# change_one_identifier DUMP OUT  writes DUMP with its middle identifier line
# changed in its first character (to Z, which no generated identifier starts
# with): an import of OUT changes one string and keeps the block's length.
change_one_identifier() {
  local total
  total=$(grep -cv -e '^$' -e '^====' -e '^\*\*data exported' "$1")
  awk -v want=$(((total + 1) / 2)) '
    /^$|^====|^\*\*data exported/ { print; next }
    ++n == want { if (substr($0, 1, 1) == "Z") exit 1; print "Z" substr($0, 2); next }
    { print }' "$1" >"$2" || die "cannot change an identifier of $1"
}

# For the sync benchmarks, in the game folder, with W the world's path:
# restore_world puts world.orig back as the world, with no backups or TEMP;
# check_sync IDS checks from sync.err that sync placed the new world and
# added IDS identifiers.
restore_world() { rm -f "$W" "$W".2* "$W".TEMP; cp world.orig "$W"; }
check_sync() {
  grep -q 'New World Placed' sync.err || { tail -5 sync.err >&2; die "sync did not place the new world"; }
  local added
  added=$(grep -c '^  ' sync.err || true)
  [[ $added == "$1" ]] || die "sync added $added identifiers, expected $1"
}

# Drops one file's pages from the page cache (needs no privileges: an
# fadvise DONTNEED through dd; dirty pages must be written first).
drop_file_cache() { dd if="$1" iflag=nocache count=0 status=none; }

# Fraction of a file's pages in the page cache, e.g. "100%".
cached_share() {
  local line
  line=$(fincore -b -n -o PAGES,SIZE "$1" 2>/dev/null) || { echo "?"; return; }
  awk -v l="$line" 'BEGIN { split(l, f, " "); ps = 4096; if (f[2] == 0) print "-"; else printf "%.0f%%", 100 * f[1] * ps / f[2] }'
}

# Memory made host-backed just before a timed command (see `benchgen touch`).
# PREFAULT_MIB=0 turns it off; it is capped at half of MemAvailable.
prefault() {
  local want=${PREFAULT_MIB:-$1}
  ((want > 0)) || return 0
  local avail
  avail=$(awk '/MemAvailable/ { print int($2 / 2048) }' /proc/meminfo)
  ((want < avail)) || want=$avail
  "$BENCHGEN" touch "$want"
}

# With CALLGRIND=1 the scripts also count the instructions of the tool's run
# under valgrind's callgrind: a measure that other load on the machine does
# not disturb (it leaves out the kernel's work). Sets IR.
count_instructions() {
  local err=$1
  shift
  command -v valgrind >/dev/null || die "CALLGRIND=1 needs valgrind"
  local out
  out=$(mktemp "$WORK_DIR/callgrind.XXXXXX")
  valgrind --tool=callgrind --callgrind-out-file="$out" "$@" 2>"$err" >/dev/null ||
    die "callgrind run failed: $*"
  IR=$(awk '/^(summary|totals):/ { print $2; exit }' "$out")
  if [[ -n ${CALLGRIND_KEEP:-} ]]; then mv "$out" "$CALLGRIND_KEEP"; else rm -f "$out"; fi
}
