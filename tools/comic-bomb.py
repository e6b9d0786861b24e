#!/usr/bin/env python3
"""Imports comic archives that declare far more than they hold into the real
program and measures what each import leaves in the data folder.

    tools/comic-bomb.py BIN [BIN ...]

Cases: a tar of 40 sparse 50 MB entries (GNU tar --sparse; a small picture
and a hole each), and a CBZ with a 1 GB page (deflated zeros) between two
real pages. For each binary prints the import's answer, its time, the disk
use of the data folder (du) and, for the CBZ, whether the reader is told on
the page that one was left out.
"""
import importlib.util, os, shutil, sqlite3, subprocess, sys, tempfile, time, zipfile

spec = importlib.util.spec_from_file_location(
    "kill_import", os.path.join(os.path.dirname(os.path.abspath(__file__)), "kill-import.py"))
ki = importlib.util.module_from_spec(spec)
spec.loader.exec_module(ki)


def sparse_tar(work):
    folder = os.path.join(work, "sparse")
    os.makedirs(folder)
    names = []
    for i in range(40):
        name = "p%02d.png" % i
        ki.png(os.path.join(folder, name), (i * 6, 90, 160), 64, 96)
        with open(os.path.join(folder, name), "r+b") as f:
            f.truncate(50 * 1024 * 1024)
        names.append(name)
    path = os.path.join(work, "sparse.cbt")
    subprocess.check_call(["tar", "--sparse", "-cf", path, "-C", folder] + names)
    return path


def big_page_cbz(work):
    path = os.path.join(work, "bigpage.cbz")
    page = os.path.join(work, "page.png")
    with zipfile.ZipFile(path, "w", zipfile.ZIP_DEFLATED, compresslevel=1) as z:
        ki.png(page, (200, 40, 40), 240, 360)
        z.write(page, "p1.png")
        with z.open("p2.png", "w", force_zip64=True) as entry:
            block = bytes(1 << 20)
            for _ in range(1024):
                entry.write(block)
        z.write(page, "p3.png")
    return path


def du_kib(path):
    if not os.path.exists(path):
        return 0
    return int(subprocess.check_output(["du", "-sk", path]).split()[0])


def main():
    binaries = [os.path.abspath(b) for b in sys.argv[1:]] or [os.path.abspath("build/app/harbour-quillora")]
    work = tempfile.mkdtemp(prefix="comic-bomb-")
    try:
        books = [sparse_tar(work), big_page_cbz(work)]
        print("| archive | size | build | answer | seconds | data folder (du) | page says it was left out |")
        print("|---|---|---|---|---|---|---|")
        for book in books:
            for binary in binaries:
                root = os.path.join(work, "lib")
                shutil.rmtree(root, ignore_errors=True)
                lib = ki.Library(root, binary)
                t0 = time.monotonic()
                p = lib.start(book)
                _, err = p.communicate(timeout=600)
                took = time.monotonic() - t0
                answer = next((l.split("RESULT ", 1)[1] for l in err.decode(errors="replace").splitlines()
                               if "RESULT " in l), "no answer")
                told = "-"
                if book.endswith(".cbz") and os.path.exists(lib.db):
                    con = sqlite3.connect(lib.db)
                    told = "yes" if con.execute("SELECT COUNT(*) FROM unified_chunk WHERE text LIKE '%p2.png%'"
                                                ).fetchone()[0] else "no"
                    con.close()
                print("| %s | %d KiB | %s | %s | %.1f | %d KiB | %s |" % (
                    os.path.basename(book), os.path.getsize(book) // 1024, binary, answer.strip(), took,
                    du_kib(lib.data), told), flush=True)
    finally:
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
