#!/usr/bin/env bash
# report.sh RESULTS.tsv [CONDITION]: the results of formats-bench.sh as a Markdown table, with the
# peak memory of command A per entry; CONDITION, an awk expression over a line's fields, keeps
# only the lines it holds for (usual[$1] is the first lister the preview of that format met).
set -euo pipefail
RESULTS=${1:?usage: report.sh RESULTS.tsv [CONDITION]}
CONDITION=${2:-1}
echo "| format | entries | A | B | runs | median A (s) | median B (s) | A/B | peak RSS A (MiB) | peak RSS B (MiB) | A bytes per entry | page (KiB) |"
echo "|---|---:|---|---|---:|---:|---:|---:|---:|---:|---:|---:|"
awk -F'\t' '
function commas(n,   s, r) {
  s = sprintf("%d", n)
  for (r = ""; length(s) > 3; s = substr(s, 1, length(s) - 3)) r = "," substr(s, length(s) - 2) r
  return s r
}
NR == FNR { if ($3 == "qlhost" && !($1 in usual)) usual[$1] = $4; next }
'"$CONDITION"' {
  per = $2 > 0 ? sprintf("%.0f", $8 * 1024 / $2) : "";
  page = $10 != "" ? sprintf("%.0f", $10 / 1024) : "";
  printf "| %s | %s | `%s` | `%s` | %s | %.3f | %.3f | %.2f | %.1f | %.1f | %s | %s |\n",
         $1, commas($2), $3, $4, $11, $5, $6, $7, $8 / 1024, $9 / 1024, per, page
}' "$RESULTS" "$RESULTS"
