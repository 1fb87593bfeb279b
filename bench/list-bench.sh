#!/usr/bin/env bash
# list-bench.sh TESSARO FIXTURE_FOLDER [N]: "tessaro list" against "tar tzvf" on the same
# 100,000-entry archive, alternately N times each (default 7).
set -euo pipefail
HERE=$(cd "$(dirname "$0")" && pwd)
TESSARO=${1:?usage: list-bench.sh TESSARO FIXTURE_FOLDER [N]}
ARCHIVE=$("$HERE/make-fixtures.sh" "${2:?usage: list-bench.sh TESSARO FIXTURE_FOLDER [N]}")
"$HERE/compare.sh" "${3:-7}" "'$TESSARO' list '$ARCHIVE'" "tar tzvf '$ARCHIVE'"
