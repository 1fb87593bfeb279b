#!/usr/bin/env bash
# helper-7z-bench.sh HELPER [FOLDER] [RUNS]: times the 7-Zip helper's listing of zips of 100,100
# entries (made once into FOLDER by make-fixtures.sh) against `7zz l -slt` of the same file, both
# through compare.sh: for Info-ZIP's zip once as the handlers run it (the zip read directly) and
# once with --via-7zz (7zz's listing converted while it runs), then directly for the
# zips of the other producers, and the same for 7zz's own 7z archive of 100,000 entries (its
# headers read directly, then through 7zz). The pairs also go to FOLDER/helper-7z.tsv (as
# compare.sh writes them), and a Markdown table of them is printed at the end.
set -euo pipefail
HELPER=${1:?usage: helper-7z-bench.sh HELPER [FOLDER] [RUNS]}
OUT=${2:-${TMPDIR:-/tmp}/tessaro-bench}
RUNS=${3:-9}
HERE=$(cd "$(dirname "$0")" && pwd)
mkdir -p "$OUT"
export COMPARE_TSV="$OUT/helper-7z.tsv"
: >"$COMPARE_TSV"

ZIP=$("$HERE/make-fixtures.sh" "$OUT" zip 100000)
COMPARE_LABEL="Info-ZIP" "$HERE/compare.sh" "$RUNS" "'$HELPER' l -slt -p- -tzip '$ZIP'" "7zz l -slt '$ZIP'"
COMPARE_LABEL="Info-ZIP through 7zz" \
  "$HERE/compare.sh" "$RUNS" "'$HELPER' l -slt -p- -tzip --via-7zz '$ZIP'" "7zz l -slt '$ZIP'"
for kind in zip-python zip-fat zip-jar zip-zip64; do
  ZIP=$("$HERE/make-fixtures.sh" "$OUT" "$kind" 100000)
  COMPARE_LABEL="$kind" "$HERE/compare.sh" "$RUNS" "'$HELPER' l -slt -p- -tzip '$ZIP'" "7zz l -slt '$ZIP'"
done

SEVENZ=$("$HERE/make-fixtures.sh" "$OUT" 7z 100000)
COMPARE_LABEL="7z" "$HERE/compare.sh" "$RUNS" "'$HELPER' l -slt -p- -t7z '$SEVENZ'" "7zz l -slt '$SEVENZ'"
COMPARE_LABEL="7z through 7zz" \
  "$HERE/compare.sh" "$RUNS" "'$HELPER' l -slt -p- -t7z --via-7zz '$SEVENZ'" "7zz l -slt '$SEVENZ'"

echo "| archive | helper (s) | 7zz l -slt (s) | ratio | helper peak RSS (MiB) | 7zz peak RSS (MiB) |"
echo "|---|---:|---:|---:|---:|---:|"
awk -F'\t' '{ printf "| %s | %.3f | %.3f | %.2f | %.1f | %.1f |\n", $1, $2, $3, $4, $5 / 1024, $6 / 1024 }' "$COMPARE_TSV"
