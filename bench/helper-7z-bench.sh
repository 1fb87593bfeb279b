#!/usr/bin/env bash
# helper-7z-bench.sh HELPER [FOLDER] [RUNS]: times the 7-Zip helper's listing of a zip of 100,100
# entries (made once into FOLDER by make-fixtures.sh) against `7zz l -slt` of
# the same file, both through compare.sh: once as the handlers run it (the zip read directly),
# once with --via-7zz (7zz's listing converted while it runs).
set -euo pipefail
HELPER=${1:?usage: helper-7z-bench.sh HELPER [FOLDER] [RUNS]}
OUT=${2:-${TMPDIR:-/tmp}/tessaro-bench}
RUNS=${3:-9}
HERE=$(cd "$(dirname "$0")" && pwd)
ZIP=$("$HERE/make-fixtures.sh" "$OUT" zip 100000)
"$HERE/compare.sh" "$RUNS" "'$HELPER' l -slt -p- -tzip '$ZIP'" "7zz l -slt '$ZIP'"
"$HERE/compare.sh" "$RUNS" "'$HELPER' l -slt -p- -tzip --via-7zz '$ZIP'" "7zz l -slt '$ZIP'"
