#!/bin/sh
# Makes two EPUBs whose second document no reader may take as text: one whose
# ZIP headers declare 200 bytes of a longer entry (its CRC is of the whole
# text), one whose entry is compressed with bzip2. The results are committed.
set -e
cd "$(dirname "$0")"
python3 - <<'PY'
import struct, zipfile
page = '<?xml version="1.0" encoding="UTF-8"?>\n<html xmlns="http://www.w3.org/1999/xhtml"><head><title>%s</title></head><body>%s</body></html>\n'
opf = ('<?xml version="1.0"?><package xmlns="http://www.idpf.org/2007/opf" version="2.0" unique-identifier="id">'
       '<metadata xmlns:dc="http://purl.org/dc/elements/1.1/"><dc:title>Fixture</dc:title></metadata><manifest>'
       '<item id="a" href="a.xhtml" media-type="application/xhtml+xml"/><item id="b" href="b.xhtml" '
       'media-type="application/xhtml+xml"/></manifest><spine><itemref idref="a"/><itemref idref="b"/></spine></package>')
container = ('<?xml version="1.0"?><container version="1.0" xmlns="urn:oasis:names:tc:opendocument:xmlns:container">'
             '<rootfiles><rootfile full-path="content.opf" media-type="application/oebps-package+xml"/></rootfiles></container>')
def write(path, method):
    with zipfile.ZipFile(path, 'w') as z:
        z.writestr(zipfile.ZipInfo('mimetype', (2020, 1, 1, 0, 0, 0)), 'application/epub+zip')
        for name, data, how in (('META-INF/container.xml', container, zipfile.ZIP_DEFLATED),
                                ('content.opf', opf, zipfile.ZIP_DEFLATED),
                                ('a.xhtml', page % ('A', '<p>one</p>'), zipfile.ZIP_DEFLATED),
                                ('b.xhtml', page % ('B', '<p>%s</p>' % ('山路夜雨' * 60)), method)):
            z.writestr(zipfile.ZipInfo(name, (2020, 1, 1, 0, 0, 0)), data, compress_type=how)
write('bzip2-entry.epub', zipfile.ZIP_BZIP2)
write('lying-sizes.epub', zipfile.ZIP_DEFLATED)
# Both headers of b.xhtml declare 200 bytes; minizip checks that they agree.
data = bytearray(open('lying-sizes.epub', 'rb').read())
for signature, name_at, size_at in ((b'PK\x03\x04', 30, 22), (b'PK\x01\x02', 46, 24)):
    at = data.find(signature)
    while at >= 0:
        if data[at + name_at:at + name_at + 7] == b'b.xhtml':
            struct.pack_into('<I', data, at + size_at, 200)
        at = data.find(signature, at + 4)
open('lying-sizes.epub', 'wb').write(data)
PY
