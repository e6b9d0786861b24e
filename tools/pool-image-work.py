#!/usr/bin/env python3
"""Starts the real program over books with large pictures (PNG of every
colour kind, BMP) as an EPUB picture and cover, CBZ pages and FB2 pictures,
and over a PDF, and counts the image work Qt 5.15 splits over its global thread pool from a thread
outside it. Handing the last part back, such a split clears bit 63 of a word
on the calling thread's stack after that thread may have gone on.

    tools/pool-image-work.py BIN [BIN...]

A preloaded shim wraps QSemaphore::acquire: a wait for more than one part,
on a thread outside the pool, is one split. Per book and program: the outcome,
ms to the first page of the picture, and the splits with the Qt function that
made them; a Markdown table.
"""
import base64, os, re, struct, subprocess, sys, tempfile, zipfile, zlib

import toolbooks

SHIM = r"""
#include <QSemaphore>
#include <QThread>
#include <QThreadPool>
#include <cstdio>
#include <cstring>
#include <cxxabi.h>
#include <dlfcn.h>
#include <execinfo.h>

void QSemaphore::acquire(int n)
{
    using Acquire = void (*)(QSemaphore *, int);
    static const Acquire real = reinterpret_cast<Acquire>(dlsym(RTLD_NEXT, "_ZN10QSemaphore7acquireEi"));
    if (n > 1 && !QThreadPool::globalInstance()->contains(QThread::currentThread())) {
        void *frames[12];
        const int count = backtrace(frames, 12);
        const char *name = "?";
        char *readable = nullptr;
        for (int i = 1; i < count; ++i) {
            Dl_info info;
            if (dladdr(frames[i], &info) && info.dli_sname && strstr(info.dli_sname, "QImage")) {
                int status = 0;
                readable = abi::__cxa_demangle(info.dli_sname, nullptr, nullptr, &status);
                name = readable ? readable : info.dli_sname;
                break;
            }
        }
        fprintf(stderr, "SPLIT %s\n", name);
        free(readable);
    }
    real(this, n);
}
"""



def png(width, height, kind, depth=8):
    """kind: 0 grey, 2 RGB, 3 palette, 4 grey and alpha, 6 RGBA; a diagonal gradient."""
    channels = {0: 1, 2: 3, 3: 1, 4: 2, 6: 4}[kind] * depth // 8
    packer = zlib.compressobj(6)
    rows = []
    for y in range(height):
        row = bytes((x + y + c * 40) & 0xFF for x in range(width) for c in range(channels))
        rows.append(packer.compress(b"\0" + row))
    data = b"".join(rows) + packer.flush()
    chunk = lambda t, d: struct.pack(">I", len(d)) + t + d + struct.pack(">I", zlib.crc32(t + d))
    palette = chunk(b"PLTE", bytes((i, 255 - i, i // 2)[c] for i in range(256) for c in range(3))) if kind == 3 else b""
    return (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", struct.pack(">IIBBBBB", width, height, depth, kind, 0, 0, 0))
            + palette + chunk(b"IDAT", data) + chunk(b"IEND", b""))


def bmp(width, height):
    """24-bit, bottom-up."""
    stride = (width * 3 + 3) & ~3
    pixels = b"".join(bytes((x + y + c * 40) & 0xFF for x in range(width) for c in range(3)).ljust(stride, b"\0")
                      for y in range(height))
    return (b"BM" + struct.pack("<IHHI", 54 + len(pixels), 0, 0, 54)
            + struct.pack("<IiiHHIIiiII", 40, width, height, 1, 24, 0, len(pixels), 2835, 2835, 0, 0) + pixels)


# What a page or a picture is made of.
KINDS = (("RGB", lambda w, h: png(w, h, 2)), ("grey", lambda w, h: png(w, h, 0)),
         ("RGBA", lambda w, h: png(w, h, 6)), ("grey and alpha", lambda w, h: png(w, h, 4)),
         ("16-bit RGB", lambda w, h: png(w, h, 2, 16)), ("palette", lambda w, h: png(w, h, 3)),
         ("BMP", bmp))


def epub(path, picture, cover):
    items = [("cover", "cover.png", "image/png"), ("pic", "pic.png", "image/png")]
    toolbooks.epub(path, items, '<p>Before.</p><p><img src="pic.png" alt="A"/></p><p>After.</p>',
                   {"pic.png": picture, "cover.png": cover})


def cbz(path, pages):
    with zipfile.ZipFile(path, "w", zipfile.ZIP_STORED) as z:
        for i, page in enumerate(pages):
            z.writestr("%03d.%s" % (i + 1, "bmp" if page[:2] == b"BM" else "png"), page)


def fb2(path, picture, kind="image/png"):
    with open(path, "w") as f:
        f.write('<?xml version="1.0" encoding="utf-8"?><FictionBook xmlns="http://www.gribuser.ru/xml/fictionbook/2.0"'
                ' xmlns:l="http://www.w3.org/1999/xlink"><description><title-info><book-title>Pictures</book-title>'
                '</title-info></description><body><section><title><p>Picture</p></title><p>Before.</p>'
                '<image l:href="#pic"/><p>After.</p></section></body><binary id="pic" content-type="%s">'
                % kind + base64.b64encode(picture).decode() + "</binary></FictionBook>")


def run(binary, shim, root, book):
    env = dict(os.environ, HOME=root + "/home", XDG_CONFIG_HOME=root + "/config", XDG_DATA_HOME=root + "/data",
               XDG_CACHE_HOME=root + "/cache", QUILLORA_DATA_ROOT=root + "/share", QT_QPA_PLATFORM="offscreen",
               QT_QUICK_BACKEND="software", LANG="C.UTF-8", LD_PRELOAD=shim)
    for d in ("home", "share/qml", "cache"):
        os.makedirs(os.path.join(root, d), exist_ok=True)
    with open(root + "/share/qml/harbour-quillora.qml", "w") as f:
        f.write(toolbooks.READER_QML % {"path": book})
    p = subprocess.run(["timeout", "-s", "KILL", "120", binary], env=env, stdout=subprocess.DEVNULL,
                       stderr=subprocess.PIPE)
    err = p.stderr.decode(errors="replace")
    outcome = re.search(r"OUTCOME (\w+)", err)
    page = re.search(r"PAGE (\d+)", err)
    splits = re.findall(r"SPLIT (.+)", err)
    made = {}
    for name in splits:
        made[name] = made.get(name, 0) + 1
    where = "; ".join("%s x%d" % (k, v) for k, v in sorted(made.items()))
    return "%s, page %s ms | %d%s" % (outcome.group(1) if outcome else "exit %d" % p.returncode,
                                       page.group(1) if page else "-", len(splits),
                                       " (" + where + ")" if where else "")


def main():
    binaries = [os.path.abspath(b) for b in sys.argv[1:]]
    if not binaries:
        sys.exit(__doc__)
    with tempfile.TemporaryDirectory(prefix="pool-image-work-") as work:
        shim = work + "/shim.so"
        with open(work + "/shim.cpp", "w") as f:
            f.write(SHIM)
        flags = subprocess.run(["pkg-config", "--cflags", "--libs", "Qt5Core"], capture_output=True,
                               text=True, check=True).stdout.split()
        subprocess.run(["g++", "-std=c++17", "-O1", "-fPIC", "-shared", work + "/shim.cpp", "-o", shim, "-ldl"]
                       + flags, check=True)
        books = {}
        books["EPUB: RGB picture, RGBA cover"] = work + "/pictures.epub"
        epub(books["EPUB: RGB picture, RGBA cover"], png(1500, 2100, 2), png(2400, 3300, 6))
        for name, make in KINDS:
            books["CBZ page: " + name] = "%s/%s.cbz" % (work, len(books))
            cbz(books["CBZ page: " + name], [make(1800, 2600), png(64, 64, 2)])
            books["FB2 picture: " + name] = "%s/%s.fb2" % (work, len(books))
            fb2(books["FB2 picture: " + name], make(1500, 2100), "image/bmp" if name == "BMP" else "image/png")
        books["PDF: figures"] = os.path.join(os.path.dirname(os.path.abspath(__file__)), "../tests/data/pdf/figures.pdf")
        print("| book | " + " | ".join("%s: outcome | splits" % os.path.basename(os.path.dirname(os.path.dirname(os.path.dirname(b))))
                                       for b in binaries) + " |")
        print("|---|" + "---|---|" * len(binaries))
        for name, book in books.items():
            cells = []
            for i, binary in enumerate(binaries):
                cells.append(run(binary, shim, tempfile.mkdtemp(dir=work), book))
            print("| %s | %s |" % (name, " | ".join(cells)), flush=True)


if __name__ == "__main__":
    main()
