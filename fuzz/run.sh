#!/usr/bin/env bash
# Builds the fuzz targets and runs each one for a while, starting from the
# kept seeds and regression inputs. Exits non-zero when any target finds a
# crash, a leak, a timeout or a wrong result.
#
#   fuzz/run.sh [build folder] [seconds per target]
#
# Defaults: build-fuzz beside fuzz/, 60 seconds. Inputs that find a fault are
# written to <build folder>/artifacts/<target>/.
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
build=${1:-$here/../build-fuzz}
seconds=${2:-60}
# libFuzzer reads a time of 0 as "no limit".
if ! [[ "$seconds" =~ ^[1-9][0-9]*$ ]]; then
  echo "usage: $0 [build folder] [seconds per target, at least 1]" >&2
  exit 2
fi
mkdir -p "$build"
build=$(cd "$build" && pwd)

compiler=""
for candidate in clang++ clang++-14; do
  if command -v "$candidate" >/dev/null; then
    compiler=$candidate
    break
  fi
done
fuzzer_runtime() { compgen -G "/usr/lib/llvm-*/lib/clang/*/lib/linux/libclang_rt.fuzzer-x86_64.a" >/dev/null; }
if [ -z "$compiler" ] || ! fuzzer_runtime || ! command -v cmake >/dev/null; then
  apt-get update
  DEBIAN_FRONTEND=noninteractive apt-get install -y --no-install-recommends \
    cmake make clang libclang-rt-dev
  compiler=clang++
fi

cmake -S "$here" -B "$build" -DCMAKE_CXX_COMPILER="$compiler" >/dev/null
cmake --build "$build" -j 2

# Per target: the largest input worth trying (long enough to split a line of
# the dump or a raw file at 32,766 characters).
# raw_scan builds files of megabytes from small inputs itself.
declare -A max_len=([world_export]=16384 [import]=40000 [sync]=40000 [duplicate_index]=4096
                    [raw_scan]=4096 [compressed_chunks]=16384)
failed=()
targets=(world_export import sync duplicate_index raw_scan compressed_chunks)
for target in "${targets[@]}"; do
  binary="$build/fuzz_$target"
  seeds="$here/corpus/$target"
  work="$build/corpus/$target"
  artifacts="$build/artifacts/$target"
  mkdir -p "$work" "$artifacts"
  options=(-close_fd_mask=2 -timeout=30 -rss_limit_mb=4096 -max_len="${max_len[$target]}"
           -artifact_prefix="$artifacts/")
  if [ -f "$here/dict/$target.dict" ]; then options+=(-dict="$here/dict/$target.dict"); fi

  echo "== $target: replaying seeds and regressions"
  if ! "$binary" "${options[@]}" -runs=0 "$seeds"; then
    failed+=("$target (replay)")
    continue
  fi
  echo "== $target: fuzzing for ${seconds}s"
  # New inputs go to the first folder, in the build tree; the kept seeds
  # stay as they are.
  if ! "$binary" "${options[@]}" -max_total_time="$seconds" -print_final_stats=1 \
      "$work" "$seeds"; then
    failed+=("$target")
  fi
done

if [ ${#failed[@]} -gt 0 ]; then
  echo "fuzzing found faults in: ${failed[*]} (inputs under $build/artifacts/)" >&2
  exit 1
fi
echo "fuzzing found no fault in ${#targets[@]} targets"
