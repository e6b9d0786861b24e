#!/usr/bin/env python3
"""Kills the real program with SIGKILL at random moments of an application
reset whose deletions are slowed (strace delays every unlink, unlinkat and
rmdir) and counts, after the next start, whether the library is whole (every
book's rows and files and the settings), reset (no book left, neither rows
nor folders) or mixed.

    tools/kill-reset.py [--kills N] [--books N] [--comics N] [--delay MS] [--cases N] BIN [BIN ...]

Several binaries run side by side on copies of one library. Books are
generated in a temporary folder with python3 alone (plain texts and comic
archives). Prints one line per binary with the counts.

With --cases N (0 kills then runs only these), each binary also goes through:
an import right after a reset in the same session (N times: is the book in
the library at the next start, refused with a message, or lost); a FIFO, a
folder and a link at the mark's path (does the reset, and the start after it,
end; is the library and what the link names untouched); and two programs on
one library: a reset killed early (before the library file goes) or late
(after), while a second program imports a book.
"""
import argparse, importlib.util, os, random, shutil, signal, sqlite3, subprocess
import tempfile, threading, time, zipfile


def load(name):
    spec = importlib.util.spec_from_file_location(
        name.replace("-", "_"), os.path.join(os.path.dirname(os.path.abspath(__file__)), name + ".py"))
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


kr = load("kill-remove")
ki = kr.ki
QML = ("import QtQuick 2.6\nimport com.quillora.applicationcore 1.0\nItem {\n"
       " ApplicationCore { id: core\n"
       "  onApplicationResetFinished: { console.warn('RESET ' + success); core.quitApplication() }\n }\n"
       " Timer { interval: 0; running: true; onTriggered: { console.warn('RESETTING'); core.resetApplication() } }\n"
       "}\n")
SETTINGS = "[APP_SETTING]\nLANGUAGE=1\n"


class Library(kr.Library):
    def settings(self):
        return os.path.join(self.root, "config/com.tivex/harbour-Quillora/config/appSettings.conf")

    def reset(self, delay_ms):
        """Starts a reset under strace; returns strace, an event set once the
        reset has been asked for, and the stderr lines."""
        with open(self.root + ".share/qml/harbour-quillora.qml", "w") as f:
            f.write(QML)
        p = subprocess.Popen(["strace", "-f", "-qq", "-o", "/dev/null", "-e", "trace=unlink,unlinkat,rmdir",
                              "-e", "inject=unlink,unlinkat,rmdir:delay_enter=%d" % (delay_ms * 1000),
                              self.binary], env=self.env, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
        began, lines = threading.Event(), []

        def read():
            for line in p.stderr:
                lines.append(line)
                if b"RESETTING" in line:
                    began.set()
        threading.Thread(target=read, daemon=True).start()
        return p, began, lines

    def state(self):
        """(books in rows, {folder: files}, settings present)."""
        books = 0
        if os.path.exists(self.db):
            con = sqlite3.connect(self.db)
            try:
                books = con.execute("SELECT COUNT(*) FROM novel_info").fetchone()[0]
            finally:
                con.close()
        names = sorted(n for n in os.listdir(self.data) if n != "font") if os.path.isdir(self.data) else []
        return books, {n: self.files(n) for n in names}, os.path.exists(self.settings())


def make_comics(work, count):
    paths = []
    for c in range(count):
        path = os.path.join(work, "comic-%d.cbz" % c)
        with zipfile.ZipFile(path, "w", zipfile.ZIP_STORED) as z:
            for i in range(20):
                page = os.path.join(work, "page.png")
                ki.png(page, (c * 60, i * 9 % 256, 90), 240, 360)
                z.write(page, "page%02d.png" % (i + 1))
        paths.append(path)
    return paths


def kill(strace):
    """Kills the program strace started (its one child); false when it had
    ended already."""
    while strace.poll() is None:
        try:
            with open("/proc/%d/task/%d/children" % (strace.pid, strace.pid)) as f:
                children = f.read().split()
        except OSError:
            children = []
        if children:
            os.kill(int(children[0]), signal.SIGKILL)
            strace.wait(timeout=60)
            return True
        time.sleep(0.005)
    return False


def run_binary(binary, saved, root, kills, delay_ms, log):
    kr.restore(saved, root)
    lib = Library(root, binary)
    whole = lib.state()
    # A clean reset: how long it takes from its log line to its signal.
    p, began, lines = lib.reset(delay_ms)
    if not began.wait(300):
        raise SystemExit("%s: the reset did not start" % binary)
    t0 = time.monotonic()
    p.wait(timeout=600)
    took = time.monotonic() - t0
    if not any(b"RESET true" in line for line in lines):
        raise SystemExit("%s: the reset failed:\n%s" % (binary, b"".join(lines[-20:]).decode(errors="replace")))
    counts = dict(kills=0, late=0, whole=0, reset=0, mixed=0)
    for _ in range(kills):
        kr.restore(saved, root)
        p, began, _ = lib.reset(delay_ms)
        began.wait(300)
        delay = random.uniform(0.0, 1.2 * took)
        time.sleep(delay)
        counts["kills"] += 1
        counts["late"] += not kill(p)
        lib.settle()
        books, folders, settings = lib.state()
        if (books, folders, settings) == whole:
            counts["whole"] += 1
        elif books == 0 and not folders:
            counts["reset"] += 1
        else:
            counts["mixed"] += 1
            log.write("%s MIXED at %.3f of %.3f s: %d of %d books in rows, %d of %d folders, settings %s\n"
                      % (binary, delay, took, books, whole[0], len(folders), len(whole[1]),
                         "kept" if settings else "gone"))
    return counts, took, whole


CASE_QML = ("import QtQuick 2.6\nimport com.quillora.applicationcore 1.0\nItem {\n"
            " ApplicationCore { id: core\n"
            "  onApplicationResetFinished: { console.warn('RESET ' + success); %s }\n"
            "  onNovelImportSucceeded: { console.warn('IMPORT ok'); core.quitApplication() }\n"
            "  onNovelImportFailed: { console.warn('IMPORT ' + message); core.quitApplication() }\n }\n"
            " Timer { interval: %d; running: true; onTriggered: %s }\n}\n")


def run_qml(lib, qml, timeout=60):
    """(ended, stderr) of one run of the program over qml."""
    p = lib.launch(qml)
    try:
        _, err = p.communicate(timeout=timeout)
        return True, err.decode(errors="replace")
    except subprocess.TimeoutExpired:
        p.kill()
        p.communicate()
        return False, ""


def outcome(err):
    for line in err.splitlines():
        if "IMPORT " in line:
            return line.split("IMPORT ", 1)[1].strip()
    return "no answer"


def stored(lib, bid):
    if not os.path.exists(lib.db):
        return False
    con = sqlite3.connect(lib.db)
    try:
        return con.execute("SELECT COUNT(*) FROM novel_info WHERE id=?", (bid,)).fetchone()[0] > 0
    finally:
        con.close()


def signature(path):
    if not os.path.lexists(path):
        return None
    if os.path.islink(path):
        return "link -> " + os.readlink(path)
    if os.path.isdir(path):
        return "folder " + repr(sorted(os.listdir(path)))
    return "mode %o" % os.lstat(path).st_mode


def run_cases(binary, saved, root, work, repeats, delay_ms):
    lib = Library(root, binary)
    os.makedirs(os.path.join(work, "after"), exist_ok=True)
    book = kr.make_small(os.path.join(work, "after"), 1)[0]   # not one of the library's books
    bid = ki.book_id(book)
    rows = []
    # An import right after the reset, in the same session.
    counts = dict(kept=0, refused=0, lost=0)
    messages = set()
    for _ in range(repeats):
        kr.restore(saved, root)
        ended, err = run_qml(lib, CASE_QML % ("core.importNovel(%r)" % book, 0, "core.resetApplication()"), 120)
        said = outcome(err) if ended else "did not end"
        lib.settle()
        if stored(lib, bid):
            counts["kept"] += 1
        elif said == "ok":
            counts["lost"] += 1
        else:
            counts["refused"] += 1
            messages.add(said)
    rows.append("| import after a reset, %d times | in the library at the next start %d, refused %d%s, "
                "reported done and lost %d |" % (repeats, counts["kept"], counts["refused"],
                                                 " (%s)" % "; ".join(sorted(messages)) if messages else "",
                                                 counts["lost"]))
    # Something else at the mark's path.
    mark = os.path.join(root, "config/com.tivex/harbour-Quillora.reset")
    outside = os.path.join(work, "outside")
    os.makedirs(outside, exist_ok=True)
    with open(os.path.join(outside, "keep.txt"), "w") as f:
        f.write("sentinel")
    for kind in ("FIFO", "folder", "link"):
        kr.restore(saved, root)
        whole = lib.state()
        if kind == "FIFO":
            os.mkfifo(mark)
        elif kind == "folder":
            os.makedirs(mark)
            with open(os.path.join(mark, "inner.txt"), "w") as f:
                f.write("kept")
        else:
            os.symlink(outside, mark)
        before = signature(mark)
        ended, err = run_qml(lib, CASE_QML % ("core.quitApplication()", 0, "core.resetApplication()"), 30)
        said = "RESET true" if "RESET true" in err else "RESET false" if "RESET false" in err else "no answer"
        started, _ = run_qml(lib, CASE_QML % ("", 0, "core.quitApplication()"), 30)
        untouched = lib.state() == whole and signature(mark) == before and os.listdir(outside) == ["keep.txt"]
        rows.append("| %s at the mark's path | reset run ends: %s (%s), next start ends: %s, library and %s "
                    "untouched: %s |" % (kind, "yes" if ended else "NO", said, "yes" if started else "NO",
                                         kind, "yes" if untouched else "NO"))
        if os.path.isdir(mark) and not os.path.islink(mark):
            shutil.rmtree(mark)
        elif os.path.lexists(mark):
            os.remove(mark)
    # Two programs: a reset killed early or late while a second one imports.
    for when, at in (("early", 0.01), ("late", 1.0)):
        kr.restore(saved, root)
        second = Library(root, binary)
        second.env["QUILLORA_DATA_ROOT"] = root + ".second"
        os.makedirs(root + ".second/qml", exist_ok=True)
        with open(root + ".second/qml/harbour-quillora.qml", "w") as f:
            f.write(CASE_QML % ("", 3000, "core.importNovel(%r)" % book))
        b = subprocess.Popen([binary], env=second.env, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
        time.sleep(1.0)
        p, began, _ = lib.reset(delay_ms)
        began.wait(60)
        time.sleep(at)
        kill(p)
        _, err = b.communicate(timeout=120)
        said = outcome(err.decode(errors="replace"))
        lib.settle()
        books, folders, _ = lib.state()
        others = books - (1 if stored(lib, bid) else 0)
        state = "whole" if others == whole[0] else "reset" if others == 0 else "MIXED (%d books)" % others
        second_book = "in the library" if stored(lib, bid) else (
            "LOST" if said == "ok" else "refused: " + said)
        rows.append("| reset killed %s, second program imports | first program's library: %s; second program's "
                    "book: %s |" % (when, state, second_book))
    return rows


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("binaries", nargs="+")
    ap.add_argument("--kills", type=int, default=20)
    ap.add_argument("--books", type=int, default=36, help="plain texts")
    ap.add_argument("--comics", type=int, default=12, help="comic archives, each with its own folder")
    ap.add_argument("--delay", type=int, default=20, help="ms added to every unlink, unlinkat and rmdir")
    ap.add_argument("--seed", type=int, default=1)
    ap.add_argument("--log", default="kill-reset.log")
    ap.add_argument("--cases", type=int, default=0, help="repeats of the import after a reset; runs the cases")
    args = ap.parse_args()
    random.seed(args.seed)
    work = tempfile.mkdtemp(prefix="kill-reset-books-")
    root = os.path.join(work, "library")
    try:
        lib = Library(root, os.path.abspath(args.binaries[-1]))
        lib.import_all(kr.make_small(work, args.books) + make_comics(work, args.comics))
        os.makedirs(os.path.dirname(lib.settings()), exist_ok=True)
        with open(lib.settings(), "w") as f:
            f.write(SETTINGS)
        saved = root + ".saved"
        shutil.copytree(root, saved, symlinks=True)
        with open(args.log, "w") as log:
            for binary in args.binaries:
                counts, took, whole = run_binary(os.path.abspath(binary), saved, root, args.kills,
                                                 args.delay, log)
                print("%s reset %.3f s, %d books, %d entries  " % (binary, took, whole[0],
                                                                  sum(len(f) for f in whole[1].values()))
                      + "  ".join("%s=%d" % kv for kv in counts.items()), flush=True)
                if args.cases:
                    print("\n| %s | |\n|---|---|" % binary)
                    for row in run_cases(os.path.abspath(binary), saved, root, work, args.cases, args.delay):
                        print(row, flush=True)
    finally:
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
