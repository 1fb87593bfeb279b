#!/usr/bin/env bash
# formats-bench.sh BUILD FOLDER [RUNS]: the preview (qlhost) and "tessaro list" of generated
# archives against the listers people use instead, on the same file, each pair alternately RUNS
# times (default 5; 3 at 1,000,000 entries). Results go to FOLDER/results.tsv (one line per pair:
# format, entries, command A, command B, median A and B in seconds, ratio, peak RSS A and B in KiB,
# page bytes for qlhost) and are printed as a table at the end (bench/report.sh).
#
# COUNTS (default "1000 10000 100000 1000000") sets the sizes; the tools other than the first
# reference of a format run at 100,000 entries and above; `lsar -j` (slow: tens of seconds per
# 100,000 entries) only at 100,000, and not at all with LSAR=0.
set -euo pipefail
HERE=$(cd "$(dirname "$0")" && pwd)
BUILD=${1:?usage: formats-bench.sh BUILD FOLDER [RUNS]}
OUT=${2:?usage: formats-bench.sh BUILD FOLDER [RUNS]}
RUNS=${3:-5}
COUNTS=${COUNTS:-1000 10000 100000 1000000}
APP=$(cd "$BUILD/Tessaro.app/Contents/MacOS" && pwd)
mkdir -p "$OUT"
RESULTS="$OUT/results.tsv"
: >"$RESULTS"
PAGE=$(mktemp --suffix=.html)
trap 'rm -f "$PAGE"' EXIT

# The references of each format, the first one being the format's usual lister.
references() {
  case "$1" in
    zip)    echo "7zz l -slt|unzip -Z|bsdtar -tvf" ;;
    7z)     echo "7zz l -slt|bsdtar -tvf" ;;
    tar.gz) echo "tar tzvf|bsdtar -tvf" ;;
    tar.xz) echo "tar tJvf|bsdtar -tvf" ;;
    rar)    echo "unrar lb|unrar vt" ;;
    cpio)   echo "bsdtar -tvf" ;;
  esac
}

# pair: one alternated comparison appended to $RESULTS, with the page size (bench/pair.sh).
. "$HERE/pair.sh"

for format in zip 7z tar.gz tar.xz rar cpio; do
  for count in $COUNTS; do
    runs=$RUNS
    [ "$count" -ge 1000000 ] && runs=$(( RUNS < 3 ? RUNS : 3 ))
    echo "== $format, $count entries"
    archive=$("$HERE/make-fixtures.sh" "$OUT" "$format" "$count")
    IFS='|' read -r -a refs <<<"$(references "$format")"
    first=1
    for ref in "${refs[@]}"; do
      if [ $first -eq 1 ] || [ "$count" -ge 100000 ]; then
        pair "qlhost" "'$APP/qlhost' -o '$PAGE' '$archive'" "$ref" "$ref '$archive'" \
          "$format" "$count" "$runs" "$archive"
      fi
      if [ $first -eq 1 ] && [ "$count" -ge 100000 ]; then
        pair "tessaro list" "'$APP/tessaro' list '$archive'" "$ref" "$ref '$archive'" \
          "$format" "$count" "$runs"
      fi
      first=0
    done
    if [ "$count" -eq 100000 ] && [ "${LSAR:-1}" != 0 ]; then
      pair "qlhost" "'$APP/qlhost' -o '$PAGE' '$archive'" "lsar -j" "lsar -j '$archive'" \
        "$format" "$count" 1
    fi
  done
done

for shape in deep flat sparse; do
  echo "== $shape"
  archive=$("$HERE/make-fixtures.sh" "$OUT" "$shape" 100000)
  count=100000
  [ "$shape" = sparse ] && count=2
  pair "qlhost" "'$APP/qlhost' -o '$PAGE' '$archive'" "tar tzvf" "tar tzvf '$archive'" \
    "tar.gz ($shape)" "$count" "$RUNS" "$archive"
done

echo
"$HERE/report.sh" "$RESULTS"
