#!/usr/bin/env bash
# The torture sweep of tests/Torture_test.cpp at scale: BUILD is a sanitizer build with tests
# (make test's build/test), SEED replays a sweep, MUTATIONS is the damaged copies per format.
# Two shards run side by side; inputs that fail are copied to BUILD/torture-failures with a .txt
# that says how each was made.
#   bench/torture.sh build/test 20261206 400
set -euo pipefail
BUILD=${1:?usage: bench/torture.sh BUILD [SEED] [MUTATIONS_PER_FORMAT]}
SEED=${2:-20261206}
MUTATIONS=${3:-200}
SHARDS=${SHARDS:-2}

cmake --build "$BUILD" --target Torture_test -j2 >/dev/null
binary="$BUILD/tests/Torture_test"
keep="$BUILD/torture-failures"
logs=$(mktemp -d)
trap 'rm -rf "$logs"' EXIT
rm -rf "$keep"

echo "torture sweep: seed $SEED, $MUTATIONS mutations per format, $SHARDS shards"
start=$SECONDS
pids=()
for ((i = 0; i < SHARDS; i++)); do
  GTEST_TOTAL_SHARDS=$SHARDS GTEST_SHARD_INDEX=$i TESSARO_TORTURE_SEED=$SEED \
    TESSARO_TORTURE_MUTATIONS=$MUTATIONS TESSARO_TORTURE_KEEP="$keep" \
    ASAN_OPTIONS=halt_on_error=1:detect_leaks=1 UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
    "$binary" --gtest_filter='Formats/TortureTest.*' >"$logs/shard$i.log" 2>&1 &
  pids+=($!)
done
status=0
for pid in "${pids[@]}"; do wait "$pid" || status=1; done

# "torture-summary FORMAT tried crashes hangs folders processes sanitizer slowest", one per format.
format='%-9s %8s %8s %6s %15s %17s %18s %10s\n'
printf "$format" format tried crashes hangs "leaked folders" "leaked processes" "sanitizer reports" "slowest run s"
cat "$logs"/shard*.log | awk '$1 == "torture-summary"' | sort -k2,2 | awk -v f="$format" '
  { printf f, $2, $3, $4, $5, $6, $7, $8, $9; for (i = 3; i <= 8; i++) t[i] += $i; if ($9 > m) m = $9 }
  END { printf f, "total", t[3], t[4], t[5], t[6], t[7], t[8], m }'
echo "time: $((SECONDS - start)) s"
if [ "$status" -ne 0 ]; then
  echo "failures (inputs and descriptions in $keep):"
  grep -h -A3 'Failure$' "$logs"/shard*.log | grep -v -e '^--$' -e 'Failure$' -e '^Failed$' | head -60
  exit 1
fi
