#!/usr/bin/env python3
"""Starts the real program over libraries with hostile leftovers and damaged
databases and checks that the start ends, keeps every book folder and leaves
a folder outside the data location untouched.

    tools/hostile-settle.py [--rows N] [--timeout S] [BIN]

Each case runs in a fresh temporary HOME/XDG tree over two test books and
N stored rows with folders; prints a Markdown table. In the torn-index case
a committed edition is still staged: "book files unchanged" then asks
whether the book's files are that edition's.
"""
import argparse, hashlib, os, random, shutil, sqlite3, subprocess, sys, tempfile

QML = ("import QtQuick 2.6\nimport com.quillora.applicationcore 1.0\nItem {\n"
       " ApplicationCore { id: core\n"
       "  onNovelImportSucceeded: { console.warn('RESULT ok'); core.quitApplication() }\n"
       "  onNovelImportFailed: { console.warn('RESULT ' + message); core.quitApplication() }\n }\n"
       " Timer { interval: 0; running: true; onTriggered: %s }\n}\n")


class Library:
    def __init__(self, root, binary):
        self.root, self.binary = root, binary
        self.env = dict(os.environ, HOME=root + "/home", XDG_CONFIG_HOME=root + "/config",
                        XDG_DATA_HOME=root + "/data", XDG_CACHE_HOME=root + "/cache",
                        QUILLORA_DATA_ROOT=root + "/share", QT_QPA_PLATFORM="offscreen",
                        QT_QUICK_BACKEND="software", LANG="C.UTF-8")
        for d in ("home", "share/qml", "cache"):
            os.makedirs(os.path.join(root, d), exist_ok=True)
        self.data = root + "/data/com.tivex/harbour-Quillora"
        self.db = root + "/config/com.tivex/harbour-Quillora/db/novel_info.db"

    def run(self, path=None, timeout=60):
        """(ended, exit status, stderr) of one start that imports path or quits."""
        action = "core.importNovel(%r)" % path if path else "core.quitApplication()"
        with open(self.root + "/share/qml/harbour-quillora.qml", "w") as f:
            f.write(QML % action)
        p = subprocess.Popen([self.binary], env=self.env, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
        try:
            _, err = p.communicate(timeout=timeout)
            return True, p.returncode, err.decode(errors="replace")
        except subprocess.TimeoutExpired:
            p.kill()
            p.communicate()
            return False, None, ""


def book_id(path):
    return hashlib.md5(path.encode()).hexdigest()


def tree(path):
    """Relative path -> content hash (or link target) of everything below path, links not followed."""
    out = {}
    for base, dirs, names in os.walk(path):
        for name in dirs + names:
            full = os.path.join(base, name)
            rel = os.path.relpath(full, path)
            if os.path.islink(full):
                out[rel] = "-> " + os.readlink(full)
            elif os.path.isdir(full):
                out[rel + "/"] = ""
            elif os.path.isfile(full):
                with open(full, "rb") as f:
                    out[rel] = hashlib.sha1(f.read()).hexdigest()
            else:
                out[rel] = "special"
    return out


def book_files(lib, bid):
    return {k: v for k, v in tree(os.path.join(lib.data, bid)).items() if not k.startswith(".")}


def make_books(work):
    """Two of the test books, copied: an EPUB and a comic archive."""
    data = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "data")
    books = []
    for rel, name in (("epub/pandoc-epub3.epub", "a.epub"), ("comic/zip-tool.cbz", "b.cbz")):
        shutil.copyfile(os.path.join(data, rel), os.path.join(work, name))
        books.append(os.path.join(work, name))
    return books


def leaves(db, name):
    con = sqlite3.connect(db)
    try:
        size = con.execute("PRAGMA page_size").fetchone()[0]
        return size, [r[0] for r in con.execute(
            "SELECT pageno FROM dbstat WHERE name=? AND pagetype='leaf' ORDER BY pageno", (name,))]
    finally:
        con.close()


def write_page(db, pageno, size, data):
    with open(db, "r+b") as f:
        f.seek((pageno - 1) * size)
        f.write(data)


def damage(lib, kind):
    if kind == "zero bytes":
        open(lib.db, "wb").close()
    elif kind == "zeroed table leaf":
        size, pages = leaves(lib.db, "novel_info")
        write_page(lib.db, pages[len(pages) // 2], size, bytes(size))
    elif kind == "index leaf overwritten":
        size, pages = leaves(lib.db, "sqlite_autoindex_novel_info_1")
        with open(lib.db, "rb") as f:
            f.seek((pages[-1] - 1) * size)
            write_page(lib.db, pages[0], size, f.read(size))
    elif kind == "garbage pages":
        size, pages = leaves(lib.db, "novel_info")
        rnd = random.Random(3)
        for p in pages[1::3]:
            write_page(lib.db, p, size, bytes(rnd.getrandbits(8) for _ in range(size)))
    elif kind == "database is a folder":
        os.remove(lib.db)
        os.makedirs(lib.db)


def tear_paragraph_index(lib, bid):
    """A committed edition of book bid still staged, and the leaf of the paragraph id index that
    names it overwritten by another leaf. Returns the staged edition's files."""
    d = os.path.join(lib.data, bid)
    con = sqlite3.connect(lib.db)
    con.executemany("INSERT INTO unified_paragraph (id, novel_id, chapter_id, para_index) VALUES (?, ?, 'c', ?)",
                    [("%08d-0000-4000-8000-%012d" % (random.randrange(10 ** 8), i), bid, i) for i in range(400)])
    con.commit()
    token = con.execute("SELECT id FROM unified_paragraph WHERE novel_id=? ORDER BY rowid DESC LIMIT 1",
                        (bid,)).fetchone()[0]
    con.close()
    stage = os.path.join(d, ".import-staging")
    os.makedirs(stage)
    with open(os.path.join(stage, "book.cbz"), "w") as f:
        f.write("new edition")
    with open(os.path.join(stage, ".import-edition"), "w") as f:
        f.write(token + "\nbook.cbz\n")
    size, pages = leaves(lib.db, "sqlite_autoindex_unified_paragraph_1")
    with open(lib.db, "rb") as f:
        def page(p):
            f.seek((p - 1) * size)
            return f.read(size)
        torn = next(p for p in pages if token.encode() in page(p))
        other = page(pages[0] if torn != pages[0] else pages[-1])
    write_page(lib.db, torn, size, other)
    return {"book.cbz": hashlib.sha1(b"new edition").hexdigest()}


def hostile(lib, kind, a, other, outside):
    """Leaves kind in book a's folder (or a new orphan folder); returns the orphan's id or None."""
    d = os.path.join(lib.data, a)
    stage, orphan = os.path.join(d, ".import-staging"), book_id("orphan")
    od = os.path.join(lib.data, orphan)

    def marker(first, names):
        with open(os.path.join(stage, ".import-edition"), "w") as f:
            f.write(first + "\n" + "".join(n + "\n" for n in names))

    con = sqlite3.connect(lib.db)
    token = con.execute("SELECT id FROM unified_paragraph WHERE novel_id=? ORDER BY rowid DESC LIMIT 1",
                        (a,)).fetchone()[0]
    other_token = con.execute("SELECT id FROM unified_paragraph WHERE novel_id=? LIMIT 1", (other,)).fetchone()[0]
    con.close()
    names = [n for n in os.listdir(d) if not n.startswith(".")]
    if kind.startswith(".import-old link"):
        shutil.copytree(d, stage, symlinks=True)
        if "with marker" in kind:
            marker(token, names)
        os.symlink(outside, os.path.join(d, ".import-old"))
    elif kind == "orphan: stage + .import-old link":
        os.makedirs(os.path.join(od, ".import-staging"))
        open(os.path.join(od, ".import.lock"), "w").close()
        os.symlink(outside, os.path.join(od, ".import-old"))
    elif kind == "FIFO lock":
        os.mkfifo(os.path.join(d, ".import.lock"))
    elif kind == "FIFO archive lock":
        os.mkfifo(os.path.join(d, "archive-import.lock"))
    elif kind == "folder lock":
        os.makedirs(os.path.join(d, ".import.lock"))
    elif kind == "file named .previous":
        open(os.path.join(d, ".previous"), "w").close()
    elif kind == "link in staging":
        shutil.copytree(d, stage, symlinks=True)
        marker(token, names + ["fonts"])
        os.symlink(outside, os.path.join(stage, "fonts"))
        os.remove(os.path.join(stage, names[0]))
        os.symlink(os.path.join(outside, "keep.txt"), os.path.join(stage, names[0]))
    elif kind.endswith("at the reset mark"):
        mark = os.path.join(lib.root, "config/com.tivex/harbour-Quillora.reset")
        if kind.startswith("FIFO"):
            os.mkfifo(mark)
        elif kind.startswith("folder"):
            shutil.copytree(outside, mark)
        else:
            os.symlink(outside, mark)
    elif kind == "link as book folder":
        os.symlink(outside, od)
    elif kind == "link as .import-staging":
        os.symlink(outside, stage)
    elif kind.startswith("marker naming"):
        os.makedirs(stage)
        open(os.path.join(stage, "x"), "w").close()
        target = {"..": "..", "absolute": outside}.get(kind.split()[-1])
        marker(other_token if target is None else token, names if target is None else [target])
    elif kind.startswith("removal marker"):
        os.makedirs(od)
        with open(os.path.join(od, "book.epub"), "w") as f:
            f.write("only copy")
        owner = {"itself": orphan, "another book": other, "..": "../" + other}[kind.split(" naming ")[1]]
        with open(os.path.join(od, ".import-removed"), "w") as f:
            f.write(owner + "\n")
    return orphan


DAMAGES = ["zero bytes", "zeroed table leaf", "index leaf overwritten", "garbage pages", "database is a folder"]
TORN = "paragraph index leaf overwritten, committed edition staged"
HOSTILE = [".import-old link with marker", ".import-old link without marker", "orphan: stage + .import-old link",
           "FIFO lock", "FIFO archive lock", "folder lock", "file named .previous", "link in staging",
           "link as book folder", "link as .import-staging", "marker naming ..", "marker naming absolute",
           "marker naming another book", "removal marker naming itself", "removal marker naming another book",
           "removal marker naming ..", "FIFO at the reset mark", "folder at the reset mark",
           "link at the reset mark"]


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("binary", nargs="?", default="build/app/harbour-quillora")
    ap.add_argument("--rows", type=int, default=400)
    ap.add_argument("--timeout", type=int, default=60)
    args = ap.parse_args()
    binary = os.path.abspath(args.binary)
    work = tempfile.mkdtemp(prefix="hostile-settle-")
    try:
        books = make_books(work)
        template = Library(work + "/template", binary)
        ids = []
        for path in books:
            ended, _, err = template.run(path)
            if not ended or "RESULT ok" not in err:
                sys.exit("import of %s failed: %s" % (path, err[-500:]))
            ids.append(book_id(path))
        con = sqlite3.connect(template.db)
        for i in range(args.rows):
            bid = book_id("row %d" % i)
            folder = os.path.join(template.data, bid)
            con.execute("INSERT INTO novel_info (id, title, description, file_type, data_dir) "
                        "VALUES (?, ?, ?, 'PDF', ?)", (bid, "Row %d" % i, "x" * 200, folder + "/"))
            os.makedirs(folder)
            with open(os.path.join(folder, "book.pdf"), "w") as f:
                f.write(bid)
        con.commit()
        con.close()
        print("| case | start ends | exit | book folders kept | orphan folder | sentinel unchanged "
              "| book files unchanged | left in the book's folder | log |")
        print("|---|---|---|---|---|---|---|---|---|")
        for case in DAMAGES + [TORN] + HOSTILE:
            root = os.path.join(work, "case")
            shutil.rmtree(root, ignore_errors=True)
            shutil.copytree(template.root, root, symlinks=True)
            lib = Library(root, binary)
            outside = os.path.join(root, "outside")
            os.makedirs(os.path.join(outside, "sub"))
            for rel, text in (("keep.txt", "sentinel"), ("sub/page.png", "page")):
                with open(os.path.join(outside, rel), "w") as f:
                    f.write(text)
            folders = sorted(n for n in os.listdir(lib.data) if len(n) == 32)
            before = {b: book_files(lib, b) for b in ids}
            sentinel = tree(outside)
            orphan = None
            if case == TORN:   # the book's files are to be the staged edition's
                before[ids[1]] = tear_paragraph_index(lib, ids[1])
            elif case in DAMAGES:
                damage(lib, case)
            else:
                orphan = hostile(lib, case, ids[1], ids[0], outside)
            ended, status, err = lib.run(timeout=args.timeout)
            kept = sum(1 for n in folders if os.path.isdir(os.path.join(lib.data, n))
                       and not os.path.islink(os.path.join(lib.data, n)))
            orphan_state = "-"
            if orphan and os.path.lexists(os.path.join(lib.data, orphan)):
                orphan_state = "kept"
            elif orphan:
                orphan_state = "removed" if case.startswith(("orphan", "removal")) else "none made"
            same = all(book_files(lib, b) == before[b] for b in ids)
            left = sorted(n for n in (os.listdir(os.path.join(lib.data, ids[1]))
                                      if os.path.isdir(os.path.join(lib.data, ids[1])) else [])
                          if n.startswith((".", "archive-import")))
            logged = [word for word, text in (("critical", "不整理任何书籍目录"), ("kept", "保留"),
                                              ("skipped", "跳过")) if text in err]
            print("| %s | %s | %s | %d of %d | %s | %s | %s | %s | %s |" % (
                case, "yes" if ended else "NO (killed after %d s)" % args.timeout, status, kept, len(folders),
                orphan_state, "yes" if tree(outside) == sentinel else "NO", "yes" if same else "NO",
                " ".join(left) or "none", ", ".join(logged) or "-"), flush=True)
    finally:
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
