#!/usr/bin/env python3
"""Pages through every chapter of a book in the real program and counts the
pages that show nothing, side by side for two builds, and checks that the
newer one loses no line and only ever joins pages.

    tools/blank-pages.py [--ref REF_BIN] [--book BOOK] [--shots DIR] [BIN]

Without --book a long EPUB whose chapters end in empty lines is made by
tests/data/epub/make-mobylike.py. Each chapter is opened as the stand-in
window opens a book (540 x 920 pixels, font size 20); for each page the
program's own page sources are read (every line's first glyph, height and
kind) and the rendered page image is scanned for any pixel that differs from
the paper: a page without one is blank. With --shots, the
stand-in window is photographed in both builds at the end of the first
chapter that ends in a blank page in the reference.
"""
import argparse, json, os, shutil, subprocess, sys, tempfile

from toolbooks import WINDOW_DRIVER

HERE = os.path.dirname(os.path.abspath(__file__))
MAKER = os.path.join(HERE, "..", "tests", "data", "epub", "make-mobylike.py")

DRIVER = """import QtQuick 2.6
import com.quillora.applicationcore 1.0
Item {
 width: 540; height: 920
 property var chapters: []
 property int next: -1
 property string bookId: ""
 property string token: ""
 property var pages: []
 property var ink: []
 property int page: -1
 property string url: ""
 ApplicationCore { id: core
  onNovelImportSucceeded: {
   bookId = Qt.md5(%(path)r); chapters = core.getChaptersByNovelId(bookId); open(0) }
  onNovelImportFailed: { console.warn('RESULT failed ' + message); core.quitApplication() }
 }
 function open(i) {
  next = i; page = -1
  if (i >= chapters.length) { console.warn('RESULT done'); core.quitApplication(); return }
  token = core.openBookForReading(bookId, chapters[i].id, 0, -1.0, 20, 0, 540, 920,
                                  '#202020', '#fdf8ee', '#fdf8ee', false)
 }
 function turn(p) {
  page = p; url = ""
  if (p < pages.length) { core.poolReportPageTurn(chapters[next].id, p, token); return }
  console.warn('CHAPTER ' + JSON.stringify({index: next, glyphs: chapters[next].glyphCount, pages: pages,
                                            ink: ink}))
  open(next + 1)
 }
 // A page shows ink when any pixel of it differs from its first one.
 Canvas { id: canvas; width: 540; height: 920; renderStrategy: Canvas.Immediate
  onImageLoaded: requestPaint()
  onPaint: {
   if (url === "" || !isImageLoaded(url)) return
   var ctx = getContext('2d'); ctx.clearRect(0, 0, width, height); ctx.drawImage(url, 0, 0)
   var d = ctx.getImageData(0, 0, width, height).data, shown = false
   for (var y = 0; y < height && !shown; y += 2)
    for (var x = 0, at = y * width * 4; x < width; x += 2, at += 8)
     if (Math.abs(d[at] - d[0]) + Math.abs(d[at + 1] - d[1]) + Math.abs(d[at + 2] - d[2]) > 60) { shown = true; break }
   unloadImage(url); ink.push(shown ? 1 : 0); turn(page + 1)
  }
 }
 Timer { interval: 10; repeat: true; running: next >= 0 && next < chapters.length
  onTriggered: {
   var id = chapters[next].id
   if (page < 0) {
    var count = core.getChapterPageCount(id)
    if (count < 0) return
    var all = []
    for (var p = 0; p < count; ++p) {
     var lines = core.getPageLineSources(id, p), out = []
     for (var l = 0; l < lines.length; ++l)
      out.push([lines[l].glyphIndex, lines[l].lineHeight, lines[l].isImage ? 1 : 0])
     all.push(out)
    }
    pages = all; ink = []; turn(0); return
   }
   if (url === "" && core.isPageReady(id, page)) {
    url = "image://quillora/" + encodeURIComponent(id + ":" + page); canvas.loadImage(url)
   }
  }
 }
 Timer { interval: 0; running: true; onTriggered: core.importNovel(%(path)r) }
}
"""


# The stand-in window with the book imported and its reading position saved
# at the end of chapter CHAPTER: opened there, grabbed once the page shows.
WINDOW = WINDOW_DRIVER + """
  property int state: 0
  Timer {
    interval: 200; repeat: true; running: window.status === Loader.Ready
    onTriggered: {
      var root = window.item, core = null, items = root.resources
      for (var i = 0; i < items.length; ++i) if (items[i].quitApplication) core = items[i]
      var id = Qt.md5(%(path)r)
      if (state === 0) { root.startImport(%(path)r, ""); state = 1; return }
      if (state === 1 && core.getNovelInfo(id)) {
        var chapter = core.getChaptersByNovelId(id)[%(chapter)d]
        core.doReading(id, chapter.id, %(chapter)d, chapter.glyphCount, 0, -1.0)
        root.openBook(id); state = 2; return
      }
      if (state >= 2 && String(find(root, "pageImage").source) !== "" && ++state > 6) {
        running = false
        driver.grabToImage(function(r) { r.saveToFile(%(shot)r); core.quitApplication() })
      }
    }
  }
}
"""


def program_env(work):
    return dict(os.environ, HOME=work, XDG_CONFIG_HOME=work + "/config", XDG_DATA_HOME=work + "/data",
                XDG_CACHE_HOME=work + "/cache", QUILLORA_DATA_ROOT=work + "/share",
                QT_QPA_PLATFORM="offscreen", QT_QUICK_BACKEND="software", LANG="C.UTF-8")


def photograph(binary, book, chapter, shot):
    work = tempfile.mkdtemp(prefix="blank-shot-")
    try:
        os.makedirs(os.path.join(work, "share", "qml"))
        shutil.copyfile(os.path.join(HERE, "..", "qml", "harbour-quillora.qml"),
                        os.path.join(work, "share", "qml", "Window.qml"))
        with open(os.path.join(work, "share", "qml", "harbour-quillora.qml"), "w") as f:
            f.write(WINDOW % {"path": book, "chapter": chapter, "shot": shot})
        subprocess.run([binary], env=program_env(work), stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                       timeout=300)
    finally:
        shutil.rmtree(work, ignore_errors=True)


def measure(binary, book):
    work = tempfile.mkdtemp(prefix="blank-pages-")
    try:
        os.makedirs(os.path.join(work, "share", "qml"))
        with open(os.path.join(work, "share", "qml", "harbour-quillora.qml"), "w") as f:
            f.write(DRIVER % {"path": book})
        p = subprocess.run([binary], env=program_env(work), stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, timeout=1800)
        log = p.stderr.decode("utf-8", "replace")
        chapters = [json.loads(l.split("CHAPTER ", 1)[1]) for l in log.splitlines() if "CHAPTER {" in l]
        if "RESULT done" not in log:
            raise SystemExit("%s: no result\n%s" % (binary, log[-3000:]))
        return chapters
    finally:
        shutil.rmtree(work, ignore_errors=True)


def summary(chapters):
    pages = sum(len(c["pages"]) for c in chapters)
    blank = [(c["index"], i) for c in chapters for i, shown in enumerate(c["ink"]) if not shown]
    return pages, blank


def starts(chapter):
    """The first glyph of each page that shows ink."""
    return [page[0][0] for page, shown in zip(chapter["pages"], chapter["ink"]) if shown and page]


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("binary", nargs="?", default="build/app/harbour-quillora")
    ap.add_argument("--ref", default="/work/ref/build/app/harbour-quillora")
    ap.add_argument("--book")
    ap.add_argument("--shots")
    args = ap.parse_args()
    tmp = tempfile.mkdtemp(prefix="blank-book-")
    book = args.book or os.path.join(tmp, "mobylike.epub")
    if not args.book:
        subprocess.run([sys.executable, MAKER, book], check=True)
    runs = {}
    for name, binary in (("reference", args.ref), ("this build", args.binary)):
        runs[name] = measure(os.path.abspath(binary), book)
        pages, blank = summary(runs[name])
        print("%-10s chapters=%d pages=%d blank=%d %s" % (name, len(runs[name]), pages, len(blank),
                                                         " ".join("%d:%d" % b for b in blank[:12])))
    ref, new = runs["reference"], runs["this build"]
    lost = grown = moved = 0
    for a, b in zip(ref, new):
        # Every line of the chapter, in order, on some page.
        lost += [l for p in a["pages"] for l in p] != [l for p in b["pages"] for l in p]
        grown += len(b["pages"]) > len(a["pages"])
        # The pages that show something start where they started.
        moved += starts(a) != starts(b)
    print("chapters with text lost=%d, with more pages=%d, with other page breaks=%d" % (lost, grown, moved))
    ends = [c for c, p in summary(ref)[1] if p == len(ref[c]["pages"]) - 1]
    if args.shots and ends:
        os.makedirs(args.shots, exist_ok=True)
        for name, binary in (("reference", args.ref), ("this-build", args.binary)):
            shot = os.path.abspath(os.path.join(args.shots, "chapter%d-end-%s.png" % (ends[0] + 1, name)))
            photograph(os.path.abspath(binary), book, ends[0], shot)
            print("window at the end of chapter %d, %s: %s" % (ends[0] + 1, name, shot))
    shutil.rmtree(tmp, ignore_errors=True)
    return 1 if lost or grown or moved or summary(new)[1] else 0


if __name__ == "__main__":
    sys.exit(main())
