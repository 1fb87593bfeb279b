#!/usr/bin/env bash
# helper-7z-bench.sh HELPER [FOLDER] [RUNS]: times the 7-Zip helper's listing of a zip of 100,101
# entries (100 folders of 1,000 empty files, written once into FOLDER) against `7zz l -slt` of
# the same file, both through compare.sh: once as the handlers run it (the zip read directly),
# once with TESSARO_7Z_VIA_7ZZ=1 (7zz's listing converted while it runs).
set -euo pipefail
HELPER=${1:?usage: helper-7z-bench.sh HELPER [FOLDER] [RUNS]}
OUT=${2:-${TMPDIR:-/tmp}/tessaro-bench}
RUNS=${3:-9}
HERE=$(cd "$(dirname "$0")" && pwd)
mkdir -p "$OUT"
ZIP="$OUT/tree.zip"
if [ ! -s "$ZIP" ]; then
  WORK=$(mktemp -d)
  trap 'rm -rf "$WORK"' EXIT
  for d in $(seq -w 0 99); do
    mkdir -p "$WORK/tree/d$d"
    (cd "$WORK/tree/d$d" && seq -w 0 999 | sed 's/^/file-/' | xargs touch)
  done
  (cd "$WORK" && zip -q -r "$ZIP.partial.zip" tree)
  mv "$ZIP.partial.zip" "$ZIP"
fi
"$HERE/compare.sh" "$RUNS" "'$HELPER' l -slt -p- -tzip '$ZIP'" "7zz l -slt '$ZIP'"
"$HERE/compare.sh" "$RUNS" "TESSARO_7Z_VIA_7ZZ=1 '$HELPER' l -slt -p- -tzip '$ZIP'" "7zz l -slt '$ZIP'"
