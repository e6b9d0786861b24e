#!/usr/bin/env python3
"""Shows the stand-in window (qml/harbour-quillora.qml) refusing broken
files, and a library file that is not a database, and saves a picture of the
window for each.

    tools/refusal-shots.py OUT_DIR [BIN]

Each broken file is made from tests/data, typed into the import box and
imported, as a person would; the missing file is also given on the command
line. The window is grabbed once the message has stood still for a second.
Then the reset, and the next start importing a book. Prints each case with
the message shown.
"""
import os, shutil, subprocess, sys, tempfile

from toolbooks import WINDOW_DRIVER

HERE = os.path.dirname(os.path.abspath(__file__))
DATA = os.path.join(HERE, "..", "tests", "data")
REAL_QML = os.path.join(HERE, "..", "qml", "harbour-quillora.qml")

# Loads the real window, types PATH into its box (when given), imports it and
# grabs the window once the status line has stopped changing.
DRIVER = WINDOW_DRIVER + """
  function quit() {
    var items = window.item.resources
    for (var i = 0; i < items.length; ++i)
      if (items[i].quitApplication) { items[i].quitApplication(); return }
  }
  property string last: ""
  property int still: 0
  property bool started: false
  Timer {
    interval: 100; repeat: true; running: window.status === Loader.Ready
    onTriggered: {
      var root = window.item
      if (!started && %(path)r !== "") {
        find(root, "importPath").text = %(path)r
        root.startImport(%(path)r, "")
      }
      started = true
      var status = find(root, "importStatus").text
      var error = find(root, "databaseError")
      var shown = status + (error.visible ? error.text : "")
      if (shown === "" || shown !== last || shown.indexOf("正在") === 0) { last = shown; still = 0; return }
      if (++still < 10) return
      running = false
      console.warn("SHOWN " + shown)
      driver.grabToImage(function(result) { result.saveToFile(%(shot)r); quit() })
    }
  }
}
"""


# The reset, as the window's button asks for it.
RESET = """import QtQuick 2.6
import com.quillora.applicationcore 1.0
Item {
  ApplicationCore { id: core
    onApplicationResetFinished: { console.warn("SHOWN reset " + success); core.quitApplication() }
  }
  Timer { interval: 0; running: true; onTriggered: core.resetApplication() }
}
"""


def broken_files(work):
    def cut(src, dst, part=0.5, data=None):
        data = data if data is not None else open(os.path.join(DATA, src), "rb").read()
        with open(os.path.join(work, dst), "wb") as f:
            f.write(data[:int(len(data) * part)])
        return os.path.join(work, dst)

    return [
        ("missing-epub", os.path.join(work, "不在.epub")),
        ("empty-epub", cut("epub/calibre.epub", "empty.epub", 0)),
        ("truncated-epub", cut("epub/calibre.epub", "truncated.epub")),
        ("mobi-named-epub", cut("mobi/mobi6.mobi", "mobi.epub", 1)),
        ("cbz-named-epub", cut("comic/zip-tool.cbz", "comic.epub", 1)),
        ("locked-pdf", cut("pdf/locked.pdf", "locked.pdf", 1)),
        ("truncated-pdf", cut("pdf/outline.pdf", "truncated.pdf")),
        ("truncated-cbz", cut("comic/zip-tool.cbz", "truncated.cbz")),
        ("missing-cbz", os.path.join(work, "不在.cbz")),
        ("blank-txt", cut(None, "blank.txt", 1, b" \n\n   \n")),
    ]


def run(binary, env, share, shot, path="", args=(), qml=DRIVER):
    with open(os.path.join(share, "qml", "harbour-quillora.qml"), "w") as f:
        f.write(qml % {"path": path, "shot": shot} if qml == DRIVER else qml)
    p = subprocess.run([binary] + list(args), env=env, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE,
                       timeout=120)
    log = p.stderr.decode("utf-8", "replace")
    shown = [l.split("SHOWN ", 1)[1] for l in log.splitlines() if "SHOWN " in l]
    return shown[0] if shown else "(nothing shown) " + log[-800:]


def main():
    out = os.path.abspath(sys.argv[1])
    binary = os.path.abspath(sys.argv[2] if len(sys.argv) > 2 else "build/app/harbour-quillora")
    os.makedirs(out, exist_ok=True)
    work = tempfile.mkdtemp(prefix="refusal-shots-")
    try:
        share = os.path.join(work, "share")
        os.makedirs(os.path.join(share, "qml"))
        shutil.copyfile(REAL_QML, os.path.join(share, "qml", "Window.qml"))
        home = os.path.join(work, "home")
        env = dict(os.environ, HOME=home, XDG_CONFIG_HOME=home + "/config", XDG_DATA_HOME=home + "/data",
                   XDG_CACHE_HOME=home + "/cache", QUILLORA_DATA_ROOT=share, QT_QPA_PLATFORM="offscreen",
                   QT_QUICK_BACKEND="software", LANG="C.UTF-8")
        cases = broken_files(work)
        for n, (name, path) in enumerate(cases, 1):
            shot = os.path.join(out, "%02d-%s.png" % (n, name))
            print("%-18s %s" % (name, run(binary, env, share, shot, path)))
        missing = os.path.join(work, "不在.epub")
        shot = os.path.join(out, "%02d-missing-epub-argument.png" % (len(cases) + 1))
        print("%-18s %s" % ("missing, argument", run(binary, env, share, shot, args=[missing])))
        # A library file that is not a database.
        db = os.path.join(home, "config", "com.tivex", "harbour-Quillora", "db", "novel_info.db")
        with open(db, "r+b") as f:
            f.write(b"x" * 8192)
        shot = os.path.join(out, "%02d-library-not-a-database.png" % (len(cases) + 2))
        print("%-18s %s" % ("library damaged", run(binary, env, share, shot)))
        # The way out the message names, and the next start.
        print("%-18s %s" % ("reset", run(binary, env, share, None, qml=RESET)))
        shot = os.path.join(out, "%02d-library-after-reset.png" % (len(cases) + 3))
        print("%-18s %s" % ("next start", run(binary, env, share, shot, path=os.path.join(DATA, "fb2", "library.fb2"))))
    finally:
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
