#!/usr/bin/env bash
# compare.sh N COMMAND_A COMMAND_B: runs the two shell commands alternately N times each (output
# discarded), then prints each one's median wall-clock time and peak resident memory (the
# largest process of the command, from /usr/bin/time -v) and the ratio of the medians A/B.
# With COMPARE_TSV set, also appends one line to that file: COMPARE_LABEL, the two medians in
# seconds, their ratio and the two peaks in KiB, separated by tabs.
set -euo pipefail
N=${1:?usage: compare.sh N COMMAND_A COMMAND_B}
A=${2:?usage: compare.sh N COMMAND_A COMMAND_B}
B=${3:?usage: compare.sh N COMMAND_A COMMAND_B}
[ -x /usr/bin/time ] || { echo "compare.sh: /usr/bin/time is missing (Debian package time)" >&2; exit 1; }

REPORT=$(mktemp)
trap 'rm -f "$REPORT"' EXIT
times_a=() times_b=() rss_a=0 rss_b=0

# Prints "<seconds> <peak RSS in KiB>" for one run of the command.
measure() {
  local start end status
  start=$(date +%s%N)
  status=0
  /usr/bin/time -v -o "$REPORT" bash -c "$1" >/dev/null 2>&1 || status=$?
  end=$(date +%s%N)
  if [ "$status" -ne 0 ]; then
    echo "compare.sh: '$1' failed with status $status" >&2
    exit 1
  fi
  local rss
  rss=$(sed -n 's/^[[:space:]]*Maximum resident set size (kbytes): //p' "$REPORT")
  echo "$(( (end - start) / 1000 )) ${rss:-0}"
}

median() {
  printf '%s\n' "$@" | sort -n | awk '{ v[NR] = $1 } END { if (NR % 2) print v[(NR + 1) / 2]; else print (v[NR / 2] + v[NR / 2 + 1]) / 2 }'
}

for _ in $(seq "$N"); do
  run=$(measure "$A")
  times_a+=("${run% *}"); [ "${run#* }" -gt "$rss_a" ] && rss_a=${run#* }
  run=$(measure "$B")
  times_b+=("${run% *}"); [ "${run#* }" -gt "$rss_b" ] && rss_b=${run#* }
done

med_a=$(median "${times_a[@]}")
med_b=$(median "${times_b[@]}")
awk -v a="$med_a" -v b="$med_b" -v ra="$rss_a" -v rb="$rss_b" -v ca="$A" -v cb="$B" -v n="$N" 'BEGIN {
  printf "A: %s\n   median %.3f s over %d runs, peak RSS %.1f MiB\n", ca, a / 1e6, n, ra / 1024
  printf "B: %s\n   median %.3f s over %d runs, peak RSS %.1f MiB\n", cb, b / 1e6, n, rb / 1024
  printf "ratio of medians A/B: %.2f\n", a / b
}'
if [ -n "${COMPARE_TSV:-}" ]; then
  awk -v l="${COMPARE_LABEL:-}" -v a="$med_a" -v b="$med_b" -v ra="$rss_a" -v rb="$rss_b" 'BEGIN {
    printf "%s\t%.4f\t%.4f\t%.3f\t%d\t%d\n", l, a / 1e6, b / 1e6, a / b, ra, rb
  }' >>"$COMPARE_TSV"
fi
