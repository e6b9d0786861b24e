#!/usr/bin/env python3
"""Starts the real program over PDFs whose fonts name a file outside the
book by a climbing CMap or ToUnicode name, in the places and spellings PDF
allows: imports the book, then opens its first page for reading.

    tools/pdf-names.py BIN [--timeout S] [--rows SUBSTRING]

Per row, once with a plain file and once with a FIFO as the named file, in a
fresh HOME/XDG tree: the outcome, ms to it, ms to the first page, peak RSS
(/usr/bin/time -v), opens of the outside folder seen by strace; a Markdown
table.
"""
import argparse, importlib.util, os, re, shutil, subprocess, tempfile, time

_spec = importlib.util.spec_from_file_location(
    "hostile", os.path.join(os.path.dirname(os.path.abspath(__file__)), "../tests/data/pdf/make-hostile.py"))
hostile = importlib.util.module_from_spec(_spec)
_spec.loader.exec_module(hostile)

QML = """import QtQuick 2.6
import com.quillora.applicationcore 1.0
Item {
 property double t0: 0
 property string chapter: ""
 ApplicationCore { id: core
  onNovelImportSucceeded: {
   console.warn('OUTCOME ok ' + (Date.now() - t0)); t0 = Date.now();
   var id = Qt.md5(%(path)r); chapter = core.getChaptersByNovelId(id)[0].id;
   core.openBookForReading(id, chapter, 0, -1.0, 20, 0, 360, 480, '#000000', '#ffffff', '');
  }
  onNovelImportFailed: { console.warn('OUTCOME failed ' + (Date.now() - t0)); core.quitApplication() }
  onPoolPageRendered: if (chapterId === chapter && pageIndex === 0) {
   console.warn('PAGE ' + (Date.now() - t0)); core.quitApplication() }
 }
 Timer { interval: 0; running: true; onTriggered: { t0 = Date.now(); core.importNovel(%(path)r) } }
}
"""


def run(binary, root, path, timeout, outside):
    env = dict(os.environ, HOME=root + "/home", XDG_CONFIG_HOME=root + "/config", XDG_DATA_HOME=root + "/data",
               XDG_CACHE_HOME=root + "/cache", QUILLORA_DATA_ROOT=root + "/share", QT_QPA_PLATFORM="offscreen",
               QT_QUICK_BACKEND="software", LANG="C.UTF-8")
    for d in ("home", "share/qml", "cache"):
        os.makedirs(os.path.join(root, d), exist_ok=True)
    with open(root + "/share/qml/harbour-quillora.qml", "w") as f:
        f.write(QML % {"path": path})
    cmd = ["timeout", "-s", "KILL", str(timeout), "/usr/bin/time", "-v",
           "strace", "-f", "-qq", "-e", "trace=openat,open", "-o", root + "/trace", binary]
    start = time.time()
    p = subprocess.run(cmd, env=env, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
    wall = time.time() - start
    err = p.stderr.decode(errors="replace")
    outcome = re.search(r"OUTCOME (\w+) (\d+)", err)
    page = re.search(r"PAGE (\d+)", err)
    rss = re.search(r"Maximum resident set size \(kbytes\): (\d+)", err)
    cause = re.search(r"不安全[^\n\"]*", err)
    opens = 0
    if os.path.exists(root + "/trace"):
        with open(root + "/trace", errors="replace") as f:
            opens = sum(1 for line in f if outside in line)
    rss = str(int(rss.group(1)) // 1024) if rss else "-"
    if not outcome:
        status = "killed at %d s" % timeout if wall >= timeout else "no outcome (exit %s)" % p.returncode
        return status, "-", "-", rss, opens
    return outcome.group(1), outcome.group(2), page.group(1) if page else "-", rss, opens


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("binary")
    ap.add_argument("--timeout", type=int, default=20)
    ap.add_argument("--rows", default="")
    a = ap.parse_args()
    work = tempfile.mkdtemp(prefix="pdfnames-")
    outside = work + "/outside"
    os.makedirs(outside)
    with open(outside + "/secret", "w") as f:
        f.write("secret\n")
    os.mkfifo(outside + "/fifo")
    print("| place | named file | outcome | ms to outcome | ms to first page | peak RSS MiB | outside opens |")
    print("|---|---|---|---|---|---|---|")
    n = 0
    for place in hostile.PLACES + ["control: cmap.pdf"]:
        for target in ("secret", "fifo"):
            if a.rows not in place or (place.startswith("control") and target == "fifo"):
                continue
            n += 1
            root = "%s/r%d" % (work, n)
            os.makedirs(root)
            path = root + "/book.pdf"
            hostile.write(path, place, outside + "/" + target)
            r = run(os.path.abspath(a.binary), root, path, a.timeout, outside)
            print("| %s | %s | %s | %s | %s | %s | %d |" % ((place, target) + r), flush=True)
    shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
