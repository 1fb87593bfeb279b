#!/usr/bin/env bash
# document.sh BUILD FOLDER TEMPLATE OUTPUT: writes the benchmark document OUTPUT from TEMPLATE
# (bench/benchmarks.md.in) and the results bench/run.sh left in FOLDER. Every line of the
# template that is only "@NAME@" becomes a generated part:
#   @MACHINE@            the machine, compiler, reference tools and the run's date and load
#   @TARGETS@            each target of bench/targets.tsv, its measure and whether it is met
#   @ZIP_DIRECT@         the path the 7-Zip helper took for each zip of the mixed set
#   @RESULTS_USUAL@      the preview against each format's usual lister, every size
#   @RESULTS_PRODUCERS@  archives of other producers (bsdtar, Python, jar, FAT, zip64)
#   @RESULTS_LIST@       "tessaro list" against the usual lister
#   @RESULTS_OTHER@      the preview against the other listers
#   @RESULTS_SHAPES@     the tree shapes (deep, flat, sparse)
#   @TREE@               bench/listing_tree_bench's report
#   @PAGE_LOAD@          bench/page-load-bench.mjs's table
# The rest of the template is copied as it is.
set -euo pipefail
HERE=$(cd "$(dirname "$0")" && pwd)
BUILD=${1:?usage: document.sh BUILD FOLDER TEMPLATE OUTPUT}
OUT=${2:?usage: document.sh BUILD FOLDER TEMPLATE OUTPUT}
TEMPLATE=${3:?usage: document.sh BUILD FOLDER TEMPLATE OUTPUT}
OUTPUT=${4:?usage: document.sh BUILD FOLDER TEMPLATE OUTPUT}
RESULTS="$OUT/results.tsv"
PARTS=$(mktemp -d)
trap 'rm -rf "$PARTS"' EXIT

# What run.sh noted about the run: started, seconds, fixture_seconds, load_start, load_end, runs,
# small_runs, counts.
info() { sed -n "s/^$1=//p" "$OUT/run-info" 2>/dev/null | head -1; }
COUNTS=$(info counts)
COUNTS=${COUNTS:-1000 10000 100000 1000000}

first_line() { "$@" 2>&1 | sed -n '/[0-9]\.[0-9]/{p;q}' || true; }
version() { first_line "$@" | grep -o '[0-9][0-9]*\.[0-9][0-9.]*' | head -1; }
{
  cpu=$(sed -n 's/^model name[[:space:]]*: //p' /proc/cpuinfo | head -1)
  memory=$(awk '/^MemTotal:/ { printf "%.0f GiB", $2 / 1048576 }' /proc/meminfo)
  os=$(. /etc/os-release && echo "$PRETTY_NAME")
  compiler=$(sed -n 's/^CMAKE_CXX_COMPILER:[A-Z]*=//p' "$BUILD/CMakeCache.txt" 2>/dev/null)
  build_type=$(sed -n 's/^CMAKE_BUILD_TYPE:[A-Z]*=//p' "$BUILD/CMakeCache.txt" 2>/dev/null)
  flags=$(sed -n "s/^CMAKE_CXX_FLAGS_${build_type^^}:[A-Z]*=//p" "$BUILD/CMakeCache.txt" 2>/dev/null)
  echo "- Machine: $cpu, $(nproc) cores, $memory, $os, Linux $(uname -r);" \
    "$("${compiler:-c++}" --version | head -1) at \`$flags\` (CMake $build_type)."
  echo "- References: 7-Zip $(version 7zz) (\`7zz\`), bsdtar $(version bsdtar --version)," \
    "GNU tar $(version tar --version) with gzip $(version gzip --version), xz $(version xz --version)" \
    "and bzip2 $(version bzip2 --help), UNRAR $(version unrar), UnZip $(version unzip -v)," \
    "lsar $(version lsar --version); archives made with Info-ZIP zip $(version zip -v)," \
    "RAR $(version rar), $(first_line python3 --version) and $(first_line jar --version)."
  seconds=$(info seconds)
  made=$(info fixture_seconds)
  echo "- Run of $(info started): $(( ${seconds:-0} / 60 )) min $(( ${seconds:-0} % 60 )) s in all, of which" \
    "$(( ${made:-0} / 60 )) min $(( ${made:-0} % 60 )) s making archives not already there;" \
    "load average $(info load_start) at its start and $(info load_end) at its end." \
    "$(info runs) alternated runs per pair ($(info small_runs) at the smallest size, 3 at the" \
    "largest, 1 for \`lsar -j\`); sizes $(echo "$COUNTS" | sed -E ':a; s/([0-9])([0-9]{3})\b/\1,\2/; ta; s/ /, /g') entries."
} >"$PARTS/MACHINE"

# A part of the run that did not take place leaves its results empty.
[ -f "$RESULTS" ] || { RESULTS="$PARTS/results.tsv"; : >"$RESULTS"; }
DIRECT="$OUT/zip-direct.tsv"
[ -f "$DIRECT" ] || { DIRECT="$PARTS/zip-direct.tsv"; : >"$DIRECT"; }

# The targets: each one's measure from results.tsv and zip-direct.tsv, never typed in.
awk -F'\t' -v counts="$COUNTS" '
function commas(n,   s, r) {
  s = sprintf("%d", n)
  for (r = ""; length(s) > 3; s = substr(s, 1, length(s) - 3)) r = "," substr(s, length(s) - 2) r
  return s r
}
function verdict(ok) { return ok ? "met" : "**not met**" }
BEGIN { split(counts, c, " "); size["S"] = c[1]; size["M"] = c[2]; size["L"] = c[3]; size["XL"] = c[4]
        print "| target | measured | |"; print "|---|---|---|" }
FILENAME ~ /results.tsv$/ { key = $1 SUBSEP $2 SUBSEP $3 SUBSEP $4; if (!(key in line)) line[key] = $0
                            if ($3 == "qlhost" && !(($1, $2) in rss)) rss[$1, $2] = $8; next }
FILENAME ~ /zip-direct.tsv$/ { zips++; if ($2 == "direct") direct++; else fell = fell (fell ? ", " : "") $1; next }
/^#/ || NF < 6 { next }
$1 == "ratio" {
  entries = size[$3]
  target = sprintf("%s, %s entries: preview ≤ %s× `%s`", $6, commas(entries), $5, $4)
  if (!(($2, entries, "qlhost", $4) in line)) { printf "| %s | not measured | |\n", target; next }
  split(line[$2, entries, "qlhost", $4], r, "\t")
  printf "| %s | **%.2f×** (%.3f s against %.3f s) | %s |\n", target, r[7], r[5], r[6], verdict(r[7] <= $5 + 0)
  next
}
$1 == "memory" {
  entries = size[$3]
  target = sprintf("%s, %s entries: preview under %s bytes per entry", $6, commas(entries), commas($5))
  if (!(($2, entries) in rss)) { printf "| %s | not measured | |\n", target; next }
  per = rss[$2, entries] * 1024 / entries
  printf "| %s | **%.0f** bytes per entry (peak RSS %.1f MiB) | %s |\n", target, per, rss[$2, entries] / 1024, verdict(per < $5)
  next
}
$1 == "direct" {
  target = sprintf("%s: ≥ %s %% listed by the 7-Zip helper without 7zz", $6, $5)
  if (!zips) { printf "| %s | not measured | |\n", target; next }
  share = 100 * direct / zips
  printf "| %s | **%.0f %%** (%d of %d%s) | %s |\n", target, share, direct, zips,
         fell ? "; through 7zz: " fell : "", verdict(share >= $5)
}' "$RESULTS" "$DIRECT" "$HERE/targets.tsv" >"$PARTS/TARGETS"

if [ -s "$OUT/failed-pairs.tsv" ]; then
  awk -F'\t' 'BEGIN { printf "\nPairs that failed in this run, so left out: " }
    { printf "%s%s at %s entries, `%s` against `%s`", (NR > 1 ? "; " : ""), $1, $2, $3, $4 } END { print "." }' \
    "$OUT/failed-pairs.tsv" >>"$PARTS/TARGETS"
fi

if [ -s "$DIRECT" ]; then
  {
    echo "| zip | listed |"
    echo "|---|---|"
    awk -F'\t' '{ printf "| %s | %s |\n", $1, $2 == "direct" ? "directly" : $2 == "7zz" ? "through 7zz" : "not at all" }' \
      "$DIRECT"
  } >"$PARTS/ZIP_DIRECT"
else
  echo "Not measured in this run." >"$PARTS/ZIP_DIRECT"
fi

MAIN='$1 ~ /^(zip|7z|tar\.gz|tar\.xz|tar\.bz2|rar|cpio)$/'
"$HERE/report.sh" "$RESULTS" "$MAIN"' && $3 == "qlhost" && $4 == usual[$1]' >"$PARTS/RESULTS_USUAL"
"$HERE/report.sh" "$RESULTS" '$1 ~ /^(bsd\.|zip-)/' >"$PARTS/RESULTS_PRODUCERS"
"$HERE/report.sh" "$RESULTS" '$3 == "tessaro list"' >"$PARTS/RESULTS_LIST"
"$HERE/report.sh" "$RESULTS" "$MAIN"' && $3 == "qlhost" && $4 != usual[$1]' >"$PARTS/RESULTS_OTHER"
"$HERE/report.sh" "$RESULTS" '$1 ~ /\(/' >"$PARTS/RESULTS_SHAPES"

if [ -s "$OUT/listing-tree.txt" ]; then
  { echo '```'; cat "$OUT/listing-tree.txt"; echo '```'; } >"$PARTS/TREE"
else
  echo "Not measured in this run." >"$PARTS/TREE"
fi
if [ -s "$OUT/page-load.md" ]; then
  cp "$OUT/page-load.md" "$PARTS/PAGE_LOAD"
else
  echo "Not measured in this run (it needs the node modules of tests/browser and Chromium)." >"$PARTS/PAGE_LOAD"
fi

{
  echo "<!-- Written by bench/document.sh from bench/benchmarks.md.in and the results of one \`make bench\`"
  echo "     run: edit the template, not this file. -->"
  awk -v parts="$PARTS" '
    /^@[A-Z_]+@$/ { file = parts "/" substr($0, 2, length($0) - 2)
                    while ((getline text < file) > 0) print text
                    close(file); next }
    { print }' "$TEMPLATE"
} >"$OUTPUT.partial"
mv "$OUTPUT.partial" "$OUTPUT"
echo "$OUTPUT"
