#!/usr/bin/env python3
"""Starts the real program over PDFs whose fonts name a file outside the
book by a climbing CMap name, in the places and spellings PDF allows
(tests/data/pdf/make-hostile.py writes them): imports the book, then opens
its first page for reading, as tools/svg-budget.py does for its drawings.

    tools/pdf-names.py BIN [--timeout S] [--rows SUBSTRING]

Per row, once with a plain file and once with a FIFO as the named file, in a
fresh HOME/XDG tree: the outcome, ms to it, ms to the first page, peak RSS
and the opens of the outside folder seen by strace; a Markdown table.
"""
import importlib.util, os, shutil, tempfile

HERE = os.path.dirname(os.path.abspath(__file__))


def load(name, path):
    spec = importlib.util.spec_from_file_location(name, os.path.join(HERE, path))
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


hostile = load("hostile", "../tests/data/pdf/make-hostile.py")
driver = load("svgbudget", "svg-budget.py")


def main():
    a = driver.arguments(20)
    work = tempfile.mkdtemp(prefix="pdfnames-")
    outside = work + "/outside"
    os.makedirs(outside)
    with open(outside + "/secret", "w") as f:
        f.write("secret\n")
    os.mkfifo(outside + "/fifo")
    print("| place | named file | outcome | ms to outcome | ms to first page | CPU s | peak RSS MiB | outside opens |")
    print("|---|---|---|---|---|---|---|---|")
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
            r = driver.run(os.path.abspath(a.binary), root, path, a.timeout, outside + "/" + target)[:6]
            print("| %s | %s | %s | %s | %s | %s | %s | %d |" % ((place, target) + r), flush=True)
    shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
