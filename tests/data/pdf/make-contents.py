#!/usr/bin/env python3
"""Makes the committed PDF books with printed contents pages (no outline).

Written by hand in the standard Courier font, so that columns line up by
character counts. Every book has a title page, a contents
page, then pages whose printed page 1 is the third page.

  adjacent.pdf    "1 Introduction ........ 1", no contents heading; every
                  chapter title heads its page.
  spaced.pdf      the same book with spaced leaders: ". . . .", middle dots
                  "· · ·" and ellipses "… …".
  two-column.pdf  a "Contents" page of numbered sections in two columns;
                  sections start in the middle of their pages.
  price.pdf       a price list with dot leaders, no heading; the item names
                  turn up in the text of later pages, never at their top.

Run with python3; needs nothing else.
"""
import os

HERE = os.path.dirname(os.path.abspath(__file__))
WIDTH, HEIGHT = 595, 842


def escape(text):
    data = text.encode('cp1252')
    out = b''
    for byte in data:
        ch = bytes([byte])
        out += b'\\' + ch if ch in b'()\\' else ch
    return out


def show(x, y, text, size=12):
    return b'BT /F1 %d Tf %g %g Td (%s) Tj ET\n' % (size, x, y, escape(text))


def entry(x, y, title, page, leader, width):
    """A contents line `width` characters wide: title, leader, page number."""
    fill = width - len(title) - len(str(page)) - 2
    if leader == 'adjacent':
        dots = '.' * fill
    else:
        dots = ' '.join(leader * max(2, (fill + 1) // 2))
    return show(x, y, '%s %s %d' % (title, dots, page))


def write_pdf(path, streams):
    objects = [b'<< /Type /Catalog /Pages 2 0 R >>', None,
               b'<< /Type /Font /Subtype /Type1 /BaseFont /Courier /Encoding /WinAnsiEncoding >>']
    kids = []
    for stream in streams:
        content = len(objects) + 2
        kids.append(len(objects) + 1)
        objects.append(b'<< /Type /Page /Parent 2 0 R /MediaBox [0 0 %d %d] '
                       b'/Resources << /Font << /F1 3 0 R >> >> /Contents %d 0 R >>' % (WIDTH, HEIGHT, content))
        objects.append(b'<< /Length %d >>\nstream\n' % len(stream) + stream + b'endstream')
    objects[1] = b'<< /Type /Pages /Kids [%s] /Count %d >>' % (
        b' '.join(b'%d 0 R' % k for k in kids), len(kids))
    pdf = b'%PDF-1.4\n'
    offsets = []
    for number, body in enumerate(objects, 1):
        offsets.append(len(pdf))
        pdf += b'%d 0 obj\n' % number + body + b'\nendobj\n'
    xref = len(pdf)
    pdf += b'xref\n0 %d\n0000000000 65535 f \n' % (len(objects) + 1)
    pdf += b''.join(b'%010d 00000 n \n' % o for o in offsets)
    pdf += b'trailer\n<< /Size %d /Root 1 0 R >>\nstartxref\n%d\n%%%%EOF\n' % (len(objects) + 1, xref)
    with open(os.path.join(HERE, path), 'wb') as f:
        f.write(pdf)


def body_page(number, lines, head=None):
    """A page: an optional head at the top, text lines, the printed number."""
    out = b''
    y = 760
    if head:
        out += show(72, y, head, 20)
        y -= 40
    for line in lines:
        out += show(72, y, line)
        y -= 18
    if number:
        out += show(290, 50, str(number))
    return out


TEXT = ['The wind came down from the hills in the evening.',
        'Nobody on the farm had seen such weather before.']

CHAPTERS = [('1 Introduction', 1), ('2 The Farm', 3), ('3 Weather', 5), ('4 The Harvest', 7), ('5 Winter', 9)]


def chapter_book(leaders):
    pages = [body_page(0, [], 'A Year on the Farm')]
    contents = b''
    for k, (title, page) in enumerate(CHAPTERS):
        contents += entry(72, 740 - 24 * k, title, page, leaders[k % len(leaders)], 60)
    pages.append(contents)
    for printed in range(1, 11):
        head = next((t for t, p in CHAPTERS if p == printed), None)
        pages.append(body_page(printed, TEXT, head))
    return pages


def two_column_book():
    sections = [('1 Method', 1), ('1.1 Sampling', 1), ('1.2 Counting', 2), ('2 Results', 3),
                ('2.1 Spring', 3), ('2.2 Summer', 4), ('3 Discussion', 5), ('3.1 Errors', 6),
                ('3.2 Outlook', 6), ('4 Summary', 7)]
    pages = [body_page(0, [], 'Field Report')]
    contents = show(72, 780, 'Contents', 20)
    half = (len(sections) + 1) // 2
    for k, (title, page) in enumerate(sections):
        column, row = divmod(k, half)
        contents += entry(30 + 276 * column, 740 - 20 * row, title, page, '.', 37)
    pages.append(contents)
    for printed in range(1, 9):
        lines = list(TEXT)
        for title, page in sections:
            if page == printed:
                lines += [title] + TEXT
        pages.append(body_page(printed, lines))
    return pages


def price_book():
    items = [('1 Apples', 3), ('2 Pears', 5), ('3 Plums', 7), ('4 Cherries', 9), ('5 Lemons', 11)]
    pages = [body_page(0, [], 'Market Prices')]
    prices = b''
    for k, (name, price) in enumerate(items):
        prices += entry(72, 740 - 24 * k, name, price, 'adjacent', 40)
    pages.append(prices)
    for printed in range(1, 13):
        name = items[(printed - 1) % len(items)][0].split(' ', 1)[1]
        pages.append(body_page(printed, TEXT * 3 + ['%s are sold by the crate at the market.' % name]))
    return pages


write_pdf('adjacent.pdf', chapter_book(['adjacent']))
write_pdf('spaced.pdf', chapter_book(['.', '\u00b7', '\u2026']))
write_pdf('two-column.pdf', two_column_book())
write_pdf('price.pdf', price_book())
