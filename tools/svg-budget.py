#!/usr/bin/env python3
"""Starts the real program over small EPUBs whose one drawing would cost
without bound (hidden uses, entities, a large picture repeated, CSS and names
the guard must clean, and forms within every count that still make Qt SVG work
long): imports the book, then opens the drawing's page.

    tools/svg-budget.py BIN [--timeout S] [--rows SUBSTRING] [--comic]

With --comic each drawing is instead the first page (so the cover) of a CBZ
and the reading page is that first page.

Per row, in a fresh HOME/XDG tree under a 4 GiB address-space limit: the
outcome, ms to it, ms to the first page, CPU seconds and peak RSS of the
program and its helpers (/usr/bin/time -v), opens of files outside the book
(strace), whether a cover was saved and the guard's verdict; a Markdown table.
"""
import argparse, os, re, struct, subprocess, sys, tempfile, time, zipfile, zlib

import toolbooks


OPEN = ('<svg xmlns="http://www.w3.org/2000/svg" xmlns:xlink="http://www.w3.org/1999/xlink" '
        'width="640" height="480">')


def fan_out(use, define="id", after=""):
    """A thousand <use> of a thousand <use> of a path: a million drawn."""
    return (OPEN + '<defs><path %s="p" d="M0 0 L600 400 L10 400 Z" stroke="#123" stroke-width="3"/><g %s="a">'
            % (define, define) + (use % "p") * 1000 + '</g><g id="b">' + (use % "a") * 1000
            + '</g></defs><use xlink:href="#b"/>' + after + "</svg>")


def entities(refs, length):
    return ('<!DOCTYPE svg [<!ENTITY e "%s">]>' % ("x" * length)) + OPEN + "<text>" + "&e;" * refs + "</text></svg>"


def png(side):
    raw = zlib.compressobj(9)
    row = b"\0" + b"\x80\x40\x20" * side
    data = b"".join(raw.compress(row) for _ in range(side)) + raw.flush()
    chunk = lambda t, d: struct.pack(">I", len(d)) + t + d + struct.pack(">I", zlib.crc32(t + d))
    return (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", struct.pack(">IIBBBBB", side, side, 8, 2, 0, 0, 0))
            + chunk(b"IDAT", data) + chunk(b"IEND", b""))


def rows(outside):
    image = '<image width="640" height="480" xlink:href="big.png"/>'
    use = '<use xlink:href="#%s"/>'
    yield "use: plain ids", fan_out(use), False
    yield "use: ids defined again later", fan_out(use, after='<g id="a"/>'), False
    yield "use: targets by xml:id", fan_out(use, "xml:id"), False
    yield "use: xlink:href, then href", fan_out('<use xlink:href="#%s" href="#n"/>'), False
    yield "use: href, then xlink:href", fan_out('<use href="#n" xlink:href="#%s"/>'), False
    yield "entities: 100,000 references", entities(100000, 4000), False
    yield "entities: 1,000,000 references", entities(1000000, 4000), False
    yield "16 x one 8000x8000 picture", OPEN + image * 16 + "</svg>", True
    for css in ("fill:ur@import;l(%s)", 'fill:url("#a) url(%s")', "fill:url(%s"):
        css = css % ("file://" + outside)
        yield "CSS " + css.replace(outside, "OUT"), OPEN + "<rect width='640' height='480' style='%s'/></svg>" % css, False
    yield "CSS split by a comment", OPEN + "<style>rect{fill:ur<!-- -->l(file://%s)}</style>" % outside \
        + '<rect width="640" height="480"/></svg>', False
    yield "CSS split by CDATA", OPEN + "<style>rect{fill:ur<![CDATA[l(file://%s)}]]></style>" % outside \
        + '<rect width="640" height="480"/></svg>', False
    yield "name @mlns:xlink", ('<svg xmlns="http://www.w3.org/2000/svg" @mlns:xlink="http://www.w3.org/1999/xlink" '
                               'width="640" height="480"><rect width="9" height="9"/></svg>'), False
    # Within the guard's counts, yet long work for Qt SVG.
    path = '<path id="p" d="M0 0' + "".join(" L%d %d" % (i % 640, (i * 7) % 480) for i in range(100000)) + '"/>'
    for uses in (300, 3000):
        yield "100,000-segment path by %d uses" % uses, OPEN + "<defs>" + path + "</defs>" + use % "p" * uses \
            + "</svg>", False
    yield "300 uses of 300 uses of a full rect", OPEN + '<defs><rect id="r" width="640" height="480"/><g id="g">' \
        + use % "r" * 300 + "</g></defs>" + use % "g" * 300 + "</svg>", False
    yield "20,000 universal rules over 5,000 elements", OPEN + "<style>" + "*{fill:#123;stroke:#456}" * 20000 \
        + "</style>" + '<rect width="9" height="9"/>' * 5000 + "</svg>", False
    yield "49,000 gradients each naming the next", OPEN + "<defs>" + "".join(
        '<linearGradient id="g%d" xlink:href="#g%d"/>' % (i, i + 1) for i in range(49000)) \
        + '</defs><rect width="640" height="480" fill="url(#g0)"/></svg>', False
    yield "giant text stroked in 1-pixel dashes, 300 uses", OPEN + '<defs><text id="t" y="300" font-size="400" ' \
        'stroke="#000" stroke-width="30" stroke-dasharray="1">WWWWWWWW</text></defs>' + use % "t" * 300 + "</svg>", False
    yield "20,000-point path in a 400-pixel round stroke", OPEN + '<path fill="none" stroke="#000" stroke-width="400" ' \
        'stroke-linejoin="round" d="M0 0' + "".join(" L%d %d" % (i * 37 % 640, i * 91 % 480) for i in range(20000)) \
        + '"/></svg>', False
    yield "plain drawing (control)", OPEN + '<rect width="640" height="480" fill="#246"/></svg>', False
    # Text forms Qt SVG reads that are not plain UTF-8 opening with a tag,
    # each naming a style sheet and a picture outside the book.
    folder = os.path.dirname(outside)
    reach = ('<?xml-stylesheet type="text/css" href="%s/style.css"?>' % folder + OPEN
             + '<rect class="s" width="640" height="480"/><image width="640" height="480" xlink:href="file://%s"/>'
             % outside + "</svg>")
    bom = "\ufeff"
    for name, lead, codec in (("UTF-16LE, no BOM", "", "utf-16-le"), ("UTF-16BE, no BOM", "", "utf-16-be"),
                              ("UTF-32LE, no BOM", "", "utf-32-le"), ("UTF-32BE, no BOM", "", "utf-32-be"),
                              ("UTF-16LE, BOM, white space", bom + " \n", "utf-16-le"),
                              ("UTF-16BE, BOM, white space", bom + " \n", "utf-16-be"),
                              ("UTF-32LE, BOM, white space", bom + " \n", "utf-32-le"),
                              ("UTF-32BE, BOM, white space", bom + " \n", "utf-32-be"),
                              ("UTF-16LE, BOM, doctype", bom + "<!DOCTYPE svg>", "utf-16-le"),
                              ("UTF-8, BOM, doctype", bom + "<!DOCTYPE svg>", "utf-8"),
                              ("UTF-8, BOM, 5000 white space", bom + " " * 5000, "utf-8"),
                              ("UTF-8, 5000 white space", "\t\r\n " * 1250, "utf-8"),
                              ("UTF-16BE, BOM, 5000 white space", bom + " " * 5000, "utf-16-be"),
                              ("UTF-8 (control)", "", "utf-8")):
        yield "form: " + name, (lead + reach).encode(codec), False


def epub(path, svg, big):
    items = [("cover", "d.svg", "image/svg+xml"), ("big", "big.png", "image/png")]
    files = {"d.svg": svg}
    if big:
        files["big.png"] = png(8000)
    toolbooks.epub(path, items, '<p>Before.</p><p><img src="d.svg" alt="A"/></p>', files)


def cbz(path, svg):
    with zipfile.ZipFile(path, "w", zipfile.ZIP_DEFLATED) as z:
        z.writestr("001.png", svg)
        z.writestr("002.png", png(64))


def run(binary, root, book, timeout, outside):
    env = toolbooks.program_root(root, toolbooks.READER_QML % {"path": book})
    cmd = ["timeout", "-s", "KILL", str(timeout), "prlimit", "--as=%d" % (4 << 30), "/usr/bin/time", "-v",
           "strace", "-f", "-qq", "-e", "trace=openat,open", "-o", root + "/trace", binary]
    start = time.time()
    p = subprocess.run(cmd, env=env, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
    wall = time.time() - start
    err = p.stderr.decode(errors="replace")
    outcome = re.search(r"OUTCOME (\w+) (\d+)", err)
    page = re.search(r"PAGE (\d+)", err)
    rss = re.search(r"Maximum resident set size \(kbytes\): (\d+)", err)
    cpu = "%.1f" % sum(float(t) for t in re.findall(r"(?:User|System) time \(seconds\): ([\d.]+)", err))
    verdicts = sorted(set(re.findall(r"拒绝 SVG 图片: ([^\n\"]+)", err)))
    cover = "yes" if any("cover.png" in files for _, _, files in os.walk(root)) else "no"
    opens = 0
    if os.path.exists(root + "/trace"):
        with open(root + "/trace", errors="replace") as f:
            opens = sum(1 for line in f if os.path.dirname(outside) in line)
    if not outcome:
        status = "killed at %d s" % timeout if p.returncode in (-9, 137) or wall >= timeout else \
            "no outcome (exit %s%s)" % (p.returncode, ", bad_alloc" if "bad_alloc" in err else "")
        return status, "-", "-", cpu, str(int(rss.group(1)) // 1024) if rss else "-", opens, cover, "-"
    return (outcome.group(1), outcome.group(2), page.group(1) if page else "-", cpu,
            str(int(rss.group(1)) // 1024) if rss else "-", opens, cover, ", ".join(verdicts) or "drawn")


def arguments(timeout):
    """BIN [--timeout S] [--rows SUBSTRING], the drivers' command line."""
    ap = argparse.ArgumentParser()
    ap.add_argument("binary")
    ap.add_argument("--timeout", type=int, default=timeout)
    ap.add_argument("--rows", default="")
    ap.add_argument("--comic", action="store_true")
    return ap.parse_args()


def main():
    a = arguments(60)
    work = tempfile.mkdtemp(prefix="svgbudget-")
    outside = work + "/outside/red.png"
    os.makedirs(os.path.dirname(outside))
    with open(outside, "wb") as f:
        f.write(png(8))
    with open(os.path.dirname(outside) + "/style.css", "w") as f:
        f.write(".s { fill: #ff0000 }")
    print("| drawing | %s bytes | outcome | ms to outcome | ms to first page | CPU s | peak RSS MiB | outside opens | cover | guard |" % ("CBZ" if a.comic else "EPUB"))
    print("|---|---|---|---|---|---|---|---|---|---|---|")
    for n, (name, svg, big) in enumerate(rows(outside)):
        if a.rows not in name:
            continue
        root = "%s/r%d" % (work, n)
        os.makedirs(root)
        book = root + ("/book.cbz" if a.comic else "/book.epub")
        if a.comic:
            cbz(book, svg)
        else:
            epub(book, svg, big)
        r = run(os.path.abspath(a.binary), root, book, a.timeout, outside)
        print("| %s | %d | %s | %s | %s | %s | %s | %d | %s | %s |" % ((name, os.path.getsize(book)) + r), flush=True)


if __name__ == "__main__":
    main()
