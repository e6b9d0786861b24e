#!/usr/bin/env python3
# Writes solid-colour PNG pages for the comic test books:
#   pages.py DIR WIDTH HEIGHT ZLIB_LEVEL NAME=R,G,B...
import struct, sys, zlib

def png(path, rgb, w, h, level):
    def chunk(kind, body):
        return struct.pack(">I", len(body)) + kind + body + struct.pack(">I", zlib.crc32(kind + body))
    rows = b"".join(b"\0" + bytes(rgb) * w for _ in range(h))
    data = b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", struct.pack(">IIBBBBB", w, h, 8, 2, 0, 0, 0))
    data += chunk(b"IDAT", zlib.compress(rows, level)) + chunk(b"IEND", b"")
    with open(path, "wb") as f:
        f.write(data)

out, w, h, level = sys.argv[1], int(sys.argv[2]), int(sys.argv[3]), int(sys.argv[4])
for page in sys.argv[5:]:
    name, rgb = page.split("=")
    png(out + "/" + name, tuple(int(c) for c in rgb.split(",")), w, h, level)
