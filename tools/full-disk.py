#!/usr/bin/env python3
"""Starts the real program with its data and configuration on a full tmpfs
and checks that the window comes up, the library is listed and a book opens.

    tools/full-disk.py [--runs N] [--killed] [BIN]      (as root: mounts a tmpfs)

A library of a text book and a PDF is made with free space, then the
filesystem is filled with dd. Each run starts the program with the stand-in
window (qml/harbour-quillora.qml) under a small driver, opens every book and
waits for its first page. Prints the counts.
"""
import argparse, os, shutil, signal, subprocess, sys, tempfile, time

from toolbooks import WINDOW_DRIVER

HERE = os.path.dirname(os.path.abspath(__file__))
REAL_QML = os.path.join(HERE, "..", "qml", "harbour-quillora.qml")

DRIVER = WINDOW_DRIVER + """
  // The window's own core: it alone ends the program.
  function quit() {
    running = false
    var items = window.item.resources
    for (var i = 0; i < items.length; ++i)
      if (items[i].quitApplication) { items[i].quitApplication(); return }
  }
  property bool running: true
  property int next: 0
  property int ticks: 0
  property var books: []
  Timer {
    interval: 100; repeat: true; running: driver.running && window.status === Loader.Ready
    onTriggered: {
      var root = window.item
      if (books.length === 0) {
        books = find(root, "library").model
        console.warn("RESULT listed " + books.length)
        var error = find(root, "databaseError")
        if (error && error.visible) console.warn("RESULT shown " + error.text)
        if (books.length === 0) { quit(); return }
        root.openBook(books[0].id)
        return
      }
      var image = find(root, "pageImage")
      if (String(image.source) !== "" || ++ticks > 100) {
        console.warn("RESULT book " + books[next].id + " " + (String(image.source) !== "" ? "opened" : "no page"))
        ticks = 0
        if (++next >= books.length) { root.closeOpenBook(); quit(); return }
        root.openBook(books[next].id)
      }
    }
  }
}
"""

IMPORT = """import QtQuick 2.6
import com.quillora.applicationcore 1.0
Item {
  ApplicationCore { id: core
    onNovelImportSucceeded: { console.warn('RESULT ok'); core.quitApplication() }
    onNovelImportFailed: { console.warn('RESULT ' + message); core.quitApplication() }
  }
  Timer { interval: 0; running: true; onTriggered: core.importNovel(%r) }
}
"""


def run(binary, env, qml, root, timeout=60):
    with open(os.path.join(root, "share/qml/harbour-quillora.qml"), "w") as f:
        f.write(qml)
    try:
        p = subprocess.run([binary], env=env, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE,
                           timeout=timeout)
    except subprocess.TimeoutExpired as e:
        return None, (e.stderr or b"").decode("utf-8", "replace")
    return p.returncode, p.stderr.decode("utf-8", "replace")


def make_books(work):
    txt = os.path.join(work, "full.txt")
    with open(txt, "w") as f:
        for c in range(20):
            f.write("第%d章 满\n" % (c + 1) + "磁盘已满，但书还要读下去。\n" * 60)
    pdf = os.path.join(work, "full.pdf")
    shutil.copyfile(os.path.join(HERE, "..", "tests", "data", "pdf", "outline.pdf"), pdf)
    return [txt, pdf]


def fill(mount):
    subprocess.run(["dd", "if=/dev/zero", "of=" + os.path.join(mount, "filler"), "bs=64k"],
                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    st = os.statvfs(mount)
    return st.f_bavail * st.f_frsize


def report(case, binary, env, work, runs):
    counts = dict(runs=0, exit0=0, exit1=0, other=0, listed=0, opened=0, no_page=0, shown=0)
    last = ""
    for _ in range(runs):
        code, log = run(binary, env, DRIVER, work)
        last = log
        counts["runs"] += 1
        counts["exit0" if code == 0 else "exit1" if code == 1 else "other"] += 1
        if code not in (0, 1):
            print("  exit %s:\n    %s" % (code, "\n    ".join(log.splitlines()[-6:])))
        for line in log.splitlines():
            if "RESULT listed" in line:
                counts["listed"] += int(line.rsplit(" ", 1)[1])
            counts["opened"] += line.endswith(" opened")
            counts["no_page"] += line.endswith(" no page")
            counts["shown"] += "RESULT shown" in line
    print("%s: " % case + "  ".join("%s=%d" % kv for kv in counts.items()))
    lines = [l for l in last.splitlines() if "[ERROR]" in l or "[FATAL]" in l or "数据库" in l or "shown" in l]
    if os.environ.get("FULL_DISK_LOG"):
        lines = last.splitlines()[-40:]
    if lines:
        print("  last run:\n    " + "\n    ".join(lines[:8]))


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("binary", nargs="?", default="build/app/harbour-quillora")
    ap.add_argument("--runs", type=int, default=3)
    ap.add_argument("--killed", action="store_true",
                    help="kill -9 the program while it reads before the disk fills")
    args = ap.parse_args()
    binary = os.path.abspath(args.binary)
    work = tempfile.mkdtemp(prefix="full-disk-")
    mount = os.path.join(work, "home")
    os.makedirs(mount)
    subprocess.run(["mount", "-t", "tmpfs", "-o", "size=48m", "tmpfs", mount], check=True)
    try:
        books = make_books(work)
        os.makedirs(os.path.join(work, "share/qml"))
        shutil.copyfile(REAL_QML, os.path.join(work, "share/qml/Window.qml"))
        env = dict(os.environ, HOME=mount, XDG_CONFIG_HOME=mount + "/config",
                   XDG_DATA_HOME=mount + "/data", XDG_CACHE_HOME=mount + "/cache",
                   QUILLORA_DATA_ROOT=work + "/share", QT_QPA_PLATFORM="offscreen",
                   QT_QUICK_BACKEND="software", LANG="C.UTF-8")
        for book in books:
            _, log = run(binary, env, IMPORT % book, work)
            if "RESULT ok" not in log:
                raise SystemExit("import of %s failed:\n%s" % (book, log[-2000:]))
        if args.killed:
            # Killed while reading: the log and its index stay beside the library.
            with open(os.path.join(work, "share/qml/harbour-quillora.qml"), "w") as f:
                f.write(DRIVER.replace("quit()", "console.warn('RESULT killed')"))
            p = subprocess.Popen([binary], env=env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
            time.sleep(3)
            p.send_signal(signal.SIGKILL)
            p.wait()
        db = mount + "/config/com.tivex/harbour-Quillora/db/"
        print("library files: " + "  ".join("%s=%d" % (n, os.path.getsize(db + n)) for n in sorted(os.listdir(db))))
        free = fill(mount)
        report("full disk, %d bytes free" % free, binary, env, work, args.runs)
        code, log = run(binary, env, IMPORT % books[0], work)
        print("import on the full disk: exit %s, %s" % (code, [l.split("RESULT ", 1)[1] for l in log.splitlines()
                                                          if "RESULT " in l] or "no result"))
        # A library file SQLite cannot read, with room on the disk.
        os.remove(os.path.join(mount, "filler"))
        with open(mount + "/config/com.tivex/harbour-Quillora/db/novel_info.db", "r+b") as f:
            f.write(b"x" * 8192)
        report("library file not a database", binary, env, work, args.runs)
    finally:
        subprocess.run(["umount", mount])
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())
