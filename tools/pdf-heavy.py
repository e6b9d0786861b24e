#!/usr/bin/env python3
"""Starts the real program over PDFs that cost poppler far more than their
size (tests/data/pdf/make-heavy.py writes them) and over the PDF whose
table poppler rebuilds while a reader uses it as written: imports the book,
then opens its first page for reading, as tools/pdf-names.py does.

    tools/pdf-heavy.py BIN [--reference REF_BIN] [--timeout S] [--rows SUBSTRING]

Per row, in a fresh HOME/XDG tree: the outcome, ms to it, ms to the first
page, CPU seconds (the program's and its helpers'), peak RSS (of the
largest process), the opens of the outside folder seen by strace and whether
a cover was saved; a Markdown table. With a reference build, each row is run
with it first, then with BIN.
"""
import os, shutil, sys, tempfile

from importlib import util

HERE = os.path.dirname(os.path.abspath(__file__))


def load(name, path):
    spec = util.spec_from_file_location(name, os.path.join(HERE, path))
    module = util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


heavy = load("heavy", "../tests/data/pdf/make-heavy.py")
hostile = load("hostile", "../tests/data/pdf/make-hostile.py")
driver = load("svgbudget", "svg-budget.py")
REBUILT = "table rebuilt by a reference past /Size, font as written"


def main():
    reference = None
    if "--reference" in sys.argv:
        at = sys.argv.index("--reference")
        reference = sys.argv[at + 1]
        del sys.argv[at:at + 2]
    a = driver.arguments(30)
    builds = ([("reference", reference)] if reference else []) + [("this", a.binary)]
    work = tempfile.mkdtemp(prefix="pdfheavy-")
    outside = work + "/outside"
    os.makedirs(outside)
    os.mkfifo(outside + "/fifo")
    print("| PDF | build | bytes | outcome | ms to outcome | ms to first page | CPU s | peak RSS MiB | outside opens | cover |")
    print("|---|---|---|---|---|---|---|---|---|---|")
    for n, kind in enumerate(list(heavy.KINDS) + [REBUILT + ", FIFO"]):
        if a.rows not in kind:
            continue
        for b, (name, binary) in enumerate(builds):
            root = "%s/r%d-%d" % (work, n, b)
            os.makedirs(root)
            path = root + "/book.pdf"
            if kind.startswith(REBUILT):
                hostile.write(path, REBUILT, outside + "/fifo")
            else:
                heavy.write(path, kind)
            r = driver.run(os.path.abspath(binary), root, path, a.timeout, outside + "/fifo")
            cover = "yes" if any("cover.jpg" in files for _, _, files in os.walk(root + "/data")) else "no"
            print("| %s | %s | %d | %s | %s | %s | %s | %s | %d | %s |"
                  % ((kind, name, os.path.getsize(path)) + r[:6] + (cover,)), flush=True)
    shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
