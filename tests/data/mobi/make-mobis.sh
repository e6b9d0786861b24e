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

# A book cut the way a real one is: an untitled title page, a nested table
# of contents, a chapter over two files, a part page with nothing on it, and
# notes linked back and forth.
python3 - "$WORK/nested.epub" <<'PY'
import sys, zipfile
def page(body):
    return ('<?xml version="1.0" encoding="utf-8"?>\n<html xmlns="http://www.w3.org/1999/xhtml">'
            '<head><title>山路夜雨</title></head><body>' + body + '</body></html>')
pages = [
    ('title', '<p class="t">小狐狸</p><p>林川 著</p>'),
    ('part1', '<h1 id="p1">第一部 春</h1><p>春天来了。</p>'),
    ('ch1', '<h2 id="c1">第一章 出门</h2><p>小狐狸出门了<a id="r1" href="notes.xhtml#n1">[1]</a>。</p>'),
    ('ch2a', '<h2 id="c2">第二章 过河</h2><p>它来到河边。</p>'),
    ('ch2b', '<p>河水很凉，它还是过去了。见<a href="ch1.xhtml#c1">第一章</a>。</p>'),
    ('part2', '<div id="p2"><p>&#160;</p></div>'),
    ('ch3', '<h2 id="c3">第三章 回家</h2><p>秋天它回家了，<a href="#end">直到最后</a>。</p><p id="end">完</p>'),
    ('notes', '<h2 id="notes">注释</h2><p id="n1"><a href="ch1.xhtml#r1">[1]</a> 狐狸是一种动物。</p>'),
]
toc = [('第一部 春', 'part1.xhtml', [('第一章 出门', 'ch1.xhtml#c1'), ('第二章 过河', 'ch2a.xhtml#c2')]),
       ('第二部 秋', 'part2.xhtml#p2', [('第三章 回家', 'ch3.xhtml#c3')]),
       ('注释', 'notes.xhtml#notes', [])]
points, n = [], 0
for title, src, children in toc:
    n += 1
    inner = ''
    for t, s in children:
        n += 1
        inner += '<navPoint id="n%d" playOrder="%d"><navLabel><text>%s</text></navLabel><content src="%s"/></navPoint>' % (n, n, t, s)
    points.append('<navPoint id="p%d" playOrder="%d"><navLabel><text>%s</text></navLabel><content src="%s"/>%s</navPoint>'
                  % (n, n, title, src, inner))
ncx = ('<?xml version="1.0" encoding="utf-8"?><ncx xmlns="http://www.daisy.org/z3986/2005/ncx/" version="2005-1">'
       '<head><meta name="dtb:uid" content="fox"/></head><docTitle><text>山路夜雨</text></docTitle><navMap>'
       + ''.join(points) + '</navMap></ncx>')
opf = ('<?xml version="1.0" encoding="utf-8"?><package xmlns="http://www.idpf.org/2007/opf" version="2.0" unique-identifier="id">'
       '<metadata xmlns:dc="http://purl.org/dc/elements/1.1/"><dc:title>山路夜雨</dc:title><dc:creator>林川</dc:creator>'
       '<dc:language>zh</dc:language><dc:identifier id="id">fox</dc:identifier></metadata><manifest>'
       '<item id="ncx" href="toc.ncx" media-type="application/x-dtbncx+xml"/>'
       + ''.join('<item id="%s" href="%s.xhtml" media-type="application/xhtml+xml"/>' % (p, p) for p, _ in pages)
       + '</manifest><spine toc="ncx">' + ''.join('<itemref idref="%s"/>' % p for p, _ in pages) + '</spine></package>')
with zipfile.ZipFile(sys.argv[1], 'w') as z:
    z.writestr(zipfile.ZipInfo('mimetype', (2020, 1, 1, 0, 0, 0)), 'application/epub+zip')
    files = [('META-INF/container.xml', '<?xml version="1.0"?><container version="1.0" '
              'xmlns="urn:oasis:names:tc:opendocument:xmlns:container"><rootfiles><rootfile '
              'full-path="content.opf" media-type="application/oebps-package+xml"/></rootfiles></container>'),
             ('content.opf', opf), ('toc.ncx', ncx)] + [(p + '.xhtml', page(b)) for p, b in pages]
    for name, text in files:
        z.writestr(zipfile.ZipInfo(name, (2020, 1, 1, 0, 0, 0)), text, zipfile.ZIP_DEFLATED)
PY
ebook-convert "$WORK/nested.epub" nested.azw3 >/dev/null
ebook-convert "$WORK/nested.epub" nested.mobi --mobi-file-type both >/dev/null

# A book whose NCX label runs over two lines with indentation, as other
# tools write them (calibre collapses the white space itself: the label's
# placeholder is replaced in the finished file, bytes for bytes).
python3 - "$WORK/label.epub" <<'PY'
import sys, zipfile
def page(body):
    return ('<?xml version="1.0" encoding="utf-8"?>\n<html xmlns="http://www.w3.org/1999/xhtml">'
            '<head><title>山路夜雨</title></head><body>' + body + '</body></html>')
pages = [('ch1', '<h1 id="c1">Глава 1</h1><p>Первая глава.</p>'),
         ('ch2', '<h1 id="c2">Глава 2</h1><p>Вторая глава.</p>')]
labels = ['Глава 1 ~~~~~~ Согласование противоположностей', 'Глава 2']
points = ''.join('<navPoint id="n%d" playOrder="%d"><navLabel><text>%s</text></navLabel><content src="%s.xhtml"/></navPoint>'
                 % (i + 1, i + 1, labels[i], pages[i][0]) for i in range(len(pages)))
ncx = ('<?xml version="1.0" encoding="utf-8"?><ncx xmlns="http://www.daisy.org/z3986/2005/ncx/" version="2005-1">'
       '<head><meta name="dtb:uid" content="label"/></head><docTitle><text>山路夜雨</text></docTitle><navMap>'
       + points + '</navMap></ncx>')
opf = ('<?xml version="1.0" encoding="utf-8"?><package xmlns="http://www.idpf.org/2007/opf" version="2.0" unique-identifier="id">'
       '<metadata xmlns:dc="http://purl.org/dc/elements/1.1/"><dc:title>山路夜雨</dc:title>'
       '<dc:language>ru</dc:language><dc:identifier id="id">label</dc:identifier></metadata><manifest>'
       '<item id="ncx" href="toc.ncx" media-type="application/x-dtbncx+xml"/>'
       + ''.join('<item id="%s" href="%s.xhtml" media-type="application/xhtml+xml"/>' % (p, p) for p, _ in pages)
       + '</manifest><spine toc="ncx">' + ''.join('<itemref idref="%s"/>' % p for p, _ in pages) + '</spine></package>')
with zipfile.ZipFile(sys.argv[1], 'w') as z:
    z.writestr(zipfile.ZipInfo('mimetype', (2020, 1, 1, 0, 0, 0)), 'application/epub+zip')
    files = [('META-INF/container.xml', '<?xml version="1.0"?><container version="1.0" '
              'xmlns="urn:oasis:names:tc:opendocument:xmlns:container"><rootfiles><rootfile '
              'full-path="content.opf" media-type="application/oebps-package+xml"/></rootfiles></container>'),
             ('content.opf', opf), ('toc.ncx', ncx)] + [(p + '.xhtml', page(b)) for p, b in pages]
    for name, text in files:
        z.writestr(zipfile.ZipInfo(name, (2020, 1, 1, 0, 0, 0)), text.encode('utf-8'), zipfile.ZIP_DEFLATED)
PY
ebook-convert "$WORK/label.epub" label.azw3 >/dev/null
python3 - label.azw3 <<'PY'
import sys
data = open(sys.argv[1], 'rb').read()
assert data.count(b' ~~~~~~ ') == 1
open(sys.argv[1], 'wb').write(data.replace(b' ~~~~~~ ', b'\r\n      '))
PY

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
