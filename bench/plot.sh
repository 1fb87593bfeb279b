#!/usr/bin/env bash
# plot.sh RESULTS.tsv OUTPUT.png: preview time (qlhost, the first pair of each format and size in
# the results of formats-bench.sh) against entry count, one line per format, both axes
# logarithmic, with each format's usual lister dashed beside it. Needs gnuplot (gnuplot-nox).
set -euo pipefail
RESULTS=${1:?usage: plot.sh RESULTS.tsv OUTPUT.png}
PNG=${2:?usage: plot.sh RESULTS.tsv OUTPUT.png}
command -v gnuplot >/dev/null || { echo "plot.sh: gnuplot is missing (Debian package gnuplot-nox)" >&2; exit 1; }
DATA=$(mktemp)
trap 'rm -f "$DATA"' EXIT

# One gnuplot data block per format measured at three sizes or more: entries, qlhost seconds,
# reference seconds.
formats=$(awk -F'\t' '$3 == "qlhost" && !(($1, $2) in seen) {
    seen[$1, $2]; if (!sizes[$1]++) order[++n] = $1 }
  END { for (i = 1; i <= n; i++) if (sizes[order[i]] >= 3) print order[i] }' "$RESULTS")
[ -n "$formats" ] || { echo "plot.sh: no format measured at three sizes in $RESULTS" >&2; exit 1; }
for format in $formats; do
  awk -F'\t' -v f="$format" '$1 == f && $3 == "qlhost" && !seen[$2]++ { print $2, $5, $6, $4 }' \
    "$RESULTS" | sort -n >>"$DATA"
  printf '\n\n' >>"$DATA"
done

{
  echo "set terminal pngcairo size 900,600 font 'sans,10'"
  echo "set output '$PNG'"
  echo "set title 'Preview time against entry count (qlhost, solid; usual lister, dashed)'"
  echo "set xlabel 'entries'; set ylabel 'seconds (median)'"
  echo "set logscale xy; set grid; set key top left"
  printf 'plot '
  index=0
  for format in $formats; do
    ref=$(awk -F'\t' -v f="$format" '$1 == f && $3 == "qlhost" { print $4; exit }' "$RESULTS")
    [ $index -gt 0 ] && printf ', '
    printf "'%s' index %d using 1:2 with linespoints lw 2 lc %d title '%s', " \
      "$DATA" "$index" $((index + 1)) "$format"
    printf "'%s' index %d using 1:3 with lines dt 2 lc %d title '%s'" \
      "$DATA" "$index" $((index + 1)) "$format: $ref"
    index=$((index + 1))
  done
  echo
} | gnuplot
echo "$PNG"
