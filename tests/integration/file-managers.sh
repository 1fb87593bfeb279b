#!/usr/bin/env bash
# file-managers.sh SOURCE BIN: runs the recipes of docs/integration.md inside lf, ranger, nnn and
# fzf themselves, each on a terminal of its own made by tmux, and checks that the archive's tree
# shows in the file manager's preview (or pager, for nnn). The recipes are read from the document,
# so what it tells users is what runs here.
set -euo pipefail
SOURCE=$(cd "${1:?usage: file-managers.sh SOURCE BIN}" && pwd)
BIN=$(cd "${2:?usage: file-managers.sh SOURCE BIN}" && pwd)
DOC=$SOURCE/docs/integration.md

for tool in tmux lf ranger nnn fzf; do
  command -v "$tool" >/dev/null || { echo "file-managers: $tool is not installed" >&2; exit 1; }
done

WORK=$(mktemp -d)
SOCKET=$WORK/tmux-socket  # inside WORK, so that it goes with it
cleanup() {
  tmux -S "$SOCKET" kill-server 2>/dev/null || true
  rm -rf "$WORK"
}
trap cleanup EXIT

export HOME=$WORK/home XDG_CONFIG_HOME=$WORK/home/.config XDG_CACHE_HOME=$WORK/home/.cache
export PATH=$SOURCE/host/integration:$BIN:$PATH
mkdir -p "$HOME" "$WORK/files" "$WORK/tree/inside"
echo x >"$WORK/tree/inside/marker-entry.txt"
tar -C "$WORK/tree" -cf "$WORK/files/sample.tar" inside

# block HEADING N: the Nth fenced code block under "## HEADING" in the document.
block() {
  awk -v heading="## $1" -v want="$2" '
    /^## / { inside = ($0 == heading); next }
    inside && /^```/ { if (open) { open = 0; if (n == want) exit } else { open = 1; n++ } ; next }
    inside && open && n == want { print }' "$DOC"
}

# install HEADING N: writes a block whose first or second line names its file ("# ~/.config/..."), with ~
# as this test's home (file managers expand ~ from the password database, not from HOME).
install_block() {
  local text path
  text=$(block "$1" "$2")
  path=$(printf '%s\n' "$text" | sed -n '1,2s|^# ~/\(\.config/[^ ]*\)$|\1|p')
  [ -n "$path" ] || { echo "file-managers: block $2 under '$1' names no file" >&2; exit 1; }
  mkdir -p "$(dirname "$HOME/$path")"
  printf '%s\n' "$text" | sed "s|~/|$HOME/|g" >"$HOME/$path"
  chmod +x "$HOME/$path"
}

# run NAME COMMAND [KEYS]: starts COMMAND in the files folder on a 120x30 terminal, sends KEYS
# once it is up, and waits up to 15 s for the archive's entry to show.
failures=0
run() {
  local name=$1 command=$2 keys=${3:-}
  tmux -S "$SOCKET" -f /dev/null new-session -d -x 120 -y 30 -s "$name" \
    "cd '$WORK/files' && $command"
  sleep 1
  [ -z "$keys" ] || tmux -S "$SOCKET" send-keys -t "$name" "$keys"
  for _ in $(seq 75); do
    if tmux -S "$SOCKET" capture-pane -p -t "$name" | grep -q '── inside/'; then
      tmux -S "$SOCKET" capture-pane -p -t "$name" | grep -q '── marker-entr' && {
        echo "ok: $name"
        tmux -S "$SOCKET" kill-session -t "$name"
        return
      }
    fi
    sleep 0.2
  done
  echo "FAILED: $name shows no tree:" >&2
  tmux -S "$SOCKET" capture-pane -p -t "$name" >&2 || true
  tmux -S "$SOCKET" kill-session -t "$name" 2>/dev/null || true
  failures=$((failures + 1))
}

install_block lf 1
install_block lf 2
run lf "lf -single"  # no server left running after the test

# ranger's own scope.sh with the recipe's case put first in handle_extension. Ranger turns
# previews off for root; the test may run as root, so it turns them back on.
scope=$HOME/.config/ranger/scope.sh
ranger --copy-config=scope >/dev/null 2>&1
recipe=$WORK/ranger-case
block ranger 1 >"$recipe"
sed -i "/^    case \"\${FILE_EXTENSION_LOWER}\" in\$/r $recipe" "$scope"
grep -q tessaro-preview-pane "$scope" || { echo "file-managers: ranger's scope.sh changed shape" >&2; exit 1; }
chmod +x "$scope"
run ranger "ranger --cmd='set preview_files true' --cmd='set use_preview_script true'"

# nnn: the recipe's NNN_PLUG, run with Alt and the key (the same as ; then the key).
nnn_plug=$(block nnn 1)
run nnn "$nnn_plug; PAGER=less nnn" M-t

run fzf "$(block fzf 1)"

[ "$failures" -eq 0 ]
