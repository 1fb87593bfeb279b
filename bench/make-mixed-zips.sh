#!/usr/bin/env bash
# make-mixed-zips.sh FOLDER: writes a mixed set of small zips into FOLDER/mixed-zips (made once:
# kept when complete) and prints that folder. Each zip is made the way one producer or one
# option of it writes them, from the same small tree (text files, an empty folder, a symbolic
# link, non-ASCII names); the names say how:
#   infozip-*  Info-ZIP's zip: plain, stored, no folder entries or extra fields (-D -X),
#              ZipCrypto, streamed to a pipe (data descriptors), a file read from standard
#              input, a comment, links kept, zip64 forced, bzip2, behind a self-extractor stub
#              (offsets adjusted with -A, and not)
#   python-*   Python's zipfile: stored, deflated, a comment, a FAT host with Windows
#              attributes, written to a pipe (data descriptors), lzma, no entries at all
#   jar-*      Java's jar, with and without a manifest
#   7zz-*      7-Zip: deflate, stored, ZipCrypto, AES-256, UTF-8 names flagged
#   bsdtar-*   libarchive's zip writer, deflated, stored and AES-256
set -euo pipefail
OUT=${1:?usage: make-mixed-zips.sh FOLDER}
SET="$OUT/mixed-zips"
if [ -f "$SET/.complete" ]; then
  echo "$SET"
  exit 0
fi
rm -rf "$SET"
mkdir -p "$SET"
SET=$(cd "$SET" && pwd)
WORK=$(mktemp -d)
trap 'rm -rf "$WORK"' EXIT
export LC_ALL=C.UTF-8

# The tree every zip is made of.
mkdir -p "$WORK/src/tree/docs/empty" "$WORK/src/tree/données" "$WORK/src/tree/日本語"
for i in $(seq 1 20); do seq 1 $((i * 50)) >"$WORK/src/tree/docs/notes-$i.txt"; done
echo "accented" >"$WORK/src/tree/données/résumé.txt"
echo "japanese" >"$WORK/src/tree/日本語/ファイル.txt"
ln -s docs/notes-1.txt "$WORK/src/tree/link-to-notes"
cd "$WORK/src"

zip -q -r "$SET/infozip-plain.zip" tree
zip -q -r -0 "$SET/infozip-stored.zip" tree
zip -q -r -D -X "$SET/infozip-bare.zip" tree
zip -q -r -P secret "$SET/infozip-zipcrypto.zip" tree
zip -q -r - tree | cat >"$SET/infozip-streamed.zip"
seq 1 1000 | zip -q - - | cat >"$SET/infozip-stdin.zip"
echo "An archive comment" | zip -q -r -z "$SET/infozip-comment.zip" tree
zip -q -r -y "$SET/infozip-symlinks.zip" tree
zip -q -r -fz "$SET/infozip-zip64.zip" tree
zip -q -r -Z bzip2 "$SET/infozip-bzip2.zip" tree
# A self-extractor is a program with the zip appended; -A moves the offsets past the program.
head -c 40000 /bin/true >"$WORK/stub"
cat "$WORK/stub" "$SET/infozip-plain.zip" >"$SET/infozip-sfx.zip"
zip -q -A "$SET/infozip-sfx.zip"
cat "$WORK/stub" "$SET/infozip-plain.zip" >"$SET/infozip-sfx-unadjusted.zip"

python3 - "$SET" <<'PY'
import io, os, sys, zipfile
out = sys.argv[1]
paths = []
for root, folders, files in os.walk("tree"):
    folders.sort()
    for name in sorted(folders):
        paths.append(os.path.join(root, name) + "/")
    for name in sorted(files):
        paths.append(os.path.join(root, name))

def write(name, method=zipfile.ZIP_DEFLATED, comment=b"", fat=False, stream=False):
    target = os.path.join(out, name)
    with open(target, "wb") as f:
        sink = f
        if stream:
            class Unseekable(io.RawIOBase):
                def writable(self): return True
                def write(self, b): return f.write(b)
            sink = Unseekable()
        with zipfile.ZipFile(sink, "w", method) as z:
            z.comment = comment
            for path in paths:
                if fat:
                    info = zipfile.ZipInfo(path)
                    info.create_system = 0
                    info.external_attr = 0x10 if path.endswith("/") else 0x20
                    z.writestr(info, b"" if path.endswith("/") else open(path, "rb").read(), method)
                else:
                    z.write(path)

write("python-stored.zip", zipfile.ZIP_STORED)
write("python-deflated.zip")
write("python-comment.zip", comment=b"made by zipfile")
write("python-fat.zip", fat=True)
write("python-streamed.zip", stream=True)
write("python-lzma.zip", zipfile.ZIP_LZMA)
zipfile.ZipFile(os.path.join(out, "python-empty.zip"), "w").close()
PY

jar cf "$SET/jar-manifest.zip" tree
jar cfM "$SET/jar-plain.zip" tree
7zz a -bd -bso0 -tzip "$SET/7zz-deflate.zip" tree
7zz a -bd -bso0 -tzip -mx0 "$SET/7zz-stored.zip" tree
7zz a -bd -bso0 -tzip -psecret "$SET/7zz-zipcrypto.zip" tree
7zz a -bd -bso0 -tzip -psecret -mem=AES256 "$SET/7zz-aes256.zip" tree
7zz a -bd -bso0 -tzip -mcu=on "$SET/7zz-utf8.zip" tree
bsdtar --format zip -cf "$SET/bsdtar-deflate.zip" tree
bsdtar --format zip --options zip:compression=store -cf "$SET/bsdtar-stored.zip" tree
bsdtar --format zip --options zip:encryption=aes256 --passphrase secret -cf "$SET/bsdtar-aes256.zip" tree
touch "$SET/.complete"
echo "$SET"
