#!/usr/bin/env python3
"""Starts the real program over books whose pictures test the decoding
helper's budget per request and its answers:

    tools/decode-budget.py BIN [--timeout S] [--rows SUBSTRING] [--standin HELPER]

- an EPUB of 100 chapters, each opening with a light drawing (about 80 ms),
  every chapter's first page opened three times over;
- an EPUB of 12 chapters, each opening with a drawing of about 1.2 s;
- CBZs whose first page is a progressive 4000x4000 JPEG whose last scan is
  there 2,000 and 10,000 times (a page of its own follows);
- with --standin, a CBZ read by BIN copied beside that stand-in helper
  (tests/helper's tst_decodeservice_standin), whose pages make it answer out
  of turn: indexed rows, a wrong size, stride, rows cut short, memory not
  sealed or shorter than the rows, a crash.

Per row, in a fresh HOME/XDG tree: the outcome, ms to it, ms to the first
page (or to the last page opened), pictures lost (distinct pictures the
page renderer failed to load), refusals the log tells, helpers started, CPU seconds of the program and its helpers,
the exit status; a Markdown table.
"""
import argparse, os, re, shutil, subprocess, tempfile, time

import toolbooks

OPEN = ('<svg xmlns="http://www.w3.org/2000/svg" xmlns:xlink="http://www.w3.org/1999/xlink" '
        'width="640" height="480">')

# Opens, after the import, the first page of chapters 0..count-1 in turn,
# passes times over, then quits: "OUTCOME ok|failed <ms>", "PAGED <n> <ms>".
# With turns > 0 it instead turns the first chapter's pages 1..turns.
PAGING_QML = """import QtQuick 2.6
import com.quillora.applicationcore 1.0
Item {
 property double t0: 0
 property var list: []
 property int at: 0
 property int opened: 0
 property string chapter: ""
 property string token: ""
 property string id: Qt.md5(%(path)r)
 function open() {
  if (opened >= %(passes)d * list.length) { console.warn('PAGED ' + opened + ' ' + (Date.now() - t0)); core.quitApplication(); return }
  chapter = list[opened %% list.length].id; opened++;
  token = core.openBookForReading(id, chapter, 0, -1.0, 20, 0, 360, 480, '#000000', '#ffffff', '') }
 ApplicationCore { id: core
  onNovelImportSucceeded: { console.warn('OUTCOME ok ' + (Date.now() - t0)); t0 = Date.now();
   list = core.getChaptersByNovelId(id); if (%(turns)d > 0) { list = [list[0]]; open() } else open() }
  onNovelImportFailed: { console.warn('OUTCOME failed ' + (Date.now() - t0)); core.quitApplication() }
  onPoolPageRendered: if (chapterId === chapter) {
   if (%(turns)d === 0 && pageIndex === 0) open();
   else if (%(turns)d > 0 && pageIndex === at) {
    if (at === %(turns)d) { console.warn('PAGED ' + at + ' ' + (Date.now() - t0)); core.quitApplication(); return }
    at++; core.poolReportPageTurn(chapter, at, token) } }
 }
 Timer { interval: 0; running: true; onTriggered: { t0 = Date.now(); core.importNovel(%(path)r) } }
}
"""


def drawing(uses, tag):
    """A drawing of a 2,000-segment path used `uses` times: about 1.5 ms a
    use drawn at page size on this machine, 50 ms for the rest."""
    path = '<path id="p" fill="none" stroke="#345" d="M0 0' + "".join(
        " L%d %d" % (i * 37 % 640, i * 7 % 480) for i in range(2000)) + '"/>'
    return (OPEN + "<!-- %d --><defs>" % tag + path + "</defs>" + '<use xlink:href="#p"/>' * uses + "</svg>").encode()


def drawings_epub(path, count, uses):
    """count chapters, each opening with a drawing; a small JPEG cover, so
    that the drawings are drawn only at their pages' sizes."""
    items = [("cover", "cover.jpg", "image/jpeg")] + [("d%d" % i, "d%d.svg" % i, "image/svg+xml") for i in range(count)]
    bodies = ['<p><img src="d%d.svg" alt="A"/></p><p>After the picture.</p>' % i for i in range(count)]
    files = {"d%d.svg" % i: drawing(uses, i) for i in range(count)}
    files["cover.jpg"] = toolbooks.progressive_jpeg(1024, 1)
    toolbooks.epub(path, items, bodies, files)


def rows(standin):
    yield "100 light drawings, each chapter opened 3 times", "epub", lambda p: drawings_epub(p, 100, 20), 3, 0
    yield "12 drawings of about 1.2 s", "epub", lambda p: drawings_epub(p, 12, 780), 1, 0
    for repeats in (2000, 10000):
        yield ("CBZ: progressive 4000x4000 JPEG, last scan %d times" % repeats, "cbz",
               lambda p, r=repeats: toolbooks.cbz(p, [("p1.jpg", toolbooks.progressive_jpeg(4000, r)),
                                                       ("p2.jpg", toolbooks.progressive_jpeg(1024, 1))]), 1, 0)
    if standin:
        bad = ["indexed", "tall", "stride", "natural", "short-rows", "unsealed", "short-memory", "crash"]
        pages = [("p00.png", b"good")] + [("p%02d.png" % (i + 1), b) for i, b in enumerate(bad)] \
            + [("p%02d.png" % (len(bad) + 1), b"good")]
        yield "stand-in helper: %d bad answers" % len(bad), "cbz", lambda p: toolbooks.cbz(p, pages), 1, len(bad) + 1


def helper_pids(root_pid):
    """Helpers among the descendants of root_pid now."""
    parents = {}
    for name in os.listdir("/proc"):
        if name.isdigit():
            try:
                with open("/proc/%s/stat" % name) as f:
                    line = f.read()
                parents[int(name)] = int(line[line.rindex(")") + 2:].split()[1])
            except (OSError, ValueError):
                pass
    found, frontier = set(), {root_pid}
    while frontier:
        children = {pid for pid, parent in parents.items() if parent in frontier}
        found |= children
        frontier = children
    helpers = set()
    for pid in found:
        try:
            with open("/proc/%d/cmdline" % pid, "rb") as f:
                if re.search(rb"harbour-quillora-(draw|decode)\0", f.read()):
                    helpers.add(pid)
        except OSError:
            pass
    return helpers


def run(binary, root, book, passes, turns, timeout):
    qml = toolbooks.READER_QML % {"path": book} if book.endswith(".cbz") and turns == 0 else \
        PAGING_QML % {"path": book, "passes": passes, "turns": turns}
    env = toolbooks.program_root(root, qml)
    cmd = ["timeout", "-s", "KILL", str(timeout), "/usr/bin/time", "-v", binary]
    with open(root + "/log", "wb") as log:
        p = subprocess.Popen(cmd, env=env, stdout=subprocess.DEVNULL, stderr=log)
        helpers = set()
        while p.poll() is None:
            helpers |= helper_pids(p.pid)
            time.sleep(0.02)
    with open(root + "/log", errors="replace") as f:
        err = f.read()
    outcome = re.search(r"OUTCOME (\w+) (\d+)", err)
    page = re.search(r"PAGE (\d+)", err) or re.search(r"PAGED \d+ (\d+)", err)
    paged = re.search(r"PAGED (\d+)", err)
    cpu = "%.1f" % sum(float(t) for t in re.findall(r"(?:User|System) time \(seconds\): ([\d.]+)", err))
    refused = len(re.findall(r"超出(?:绘制|解码)预算", err))
    lost = len(set(re.findall(r"图片加载失败: (\S+)", err)))
    status = re.search(r"Exit status: (\d+)", err)
    signal = re.search(r"Command terminated by signal (\d+)", err)
    ended = "signal %s" % signal.group(1) if signal else ("exit %s" % status.group(1) if status else "killed")
    return (outcome.group(1) if outcome else "none", outcome.group(2) if outcome else "-",
            page.group(1) if page else "-", paged.group(1) if paged else "-", lost, refused, len(helpers), cpu, ended)


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("binary")
    ap.add_argument("--timeout", type=int, default=300)
    ap.add_argument("--rows", default="")
    ap.add_argument("--standin", default="")
    a = ap.parse_args()
    work = tempfile.mkdtemp(prefix="decodebudget-")
    print("| book | outcome | ms to outcome | ms to page | pages opened | pictures lost | refusals logged | helpers | CPU s | end |")
    print("|---|---|---|---|---|---|---|---|---|---|")
    for n, (name, kind, make, passes, turns) in enumerate(rows(a.standin)):
        if a.rows not in name:
            continue
        root = "%s/r%d" % (work, n)
        os.makedirs(root)
        book = root + "/book." + kind
        make(book)
        binary = os.path.abspath(a.binary)
        if name.startswith("stand-in"):
            # The program looks for its helper beside itself only.
            os.makedirs(root + "/bin")
            shutil.copy(binary, root + "/bin/harbour-quillora")
            shutil.copy(a.standin, root + "/bin/harbour-quillora-decode")
            binary = root + "/bin/harbour-quillora"
        r = run(binary, root, book, passes, turns, a.timeout)
        print("| %s | %s | %s | %s | %s | %d | %d | %d | %s | %s |" % ((name,) + r), flush=True)
    shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
