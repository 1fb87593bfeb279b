#!/usr/bin/env bash
# Writes the benchmark archives into folder $1 (made when missing) and prints the path of the
# listing one: tree.tar.gz, 100 folders of 1,000 empty files each (100,101 entries). An
# archive already there is kept, so repeated runs time the same file.
set -euo pipefail
OUT=${1:?usage: make-fixtures.sh FOLDER}
mkdir -p "$OUT"
ARCHIVE="$OUT/tree.tar.gz"
if [ ! -s "$ARCHIVE" ]; then
  WORK=$(mktemp -d)
  trap 'rm -rf "$WORK"' EXIT
  for d in $(seq -w 0 99); do
    mkdir -p "$WORK/tree/d$d"
    (cd "$WORK/tree/d$d" && seq -w 0 999 | sed 's/^/file-/' | xargs touch)
  done
  tar -C "$WORK" -czf "$ARCHIVE.partial" tree
  mv "$ARCHIVE.partial" "$ARCHIVE"
fi
echo "$ARCHIVE"
