#!/usr/bin/env bash
# run.sh [BUILD] [FOLDER]: every benchmark against the optimised build in BUILD (default
# build/release), in one run, then docs/benchmarks.md (from bench/benchmarks.md.in) and
# docs/benchmarks.png rewritten from its results. The archives are made once into FOLDER
# (default BUILD/bench/fixtures) and kept there with the results of the last run.
#   RUNS    alternated runs per pair (default 5; formats-bench.sh says where it runs fewer)
#   COUNTS  the four sizes in entries (default "1000 10000 100000 1000000")
#   DOCS    where the document and the plot go (default the repository's docs)
set -euo pipefail
HERE=$(cd "$(dirname "$0")" && pwd)
BUILD=${1:-build/release}
OUT=${2:-$BUILD/bench/fixtures}
DOCS=${DOCS:-$HERE/../docs}
RUNS=${RUNS:-5}
export COUNTS=${COUNTS:-1000 10000 100000 1000000}
read -r -a COUNT <<<"$COUNTS"
HELPER="$BUILD/Tessaro.app/Contents/Helpers/7z"
mkdir -p "$OUT" "$DOCS"
started=$(date '+%Y-%m-%d %H:%M %Z')
load_start=$(cut -d' ' -f1 /proc/loadavg)
rm -f "$OUT/results.tsv" "$OUT/failed-pairs.tsv" "$OUT/zip-direct.tsv" "$OUT/listing-tree.txt" "$OUT/page-load.md" "$OUT/run-info"

echo "== archives (made once into $OUT)"
FIXTURES_ONLY=1 "$HERE/formats-bench.sh" "$BUILD" "$OUT"
"$HERE/make-mixed-zips.sh" "$OUT" >/dev/null
fixture_seconds=$SECONDS

echo "== the preview and tessaro list against the listers people use"
"$HERE/formats-bench.sh" "$BUILD" "$OUT" "$RUNS"

echo "== zips of the mixed set that the 7-Zip helper lists without 7zz"
"$HERE/zip-direct-bench.sh" "$HELPER" "$OUT" || rm -f "$OUT/zip-direct.tsv"

echo "== listing tree: ${COUNT[3]} records"
if [ -x "$BUILD/bench/listing_tree_bench" ]; then
  "$BUILD/bench/listing_tree_bench" "${COUNT[3]}" | tee "$OUT/listing-tree.txt"
else
  echo "not run: $BUILD/bench/listing_tree_bench is missing (configure with -DTESSARO_BUILD_BENCH=ON)"
fi

echo "== page load in headless Chromium against an empty page"
if [ -d "$HERE/../tests/browser/node_modules" ] && command -v node >/dev/null && [ -x /usr/bin/chromium ]; then
  node "$HERE/page-load-bench.mjs" "$BUILD" "$OUT" "$RUNS" "${COUNT[0]},${COUNT[2]},${COUNT[3]}" \
    >"$OUT/page-load.md.partial" && mv "$OUT/page-load.md.partial" "$OUT/page-load.md"
  rm -f "$OUT/page-load.md.partial"
  cat "$OUT/page-load.md" 2>/dev/null || true
else
  echo "not run: it needs node, /usr/bin/chromium and tests/browser's node modules (npm ci there)"
fi

{
  echo "started=$started"
  echo "seconds=$SECONDS"
  echo "fixture_seconds=$fixture_seconds"
  echo "load_start=$load_start"
  echo "load_end=$(cut -d' ' -f1 /proc/loadavg)"
  echo "runs=$RUNS"
  echo "small_runs=${SMALL_RUNS:-11}"
  echo "counts=$COUNTS"
} >"$OUT/run-info"
"$HERE/plot.sh" "$OUT/results.tsv" "$DOCS/benchmarks.png" || echo "the plot was not redrawn"
"$HERE/document.sh" "$BUILD" "$OUT" "$HERE/benchmarks.md.in" "$DOCS/benchmarks.md"
echo "make bench: $(( SECONDS / 60 )) min $(( SECONDS % 60 )) s"
