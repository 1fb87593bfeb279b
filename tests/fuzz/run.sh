#!/usr/bin/env bash
# Configures a clang build for fuzzing in BUILD (default build-fuzz), builds every target, seeds
# each one's corpus and runs it for SECONDS (default 60); prints executions per target. Crashes
# are written to BUILD/fuzz-artifacts/<target>-crash-*, the full logs to BUILD/fuzz-logs.
#   tests/fuzz/run.sh [BUILD] [SECONDS]
set -euo pipefail
cd "$(dirname "$0")/../.."
BUILD=${1:-build-fuzz}
TIME=${2:-60}
JOBS=${JOBS:-2}
FIXTURES=${FIXTURES:-tests/fixtures/third-party}
TARGETS=(listing_tree_fuzz registry_fuzz tar_lines_fuzz tar_headers_fuzz rar_headers_fuzz bzip2_blocks_fuzz slt_records_fuzz zip_directory_fuzz sevenzip_headers_fuzz rtf_fuzz
         tnef_fuzz
         xar_toc_fuzz)

if [ ! -f "$BUILD/build.ninja" ]; then
  CC=clang CXX=clang++ cmake -S . -B "$BUILD" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTESSARO_FUZZ=ON \
    -DTESSARO_BUILD_TESTS=OFF >/dev/null
fi
cmake --build "$BUILD" --target tessaro_fuzz_targets -j"$JOBS"

corpus="$BUILD/fuzz-corpus"
artifacts="$BUILD/fuzz-artifacts"
logs="$BUILD/fuzz-logs"
# The registry consults the user's preferences (the extension blacklist): give it none.
home="$BUILD/fuzz-home"
mkdir -p "$artifacts" "$logs" "$home"
for t in "${TARGETS[@]}"; do mkdir -p "$corpus/$t"; done

# Seeds, made with the tools each reader's input comes from.
seeds=$(mktemp -d)
trap 'rm -rf "$seeds"' EXIT
(
  cd "$seeds"
  mkdir -p t/d && echo hi > t/d/a && seq 1 3000 > t/n && ln -sf d/a t/l
  zip -qry a.zip t && 7zz a -bd -bso0 a.7z t && tar -cf a.tar t
  printf 'path=a/b/c.txt\tunco=12\tcomp=-1\ttime=20200501.102030\nComment = x\npath=docs/\tattr=drwxr-xr-x\tmont=Mar\tday_=7\n' \
    > records
  tar -tvf a.tar | perl -pe 's/(.)([^ ]+)[ ]+([^ ]+)[ ]+([0-9]+)[ ]+([0-9]+)-([0-9]+)-([0-9]+)[ ]+([0-9]+):([0-9]+)[:]*([0-9]*)[ ]*([^\n]+)/$1path=$11\tattr=$1$2\tunco=$4\tcomp=0\ttime=$5$6$7.$8$9$10/g' \
    > tar-lines
  { printf '\001'; 7zz l -slt a.7z; } > slt-7z
  { printf '\007'; 7zz l -slt a.zip; } > slt-zip
  printf '\000\377\377\000\000' > rtf-lzfu && printf '\001\005\000\000\000hello' > rtf-mela
  for i in 0 1 2 3 5 13 14; do { printf "\\$(printf %03o $i)"; cat a.zip; } > reg-$i; done
  { printf '\001'; cat a.tar; } > reg-tar
  # Zips of other producers for the central-directory reader: zip64, 7zz's AES, a prefix, and
  # Python's Windows host with the time and Unicode-path extras.
  zip -q -fz -r zip64.zip t && 7zz a -bd -bso0 -tzip -pfuzz -mem=AES256 aes.zip t
  { seq 1 100; cat a.zip; } > prefixed.zip
  python3 -c '
import struct, zipfile, zlib
with zipfile.ZipFile("extras.zip", "w") as z:
    info = zipfile.ZipInfo("n")
    info.create_system, info.external_attr = 0, 0x21
    info.extra = (struct.pack("<HHBi", 0x5455, 5, 1, 1500000000) + struct.pack("<HHII", 0x5855, 8, 1, 2) +
                  struct.pack("<HHIHHQQQ", 10, 32, 0, 1, 24, 1, 2, 3) +
                  struct.pack("<HHB", 0x7075, 6, 1) + struct.pack("<I", zlib.crc32(b"n")) + b"u")
    z.writestr(info, "x")
'
  # 7z archives for the header reader, the first byte asking for fitting CRCs: a packed header,
  # a plain one with every time, and a solid PPMd one with a filter and encrypted entries.
  7zz a -bd -bso0 -mhc=off -mtc=on -mta=on plain.7z t && 7zz a -bd -bso0 -mf=BCJ -m0=PPMd -pfuzz ppmd.7z t
  for f in a plain ppmd; do { printf '\001'; cat $f.7z; } > 7z-$f; done
  # Header readings: GNU, pax and bsdtar's archives, the first byte the piece size.
  ln -s 'a-link-target-well-past-one-hundred-bytes-aaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaa' t/long
  for f in gnu posix; do { printf '\077'; tar --format=$f -cf - t; } > hdr-$f; done
  { printf '\005'; bsdtar -cf - t; } > hdr-bsd
  # RAR 5 archives for the header reader, the first byte asking for fitting CRCs: links, a
  # comment, encrypted entries, every time and a recovery record.
  printf 'note' > note
  rar a -idq -ol -znote rar-plain.rar t && rar a -idq -ol -pfuzz -ts -rr5% -qo+ rar-more.rar t
  for f in plain more; do { printf '\001'; cat rar-$f.rar; } > rar-$f; done
  # bzip2 files, the first byte the piece size: blocks of bzip2 and lbzip2, pbzip2's streams of
  # one block each, and a block whose map of byte values in use spells a block signature.
  seq 1 40000 > n && bzip2 -1 -c n > n.bz2 && lbzip2 -1 -c n > n.lbz2 && pbzip2 -1 -b1 -c n > n.pbz2
  printf '\002\003\007\011\017\021\023\024\027\032\035\036\041\043\046\047\051\053\054\057' | bzip2 -c > planted.bz2
  for f in n.bz2 n.lbz2 n.pbz2 planted.bz2; do { printf '\020'; cat $f; } > bz2-$f; done
)
cp "$seeds/records" "$corpus/listing_tree_fuzz/"
cp "$seeds"/reg-* "$corpus/registry_fuzz/"
cp "$seeds/tar-lines" "$corpus/tar_lines_fuzz/"
cp "$seeds"/hdr-* "$corpus/tar_headers_fuzz/"
cp "$seeds"/rar-plain "$seeds"/rar-more "$corpus/rar_headers_fuzz/"
cp "$seeds"/bz2-* "$corpus/bzip2_blocks_fuzz/"
cp "$seeds"/slt-* "$corpus/slt_records_fuzz/"
cp "$seeds"/{a,zip64,aes,prefixed,extras}.zip "$corpus/zip_directory_fuzz/"
cp "$seeds"/7z-* "$corpus/sevenzip_headers_fuzz/"
cp "$seeds"/rtf-* "$corpus/rtf_fuzz/"
cp "$FIXTURES"/tnef/* "$corpus/tnef_fuzz/" 2>/dev/null || true
(
  # The XAR target's input: the table of contents' length (two bytes), its XML, then the heap.
  cd "$seeds"
  for c in gzip none; do
    bsdtar --format xar --options xar:compression=$c -cf $c.xar t
    python3 -c 'import sys,zlib,struct; b=open(sys.argv[1],"rb").read();
n=struct.unpack(">Q",b[8:16])[0]; x=zlib.decompress(b[28:28+n]);
sys.stdout.buffer.write(struct.pack(">H",len(x))+x+b[28+n:])' $c.xar > seed-$c
  done
)
cp "$seeds"/seed-* "$corpus/xar_toc_fuzz/"

printf '%-20s %12s %10s %8s\n' target executions "exec/s" crashes
failed=0
for t in "${TARGETS[@]}"; do
  log="$logs/$t.log"
  status=0
  HOME="$home" XDG_CONFIG_HOME="$home" "$BUILD/tests/fuzz/$t" -max_total_time="$TIME" -max_len=70000 \
    -rss_limit_mb=2048 -timeout=25 -print_final_stats=1 -artifact_prefix="$artifacts/$t-" \
    "$corpus/$t" >"$log" 2>&1 || status=$?
  runs=$(awk '/stat::number_of_executed_units/ { print $NF }' "$log" | tail -1)
  rate=$(awk '/stat::average_exec_per_sec/ { print $NF }' "$log" | tail -1)
  found=$(ls "$artifacts" | grep -c "^$t-" || true)
  printf '%-20s %12s %10s %8s\n' "$t" "${runs:-?}" "${rate:-?}" "$found"
  if [ "$status" -ne 0 ]; then
    failed=1
    grep -m1 -E 'ERROR: |runtime error|deadly signal|Test unit written' "$log" | sed 's/^/    /' || true
  fi
done
exit $failed
