#!/bin/sh
# Makes tool-made.cb7 with the 7z tool (p7zip-full): three solid-colour
# 60x90 PNG pages (page1 red, page2 green, page10 blue) and a ComicInfo.xml.
set -e
here=$(cd "$(dirname "$0")" && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
python3 - "$work" <<'PY'
import struct, sys, zlib
def png(path, rgb, w=60, h=90):
    def chunk(kind, body):
        return struct.pack(">I", len(body)) + kind + body + struct.pack(">I", zlib.crc32(kind + body))
    rows = b"".join(b"\0" + bytes(rgb) * w for _ in range(h))
    data = b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", struct.pack(">IIBBBBB", w, h, 8, 2, 0, 0, 0))
    data += chunk(b"IDAT", zlib.compress(rows, 9)) + chunk(b"IEND", b"")
    open(path, "wb").write(data)
out = sys.argv[1]
png(out + "/page1.png", (200, 30, 30))
png(out + "/page2.png", (30, 160, 40))
png(out + "/page10.png", (40, 60, 200))
open(out + "/ComicInfo.xml", "w", encoding="utf-8").write(
    "<?xml version=\"1.0\"?>\n<ComicInfo><Title>工具做的漫画</Title></ComicInfo>\n")
PY
rm -f "$here/tool-made.cb7"
(cd "$work" && 7z a -t7z -bd -bso0 "$here/tool-made.cb7" page10.png page2.png page1.png ComicInfo.xml)
