#!/usr/bin/env python3
"""Reads PDFs that cost poppler far more than their size in the real
program (tests/data/pdf/make-heavy.py writes them), the reading alone: an
ordinary PDF of as many pages is imported first, then its stored copy is
replaced by the heavy one and the book is opened for reading at its first
page, which must show within the timeout or be refused.

    tools/pdf-reading.py BIN [--timeout S] [--rows SUBSTRING]

Per row, in a fresh HOME/XDG tree: ms to the first page (or how the run
ended), whether it was drawn or refused, CPU seconds, the peaks of the
program's and its helpers' resident memory together (sampled every 20 ms),
and the files strace saw opened outside the program's own folders and the
system's.
"""
import argparse, os, re, shutil, subprocess, tempfile, time
from importlib import util

HERE = os.path.dirname(os.path.abspath(__file__))
# pdf-heavy.py's books and loaders serve here too.
_spec = util.spec_from_file_location("pdfheavy", os.path.join(HERE, "pdf-heavy.py"))
pdfheavy = util.module_from_spec(_spec)
_spec.loader.exec_module(pdfheavy)
heavy = pdfheavy.heavy
toolbooks = pdfheavy.driver.toolbooks

IMPORT_QML = """import QtQuick 2.6
import com.quillora.applicationcore 1.0
Item {
 ApplicationCore { id: core
  onNovelImportSucceeded: { console.warn('IMPORTED'); core.quitApplication() }
  onNovelImportFailed: { console.warn('FAILED'); core.quitApplication() }
 }
 Timer { interval: 0; running: true; onTriggered: core.importNovel(%(path)r) }
}
"""

READ_QML = """import QtQuick 2.6
import com.quillora.applicationcore 1.0
Item {
 property double t0: 0
 property string chapter: ""
 ApplicationCore { id: core
  onPoolPageRendered: if (chapterId === chapter && pageIndex === 0) {
   console.warn('PAGE ' + (Date.now() - t0)); core.quitApplication() }
 }
 Timer { interval: 0; running: true; onTriggered: {
  t0 = Date.now(); var id = Qt.md5(%(path)r); chapter = core.getChaptersByNovelId(id)[0].id;
  core.openBookForReading(id, chapter, 0, -1.0, 20, 0, 360, 480, '#000000', '#ffffff', '') } }
}
"""

# Heavy kinds read here, each with the ordinary book of as many pages.
ROWS = [("ordinary page", "ordinary page"),
        ("PostScript function shading", "ordinary page"),
        ("20,000 overlapping text operators", "ordinary page"),
        ("100,000 overlapping text operators", "ordinary page"),
        ("form XObjects seven deep by ten", "ordinary page"),
        ("Flate image 60000x60000, second page", "Flate image 4000x4000, second page"),
        ("JPEG 2000 image 60000x60000, first page", "Flate image 4000x4000, second page")]


def tree(pid):
    """pid and its descendants."""
    out, todo = [], [pid]
    while todo:
        p = todo.pop()
        out.append(p)
        # A child belongs to the thread that started it.
        try:
            for task in os.listdir("/proc/%d/task" % p):
                with open("/proc/%d/task/%s/children" % (p, task)) as f:
                    todo += [int(c) for c in f.read().split()]
        except OSError:
            pass
    return out


def memory_kib(pid):
    """Resident and proportional set sizes: the latter counts a page that
    the program and a helper share once, not in each."""
    try:
        with open("/proc/%d/status" % pid) as f:
            status = f.read()
        if not re.search(r"^Name:\s+harbour-quillo", status, re.M):
            return 0, 0
        with open("/proc/%d/smaps_rollup" % pid) as f:
            rollup = f.read()
        rss = re.search(r"^Rss:\s+(\d+)", rollup, re.M)
        pss = re.search(r"^Pss:\s+(\d+)", rollup, re.M)
        return int(rss.group(1)) if rss else 0, int(pss.group(1)) if pss else 0
    except OSError:
        return 0, 0


def run(binary, root, qml, timeout, trace=None):
    env = toolbooks.program_root(root, qml)
    cmd = ["timeout", "-s", "KILL", str(timeout), "/usr/bin/time", "-f", "CPU %U %S"]
    if trace:
        cmd += ["strace", "-f", "-qq", "-e", "trace=openat,open", "-o", trace]
    p = subprocess.Popen(cmd + [binary], env=env, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
    peak = [0, 0]
    start = time.time()
    while p.poll() is None:
        sizes = [memory_kib(q) for q in tree(p.pid)]
        peak = [max(peak[i], sum(size[i] for size in sizes)) for i in range(2)]
        time.sleep(0.02)
    err = p.stderr.read().decode(errors="replace")
    return err, time.time() - start, "%d / %d" % (peak[0] // 1024, peak[1] // 1024)


def opens(trace, root, binary):
    """Files opened outside the program's folders and the system's."""
    system = ("/usr/", "/lib", "/etc/", "/proc/", "/sys/", "/dev/", "/tmp/runtime", "/var/cache/fontconfig",
              os.path.dirname(binary), root)
    outside = []
    with open(trace, errors="replace") as f:
        for line in f:
            m = re.match(r'\d+ +open(?:at)?\([^"]*"([^"]+)"', line)
            if m and "ENOENT" not in line and not m.group(1).startswith(system):
                outside.append(m.group(1))
    return outside


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("binary")
    ap.add_argument("--timeout", type=int, default=30)
    ap.add_argument("--rows", default="")
    a = ap.parse_args()
    binary = os.path.abspath(a.binary)
    work = tempfile.mkdtemp(prefix="pdfreading-")
    print("| PDF | first page | ms | CPU s | peak MiB RSS / PSS (program + helpers) | opens outside |")
    print("|---|---|---|---|---|---|")
    for n, (kind, base) in enumerate(ROWS):
        if a.rows not in kind:
            continue
        root = "%s/r%d" % (work, n)
        os.makedirs(root)
        path = root + "/book.pdf"
        heavy.write(path, base)
        err, _, _ = run(binary, root, IMPORT_QML % {"path": path}, 120)
        copies = [os.path.join(d, f) for d, _, files in os.walk(root + "/data") for f in files if f == "book.pdf"]
        if "IMPORTED" not in err or len(copies) != 1:
            print("| %s | import failed | - | - | - | - |" % kind, flush=True)
            continue
        heavy.write(copies[0], kind)
        trace = root + "/trace"
        err, wall, peak = run(binary, root, READ_QML % {"path": path}, a.timeout, trace)
        page = re.search(r"PAGE (\d+)", err)
        cpu = re.search(r"CPU ([\d.]+) ([\d.]+)", err)
        refused = "refused" if "图片加载失败" in err else "drawn"
        ms = page.group(1) if page else "killed at %d s" % a.timeout
        outside = opens(trace, root, binary) if os.path.exists(trace) else []
        print("| %s | %s | %s | %s | %s | %d |" % (
            kind, refused if page else "none", ms,
            "%.1f" % (float(cpu.group(1)) + float(cpu.group(2))) if cpu else "-", peak, len(outside)), flush=True)
    shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
