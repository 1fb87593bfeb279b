#!/usr/bin/env bash
# formats-bench.sh BUILD FOLDER [RUNS]: the preview (qlhost, page written) and "tessaro list" of
# generated archives against the listers people use instead, on the same file, each pair run
# alternately: RUNS times (default 5), SMALL_RUNS times at the smallest size (default 11, as a
# run takes milliseconds there) and at most 3 times at the largest. The pairs are the rows of
# the table below. Results go to FOLDER/results.tsv, one line per pair: format, entries,
# command A, command B, median A and B in seconds, ratio A/B, peak RSS A and B in KiB, page
# bytes (qlhost only) and runs; they are printed as a table at the end (bench/report.sh). A pair
# whose command fails is named in FOLDER/failed-pairs.tsv instead.
#
# COUNTS (default "1000 10000 100000 1000000") gives the entries of the sizes S, M, L and XL
# the table names; smaller ones try the whole sweep quickly. `lsar -j` takes tens of seconds
# per 100,000 entries: it runs once per pair, and not at all with LSAR=0. With FIXTURES_ONLY=1
# the archives are made (those already there are kept) and nothing is timed.
set -euo pipefail
HERE=$(cd "$(dirname "$0")" && pwd)
BUILD=${1:?usage: formats-bench.sh BUILD FOLDER [RUNS]}
OUT=${2:?usage: formats-bench.sh BUILD FOLDER [RUNS]}
RUNS=${3:-5}
SMALL_RUNS=${SMALL_RUNS:-11}
read -r -a COUNT <<<"${COUNTS:-1000 10000 100000 1000000}"
[ ${#COUNT[@]} -eq 4 ] || { echo "formats-bench.sh: COUNTS needs four sizes" >&2; exit 2; }
APP=$(cd "$BUILD/Tessaro.app/Contents/MacOS" && pwd)
mkdir -p "$OUT"
RESULTS="$OUT/results.tsv"
FAILED="$OUT/failed-pairs.tsv"
if [ "${FIXTURES_ONLY:-0}" != 1 ]; then : >"$RESULTS"; : >"$FAILED"; fi
PAGE=$(mktemp --suffix=.html)
trap 'rm -f "$PAGE"' EXIT

# A (qlhost or list), the fixture kind (bench/make-fixtures.sh), its size, the reference lister.
# Every format at every size against its usual lister; GNU tar's and bsdtar's tars (bsd.*) at
# the large sizes; the zips of other producers; "tessaro list" and the other listers at L; the
# tree shapes.
ROWS='
qlhost|zip|S M L XL|7zz l -slt
qlhost|zip-python|L|7zz l -slt
qlhost|zip-fat|L|7zz l -slt
qlhost|zip-jar|L|7zz l -slt
qlhost|zip-zip64|L|7zz l -slt
qlhost|7z|S M L XL|7zz l -slt
qlhost|tar.gz|S M L XL|tar tzvf
qlhost|bsd.tar.gz|L XL|tar tzvf
qlhost|tar.xz|S M L XL|tar tJvf
qlhost|bsd.tar.xz|L XL|tar tJvf
qlhost|tar.bz2|S M L XL|tar tjvf
qlhost|bsd.tar.bz2|L XL|tar tjvf
qlhost|rar|S M L XL|unrar lb
qlhost|cpio|S M L XL|bsdtar -tvf
list|zip|L|7zz l -slt
list|7z|L|7zz l -slt
list|tar.gz|L|tar tzvf
list|tar.xz|L|tar tJvf
list|tar.bz2|L|tar tjvf
list|rar|L|unrar lb
list|cpio|L|bsdtar -tvf
qlhost|zip|L|unzip -Z
qlhost|zip|L|bsdtar -tvf
qlhost|7z|L|bsdtar -tvf
qlhost|tar.gz|L|bsdtar -tvf
qlhost|tar.xz|L|bsdtar -tvf
qlhost|rar|L|unrar vt
qlhost|zip|L|lsar -j
qlhost|7z|L|lsar -j
qlhost|tar.gz|L|lsar -j
qlhost|rar|L|lsar -j
qlhost|cpio|L|lsar -j
qlhost|deep|L|tar tzvf
qlhost|flat|L|tar tzvf
qlhost|sparse|L|tar tzvf
'

# pair LABEL_A COMMAND_A LABEL_B COMMAND_B FORMAT ENTRIES RUNS: one alternated comparison
# appended to $RESULTS with the size of the page the last run of A wrote, if any, and the runs.
pair() {
  local before bytes=""
  before=$(wc -l <"$RESULTS")
  rm -f "$PAGE"
  # A pair that fails is left out of the results, not the end of the run.
  COMPARE_TSV="$RESULTS" COMPARE_LABEL="$5	$6	$1	$3" "$HERE/compare.sh" "$7" "$2" "$4" 2>&1 |
    sed 's/^/  /' || true
  if [ "$(wc -l <"$RESULTS")" -eq "$before" ]; then
    printf '%s\t%s\t%s\t%s\n' "$5" "$6" "$1" "$3" >>"$FAILED"
    return 0
  fi
  [ -s "$PAGE" ] && bytes=$(stat -c %s "$PAGE")
  sed -i '$ s/$/\t'"$bytes"'\t'"$7"'/' "$RESULTS"
}

# The entries of a size name, and the format a fixture kind is shown as.
entries_of() {
  case "$1" in S) echo "${COUNT[0]}" ;; M) echo "${COUNT[1]}" ;; L) echo "${COUNT[2]}" ;; XL) echo "${COUNT[3]}" ;; esac
}
format_of() {
  case "$1" in deep|flat|sparse) echo "tar.gz ($1)" ;; *) echo "$1" ;; esac
}

while IFS='|' read -r program kind sizes reference; do
  [ -n "$program" ] || continue
  [ "$reference" = "lsar -j" ] && [ "${LSAR:-1}" = 0 ] && continue
  for size in $sizes; do
    count=$(entries_of "$size")
    runs=$RUNS
    [ "$size" = S ] && runs=$SMALL_RUNS
    [ "$size" = XL ] && [ "$runs" -gt 3 ] && runs=3
    [ "$reference" = "lsar -j" ] && runs=1
    archive=$("$HERE/make-fixtures.sh" "$OUT" "$kind" "$count")
    [ "${FIXTURES_ONLY:-0}" = 1 ] && continue
    # The sparse archive holds one huge file and one small one, whatever the size.
    [ "$kind" = sparse ] && count=2
    format=$(format_of "$kind")
    echo "== $format, $count entries: $program against $reference"
    if [ "$program" = qlhost ]; then
      pair "qlhost" "'$APP/qlhost' -o '$PAGE' '$archive'" "$reference" "$reference '$archive'" \
        "$format" "$count" "$runs"
    else
      pair "tessaro list" "'$APP/tessaro' list '$archive'" "$reference" "$reference '$archive'" \
        "$format" "$count" "$runs"
    fi
  done
done <<<"$ROWS"

[ "${FIXTURES_ONLY:-0}" = 1 ] && exit 0
echo
"$HERE/report.sh" "$RESULTS"
