#!/usr/bin/env bash
# Runs every benchmark against the optimised build in $1 (default build/release).
set -euo pipefail
BUILD=${1:-build/release}
echo "== listing tree: 1,000,000 records"
"$BUILD/bench/listing_tree_bench" 1000000
echo "== tessaro list against tar tzvf: 100,000 entries"
"$(dirname "$0")/list-bench.sh" "$BUILD/Tessaro.app/Contents/MacOS/tessaro" "$BUILD/bench/fixtures" 7
echo "== preview (qlhost) against tessaro list: 100,000 entries"
"$(dirname "$0")/preview-bench.sh" "$BUILD" "$BUILD/bench/fixtures" 7
echo "== page load in headless Chromium: 1,000 / 100,000 / 1,000,000 entries against an empty page"
node "$(dirname "$0")/page-load-bench.mjs" "$BUILD" "$BUILD/bench/fixtures" 5
echo "== 7z helper's listing against 7zz l -slt: 100,000-entry zips of each producer"
"$(dirname "$0")/helper-7z-bench.sh" "$BUILD/Tessaro.app/Contents/Helpers/7z" "$BUILD/bench/fixtures" 7
echo "== the tar family as GNU tar and bsdtar write it against tar t[zJj]vf: 1,000 and 100,000 entries"
"$(dirname "$0")/tar-bench.sh" "$BUILD" "$BUILD/bench/fixtures" 5
echo "== every format against the listers people use: 1,000 to 1,000,000 entries"
"$(dirname "$0")/formats-bench.sh" "$BUILD" "$BUILD/bench/fixtures" 5
"$(dirname "$0")/plot.sh" "$BUILD/bench/fixtures/results.tsv" "$BUILD/bench/preview-time.png"
