#!/usr/bin/env python3
"""Writes small PDFs that cost poppler far more than their size, one form a
call (and an ordinary one to compare with):

    make-heavy.py KIND OUT      one book of that kind
    make-heavy.py --kinds       the kinds, one a line

The tests and tools/pdf-heavy.py make their books with it. Run with python3;
needs nothing else.
"""
import struct, sys, zlib


def pdf(objects, extra_trailer=""):
    """A PDF of the given object bodies (str or bytes), numbered from 1, 1
    the catalog, 2 the page tree."""
    parts, offsets, at = [b"%PDF-1.5\n"], [], 9
    for i, body in enumerate(objects):
        offsets.append(at)
        body = body.encode("latin-1") if isinstance(body, str) else body
        parts.append(b"%d 0 obj\n" % (i + 1) + body + b"\nendobj\n")
        at += len(parts[-1])
    out, xref = b"".join(parts), at
    out += b"xref\n0 %d\n0000000000 65535 f \n" % (len(objects) + 1)
    out += b"".join(b"%010d 00000 n \n" % o for o in offsets)
    return out + b"trailer\n<< /Size %d /Root 1 0 R %s>>\nstartxref\n%d\n%%%%EOF\n" % (
        len(objects) + 1, extra_trailer.encode(), xref)


def stream(data, extra=""):
    data = data.encode("latin-1") if isinstance(data, str) else data
    return b"<< /Length %d %s>>\nstream\n" % (len(data), extra.encode()) + data + b"\nendstream"


FONT = "<< /Type /Font /Subtype /Type1 /BaseFont /Helvetica >>"


def one_page(content, resources="", more=()):
    """Catalog, pages, one A4 page (object 3) drawing content (object 4),
    Helvetica as /F1 (object 5), then `more` from object 6 on."""
    return pdf(["<< /Type /Catalog /Pages 2 0 R >>", "<< /Type /Pages /Kids [3 0 R] /Count 1 >>",
                "<< /Type /Page /Parent 2 0 R /MediaBox [0 0 595 842] /Contents 4 0 R "
                "/Resources << /Font << /F1 5 0 R >> %s >> >>" % resources,
                stream(content), FONT] + list(more))


def image(kind, side):
    """An image XObject declaring side x side pixels, its data a few bytes."""
    if kind == "flate":
        data = zlib.compress(b"\0" * 4096)
        return stream(data, "/Type /XObject /Subtype /Image /Width %d /Height %d /ColorSpace /DeviceGray "
                            "/BitsPerComponent 8 /Filter /FlateDecode " % (side, side))
    # A JPEG 2000 codestream: SIZ of one 8-bit component, COD, QCD, one tile.
    siz = struct.pack(">HHHIIIIIIIIHBBB", 0xFF51, 41, 0, side, side, 0, 0, side, side, 0, 0, 1, 7, 1, 1)
    cod = struct.pack(">HHBBHBBBBBB", 0xFF52, 12, 0, 0, 1, 0, 5, 4, 4, 0, 1)
    qcd = struct.pack(">HHB", 0xFF5C, 19, 0x40) + bytes([0x40] * 16)
    sot = struct.pack(">HHHIBB", 0xFF90, 10, 0, 0, 0, 1)
    data = b"\xff\x4f" + siz + cod + qcd + sot + b"\xff\x93" + b"\x00" * 64 + b"\xff\xd9"
    return stream(data, "/Type /XObject /Subtype /Image /Width %d /Height %d /ColorSpace /DeviceGray "
                        "/BitsPerComponent 8 /Filter /JPXDecode " % (side, side))


def image_page(kind, side, first):
    """Two pages, the image drawn on the first or on the second."""
    plain = "<< /Type /Page /Parent 2 0 R /MediaBox [0 0 595 842] /Contents 6 0 R /Resources << /Font << /F1 5 0 R >> >> >>"
    drawn = "<< /Type /Page /Parent 2 0 R /MediaBox [0 0 595 842] /Contents 4 0 R /Resources << /XObject << /Im0 7 0 R >> >> >>"
    pages = [drawn, plain] if first else [plain, drawn]
    return pdf(["<< /Type /Catalog /Pages 2 0 R >>", "<< /Type /Pages /Kids [3 0 R 8 0 R] /Count 2 >>", pages[0],
                stream("q 500 0 0 700 50 70 cm /Im0 Do Q"), FONT,
                stream("BT /F1 24 Tf 72 760 Td (A page of text) Tj ET"), image(kind, side), pages[1]])


def shading(length=60):
    """A function shading over the page through a long PostScript function."""
    body = " ".join(["2 copy mul 3 1 roll add sin exch cos"] * length)
    function = stream("{ %s pop pop 0.5 }" % body, "/FunctionType 4 /Domain [0 1 0 1] /Range [0 1] ")
    return one_page("q /Sh0 sh Q", "/Shading << /Sh0 << /ShadingType 1 /ColorSpace /DeviceGray "
                    "/Domain [0 1 0 1] /Matrix [595 0 0 842 0 0] /Function 6 0 R >> >>", [function])


def text(count):
    """One page of count text operators drawn over each other."""
    shows = "\n".join("0 0 Td (Overlapping words %d) Tj" % i for i in range(count))
    return one_page("BT /F1 12 Tf 72 400 Td\n%s\nET" % shows)


def forms(depth, width):
    """Form XObjects each drawing the one below width times; a fill at the bottom."""
    objects = []
    for level in range(depth):
        body = "0 0 1 1 re f" if level == 0 else " ".join(["/X Do"] * width)
        resources = "" if level == 0 else "/Resources << /XObject << /X %d 0 R >> >> " % (6 + level - 1)
        objects.append(stream(body, "/Type /XObject /Subtype /Form /BBox [0 0 595 842] %s" % resources))
    return one_page("/X Do", "/XObject << /X %d 0 R >>" % (6 + depth - 1), objects)


def page_tree(count):
    """count empty pages in nodes of a thousand."""
    nodes = (count + 999) // 1000
    first_page = 3 + nodes
    objects = ["<< /Type /Catalog /Pages 2 0 R >>",
               "<< /Type /Pages /Kids [%s] /Count %d /MediaBox [0 0 595 842] >>" % (
                   " ".join("%d 0 R" % (3 + n) for n in range(nodes)), count)]
    for n in range(nodes):
        kids = range(n * 1000, min(count, (n + 1) * 1000))
        objects.append("<< /Type /Pages /Parent 2 0 R /Kids [%s] /Count %d >>" % (
            " ".join("%d 0 R" % (first_page + k) for k in kids), len(kids)))
    objects += ["<< /Type /Page /Parent %d 0 R >>" % (3 + k // 1000) for k in range(count)]
    return pdf(objects)


def object_streams(count, streams=6):
    """One page, and count small objects dealt round-robin over the object
    streams, so that objects in number order jump from stream to stream."""
    plain = ["<< /Type /Catalog /Pages 2 0 R >>", "<< /Type /Pages /Kids [3 0 R] /Count 1 >>",
             "<< /Type /Page /Parent 2 0 R /MediaBox [0 0 595 842] /Contents 4 0 R "
             "/Resources << /Font << /F1 5 0 R >> >> >>",
             stream("BT /F1 24 Tf 72 760 Td (Objects in streams) Tj ET"), FONT]
    first = len(plain) + 1
    packed = [[] for _ in range(streams)]
    for i in range(count):
        packed[i % streams].append((first + i, "<< /Filler %d /Note (an object kept in a stream) >>" % i))
    out = b"%PDF-1.5\n"
    offsets = {}
    for i, body in enumerate(plain):
        offsets[i + 1] = (1, len(out), 0)
        out += b"%d 0 obj\n" % (i + 1) + (body.encode("latin-1") if isinstance(body, str) else body) + b"\nendobj\n"
    number = first + count
    for k, members in enumerate(packed):
        head, data = b"", b""
        for index, (num, body) in enumerate(members):
            head += b"%d %d " % (num, len(data))
            data += body.encode() + b"\n"
            offsets[num] = (2, number, index)
        body = head + data
        offsets[number] = (1, len(out), 0)
        out += b"%d 0 obj\n<< /Type /ObjStm /N %d /First %d /Length %d >>\nstream\n" % (
            number, len(members), len(head), len(body)) + body + b"\nendstream\nendobj\n"
        number += 1
    size = number + 1
    offsets[number] = (1, len(out), 0)
    rows = b"".join(struct.pack(">BIH", *offsets.get(n, (0, 0, 0))) for n in range(size))
    out += b"%d 0 obj\n<< /Type /XRef /Size %d /W [1 4 2] /Root 1 0 R /Length %d >>\nstream\n" % (
        number, size, len(rows)) + rows + b"\nendstream\nendobj\n"
    return out + b"startxref\n%d\n%%%%EOF\n" % offsets[number][1]


KINDS = {
    "ordinary page": lambda: one_page("BT /F1 24 Tf 72 760 Td (An ordinary page) Tj ET"),
    "PostScript function shading": shading,
    "PostScript function shading, ten times as long": lambda: shading(600),
    "20,000 overlapping text operators": lambda: text(20000),
    "100,000 overlapping text operators": lambda: text(100000),
    "form XObjects seven deep by ten": lambda: forms(8, 10),
    "Flate image 60000x60000, second page": lambda: image_page("flate", 60000, False),
    "JPEG 2000 image 60000x60000, first page": lambda: image_page("jpx", 60000, True),
    "Flate image 4000x4000, second page": lambda: image_page("flate", 4000, False),
    "200,000-page tree": lambda: page_tree(200000),
    "objects round-robin over six object streams, 72 KB": lambda: object_streams(1000),
    "objects round-robin over six object streams, 276 KB": lambda: object_streams(3900),
}


def write(path, kind):
    with open(path, "wb") as f:
        f.write(KINDS[kind]())


if __name__ == "__main__":
    if sys.argv[1:] == ["--kinds"]:
        print("\n".join(KINDS))
    else:
        write(sys.argv[2], sys.argv[1])
