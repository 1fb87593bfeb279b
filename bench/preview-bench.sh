#!/usr/bin/env bash
# preview-bench.sh BUILD FIXTURE_FOLDER [N]: the whole preview ("qlhost", page written) against
# "tessaro list" of the same 100,000-entry tar.gz, alternately N times each (default 7), with
# the shipped display defaults, and the page's size.
set -euo pipefail
HERE=$(cd "$(dirname "$0")" && pwd)
BUILD=${1:?usage: preview-bench.sh BUILD FIXTURE_FOLDER [N]}
ARCHIVE=$("$HERE/make-fixtures.sh" "${2:?usage: preview-bench.sh BUILD FIXTURE_FOLDER [N]}")
APP="$BUILD/Tessaro.app/Contents/MacOS"
PAGE=$(mktemp --suffix=.html)
trap 'rm -f "$PAGE"' EXIT
"$HERE/compare.sh" "${3:-7}" "'$APP/qlhost' -o '$PAGE' '$ARCHIVE'" "'$APP/tessaro' list '$ARCHIVE'"
echo "page size: $(stat -c %s "$PAGE") bytes"
