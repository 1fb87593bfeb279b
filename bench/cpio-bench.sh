#!/usr/bin/env bash
# cpio-bench.sh BUILD FIXTURE_FOLDER [N]: the whole preview ("qlhost", page written) of a
# 100,000-entry newc cpio against "bsdtar -tvf" of the same file, alternately N times each
# (default 7), and the page's size. The archive is made once in FIXTURE_FOLDER.
set -euo pipefail
HERE=$(cd "$(dirname "$0")" && pwd)
USAGE="usage: cpio-bench.sh BUILD FIXTURE_FOLDER [N]"
BUILD=${1:?$USAGE}
mkdir -p "${2:?$USAGE}"
ARCHIVE="$(cd "$2" && pwd)/bench-100k.cpio"
if [ ! -s "$ARCHIVE" ]; then
  WORK=$(mktemp -d)
  trap 'rm -rf "$WORK"' EXIT
  # 100 folders of 999 small files each: 100,000 entries, with fixed contents and dates so that
  # the archive is the same every time.
  (
    cd "$WORK"
    for d in $(seq -w 0 99); do
      mkdir "dir$d"
      (cd "dir$d" && seq -w 1 999 | sed 's/^/file/' | xargs touch)
      echo "folder $d" > "dir$d/file001"
    done
    find . -exec touch -h -d @1588328433 {} +
    find . -mindepth 1 | LC_ALL=C sort | cpio --quiet -o -H newc > "$ARCHIVE.tmp"
  )
  rm -rf "$WORK"
  trap - EXIT
  mv "$ARCHIVE.tmp" "$ARCHIVE"
fi
APP="$BUILD/Tessaro.app/Contents/MacOS"
PAGE=$(mktemp --suffix=.html)
trap 'rm -f "$PAGE"' EXIT
"$HERE/compare.sh" "${3:-7}" "'$APP/qlhost' -o '$PAGE' '$ARCHIVE'" "bsdtar -tvf '$ARCHIVE'"
echo "page size: $(stat -c %s "$PAGE") bytes"
