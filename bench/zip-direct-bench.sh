#!/usr/bin/env bash
# zip-direct-bench.sh HELPER FOLDER: which zips of the mixed set (bench/make-mixed-zips.sh, made
# once into FOLDER) the 7-Zip helper lists from the central directory alone. Each zip is listed
# as the handlers list it (`l -slt -p- -tzip`) twice: with /usr/bin/7zz hidden (a private mount
# namespace where it is /dev/null), where only the direct reader can succeed, and as usual.
# Writes FOLDER/zip-direct.tsv (zip, the path it took: direct, 7zz, or failed when neither
# listed it) and prints the share that took the direct path. Needs `unshare -rm`, which Debian
# allows an ordinary user.
set -euo pipefail
HERE=$(cd "$(dirname "$0")" && pwd)
HELPER=${1:?usage: zip-direct-bench.sh HELPER FOLDER}
OUT=${2:?usage: zip-direct-bench.sh HELPER FOLDER}
SEVENZIP=/usr/bin/7zz
SET=$("$HERE/make-mixed-zips.sh" "$OUT")
RESULTS="$OUT/zip-direct.tsv"
if ! unshare -rm sh -c "mount --bind /dev/null '$SEVENZIP'" 2>/dev/null; then
  echo "zip-direct-bench.sh: cannot hide $SEVENZIP in a private mount namespace (unshare -rm)" >&2
  exit 1
fi
: >"$RESULTS"

for zip in "$SET"/*.zip; do
  if unshare -rm sh -c 'mount --bind /dev/null "$1" && shift && exec "$@"' sh "$SEVENZIP" \
    "$HELPER" l -slt -p- -tzip "$zip" >/dev/null 2>&1; then
    path=direct
  elif "$HELPER" l -slt -p- -tzip "$zip" >/dev/null 2>&1; then
    path=7zz
  else
    path=failed
  fi
  printf '%s\t%s\n' "$(basename "$zip" .zip)" "$path" >>"$RESULTS"
done

awk -F'\t' '{ n++; if ($2 == "direct") d++; else other = other " " $1 " (" $2 ")" }
  END { printf "direct path: %d of %d zips (%.0f %%)\n", d, n, n ? 100 * d / n : 0
        if (other != "") print "not direct:" other }' "$RESULTS"
