#!/usr/bin/env python3
"""Kills the real program with SIGKILL at random moments of a large book's
removal from a library of a few hundred books and counts, after the next
start, whether the book is whole (every row and file), wholly gone, or mixed.

    tools/kill-remove.py [--kills N] [--books N] [--formats epub,cbz,...] [--blocked] BIN [BIN ...]

Several binaries run side by side on copies of one library. Books are
generated in a temporary folder (python3, gs, pandoc, 7z). Prints one line
per binary and format with the counts. With --blocked (as root: the library
lives on a tmpfs) each book is also removed once while another connection
holds the write lock past the program's busy timeout and once on a full disk.
"""
import argparse, importlib.util, os, random, shutil, signal, sqlite3, subprocess
import tempfile, threading, time

spec = importlib.util.spec_from_file_location(
    "kill_import", os.path.join(os.path.dirname(os.path.abspath(__file__)), "kill-import.py"))
ki = importlib.util.module_from_spec(spec)
spec.loader.exec_module(ki)

TABLES = ("novel_info", "chapter_info", "read_process_info", "unified_paragraph", "unified_chunk")
FONTS = [f for f in ("/usr/share/fonts/truetype/dejavu/DejaVuSans.ttf",
                     "/usr/share/fonts/truetype/dejavu/DejaVuSerif.ttf") if os.path.exists(f)]
QML = ("import QtQuick 2.6\nimport com.quillora.applicationcore 1.0\nItem {\n id: root\n"
       " property var paths: %s\n property int next: 0\n"
       " function step() { if (next < paths.length) core.importNovel(paths[next++]); else %s }\n"
       " ApplicationCore { id: core\n  onNovelImportSucceeded: root.step()\n"
       "  onNovelImportFailed: { console.warn('IMPORT FAILED ' + message); root.step() }\n }\n"
       " Timer { interval: 0; running: true; onTriggered: root.step() }\n}\n")


def make_books(work):
    """One large book per format, and the pictures they share."""
    imgs = []
    for i in range(60):
        name = "page%d.png" % (i + 1)
        ki.png(os.path.join(work, name), (40, i * 5 % 256, 90), 240, 360)
        imgs.append(name)
    ki.run(["7z", "a", "-tzip", "-mx=0", "book.cbz"] + imgs, cwd=work)
    ki.run(["7z", "a", "-t7z", "-mx=0", "book.cb7"] + imgs, cwd=work)
    md = []
    for c in range(400):
        md.append("# Chapter %d\n" % (c + 1))
        md.extend(["Chapter %d, paragraph %d: the sea rose against the rocks below the lighthouse, "
                   "and the keeper lit the lamp again.\n" % (c, p) for p in range(40)])
        if c < 30:
            md.append("![picture %d](%s)\n" % (c, imgs[c]))
    with open(os.path.join(work, "book.md"), "w") as f:
        f.write("\n".join(md))
    ki.run(["pandoc", "book.md", "-o", "book.epub", "--metadata", "title=Removed EPUB",
            "--epub-cover-image=" + imgs[0]] + ["--epub-embed-font=" + f for f in FONTS], cwd=work)
    ki.run(["pandoc", "book.md", "-t", "fb2", "-o", "book.fb2", "--metadata", "title=Removed FB2"], cwd=work)
    ps = os.path.join(work, "book.ps")
    with open(ps, "w") as f:
        f.write("%!PS\n<< /PageSize [595 842] >> setpagedevice\n")
        f.write("1 1 400 { /i exch def /Helvetica findfont 24 scalefont setfont "
                "72 720 moveto (Removed page) show i 4 string cvs show showpage } for\n")
    ki.run(["gs", "-q", "-sDEVICE=pdfwrite", "-o", os.path.join(work, "book.pdf"), ps])
    return {fmt: os.path.join(work, "book." + fmt) for fmt in ("epub", "cbz", "cb7", "pdf", "fb2")}


def make_small(work, count):
    paths = []
    for i in range(count):
        path = os.path.join(work, "small-%03d.txt" % i)
        with open(path, "w") as f:
            for c in range(8):
                f.write("第%d章 第%d本\n" % (c + 1, i) + ("他走进了那座古老的城堡，四周一片寂静。\n" * 30))
        paths.append(path)
    return paths


class Library(ki.Library):
    def __init__(self, root, binary):
        super().__init__(root, binary)
        # Beside the library: a full disk must not keep the driver from being written.
        self.env["QUILLORA_DATA_ROOT"] = root + ".share"
        os.makedirs(root + ".share/qml", exist_ok=True)

    def launch(self, body):
        with open(self.root + ".share/qml/harbour-quillora.qml", "w") as f:
            f.write(body)
        return subprocess.Popen([self.binary], env=self.env, stdout=subprocess.DEVNULL,
                                stderr=subprocess.PIPE)

    def import_all(self, paths):
        p = self.launch(QML % (repr(paths), "core.quitApplication()"))
        _, err = p.communicate(timeout=1800)
        if b"IMPORT FAILED" in err:
            raise SystemExit("an import failed:\n" + err.decode(errors="replace")[-2000:])

    def settle(self):
        p = self.launch(QML % ("[]", "core.quitApplication()"))
        p.communicate(timeout=300)

    def remove(self, bid, quit_after=0):
        """Starts a removal of the book; returns the process and an event set
        once the removal has been asked for."""
        then = "" if not quit_after else "; quit.start()"
        qml = QML % ("[]", "{ console.warn('REMOVING'); core.removeNovel([core.getNovelInfo(%r)])%s }"
                     % (bid, then))
        qml = qml[:-2] + (" Timer { id: quit; interval: %d; onTriggered: core.quitApplication() }\n}\n"
                          % (quit_after * 1000))
        p = self.launch(qml)
        began = threading.Event()

        def read():
            for line in p.stderr:
                if b"REMOVING" in line:
                    began.set()
        threading.Thread(target=read, daemon=True).start()
        return p, began

    def counts(self, bid):
        con = sqlite3.connect(self.db)
        try:
            total = tuple(con.execute("SELECT COUNT(*) FROM " + t).fetchone()[0] for t in TABLES)
            own = (con.execute("SELECT COUNT(*) FROM novel_info WHERE id=?", (bid,)).fetchone()[0],)
        finally:
            con.close()
        return total, own

    def state(self, bid):
        total, _ = self.counts(bid)
        folder = os.path.join(self.data, bid)
        return total, (self.files(bid) if os.path.exists(folder) else None)


def restore(saved, root):
    """The library as it was built, at the path its rows name."""
    shutil.rmtree(root, ignore_errors=True)   # a mount point itself stays
    shutil.copytree(saved, root, symlinks=True, dirs_exist_ok=True)


def run_format(fmt, bid, saved, root, binary, kills, log):
    restore(saved, root)
    lib = Library(root, binary)
    whole = lib.state(bid)
    book_rows = None
    # A clean removal: how long it takes from its log line to its end.
    p, began = lib.remove(bid)
    began.wait(120)
    t0 = time.monotonic()
    while lib.counts(bid)[1][0] or os.path.exists(os.path.join(lib.data, bid)):
        time.sleep(0.002)
        if time.monotonic() - t0 > 300:
            raise SystemExit("%s: removal did not end" % fmt)
    took = time.monotonic() - t0
    p.send_signal(signal.SIGKILL)
    p.communicate()
    lib.settle()
    gone = lib.state(bid)
    book_rows = tuple(a - b for a, b in zip(whole[0], gone[0]))
    counts = dict(kills=0, late=0, whole=0, gone=0, mixed=0)
    for _ in range(kills):
        restore(saved, root)
        p, began = lib.remove(bid)
        began.wait(120)
        delay = random.uniform(0.0, 1.2 * took)
        time.sleep(delay)
        p.send_signal(signal.SIGKILL)
        p.communicate()
        counts["kills"] += 1
        counts["late"] += delay > took
        lib.settle()
        state = lib.state(bid)
        if state == whole:
            counts["whole"] += 1
        elif state == gone:
            counts["gone"] += 1
        else:
            counts["mixed"] += 1
            rows = tuple(w - s for w, s in zip(whole[0], state[0]))
            files = "no folder" if state[1] is None else "%d of %d entries" % (len(state[1]), len(whole[1] or {}))
            log.write("%s %s MIXED at %.3f of %.3f s: rows gone %s of %s, %s\n"
                      % (binary, fmt, delay, took, dict(zip(TABLES, rows)), dict(zip(TABLES, book_rows)), files))
    return counts, took, book_rows, len(whole[1] or {})


def run_blocked(fmt, bid, saved, root, binary, log):
    """The book's state after a removal whose deletes fail: "lock" with the
    write lock held past the busy timeout, "full" on a full disk."""
    out = {}
    for case in ("lock", "full"):
        restore(saved, root)
        lib = Library(root, binary)
        whole = lib.state(bid)
        holder = filler = None
        if case == "lock":
            holder = sqlite3.connect(lib.db, isolation_level=None)
            holder.execute("BEGIN IMMEDIATE")
        else:
            filler = os.path.join(root, "filler")
            subprocess.run(["dd", "if=/dev/zero", "of=" + filler, "bs=64k"],
                           stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        p, _ = lib.remove(bid, quit_after=40 if case == "lock" else 10)
        exit_code = p.wait(timeout=400)
        if holder:
            holder.execute("ROLLBACK")
            holder.close()
        if filler:
            os.remove(filler)
        lib.settle()
        state = lib.state(bid)
        out[case] = ("whole" if state == whole else
                     "gone" if state[1] is None and lib.counts(bid)[1][0] == 0 and
                     all(a > b for a, b in zip(whole[0], state[0])) else "mixed")
        out[case] += " (exit %d)" % exit_code
        if out[case].startswith("mixed"):
            rows = tuple(w - s for w, s in zip(whole[0], state[0]))
            log.write("%s %s %s MIXED: rows gone %s, folder %s\n" % (binary, fmt, case, dict(zip(TABLES, rows)),
                      "gone" if state[1] is None else "%d entries" % len(state[1])))
    return out


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("binaries", nargs="+")
    ap.add_argument("--kills", type=int, default=17)
    ap.add_argument("--books", type=int, default=300)
    ap.add_argument("--formats", default="epub,cbz,cb7,pdf,fb2")
    ap.add_argument("--seed", type=int, default=1)
    ap.add_argument("--log", default="kill-remove.log")
    ap.add_argument("--blocked", action="store_true")
    args = ap.parse_args()
    random.seed(args.seed)
    work = tempfile.mkdtemp(prefix="kill-remove-books-")
    root = os.path.join(work, "library")
    if args.blocked:
        os.makedirs(root)
        subprocess.run(["mount", "-t", "tmpfs", "-o", "size=1g", "tmpfs", root], check=True)
    try:
        books = make_books(work)
        formats = args.formats.split(",")
        lib = Library(root, os.path.abspath(args.binaries[-1]))
        lib.import_all(make_small(work, args.books) + [books[f] for f in formats])
        con = sqlite3.connect(lib.db)
        for fmt in formats:
            bid = ki.book_id(books[fmt])
            con.execute("INSERT INTO read_process_info (id, novel_id, chapter_index, chapter_id, last_position,"
                        " create_time, update_time) SELECT 'rp-' || ?, ?, 0, id, 0, '', '' FROM chapter_info"
                        " WHERE novel_id = ? LIMIT 1", (bid, bid, bid))
        con.commit()
        print("library: %d books" % con.execute("SELECT COUNT(*) FROM novel_info").fetchone()[0], flush=True)
        con.close()
        saved = root + ".saved"
        shutil.copytree(root, saved, symlinks=True)

        with open(args.log, "w") as log:
            for binary in args.binaries:
                for fmt in formats:
                    counts, took, rows, files = run_format(fmt, ki.book_id(books[fmt]), saved, root,
                                                           os.path.abspath(binary), args.kills, log)
                    print("%s %-4s removal %.3f s, rows %s, %d entries  " % (binary, fmt, took, rows, files)
                          + "  ".join("%s=%d" % kv for kv in counts.items()), flush=True)
                    if args.blocked:
                        blocked = run_blocked(fmt, ki.book_id(books[fmt]), saved, root, os.path.abspath(binary), log)
                        print("%s %-4s held lock: %s, full disk: %s" % (binary, fmt, blocked["lock"], blocked["full"]),
                              flush=True)
    finally:
        if args.blocked:
            subprocess.run(["umount", "-l", root])
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
