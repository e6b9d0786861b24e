#!/usr/bin/env python3
"""Imports PDF books with the real program, one start per book, and lists
the chapters it stored: "title|first page|last page" (0-based), with the
run's wall and CPU time and peak memory. Several binaries run alternately on the
same books, each on a library of its own, so that their results and
timings can be set side by side.

    tools/pdf-contents.py [--runs N] BIN [BIN ...] [BOOK.pdf ...]

Without books, every PDF of tests/data/pdf but the locked one is imported.
"""
import argparse, glob, importlib.util, os, shutil, sqlite3, tempfile, time

HERE = os.path.dirname(os.path.abspath(__file__))
spec = importlib.util.spec_from_file_location("kill_import", os.path.join(HERE, "kill-import.py"))
ki = importlib.util.module_from_spec(spec)
spec.loader.exec_module(ki)


def chapters(lib, path):
    con = sqlite3.connect(lib.db)
    try:
        rows = con.execute(
            "SELECT c.title, count(p.id), (SELECT image_id FROM unified_paragraph f WHERE f.chapter_id = c.id "
            "AND f.para_index = 0) FROM chapter_info c JOIN unified_paragraph p ON p.chapter_id = c.id "
            "WHERE c.novel_id = ? GROUP BY c.id ORDER BY c.chapter_index", (ki.book_id(path),)).fetchall()
    finally:
        con.close()
    out = []
    for title, pages, image in rows:
        first = int(image.split("page=")[1].split("&")[0])
        out.append("%s|%d|%d" % (title, first, first + pages - 1))
    return out


def run(lib, path):
    """Imports one book; answers the result line, wall and CPU seconds and peak KiB."""
    started = time.monotonic()
    proc = lib.start(path)
    err = proc.stderr.read()
    _, status, usage = os.wait4(proc.pid, 0)
    proc.returncode = status
    result = next((l.split(b"RESULT ", 1)[1].decode() for l in err.splitlines() if b"RESULT " in l), "none")
    return result, time.monotonic() - started, usage.ru_utime + usage.ru_stime, usage.ru_maxrss


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--runs", type=int, default=1)
    ap.add_argument("files", nargs="+", help="binaries, then books")
    args = ap.parse_args()
    args.bins = [f for f in args.files if not f.endswith(".pdf")]
    books = [f for f in args.files if f.endswith(".pdf")] or sorted(p for p in glob.glob(os.path.join(HERE, "..", "tests", "data", "pdf", "*.pdf"))
                                 if not p.endswith("locked.pdf"))
    work = tempfile.mkdtemp(prefix="pdf-contents-")
    try:
        libs = [ki.Library(os.path.join(work, "lib%d" % k), os.path.abspath(b)) for k, b in enumerate(args.bins)]
        times = {b: [] for b in args.bins}
        for book in books:
            path = os.path.join(work, os.path.basename(book))
            shutil.copy(book, path)
            listed = []
            for n in range(args.runs):
                for b, lib in zip(args.bins, libs):
                    result, seconds, cpu, kib = run(lib, path)
                    times[b].append((seconds, cpu, kib))
                    if n == 0:
                        listed.append((b, result, chapters(lib, path)))
            same = all(l[2] == listed[0][2] for l in listed)
            print("== %s%s" % (os.path.basename(book), "" if same else "  (differs)"))
            for b, result, rows in listed:
                print("  %s: %s, %d chapters: %s" % (b, result, len(rows), "; ".join(rows)))
        for b in args.bins:
            wall = sorted(t for t, _, _ in times[b])
            cpu = sorted(c for _, c, _ in times[b])
            print("%s: %d imports, median %.2f s wall, %.2f s CPU, peak %d KiB"
                  % (b, len(wall), wall[len(wall) // 2], cpu[len(cpu) // 2], max(k for _, _, k in times[b])))
    finally:
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
