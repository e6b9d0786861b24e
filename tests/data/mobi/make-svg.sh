#!/bin/sh
# Makes svg.azw3 with calibre's ebook-convert: an SVG picture, which KF8 keeps
# as a flow of its own, and a picture whose epub:type calibre writes as a
# plain type attribute. The result is committed; run this again only to
# change the book.
set -e
cd "$(dirname "$0")"
export SOURCE_DATE_EPOCH=1700000000
WORK=$(mktemp -d)
trap 'rm -rf "$WORK"' EXIT

cat > "$WORK/logo.svg" <<'SVG'
<svg xmlns="http://www.w3.org/2000/svg" version="1.1" viewBox="0 0 120 40" width="120" height="40"><title>山路</title><rect width="120" height="40" fill="#246"/><circle cx="20" cy="20" r="12" fill="#fc0"/></svg>
SVG
python3 - "$WORK/pine.png" <<'PY'
import struct, sys, zlib
raw = b''.join(b'\0' + bytes((20, 120, 40)) * 24 for _ in range(24))
def chunk(t, d):
    return struct.pack('>I', len(d)) + t + d + struct.pack('>I', zlib.crc32(t + d) & 0xffffffff)
with open(sys.argv[1], 'wb') as f:
    f.write(b'\x89PNG\r\n\x1a\n' + chunk(b'IHDR', struct.pack('>IIBBBBB', 24, 24, 8, 2, 0, 0, 0))
            + chunk(b'IDAT', zlib.compress(raw, 9)) + chunk(b'IEND', b''))
PY
cat > "$WORK/book.html" <<'HTML'
<html xmlns="http://www.w3.org/1999/xhtml" xmlns:epub="http://www.idpf.org/2007/ops"><head><title>山路</title></head><body>
<h1>第一章</h1><p>山路夜雨。</p><p><img src="logo.svg" alt="标志"/></p><p><img src="pine.png" epub:type="figure" alt="松"/></p><p>庙里只有一盏灯。</p></body></html>
HTML
ebook-convert "$WORK/book.html" svg.azw3 --title=山路 --authors=林川 --language=zh >/dev/null
