#!/usr/bin/env python3
"""Writes a PDF whose font names a file outside the book by a climbing name
poppler would join to its CMap folder, in one of the places and spellings
PDF allows (or cmap.pdf, the ordinary control).

    make-hostile.py PLACE TARGET OUT     one book naming TARGET (absolute)
    make-hostile.py --places             the places, one a line

The tests and tools/pdf-names.py make their books with it; "object stream"
needs qpdf. Run with python3.
"""
import os, shutil, subprocess, sys


def escaped(text, every=False):
    """A PDF name spelling text, '/' (or every character) as #xx."""
    return "".join("#%02X" % ord(c) if every or c == "/" else c for c in text)


def pdf(objects):
    """A PDF of the given object bodies, numbered from 1, 1 the catalog."""
    out = b"%PDF-1.5\n"
    offsets = []
    for i, body in enumerate(objects):
        offsets.append(len(out))
        body = body.encode("latin-1") if isinstance(body, str) else body
        out += b"%d 0 obj\n" % (i + 1) + body + b"\nendobj\n"
    xref = len(out)
    out += b"xref\n0 %d\n0000000000 65535 f \n" % (len(objects) + 1)
    out += b"".join(b"%010d 00000 n \n" % o for o in offsets)
    return out + b"trailer\n<< /Size %d /Root 1 0 R >>\nstartxref\n%d\n%%%%EOF\n" % (len(objects) + 1, xref)


def stream(data, extra=""):
    return "<< /Length %d %s>>\nstream\n%s\nendstream" % (len(data), extra, data)


def book(climb, place, pages=1):
    """Objects 1 catalog, 2 pages, 3 page content, 4 Type0 font, 5 CID font,
    6 descriptor, 7.. per place; pages from 20 on."""
    name = "/" + escaped(climb)
    system = "<< /Registry (Adobe) /Ordering (Japan1) /Supplement 0 >>"
    font = "<< /Type /Font /Subtype /Type0 /BaseFont /Mincho /Encoding ENC /DescendantFonts [5 0 R] >>"
    encoding, extra, resources, draw, annots = name, [], "<< /Font << /F1 4 0 R >> >>", "BT /F1 24 Tf 72 700 Td <0041> Tj ET", ""
    if place == "escaped every character":
        encoding = "/" + escaped(climb, True)
    elif place == "indirect name":
        encoding, extra = "7 0 R", [name]
    elif place == "Registry and Ordering":
        encoding = "/UniJIS-UCS2-H"
        system = "<< /Registry (%s) /Ordering (Japan1) /Supplement 0 >>" % climb
    elif place == "/UseCMap of an embedded CMap":
        encoding, extra = "7 0 R", [stream(cmap(""), "/Type /CMap /CMapName /Q /UseCMap %s " % name)]
    elif place == "usecmap inside an embedded CMap":
        encoding, extra = "7 0 R", [stream(cmap("%s usecmap" % name))]
    elif place == "usecmap inside a ToUnicode map":
        font = "<< /Type /Font /Subtype /Type1 /BaseFont /Helvetica /ToUnicode 7 0 R >>"
        extra, draw = [stream(cmap("%s usecmap" % name))], "BT /F1 24 Tf 72 700 Td (A) Tj ET"
    elif place in ("form XObject", "annotation appearance"):
        extra = [stream(draw, "/Type /XObject /Subtype /Form /BBox [0 0 595 842] /Resources %s " % resources)]
        resources = "<< /XObject << /X1 7 0 R >> >>"
        if place == "form XObject":
            draw = "/X1 Do"
        else:
            draw, annots = "", "/Annots [<< /Type /Annot /Subtype /Square /Rect [0 0 595 842] /AP << /N 7 0 R >> >>]"
    elif place == "unused object":
        extra, resources, draw = [font.replace("ENC", encoding)], "<< >>", ""
    elif place == "object redefined past the table":
        resources = "<< /Font << /F0 40 0 R /F1 4 0 R >> >>"
    objects = ["<< /Type /Catalog /Pages 2 0 R >>",
               "<< /Type /Pages /Kids [%s] /Count %d >>" % (" ".join("%d 0 R" % (20 + i) for i in range(pages)), pages),
               stream(draw), font.replace("ENC", encoding),
               "<< /Type /Font /Subtype /CIDFontType0 /BaseFont /Mincho /CIDSystemInfo %s /FontDescriptor 6 0 R >>" % system,
               "<< /Type /FontDescriptor /FontName /Mincho /Flags 4 /FontBBox [0 -120 1000 880] /ItalicAngle 0 "
               "/Ascent 880 /Descent -120 /CapHeight 700 /StemV 80 >>"] + extra
    objects += ["null"] * (19 - len(objects))
    plain = "<< /Type /Page /Parent 2 0 R /MediaBox [0 0 595 842] >>"
    hostile = "<< /Type /Page /Parent 2 0 R /MediaBox [0 0 595 842] /Resources %s /Contents 3 0 R %s>>" % (resources, annots)
    objects += [plain] * (pages - 1) + [hostile]
    if place in ("unused object", "object redefined past the table"):
        objects[3] = "<< /Type /Font /Subtype /Type1 /BaseFont /Helvetica >>"
    if place == "table rebuilt by a reference past /Size, font as written":
        # A reference past /Size that only a walk follows makes poppler
        # rebuild its table from the file, where a later plain font 4 wins;
        # a reader that never follows it reads the hostile font 4 as the
        # table gives it.
        objects[0] = "<< /Type /Catalog /Pages 2 0 R /Unused 40 0 R >>"
        plain_font = "<< /Type /Font /Subtype /Type1 /BaseFont /Helvetica >>"
        return pdf(objects) + ("4 0 obj\n" + plain_font + "\nendobj\n").encode("latin-1")
    if place == "object redefined past the table":
        # A reference the table misses (40) makes poppler rebuild it from
        # the file, where the last font 4 wins.
        return pdf(objects) + ("4 0 obj\n" + font.replace("ENC", encoding) + "\nendobj\n").encode("latin-1")
    return pdf(objects)


def cmap(body):
    return ("/CIDInit /ProcSet findresource begin 12 dict begin begincmap /CMapName /Q def "
            "%s 1 begincodespacerange <0000> <FFFF> endcodespacerange endcmap end end" % body)


PLACES = ["page font", "page font, last of 40 pages", "form XObject", "annotation appearance", "unused object",
          "object redefined past the table", "table rebuilt by a reference past /Size, font as written", "object stream", "escaped every character", "indirect name", "Registry and Ordering",
          "/UseCMap of an embedded CMap", "usecmap inside an embedded CMap", "usecmap inside a ToUnicode map"]


def write(path, place, target):
    climb = "../" * 12 + target.lstrip("/")
    if place == "control: cmap.pdf":
        shutil.copy(os.path.join(os.path.dirname(os.path.abspath(__file__)), "cmap.pdf"), path)
        return
    with open(path, "wb") as f:
        f.write(book(climb, "page font" if place == "object stream" else place, 40 if "40" in place else 1))
    if place == "object stream":
        subprocess.run(["qpdf", "--object-streams=generate", path, "--replace-input"], check=False)


if __name__ == "__main__":
    if sys.argv[1:] == ["--places"]:
        print("\n".join(PLACES))
    else:
        write(sys.argv[3], sys.argv[1], sys.argv[2])
