#!/usr/bin/env python3
"""Imports an FB2 of many flat sections (350,000 by default, 9.45 MB) into the
real program and prints the outcome, the time to it and to the first page,
CPU seconds and peak RSS (the program's and its helpers').

    tools/flat-fb2.py BIN [--sections N] [--timeout S] [--reference BIN]
"""
import argparse, os, shutil, sys, tempfile

from importlib import util

HERE = os.path.dirname(os.path.abspath(__file__))
spec = util.spec_from_file_location("svgbudget", os.path.join(HERE, "svg-budget.py"))
driver = util.module_from_spec(spec)
spec.loader.exec_module(driver)


def write(path, sections):
    with open(path, "w", encoding="utf-8") as f:
        f.write('<?xml version="1.0" encoding="utf-8"?>\n'
                '<FictionBook xmlns="http://www.gribuser.ru/xml/fictionbook/2.0">'
                '<description><title-info><book-title>Flat</book-title></title-info></description><body>\n')
        for n in range(sections):
            f.write("<section><p>%d</p></section>\n" % n)
        f.write("</body></FictionBook>\n")


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("binary")
    ap.add_argument("--sections", type=int, default=350000)
    ap.add_argument("--timeout", type=int, default=240)
    ap.add_argument("--reference")
    a = ap.parse_args()
    work = tempfile.mkdtemp(prefix="flatfb2-")
    builds = ([("reference", a.reference)] if a.reference else []) + [("this", a.binary)]
    print("| build | sections | bytes | outcome | ms to outcome | ms to first page | CPU s | peak RSS MiB |")
    print("|---|---|---|---|---|---|---|---|")
    for b, (name, binary) in enumerate(builds):
        root = "%s/r%d" % (work, b)
        os.makedirs(root)
        book = root + "/flat.fb2"
        write(book, a.sections)
        r = driver.run(os.path.abspath(binary), root, book, a.timeout, work + "/none/x")
        print("| %s | %d | %d | %s | %s | %s | %s | %s |" % ((name, a.sections, os.path.getsize(book)) + r[:5]),
              flush=True)
    shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
