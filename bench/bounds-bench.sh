#!/usr/bin/env bash
# bounds-bench.sh QLHOST FOLDER [ENTRIES]: a tar.gz of ENTRIES (default 5,000,000) empty files,
# made in FOLDER unless it is there, previewed by QLHOST under /usr/bin/time -v. Reports the
# peak resident size, the time and what the page's header says about the listing.
set -euo pipefail
QLHOST=${1:?usage: bounds-bench.sh QLHOST FOLDER [ENTRIES]}
FOLDER=${2:?usage: bounds-bench.sh QLHOST FOLDER [ENTRIES]}
ENTRIES=${3:-5000000}
mkdir -p "$FOLDER"
ARCHIVE="$FOLDER/entries-$ENTRIES.tar.gz"
if [ ! -s "$ARCHIVE" ]; then
  # Headers written directly: tarfile takes minutes for millions of entries.
  python3 - "$ENTRIES" <<'PY' | gzip -1 > "$ARCHIVE.part"
import sys
count = int(sys.argv[1])
out = sys.stdout.buffer
def field(text, width):
    return text.encode().ljust(width, b"\0")
# Everything but the name and the checksum, with the checksum field as spaces.
rest = (field("0000644", 8) + field("0001750", 8) + field("0001750", 8) + field("00000000000", 12) +
        field("14725436000", 12) + b" " * 8 + b"0" + b"\0" * 100 + b"ustar\x0000" + field("user", 32) +
        field("user", 32) + b"\0" * 8 + b"\0" * 8 + b"\0" * 155 + b"\0" * 12)
base = sum(rest)
batch = []
for i in range(count):
    name = b"e%03d/%07d" % (i // 100000, i)
    checksum = b"%06o\0 " % (base + sum(name))
    header = name.ljust(100, b"\0") + rest[:48] + checksum + rest[56:]
    batch.append(header)
    if len(batch) == 4096:
        out.write(b"".join(batch))
        batch.clear()
out.write(b"".join(batch) + b"\0" * 1024)
PY
  mv "$ARCHIVE.part" "$ARCHIVE"
fi
PAGE="$FOLDER/page.html"
rm -f "$PAGE"
set +e
/usr/bin/time -v "$QLHOST" -o "$PAGE" "$ARCHIVE" 2> "$FOLDER/time.txt"
STATUS=$?
set -e
echo "archive: $(du -h "$ARCHIVE" | cut -f1), $ENTRIES entries; qlhost exit status $STATUS"
grep -E "Maximum resident set size|Elapsed \(wall clock\)" "$FOLDER/time.txt" | sed 's/^[[:space:]]*//'
if [ -s "$PAGE" ]; then
  grep -o 'Listing cut short at [0-9]* entries' "$PAGE" || echo "the page shows the whole listing"
else
  echo "no page"
fi
