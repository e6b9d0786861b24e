#!/usr/bin/env python3
"""Imports damaged books into the real program and prints the message each
one is refused with, beside a reference build's when given.

    tools/damaged-messages.py BIN [--reference BIN]

The books are cut from tests/data: a MOBI, a CBT, a CBZ named .epub, an
EPUB and a PDF, each kept to half its bytes.
"""
import argparse, os, shutil, subprocess, tempfile

import toolbooks

HERE = os.path.dirname(os.path.abspath(__file__))
DATA = os.path.join(HERE, "..", "tests", "data")
CASES = [("cut.mobi", "mobi/mobi6.mobi"), ("cut.cbt", "comic/normalisation.cbt"),
         ("cut-comic.epub", "comic/zip-tool.cbz"), ("cut.epub", "epub/calibre.epub"),
         ("cut.pdf", "pdf/outline.pdf")]

QML = """import QtQuick 2.6
import com.quillora.applicationcore 1.0
Item {
 ApplicationCore { id: core
  onNovelImportSucceeded: { console.warn('MESSAGE imported'); core.quitApplication() }
  onNovelImportFailed: { console.warn('MESSAGE ' + arguments[arguments.length - 1]); core.quitApplication() }
 }
 Timer { interval: 0; running: true; onTriggered: core.importNovel(%(path)r) }
}
"""


def message(binary, root, book):
    env = toolbooks.program_root(root, QML % {"path": book})
    p = subprocess.run(["timeout", "-s", "KILL", "60", binary], env=env, stdout=subprocess.DEVNULL,
                       stderr=subprocess.PIPE)
    for line in p.stderr.decode(errors="replace").splitlines():
        if "MESSAGE " in line:
            return line.split("MESSAGE ", 1)[1]
    return "no answer (exit %d)" % p.returncode


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("binary")
    ap.add_argument("--reference")
    a = ap.parse_args()
    builds = ([("reference", a.reference)] if a.reference else []) + [("this", a.binary)]
    work = tempfile.mkdtemp(prefix="damaged-")
    print("| book | " + " | ".join(name for name, _ in builds) + " |")
    print("|---" * (len(builds) + 1) + "|")
    for n, (name, source) in enumerate(CASES):
        with open(os.path.join(DATA, source), "rb") as f:
            data = f.read()
        said = []
        for b, (_, binary) in enumerate(builds):
            root = "%s/r%d-%d" % (work, n, b)
            os.makedirs(root)
            book = os.path.join(root, name)
            with open(book, "wb") as f:
                f.write(data[:len(data) // 2])
            said.append(message(os.path.abspath(binary), root, book))
        print("| %s | %s |" % (name, " | ".join(said)), flush=True)
    shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
