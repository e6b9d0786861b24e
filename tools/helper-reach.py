#!/usr/bin/env python3
"""What the real program's decoding helper holds and reaches, and whether it
outlives the program. For each build folder given (e.g. the reference and
this one):

    tools/helper-reach.py BUILD [BUILD ...] [--kills N] [--timeout S] [--rows SUBSTRING]

1. opens: strace -f the program importing and reading the hostile EPUBs of
   svg-budget.py; the helper's opens outside the folders it may read (as
   attempted, and as succeeded), and of the folder the books name;
2. descriptors: while the program reads a book, the helpers' /proc/PID/fd:
   how many, and how many name a file (the book among them);
3. kill -9: the program killed N times while a helper runs, and N times
   while a helper is stopped: helpers left alive (they are then killed);
4. no helper: the program with its helper made unrunnable (bound over in a
   private mount namespace; needs root): its log lines in 8 s of reading.
"""
import argparse, glob, importlib.util, os, re, signal, subprocess, tempfile, time

import toolbooks

HERE = os.path.dirname(os.path.abspath(__file__))
spec = importlib.util.spec_from_file_location("svgbudget", os.path.join(HERE, "svg-budget.py"))
svgbudget = importlib.util.module_from_spec(spec)
spec.loader.exec_module(svgbudget)

HELPERS = ("harbour-quillora-draw", "harbour-quillora-decode")
# Beneath these the helper may read (libraries, plugins, fonts and their
# caches, poppler's data); the program's folder is added per build.
ALLOWED = ("/usr/lib", "/lib", "/lib64", "/usr/lib64", "/usr/local/lib", "/etc/ld.so.cache", "/usr/share/fonts",
           "/usr/local/share/fonts", "/etc/fonts", "/usr/share/fontconfig", "/var/cache/fontconfig",
           "/usr/share/poppler")
# A window that imports the book, opens its chapter and keeps reading.
STAY_QML = toolbooks.READER_QML.replace("console.warn('PAGE ' + (Date.now() - t0)); core.quitApplication()",
                                        "console.warn('PAGE ' + (Date.now() - t0))")
# The same, for a book imported before: only opened.
OPEN_QML = """import QtQuick 2.6
import com.quillora.applicationcore 1.0
Item {
 ApplicationCore { id: core }
 Timer { interval: 0; running: true; onTriggered: {
  var id = Qt.md5(%(path)r); var list = core.getChaptersByNovelId(id);
  core.openBookForReading(id, list[0].id, 0, -1.0, 20, 0, 360, 480, '#000000', '#ffffff', '') } }
}
"""


def environment(root, book, qml):
    for d in ("home", "share/qml", "cache", "config", "data"):
        os.makedirs(os.path.join(root, d), exist_ok=True)
    with open(root + "/share/qml/harbour-quillora.qml", "w") as f:
        f.write(qml % {"path": book})
    return dict(os.environ, HOME=root + "/home", XDG_CONFIG_HOME=root + "/config", XDG_DATA_HOME=root + "/data",
                XDG_CACHE_HOME=root + "/cache", QUILLORA_DATA_ROOT=root + "/share", QT_QPA_PLATFORM="offscreen",
                QT_QUICK_BACKEND="software", LANG="C.UTF-8")


def drawing_book(root, count=1):
    """An EPUB of count drawings, the first its cover."""
    book = root + "/book.epub"
    svg = svgbudget.OPEN + '<rect width="640" height="480" fill="#246"/><text y="40">A</text></svg>'
    files = {"d%d.svg" % i: svg for i in range(count)}
    items = [("cover" if i == 0 else "d%d" % i, "d%d.svg" % i, "image/svg+xml") for i in range(count)]
    body = "".join('<p>Text %d.</p><p><img src="d%d.svg" alt="A"/></p>' % (i, i) for i in range(count))
    toolbooks.epub(book, items, body, files)
    return book


def helper_pids(parent):
    found = []
    for stat in glob.glob("/proc/[0-9]*/stat"):
        try:
            text = open(stat).read()
            pid = int(stat.split("/")[2])
            exe = os.readlink("/proc/%d/exe" % pid)
        except OSError:
            continue
        if int(text[text.rindex(")") + 2:].split()[1]) == parent and os.path.basename(exe) in HELPERS:
            found.append(pid)
    return found


def opens(build, work, timeout, rows):
    """Helper opens outside ALLOWED and of the outside folder, over the hostile books."""
    outside = work + "/outside/red.png"
    os.makedirs(os.path.dirname(outside), exist_ok=True)
    with open(outside, "wb") as f:
        f.write(svgbudget.png(8))
    attempted = succeeded = denied = named = books = 0
    seen = {}
    for n, (name, svg, big) in enumerate(svgbudget.rows(outside)):
        if rows not in name:
            continue
        root = "%s/o%d" % (work, n)
        os.makedirs(root)
        book = root + "/book.epub"
        svgbudget.epub(book, svg, big)
        env = environment(root, book, toolbooks.READER_QML)
        # The user's own fonts and font caches are the helper's to read too.
        allowed = ALLOWED + (build + "/app", root + "/cache/fontconfig", root + "/data/fonts", root + "/home/.fonts",
                             root + "/home/.fontconfig")
        subprocess.run(["timeout", "-s", "KILL", str(timeout), "strace", "-f", "-qq", "-e",
                        "trace=execve,openat,open", "-o", root + "/trace", build + "/app/harbour-quillora"],
                       env=env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        books += 1
        helpers = set()
        for line in open(root + "/trace", errors="replace"):
            m = re.match(r"(\d+) +(\w+)\((?:AT_FDCWD, )?\"([^\"]*)\"", line)
            if not m:
                continue
            pid, call, path = int(m.group(1)), m.group(2), m.group(3)
            if call == "execve" and os.path.basename(path) in HELPERS and "= 0" in line:
                helpers.add(pid)
            if call == "execve" or pid not in helpers or not path.startswith("/"):
                continue
            if os.path.dirname(outside) in path:
                named += 1
            if any(path == a or path.startswith(a + "/") for a in allowed):
                continue
            attempted += 1
            failed = re.search(r"= -1 (\w+)", line)
            kind = 2 if not failed else 1 if failed.group(1) in ("EACCES", "EPERM") else 0
            succeeded += kind == 2
            denied += kind == 1
            key = re.sub(r"/proc/\d+", "/proc/PID", path.replace(root, "ROOT"))
            seen.setdefault(key, [0, 0, 0])[kind] += 1
    return books, attempted, succeeded, denied, named, seen


def descriptors(build, work, timeout):
    root = work + "/fd"
    os.makedirs(root)
    book = drawing_book(root)
    env = environment(root, book, STAY_QML)
    p = subprocess.Popen([build + "/app/harbour-quillora"], env=env, stdout=subprocess.DEVNULL,
                         stderr=subprocess.PIPE)
    worst = None
    end = time.time() + timeout
    while time.time() < end and p.poll() is None:
        for pid in helper_pids(p.pid):
            try:
                links = [os.readlink("/proc/%d/fd/%s" % (pid, fd)) for fd in os.listdir("/proc/%d/fd" % pid)]
            except OSError:
                continue
            files = [l for l in links if l.startswith("/")]
            row = (len(links), len(files), sum(1 for l in files if l.endswith(".epub")), sorted(set(links)))
            if worst is None or row[:3] > worst[:3]:
                worst = row
        time.sleep(0.05)
    p.kill()
    p.wait()
    return worst


def kills(build, work, count, stop):
    left = started = 0
    for i in range(count):
        root = "%s/k%d%s" % (work, i, "s" if stop else "")
        os.makedirs(root)
        env = environment(root, drawing_book(root), STAY_QML)
        p = subprocess.Popen([build + "/app/harbour-quillora"], env=env, stdout=subprocess.DEVNULL,
                             stderr=subprocess.PIPE)
        # A helper has drawn once the first page is there.
        for line in p.stderr:
            if b"PAGE " in line or b"OUTCOME failed" in line:
                break
        helpers = helper_pids(p.pid)
        if helpers:
            started += 1
            if stop:
                for pid in helpers:
                    os.kill(pid, signal.SIGSTOP)
        p.send_signal(signal.SIGKILL)
        p.wait()
        time.sleep(1.0)
        for pid in helpers:
            try:
                state = open("/proc/%d/stat" % pid).read()
            except OSError:
                continue
            if state[state.rindex(")") + 2] != "Z":
                left += 1
                os.kill(pid, signal.SIGKILL)
    return started, left


def flood(build, work):
    root = work + "/flood"
    os.makedirs(root)
    book = drawing_book(root, 20)
    # Imported with the helper there (a book whose cover cannot be read is
    # not imported), then read without it.
    subprocess.run([build + "/app/harbour-quillora"], env=environment(root, book, toolbooks.READER_QML),
                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=60)
    env = environment(root, book, OPEN_QML)
    blocker = root + "/not-a-program"
    open(blocker, "w").close()
    binds = " ".join("[ -e %s/app/%s ] && mount --bind %s %s/app/%s;" % (build, h, blocker, build, h)
                     for h in HELPERS)
    cmd = ["unshare", "-m", "sh", "-c", "mount --make-rprivate / && %s exec timeout -s KILL 8 %s/app/harbour-quillora"
           % (binds, build)]
    p = subprocess.run(cmd, env=env, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
    lines = p.stderr.decode(errors="replace").splitlines()
    kinds = {}
    for line in lines:
        key = re.sub(r"^\[\w+\] \[[\d:.]+\] ", "", line)[:60]
        kinds[key] = kinds.get(key, 0) + 1
    return len(lines), sorted(kinds.items(), key=lambda kv: -kv[1])[:4]


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("builds", nargs="+")
    ap.add_argument("--kills", type=int, default=20)
    ap.add_argument("--timeout", type=int, default=60)
    ap.add_argument("--rows", default="", help="only the hostile books whose name holds this")
    a = ap.parse_args()
    for build in a.builds:
        build = os.path.abspath(build)
        work = tempfile.mkdtemp(prefix="helperreach-")
        print("## " + build)
        books, attempted, succeeded, denied, named, seen = opens(build, work, a.timeout, a.rows)
        print("- opens outside the allowed folders by the helper, %d hostile books: %d attempted, %d succeeded, "
              "%d denied (EACCES); of the folder the books name: %d" % (books, attempted, succeeded, denied, named))
        for path, (absent, refused, ok) in sorted(seen.items()):
            print("    - %s: %d succeeded, %d denied, %d absent" % (path, ok, refused, absent))
        fds = descriptors(build, work, 20)
        if fds:
            print("- helper descriptors while reading: %d open, %d naming files, %d the book: %s"
                  % (fds[0], fds[1], fds[2], ", ".join(fds[3])))
        for stop in (False, True):
            started, left = kills(build, work, a.kills, stop)
            print("- kill -9 of the program with a helper %s: %d of %d runs had one; helpers left alive: %d"
                  % ("stopped" if stop else "running", started, a.kills, left))
        lines, kinds = flood(build, work)
        print("- helper unrunnable, 8 s of reading 20 drawings: %d log lines; most: %s"
              % (lines, "; ".join("%d x %s" % (n, k) for k, n in kinds)))


if __name__ == "__main__":
    main()
