#!/usr/bin/env python3
"""Kills the real program with SIGKILL at random moments of re-imports and
checks, after the next start, that the book's rows and files are one whole
edition (the old or the new one) and that nothing an import left remains.

    tools/kill-import.py [--kills N] [--fresh N] [--formats pdf,cbz,...] [BIN]

Books are generated in a temporary folder (python3, gs, pandoc, calibre's
ebook-convert, 7z, bsdtar). Prints one line per format with the counts.
"""
import argparse, hashlib, os, random, re, shutil, signal, sqlite3, struct
import subprocess, sys, tempfile, time, zlib

LEFTOVER = re.compile(r"(^\.import|\.importing$|\.previous$|^images\.backup$|"
                      r"^archive-import\.|^images-.*\.old$)")
UUID = re.compile(r"[0-9a-f]{8}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{12}")


def png(path, rgb, w, h):
    def chunk(kind, body):
        return struct.pack(">I", len(body)) + kind + body + struct.pack(">I", zlib.crc32(kind + body))
    rnd = random.Random(hash(rgb))
    rows = b"".join(b"\0" + bytes(rnd.getrandbits(8) for _ in range(w * 3)) for _ in range(h // 8)) * 8
    with open(path, "wb") as f:
        f.write(b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", struct.pack(">IIBBBBB", w, h, 8, 2, 0, 0, 0))
                + chunk(b"IDAT", zlib.compress(rows, 1)) + chunk(b"IEND", b""))


def run(cmd, **kw):
    subprocess.run(cmd, check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, **kw)


def make_books(work):
    """Two editions of every format, with different files."""
    books = {}
    for ed, (pages, chapters, tint) in {"a": (48, 30, 40), "b": (32, 45, 200)}.items():
        d = os.path.join(work, ed)
        os.makedirs(d)
        imgs = []
        for i in range(pages):
            name = "page%d.png" % (i + 1)
            png(os.path.join(d, name), (tint, i * 5 % 256, 90), 600, 880)
            imgs.append(name)
        # Comic archives.
        run(["7z", "a", "-tzip", "-mx=0", "book.cbz"] + imgs, cwd=d)
        run(["7z", "a", "-t7z", "-mx=0", "book.cb7"] + imgs, cwd=d)
        run(["bsdtar", "-cf", "book.cbt"] + imgs, cwd=d)
        # Text, with pictures for the formats that carry them.
        md = []
        for c in range(chapters):
            md.append("# Chapter %d (%s)\n" % (c + 1, ed))
            md.extend(["Edition %s, chapter %d, paragraph %d: the sea rose against the rocks "
                       "below the lighthouse, and the keeper lit the lamp again.\n" % (ed, c, p)
                       for p in range(60)])
            if c < (4 if ed == "a" else 2):
                md.append("![picture %d](%s)\n" % (c, imgs[c]))
        with open(os.path.join(d, "book.md"), "w") as f:
            f.write("\n".join(md))
        cover = ["--epub-cover-image=" + imgs[0]] if ed == "a" else []
        run(["pandoc", "book.md", "-o", "book.epub", "--metadata", "title=Kill " + ed] + cover, cwd=d)
        run(["pandoc", "book.md", "-t", "fb2", "-o", "book.fb2", "--metadata", "title=Kill " + ed], cwd=d)
        run(["ebook-convert", "book.epub", "book.mobi", "--mobi-file-type=old"], cwd=d)
        run(["ebook-convert", "book.epub", "book.azw3"], cwd=d)
        with open(os.path.join(d, "book.txt"), "w") as f:
            for c in range(chapters * 20):
                f.write("第%d章 %s\n" % (c + 1, ed) + ("他走进了那座古老的城堡，四周一片寂静。\n" * 80))
        ps = os.path.join(d, "book.ps")
        with open(ps, "w") as f:
            f.write("%!PS\n<< /PageSize [595 842] >> setpagedevice\n")
            f.write("1 1 %d { /i exch def /Helvetica findfont 24 scalefont setfont "
                    "72 720 moveto (Edition %s page) show i 4 string cvs show showpage } for\n"
                    % (pages * 3, ed))
            f.write("[ /Title (Part one) /Page 1 /OUT pdfmark\n")
        run(["gs", "-q", "-sDEVICE=pdfwrite", "-o", os.path.join(d, "book.pdf"), ps])
        for fmt in ("cbz", "cb7", "cbt", "epub", "fb2", "mobi", "azw3", "txt", "pdf"):
            books.setdefault(fmt, {})[ed] = os.path.join(d, "book." + fmt)
    return books


class Library:
    def __init__(self, root, binary):
        self.root, self.binary = root, binary
        self.env = dict(os.environ, XDG_CONFIG_HOME=root + "/config", XDG_DATA_HOME=root + "/data",
                        QUILLORA_DATA_ROOT=root + "/share", QT_QPA_PLATFORM="offscreen",
                        QT_QUICK_BACKEND="software", LANG="C.UTF-8")
        os.makedirs(root + "/share/qml", exist_ok=True)
        self.data = root + "/data/com.tivex/harbour-Quillora"
        self.db = root + "/config/com.tivex/harbour-Quillora/db/novel_info.db"

    def start(self, path=None):
        body = ("Timer { interval: 0; running: true; onTriggered: core.importNovel(%s) }" % repr(path)
                if path else "Timer { interval: 0; running: true; onTriggered: core.quitApplication() }")
        with open(self.root + "/share/qml/harbour-quillora.qml", "w") as f:
            f.write("import QtQuick 2.6\nimport com.quillora.applicationcore 1.0\nItem {\n"
                    " ApplicationCore { id: core\n"
                    "  onNovelImportSucceeded: { console.warn('RESULT ok'); core.quitApplication() }\n"
                    "  onNovelImportFailed: { console.warn('RESULT ' + message); core.quitApplication() }\n"
                    " }\n %s\n}\n" % body)
        return subprocess.Popen([self.binary], env=self.env, stdout=subprocess.DEVNULL,
                                stderr=subprocess.PIPE)

    def finish(self, path=None, timeout=300):
        p = self.start(path)
        _, err = p.communicate(timeout=timeout)
        return b"RESULT ok" in err

    def rows(self, book_id):
        con = sqlite3.connect(self.db)
        try:
            sig = [con.execute("PRAGMA integrity_check").fetchone()[0]]
            sig += [con.execute("SELECT title, chapters_count, total_glyphs, total_progress, file_size, "
                                "cover_path, data_dir FROM novel_info WHERE id=?", (book_id,)).fetchall()]
            sig += [con.execute("SELECT title, path, glyph_count FROM chapter_info WHERE novel_id=? "
                                "ORDER BY chapter_index", (book_id,)).fetchall()]
            sig += [con.execute("SELECT COUNT(*), group_concat(image_id) FROM unified_paragraph "
                                "WHERE novel_id=? AND image_id <> ''", (book_id,)).fetchall()]
            sig += [con.execute("SELECT COUNT(*) FROM unified_paragraph WHERE novel_id=?",
                                (book_id,)).fetchall()]
        finally:
            con.close()
        return UUID.sub("U", repr(sig))

    def files(self, book_id):
        folder, out = os.path.join(self.data, book_id), {}
        for base, dirs, names in os.walk(folder):
            for name in dirs + names:
                full = os.path.join(base, name)
                rel = UUID.sub("U", os.path.relpath(full, folder))
                if os.path.isdir(full) and not os.path.islink(full):
                    out[rel + "/"] = ""
                else:
                    with open(full, "rb") as f:
                        out[rel] = UUID.sub("U", hashlib.sha1(f.read()).hexdigest())
        return out

    def leftovers(self, keep):
        found = []
        for name in os.listdir(self.data) if os.path.isdir(self.data) else []:
            full = os.path.join(self.data, name)
            if name not in keep and name != "font":
                found.append(name)
                continue
            for base, dirs, names in os.walk(full):
                found += [os.path.join(base, n) for n in dirs + names if LEFTOVER.search(n)]
        return found


def book_id(path):
    return hashlib.md5(path.encode()).hexdigest()


def run_format(fmt, editions, binary, kills, fresh, log, start=0.0):
    root = tempfile.mkdtemp(prefix="kill-%s-" % fmt)
    lib = Library(root, binary)
    path = os.path.join(root, "library-book." + fmt)
    bid = book_id(path)
    ref, took = {}, {}
    for ed in ("a", "b", "a", "b"):
        shutil.copyfile(editions[ed], path)
        t0 = time.monotonic()
        if not lib.finish(path):
            raise SystemExit("%s: clean import of edition %s failed" % (fmt, ed))
        took[ed] = time.monotonic() - t0
        snap = (lib.rows(bid), lib.files(bid))
        if ed in ref and ref[ed] != snap:
            log.write("%s: edition %s is not reproducible\n" % (fmt, ed))
        ref[ed] = snap
    counts = dict(kills=0, finished=0, old=0, new=0, mix=0, leftovers=0, fresh_kills=0,
                  fresh_gone=0, fresh_whole=0, fresh_bad=0)
    current = "b"
    for _ in range(kills):
        target = "a" if current == "b" else "b"
        shutil.copyfile(editions[target], path)
        p = lib.start(path)
        time.sleep(random.uniform(start * took[target], 1.2 * took[target]))
        if p.poll() is None:
            p.send_signal(signal.SIGKILL)
            counts["kills"] += 1
        else:
            counts["finished"] += 1
        p.communicate()
        lib.finish()   # the next start settles
        state = (lib.rows(bid), lib.files(bid))
        if state == ref[current]:
            counts["old"] += 1
        elif state == ref[target]:
            counts["new"] += 1
            current = target
        else:
            counts["mix"] += 1
            log.write("%s MIX after kill:\n rows %s\n files %s\n" % (fmt, state[0], sorted(state[1].items())))
            for ed in ("a", "b"):
                log.write(" edition %s:\n rows %s\n files %s\n" % (ed, ref[ed][0], sorted(ref[ed][1].items())))
        left = lib.leftovers({bid})
        counts["leftovers"] += len(left)
        if left:
            log.write("%s leftovers: %s\n" % (fmt, left))
    for i in range(fresh):
        fresh_path = os.path.join(root, "fresh-%d.%s" % (i, fmt))
        shutil.copyfile(editions["a"], fresh_path)
        fid = book_id(fresh_path)
        p = lib.start(fresh_path)
        time.sleep(random.uniform(0.0, 1.2 * took["a"]))
        if p.poll() is None:
            p.send_signal(signal.SIGKILL)
            counts["fresh_kills"] += 1
        p.communicate()
        lib.finish()
        rows, files = lib.rows(fid), lib.files(fid)
        if "[], [], [(0, None)], [(0,)]" in rows and not os.path.exists(os.path.join(lib.data, fid)):
            counts["fresh_gone"] += 1
        elif sorted(files) == sorted(ref["a"][1]) and rows.count("[]") == 0:
            counts["fresh_whole"] += 1
        else:
            counts["fresh_bad"] += 1
            log.write("%s fresh import left %s / %s\n" % (fmt, rows, sorted(files)))
    counts["leftovers"] += len(lib.leftovers({bid} | {book_id(os.path.join(root, "fresh-%d.%s" % (i, fmt)))
                                                      for i in range(fresh)}))
    shutil.rmtree(root, ignore_errors=True)
    return counts, took


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("binary", nargs="?", default="build/app/harbour-quillora")
    ap.add_argument("--kills", type=int, default=25)
    ap.add_argument("--fresh", type=int, default=5)
    ap.add_argument("--formats", default="pdf,cbz,cb7,cbt,epub,fb2,mobi,azw3,txt")
    ap.add_argument("--seed", type=int, default=1)
    ap.add_argument("--from", dest="start", type=float, default=0.0,
                    help="earliest kill, as a share of a clean import's time")
    ap.add_argument("--log", default="kill-import.log")
    args = ap.parse_args()
    random.seed(args.seed)
    binary = os.path.abspath(args.binary)
    work = tempfile.mkdtemp(prefix="kill-books-")
    try:
        books = make_books(work)
        with open(args.log, "w") as log:
            for fmt in args.formats.split(","):
                counts, took = run_format(fmt, books[fmt], binary, args.kills, args.fresh, log, args.start)
                print("%-5s import %.2f/%.2f s  " % (fmt, took["a"], took["b"])
                      + "  ".join("%s=%d" % kv for kv in counts.items()), flush=True)
    finally:
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
