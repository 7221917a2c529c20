#!/usr/bin/env bash
# Checks that the Windows release zip holds a working rawgraft.exe and the
# player's guide: unpacks it alone into a fresh folder (so a file or DLL
# missing from the zip shows), checks that README.txt is doc/players.md with
# CR LF line ends, and exports a sample game folder with the exe under Wine.
#
#   tests/windows/check_zip.sh rawgraft-<version>-win64.zip path/to/make_sample_game
set -euo pipefail
if [ $# -ne 2 ]; then
  echo "usage: check_zip.sh archive.zip make_sample_game" >&2
  exit 2
fi
zip=$1
make_sample_game=$2
here=$(cd "$(dirname "$0")" && pwd)
wine_launcher=$here/run_under_wine.sh
guide=$here/../../doc/players.md

tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
unzip -q "$zip" -d "$tmp/unpacked"

readme=$tmp/unpacked/README.txt
if [ ! -f "$readme" ]; then
  echo "zip check: $zip holds no README.txt" >&2
  exit 1
fi
if [ "$(head -n 1 "$readme")" != "$(head -n 1 "$guide")"$'\r' ]; then
  echo "zip check: README.txt does not begin with the guide's first line, $(head -n 1 "$guide")" >&2
  exit 1
fi
if grep -n -m 3 $'[^\r]$\|^$' "$readme" >&2; then
  echo "zip check: the lines above of README.txt do not end with CR LF" >&2
  exit 1
fi
if ! tr -d '\r' <"$readme" | cmp -s - "$guide"; then
  echo "zip check: README.txt is not doc/players.md" >&2
  exit 1
fi

"$make_sample_game" "$tmp/game" >/dev/null
cd "$tmp/game"
if ! "$wine_launcher" "$tmp/unpacked/rawgraft.exe" 1 export - >"$tmp/dump" 2>"$tmp/messages" ||
   [ "$(tail -n 1 "$tmp/dump")" != $'====END====\r' ]; then
  cat "$tmp/messages" >&2
  echo "zip check: the export by $zip's rawgraft.exe did not end with ====END====" >&2
  exit 1
fi
echo "zip check: passed"
