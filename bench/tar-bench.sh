#!/usr/bin/env bash
# tar-bench.sh BUILD FOLDER [RUNS]: the tar family against GNU tar's own verbose listing, in one
# run: tar.gz, tar.xz and tar.bz2 as GNU tar and as bsdtar write them, the preview (qlhost) and
# "tessaro list" each alternated RUNS times (default 5; 3 at 1,000,000 entries) with
# "tar tzvf" / "tar tJvf" / "tar tjvf" on the same file. Results go to FOLDER/tar-results.tsv
# (the columns of formats-bench.sh, the producer in the format's name) and are printed as a table.
#
# COUNTS (default "1000 100000") sets the sizes; 1,000 entries is run for tar.gz only, as the
# cost of a small archive is the program's start, not the compression.
set -euo pipefail
HERE=$(cd "$(dirname "$0")" && pwd)
BUILD=${1:?usage: tar-bench.sh BUILD FOLDER [RUNS]}
OUT=${2:?usage: tar-bench.sh BUILD FOLDER [RUNS]}
RUNS=${3:-5}
COUNTS=${COUNTS:-1000 100000}
APP=$(cd "$BUILD/Tessaro.app/Contents/MacOS" && pwd)
mkdir -p "$OUT"
RESULTS="$OUT/tar-results.tsv"
: >"$RESULTS"
PAGE=$(mktemp --suffix=.html)
trap 'rm -f "$PAGE"' EXIT

# pair: one alternated comparison appended to $RESULTS, with the page size (bench/pair.sh).
. "$HERE/pair.sh"

for count in $COUNTS; do
  runs=$RUNS
  [ "$count" -ge 1000000 ] && runs=$(( RUNS < 3 ? RUNS : 3 ))
  for compression in gz xz bz2; do
    [ "$count" -lt 100000 ] && [ "$compression" != gz ] && continue
    case "$compression" in gz) tool="tar tzvf" ;; xz) tool="tar tJvf" ;; bz2) tool="tar tjvf" ;; esac
    for producer in gnu bsd; do
      kind="tar.$compression"
      [ "$producer" = bsd ] && kind="bsd.$kind"
      echo "== $kind, $count entries"
      archive=$("$HERE/make-fixtures.sh" "$OUT" "$kind" "$count")
      pair "qlhost" "'$APP/qlhost' -o '$PAGE' '$archive'" "$tool" "$tool '$archive'" \
        "$kind" "$count" "$runs" "$archive"
      pair "tessaro list" "'$APP/tessaro' list '$archive'" "$tool" "$tool '$archive'" \
        "$kind" "$count" "$runs"
    done
  done
done

echo
"$HERE/report.sh" "$RESULTS"
