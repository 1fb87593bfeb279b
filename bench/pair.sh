# Sourced by the benchmarks that compare a preview with a stock lister: `pair` runs compare.sh on
# two commands, appends their row to $RESULTS and, given an archive, the size of its page
# (written with $APP/qlhost into $PAGE). The caller sets HERE, RESULTS, APP and PAGE.
# pair LABEL_A COMMAND_A LABEL_B COMMAND_B FORMAT ENTRIES RUNS [ARCHIVE_FOR_PAGE]
pair() {
  local before after
  before=$(wc -l <"$RESULTS")
  COMPARE_TSV="$RESULTS" COMPARE_LABEL="$5	$6	$1	$3" "$HERE/compare.sh" "$7" "$2" "$4" |
    sed 's/^/  /'
  after=$(wc -l <"$RESULTS")
  [ "$after" -gt "$before" ] || return 0
  local bytes=""
  if [ -n "${8:-}" ]; then
    "$APP/qlhost" -o "$PAGE" "$8" >/dev/null 2>&1 && bytes=$(stat -c %s "$PAGE")
  fi
  sed -i '$ s/$/\t'"$bytes"'/' "$RESULTS"
}
