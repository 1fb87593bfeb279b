#!/usr/bin/env bash
# make-fixtures.sh FOLDER [KIND] [ENTRIES]: writes one benchmark archive into FOLDER (made when
# missing) and prints its path. An archive already there is kept, so repeated runs time the same
# file. Without KIND: tree.tar.gz, 100 folders of 1,000 empty files (100,101 entries).
#
# KIND is an archive format (zip, 7z, tar.gz, tar.xz, tar.bz2, rar, cpio; bsd.tar.gz, bsd.tar.xz
# and bsd.tar.bz2 are the tars as bsdtar writes them), made from a tree of ENTRIES empty files
# (default 100,000) in folders of 1,000, or one of the shapes:
#   deep    a chain of 200 nested folders with ENTRIES files spread along it (tar.gz)
#   flat    ENTRIES files in one folder (tar.gz)
#   sparse  one 4 GiB file that takes no disk space (tar.gz, stored sparse)
# and zips of the same tree in the manner of other producers:
#   zip-python  Python's zipfile.writestr: Unix host, modes without a file-type bit
#   zip-fat     Python's zipfile with a FAT host and Windows attributes, as Windows tools write
#   zip-jar     Java's jar (FAT host, data descriptors, UTF-8 names)
#   zip-zip64   Info-ZIP with zip64 records forced (zip -fz)
set -euo pipefail
OUT=${1:?usage: make-fixtures.sh FOLDER [KIND] [ENTRIES]}
KIND=${2:-}
ENTRIES=${3:-100000}
mkdir -p "$OUT"
OUT=$(cd "$OUT" && pwd)

if [ -z "$KIND" ]; then
  ARCHIVE="$OUT/tree.tar.gz"
  if [ ! -s "$ARCHIVE" ]; then
    "$0" "$OUT" tar.gz 100000 >/dev/null
    cp "$OUT/tree-100000.tar.gz" "$ARCHIVE"
  fi
  echo "$ARCHIVE"
  exit 0
fi

# A folder of ENTRIES empty files in folders of 1,000 (fewer when ENTRIES is small), shared by
# every format of that size; the sources stay for the next format.
source_tree() {
  local count=$1 tree="$OUT/sources/$1"
  if [ ! -f "$tree/.complete" ]; then
    rm -rf "$tree"
    mkdir -p "$tree/tree"
    local per=1000 folders d
    [ "$count" -lt "$per" ] && per=$count
    folders=$(( count / per ))
    for d in $(seq -w 0 $(( folders - 1 ))); do
      mkdir "$tree/tree/d$d"
      (cd "$tree/tree/d$d" && seq -w 0 $(( per - 1 )) | sed 's/^/file-/' | xargs touch)
    done
    touch "$tree/.complete"
  fi
  echo "$tree"
}

case "$KIND" in
  deep|flat) ARCHIVE="$OUT/$KIND-$ENTRIES.tar.gz" ;;
  sparse) ARCHIVE="$OUT/sparse-4GiB.tar.gz" ;;
  zip-*) ARCHIVE="$OUT/tree-$ENTRIES.${KIND#zip-}.zip" ;;
  *) ARCHIVE="$OUT/tree-$ENTRIES.$KIND" ;;
esac
if [ -s "$ARCHIVE" ]; then
  echo "$ARCHIVE"
  exit 0
fi

PARTIAL="$ARCHIVE.partial"
rm -f "$PARTIAL"
WORK=$(mktemp -d)
trap 'rm -rf "$WORK" "$PARTIAL"' EXIT
case "$KIND" in
  zip)    (cd "$(source_tree "$ENTRIES")" && zip -q -r "$PARTIAL" tree) ;;
  7z)     (cd "$(source_tree "$ENTRIES")" && 7zz a -bd -bso0 -t7z "$PARTIAL" tree) ;;
  tar.gz) tar -C "$(source_tree "$ENTRIES")" -czf "$PARTIAL" tree ;;
  tar.xz) tar -C "$(source_tree "$ENTRIES")" -cJf "$PARTIAL" tree ;;
  tar.bz2) tar -C "$(source_tree "$ENTRIES")" -cjf "$PARTIAL" tree ;;
  bsd.tar.gz)  bsdtar -C "$(source_tree "$ENTRIES")" -czf "$PARTIAL" tree ;;
  bsd.tar.xz)  bsdtar -C "$(source_tree "$ENTRIES")" -cJf "$PARTIAL" tree ;;
  bsd.tar.bz2) bsdtar -C "$(source_tree "$ENTRIES")" -cjf "$PARTIAL" tree ;;
  rar)    (cd "$(source_tree "$ENTRIES")" && rar a -r -idq -m1 "$PARTIAL" tree >/dev/null &&
           mv "$PARTIAL.rar" "$PARTIAL" 2>/dev/null || true) ;;
  cpio)   (cd "$(source_tree "$ENTRIES")" && find tree | cpio -o -H newc --quiet >"$PARTIAL") ;;
  zip-python|zip-fat)
    (cd "$(source_tree "$ENTRIES")" && find tree | sort | python3 -c '
import os, sys, zipfile
fat = sys.argv[2] == "zip-fat"
with zipfile.ZipFile(sys.argv[1], "w", zipfile.ZIP_DEFLATED) as z:
    for path in sys.stdin.read().split("\n"):
        if not path:
            continue
        folder = os.path.isdir(path)
        info = zipfile.ZipInfo(path + "/" if folder else path)
        if fat:
            info.create_system, info.external_attr = 0, 0x10 if folder else 0x20
        z.writestr(info, b"")
' "$PARTIAL" "$KIND") ;;
  zip-jar) (cd "$(source_tree "$ENTRIES")" && jar cfM "$PARTIAL" tree) ;;
  zip-zip64) (cd "$(source_tree "$ENTRIES")" && zip -q -r -fz "$PARTIAL" tree) ;;
  deep)
    path="$WORK/deep"
    for level in $(seq 1 200); do path="$path/level-$level"; done
    mkdir -p "$path"
    # The files go into every folder of the chain in turn.
    (cd "$WORK" && find deep -type d | awk -v n="$ENTRIES" '{ d[NR] = $0 } END {
       for (i = 0; i < n; i++) printf "%s/file-%07d\n", d[(i % NR) + 1], i }' | xargs touch)
    tar -C "$WORK" -czf "$PARTIAL" deep ;;
  flat)
    mkdir "$WORK/flat"
    (cd "$WORK/flat" && seq -w 1 "$ENTRIES" | sed 's/^/file-/' | xargs touch)
    tar -C "$WORK" -czf "$PARTIAL" flat ;;
  sparse)
    mkdir "$WORK/sparse"
    truncate -s 4G "$WORK/sparse/huge.bin"
    echo "beside the huge one" >"$WORK/sparse/small.txt"
    tar -C "$WORK" -S -czf "$PARTIAL" sparse ;;
  *) echo "make-fixtures.sh: unknown kind '$KIND'" >&2; exit 2 ;;
esac
mv "$PARTIAL" "$ARCHIVE"
echo "$ARCHIVE"
