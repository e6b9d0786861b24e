"""Small books the tools in this folder give the real program, and the
driver around the stand-in window that they load it with."""
import os, zipfile


def program_root(root, qml):
    """A fresh HOME/XDG tree under root whose window is qml; the program's
    environment for it."""
    for d in ("home", "share/qml", "cache"):
        os.makedirs(os.path.join(root, d), exist_ok=True)
    with open(root + "/share/qml/harbour-quillora.qml", "w") as f:
        f.write(qml)
    return dict(os.environ, HOME=root + "/home", XDG_CONFIG_HOME=root + "/config", XDG_DATA_HOME=root + "/data",
                XDG_CACHE_HOME=root + "/cache", QUILLORA_DATA_ROOT=root + "/share", QT_QPA_PLATFORM="offscreen",
                QT_QUICK_BACKEND="software", LANG="C.UTF-8")

# The head of a driver that loads the stand-in window, copied beside it as
# Window.qml, at the phone's size; find(item, name) finds an item of the
# window by its objectName. The driver's own parts and its "}" follow.
WINDOW_DRIVER = """import QtQuick 2.6
Item {
  id: driver
  width: 540; height: 960
  Loader { id: window; anchors.fill: parent; source: "Window.qml" }
  function find(item, name) {
    if (item.objectName === name) return item
    for (var i = 0; i < item.children.length; ++i) {
      var found = find(item.children[i], name)
      if (found) return found
    }
    return null
  }
"""

# A window that imports the book at %(path)s, then opens its chapter
# "Picture" (else the first) and quits at that chapter's first page, printing
# "OUTCOME ok|failed <ms>" and "PAGE <ms>".
READER_QML = """import QtQuick 2.6
import com.quillora.applicationcore 1.0
Item {
 property double t0: 0
 property string chapter: ""
 ApplicationCore { id: core
  onNovelImportSucceeded: {
   console.warn('OUTCOME ok ' + (Date.now() - t0)); t0 = Date.now();
   var id = Qt.md5(%(path)r); var list = core.getChaptersByNovelId(id);
   for (var i = 0; i < list.length; ++i) if (list[i].title === 'Picture') chapter = list[i].id;
   if (chapter === '') chapter = list[0].id;
   core.openBookForReading(id, chapter, 0, -1.0, 20, 0, 360, 480, '#000000', '#ffffff', '');
  }
  onNovelImportFailed: { console.warn('OUTCOME failed ' + (Date.now() - t0)); core.quitApplication() }
  onPoolPageRendered: if (chapterId === chapter && pageIndex === 0) {
   console.warn('PAGE ' + (Date.now() - t0)); core.quitApplication() }
 }
 Timer { interval: 0; running: true; onTriggered: { t0 = Date.now(); core.importNovel(%(path)r) } }
}
"""


def epub(path, items, body, files):
    """An EPUB 2 of one chapter, "Picture", whose body is body (a list of
    bodies: one chapter each, "Picture", "Picture 2", ...). items are
    (id, href, media type) beside the chapters; the one with id "cover" is
    the cover. files maps names under OEBPS/ to their bytes."""
    bodies = body if isinstance(body, list) else [body]
    titles = ["Picture"] + ["Picture %d" % (i + 1) for i in range(1, len(bodies))]
    manifest = "".join('<item id="%s" href="%s" media-type="%s"/>' % item for item in items)
    opf = ('<?xml version="1.0"?><package xmlns="http://www.idpf.org/2007/opf" version="2.0" unique-identifier="i">'
           '<metadata xmlns:dc="http://purl.org/dc/elements/1.1/"><dc:title>Picture</dc:title><dc:identifier '
           'id="i">x</dc:identifier><meta name="cover" content="cover"/></metadata><manifest>' + manifest +
           "".join('<item id="c%d" href="c%d.xhtml" media-type="application/xhtml+xml"/>' % (i + 1, i + 1)
                   for i in range(len(bodies))) +
           '<item id="ncx" href="toc.ncx" media-type="application/x-dtbncx+xml"/></manifest><spine toc="ncx">' +
           "".join('<itemref idref="c%d"/>' % (i + 1) for i in range(len(bodies))) + '</spine></package>')
    ncx = ('<?xml version="1.0"?><ncx xmlns="http://www.daisy.org/z3986/2005/ncx/" version="2005-1"><navMap>' +
           "".join('<navPoint id="n%d" playOrder="%d"><navLabel><text>%s</text></navLabel><content src="c%d.xhtml"/>'
                   '</navPoint>' % (i + 1, i + 1, title, i + 1) for i, title in enumerate(titles)) + '</navMap></ncx>')
    page = lambda title, body: ('<?xml version="1.0"?><html xmlns="http://www.w3.org/1999/xhtml"><head><title>' +
                                title + '</title></head><body>' + body + '</body></html>')
    with zipfile.ZipFile(path, "w", zipfile.ZIP_DEFLATED) as z:
        z.writestr(zipfile.ZipInfo("mimetype"), "application/epub+zip")
        z.writestr("META-INF/container.xml", '<?xml version="1.0"?><container version="1.0" xmlns="urn:oasis:'
                   'names:tc:opendocument:xmlns:container"><rootfiles><rootfile full-path="OEBPS/content.opf" '
                   'media-type="application/oebps-package+xml"/></rootfiles></container>')
        z.writestr("OEBPS/content.opf", opf)
        z.writestr("OEBPS/toc.ncx", ncx)
        for i, (title, text) in enumerate(zip(titles, bodies)):
            z.writestr("OEBPS/c%d.xhtml" % (i + 1), page(title, text))
        for name, data in files.items():
            z.writestr("OEBPS/" + name, data)


def progressive_jpeg(side, repeats):
    """A grey progressive JPEG of side x side whose last scan (the AC band,
    all of it end-of-block runs) is there repeats times: libjpeg reads every
    scan over every block, for a few bytes each."""
    import struct
    blocks = ((side + 7) // 8) ** 2
    segment = lambda marker, data: b"\xff" + bytes([marker]) + struct.pack(">H", len(data) + 2) + data

    def entropy(bits):
        bits += "1" * (-len(bits) % 8)
        out = bytearray()
        for i in range(0, len(bits), 8):
            out.append(int(bits[i:i + 8], 2))
            if out[-1] == 0xFF:
                out.append(0)
        return bytes(out)
    # One code, "0", in each table: DC difference category 0; EOB14 (an
    # end-of-block run of 16384 plus 14 extra bits).
    dht = segment(0xC4, b"\x00" + bytes([1] + [0] * 15) + b"\x00" + b"\x10" + bytes([1] + [0] * 15) + b"\xe0")
    dc = segment(0xDA, b"\x01\x01\x00\x00\x00\x00") + entropy("0" * blocks)
    # Runs of 16384 to 32767 blocks (so side >= 1024), as even as may be.
    count = -(-blocks // 32767)
    base, extra = divmod(blocks, count)
    runs = "".join("0" + format(base + (i < extra) - 16384, "014b") for i in range(count))
    ac = segment(0xDA, b"\x01\x01\x00\x01\x3f\x00") + entropy(runs)
    return (b"\xff\xd8" + segment(0xDB, b"\x00" + bytes([1] * 64))
            + segment(0xC2, b"\x08" + struct.pack(">HH", side, side) + b"\x01\x01\x11\x00")
            + dht + dc + ac * repeats + b"\xff\xd9")


def cbz(path, pages):
    """A CBZ of pages: (name, bytes) in reading order."""
    with zipfile.ZipFile(path, "w", zipfile.ZIP_DEFLATED) as z:
        for name, data in pages:
            z.writestr(name, data)
