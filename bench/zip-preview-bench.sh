#!/usr/bin/env bash
# zip-preview-bench.sh BUILD FIXTURE_FOLDER [N]: the whole preview of a zip of 100,100 entries
# (100 folders of 1,000 empty files, written once into FIXTURE_FOLDER) through qlhost, page
# written, against `7zz l -slt` of the same file, alternately N times each (default 7) through
# compare.sh, and the page's size.
set -euo pipefail
HERE=$(cd "$(dirname "$0")" && pwd)
USAGE="usage: zip-preview-bench.sh BUILD FIXTURE_FOLDER [N]"
BUILD=${1:?$USAGE}
OUT=${2:?$USAGE}
APP="$BUILD/Tessaro.app/Contents/MacOS"
mkdir -p "$OUT"
ZIP="$OUT/preview-100k.zip"
PAGE=$(mktemp --suffix=.html)
WORK=
trap 'rm -f "$PAGE"; [ -z "$WORK" ] || rm -rf "$WORK"' EXIT
if [ ! -s "$ZIP" ]; then
  WORK=$(mktemp -d)
  for d in $(seq -w 0 99); do
    mkdir -p "$WORK/tree/d$d"
    (cd "$WORK/tree/d$d" && seq -w 0 999 | sed 's/^/file-/' | xargs touch)
  done
  (cd "$WORK" && zip -q -r "$ZIP.partial.zip" tree)
  mv "$ZIP.partial.zip" "$ZIP"
fi
"$HERE/compare.sh" "${3:-7}" "'$APP/qlhost' -o '$PAGE' '$ZIP'" "7zz l -slt '$ZIP'"
echo "page size: $(stat -c %s "$PAGE") bytes"
