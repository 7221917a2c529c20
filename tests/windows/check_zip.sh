#!/usr/bin/env bash
# Checks that the Windows release zip holds a working rawgraft.exe: unpacks
# it alone into a fresh folder (so a file or DLL missing from the zip shows)
# and exports a sample game folder with it under Wine.
#
#   tests/windows/check_zip.sh rawgraft-<version>-win64.zip path/to/make_sample_game
set -euo pipefail
if [ $# -ne 2 ]; then
  echo "usage: check_zip.sh archive.zip make_sample_game" >&2
  exit 2
fi
zip=$1
make_sample_game=$2
wine_launcher=$(cd "$(dirname "$0")" && pwd)/run_under_wine.sh

tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
unzip -q "$zip" -d "$tmp/unpacked"
"$make_sample_game" "$tmp/game" >/dev/null
cd "$tmp/game"
if ! "$wine_launcher" "$tmp/unpacked/rawgraft.exe" 1 export - >"$tmp/dump" 2>"$tmp/messages" ||
   [ "$(tail -n 1 "$tmp/dump")" != $'====END====\r' ]; then
  cat "$tmp/messages" >&2
  echo "zip check: the export by $zip's rawgraft.exe did not end with ====END====" >&2
  exit 1
fi
echo "zip check: passed"
