#!/usr/bin/env bash
# Runs every benchmark against the optimised build in $1 (default build/release).
set -euo pipefail
BUILD=${1:-build/release}
echo "== listing tree: 1,000,000 records"
"$BUILD/bench/listing_tree_bench" 1000000
