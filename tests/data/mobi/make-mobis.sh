#!/bin/sh
# Makes the MOBI, AZW3 and combined test books with calibre's ebook-convert
# and dumps calibre's own reading of them (text records, KF8 parts) for
# comparison. The results are committed, so the tests need no calibre; run
# this again only to change the books.
set -e
cd "$(dirname "$0")"
export SOURCE_DATE_EPOCH=1700000000
WORK=$(mktemp -d)
trap 'rm -rf "$WORK"' EXIT

META="--title=山路夜雨 --authors=林川&Lin_Chuan --publisher=青山出版社 --language=zh --isbn=9787000000001 --tags=小说,山水 --comments=一个关于山路与夜雨的故事。 --pubdate=2020-05-01"
TOC="--level1-toc=//h:h1 --level2-toc=//h:h2"

convert_book() { # source output extra options...
    src=$1; out=$2; shift 2
    # shellcheck disable=SC2086
    ebook-convert "$src" "$out" $META $TOC "$@" >/dev/null
}

convert_book book.html mobi6.mobi --mobi-file-type old
convert_book book.html kf8.azw3
convert_book book.html joint.mobi --mobi-file-type both
convert_book book.html uncompressed.mobi --mobi-file-type old --dont-compress

# A book with two small PNG images (one is the cover).
python3 - "$WORK" <<'PY'
import struct, sys, zlib
def png(path, w, h, rgb):
    raw = b''.join(b'\0' + bytes(rgb) * w for _ in range(h))
    def chunk(t, d):
        return struct.pack('>I', len(d)) + t + d + struct.pack('>I', zlib.crc32(t + d) & 0xffffffff)
    with open(path, 'wb') as f:
        f.write(b'\x89PNG\r\n\x1a\n' + chunk(b'IHDR', struct.pack('>IIBBBBB', w, h, 8, 2, 0, 0, 0))
                + chunk(b'IDAT', zlib.compress(raw, 9)) + chunk(b'IEND', b''))
png(sys.argv[1] + '/cover.png', 60, 80, (40, 90, 160))
png(sys.argv[1] + '/pine.png', 24, 24, (20, 120, 40))
PY
sed 's|<p>庙里只有一盏灯。</p>|<p>庙里只有一盏灯。</p><p><img src="pine.png" alt="松"/></p>|' book.html > "$WORK/images.html"
convert_book "$WORK/images.html" images.mobi --mobi-file-type both --cover="$WORK/cover.png"

# A book with an embedded (subset) font.
cp /usr/share/fonts/truetype/dejavu/DejaVuSansMono.ttf "$WORK/mono.ttf"
sed 's|</style>|@font-face { font-family: "Mono"; src: url(mono.ttf); } .note { font-family: "Mono"; }</style>|' \
    book.html > "$WORK/font.html"
convert_book "$WORK/font.html" font.azw3 --subset-embedded-fonts

# A book with many small chapters, for the navigation table.
{
    echo '<html xmlns="http://www.w3.org/1999/xhtml"><head><title>目录</title></head><body>'
    for i in $(seq 1 40); do
        echo "<h1 id=\"ch$i\">第${i}章</h1><p>第${i}章的正文。Chapter $i text.</p>"
        echo "<h2 id=\"ch${i}s\">第${i}节</h2><p>节 $i。</p>"
    done
    echo '</body></html>'
} > "$WORK/toc.html"
convert_book "$WORK/toc.html" toc.azw3

# calibre's reading of each book, kept as the expected bytes: the MOBI 6
# text, and the KF8 flows and reassembled parts.
rm -rf expected
for book in mobi6.mobi uncompressed.mobi joint.mobi kf8.azw3 toc.azw3; do
    name=${book%.*}
    rm -rf "$WORK/inspect" && mkdir "$WORK/inspect"
    (cd "$WORK/inspect" && calibre-debug --inspect-mobi "$OLDPWD/$book" >/dev/null 2>&1)
    mkdir -p "expected/$name"
    dump=$(find "$WORK/inspect" -maxdepth 1 -type d -name 'decompiled_*')
    [ -f "$dump/mobi6/text.html" ] && cp "$dump/mobi6/text.html" "expected/$name/"
    [ -f "$dump/text.html" ] && cp "$dump/text.html" "expected/$name/"
    if [ -d "$dump/mobi8" ] || [ -d "$dump/files" ]; then
        kf8=$dump/mobi8; [ -d "$kf8" ] || kf8=$dump
        # One file each, every piece after a marker line naming it.
        for f in "$kf8"/files/part*.html; do
            printf '<!-- %s -->\n' "$(basename "$f" .html)"; cat "$f"
        done > "expected/$name/parts.html"
        for f in "$kf8"/flows/flow*.txt; do
            printf '<!-- %s -->\n' "$(basename "$f" .txt)"; cat "$f"
        done > "expected/$name/flows.txt"
    fi
done
