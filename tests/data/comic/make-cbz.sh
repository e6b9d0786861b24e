#!/bin/sh
# Makes the two CBZ books the comic tests read: one written by Info-ZIP's
# zip, one by 7-Zip in ZIP mode. Pages are small solid-colour PNGs named so
# that only natural order reads them right (page1, page2, page10).
# Needs python3, zip and p7zip-full. Run from this folder.
set -e
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
python3 - "$work" <<'PY'
import struct, sys, zlib
def png(path, rgb, w=30, h=40):
    def chunk(kind, data):
        return struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(kind + data))
    raw = b"".join(b"\0" + bytes(rgb) * w for _ in range(h))
    with open(path, "wb") as f:
        f.write(b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", struct.pack(">IIBBBBB", w, h, 8, 2, 0, 0, 0))
                + chunk(b"IDAT", zlib.compress(raw)) + chunk(b"IEND", b""))
d = sys.argv[1]
for name, rgb in (("page1.png", (200, 30, 30)), ("page2.png", (30, 160, 60)), ("page10.png", (30, 60, 200))):
    png(d + "/" + name, rgb)
with open(d + "/ComicInfo.xml", "w") as f:
    f.write('<?xml version="1.0"?>\n<ComicInfo><Series>Harbour Tales</Series><Number>1</Number>'
            '<Writer>Lin Chuan</Writer><Year>2021</Year><Month>3</Month></ComicInfo>\n')
PY
here=$(pwd)
rm -f "$here/zip-tool.cbz" "$here/7z-tool.cbz"
(cd "$work" && zip -q -X "$here/zip-tool.cbz" page10.png page2.png page1.png ComicInfo.xml)
mkdir "$work/Vol 1"
mv "$work"/page*.png "$work/Vol 1/"
(cd "$work" && 7z a -tzip -bd -bso0 "$here/7z-tool.cbz" "Vol 1" >/dev/null)
