"""Small books the tools in this folder give the real program, and the
driver around the stand-in window that they load it with."""
import zipfile

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
    """An EPUB 2 of one chapter, "Picture", whose body is body. items are
    (id, href, media type) beside the chapter; the one with id "cover" is the
    cover. files maps names under OEBPS/ to their bytes."""
    manifest = "".join('<item id="%s" href="%s" media-type="%s"/>' % item for item in items)
    opf = ('<?xml version="1.0"?><package xmlns="http://www.idpf.org/2007/opf" version="2.0" unique-identifier="i">'
           '<metadata xmlns:dc="http://purl.org/dc/elements/1.1/"><dc:title>Picture</dc:title><dc:identifier '
           'id="i">x</dc:identifier><meta name="cover" content="cover"/></metadata><manifest>' + manifest +
           '<item id="c1" href="c1.xhtml" media-type="application/xhtml+xml"/>'
           '<item id="ncx" href="toc.ncx" media-type="application/x-dtbncx+xml"/></manifest>'
           '<spine toc="ncx"><itemref idref="c1"/></spine></package>')
    ncx = ('<?xml version="1.0"?><ncx xmlns="http://www.daisy.org/z3986/2005/ncx/" version="2005-1"><navMap>'
           '<navPoint id="n1" playOrder="1"><navLabel><text>Picture</text></navLabel><content src="c1.xhtml"/>'
           '</navPoint></navMap></ncx>')
    page = ('<?xml version="1.0"?><html xmlns="http://www.w3.org/1999/xhtml"><head><title>Picture</title></head>'
            '<body>' + body + '</body></html>')
    with zipfile.ZipFile(path, "w", zipfile.ZIP_DEFLATED) as z:
        z.writestr(zipfile.ZipInfo("mimetype"), "application/epub+zip")
        z.writestr("META-INF/container.xml", '<?xml version="1.0"?><container version="1.0" xmlns="urn:oasis:'
                   'names:tc:opendocument:xmlns:container"><rootfiles><rootfile full-path="OEBPS/content.opf" '
                   'media-type="application/oebps-package+xml"/></rootfiles></container>')
        z.writestr("OEBPS/content.opf", opf)
        z.writestr("OEBPS/toc.ncx", ncx)
        z.writestr("OEBPS/c1.xhtml", page)
        for name, data in files.items():
            z.writestr("OEBPS/" + name, data)
