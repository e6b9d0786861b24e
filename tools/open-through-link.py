#!/usr/bin/env python3
"""Starts the real program in a folder holding a link, with the argument
"link/../book.txt", lets it import what it was handed and prints which of two
book.txt files it imported: the one beside the link's target (the file the
shell opens for that path) or the one beside the link.

    tools/open-through-link.py [BIN]
"""
import os, shutil, sqlite3, subprocess, sys, tempfile

QML = ("import QtQuick 2.6\nimport com.quillora.applicationcore 1.0\nItem {\n"
       " ApplicationCore { id: core\n"
       "  onExternalFileNeedsImport: { console.warn('HANDED ' + path); core.importNovel(path) }\n"
       "  onNovelImportSucceeded: core.quitApplication()\n"
       "  onNovelImportFailed: { console.warn('FAILED ' + message); core.quitApplication() }\n }\n"
       " Timer { interval: 30000; running: true; onTriggered: core.quitApplication() }\n}\n")


def main():
    binary = os.path.abspath(sys.argv[1] if len(sys.argv) > 1 else "build/app/harbour-quillora")
    work = tempfile.mkdtemp(prefix="open-through-link-")
    try:
        for d in ("home", "share/qml", "here", "away/target"):
            os.makedirs(os.path.join(work, d))
        with open(os.path.join(work, "share/qml/harbour-quillora.qml"), "w") as f:
            f.write(QML)
        os.symlink(os.path.join(work, "away/target"), os.path.join(work, "here/link"))
        for folder, where in (("here", "beside the link"), ("away", "beside the target")):
            with open(os.path.join(work, folder, "book.txt"), "w") as f:
                f.write("第一章 开始\n\n" + ("This copy lies %s. " % where) * 40 + "\n")
        env = dict(os.environ, HOME=work + "/home", XDG_CONFIG_HOME=work + "/config", XDG_DATA_HOME=work + "/data",
                   XDG_CACHE_HOME=work + "/cache", QUILLORA_DATA_ROOT=work + "/share", QT_QPA_PLATFORM="offscreen",
                   QT_QUICK_BACKEND="software", LANG="C.UTF-8")
        p = subprocess.run([binary, "link/../book.txt"], cwd=os.path.join(work, "here"), env=env,
                           stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, timeout=120)
        err = p.stderr.decode(errors="replace")
        handed = next((l.split("HANDED ", 1)[1] for l in err.splitlines() if "HANDED " in l), "-")
        con = sqlite3.connect(work + "/config/com.tivex/harbour-Quillora/db/novel_info.db")
        text = " ".join(r[0] for r in con.execute("SELECT text FROM unified_chunk"))
        con.close()
        imported = ("beside the target" if "beside the target" in text else
                    "beside the link" if "beside the link" in text else "nothing")
        print("| handed to the core | imported | exit |")
        print("|---|---|---|")
        print("| %s | the book.txt %s | %d |" % (handed.replace(work, "<tmp>"), imported, p.returncode))
    finally:
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
