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
  results.pdf     "Contents" of four chapters; the first chapter's page lists
                  results with dot leaders "1 Sample Alpha . . . 12", pages
                  inside the book.
  results-past.pdf the same with the results' pages past the book's end.
  figures.pdf     "Contents", then a "List of Figures" whose numbers and pages
                  go on from the last chapter's.
  preface.pdf     a "Preface" page, then "Contents" over two pages whose first
                  entry is that preface, before them.
  continued.pdf   "Contents" over two pages, the second without heading, its
                  section numbers and pages going on from the first's; it
                  names the first entry's title again ("3.1 Method errors").

The Chinese books are written in a CID font that is not embedded, through
the predefined CMap UniGB-UCS2-H (Adobe-GB1): poppler needs poppler-data to
read and draw them, fontconfig's CJK font (fonts-noto-cjk) draws them.

  cmap.pdf        a "目录" page of three chapters, each heading its page.
  thesis.pdf      a thesis: "目录" over the second and third pages in two
                  columns each; top-level entries "1  模板介绍  1" without
                  leaders, the others with spaced leaders, one title wrapped
                  onto a second line; printed page 1 is the fifth page.
  three-pages.pdf contents in one column over three pages, headed only on
                  the first, then a page of text.
  single-dot.pdf  a "目录" whose long title keeps a single leader dot, as TeX
                  leaves it: "2.2 浮动对象：插图和表格 . 4".

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


def show_cjk(x, y, text, size=10):
    """Text in the CJK font: UCS-2 codes, CJK a full em wide, ASCII half."""
    return b'BT /F2 %d Tf %g %g Td <%s> Tj ET\n' % (size, x, y, text.encode('utf-16-be').hex().upper().encode())


def cjk_width(text, size=10):
    return sum(size if ord(c) > 0x7f else size / 2 for c in text)


# Adobe-GB1 CIDs 1-95 are the proportional ASCII glyphs.
CJK_FONT = [b'<< /Type /Font /Subtype /Type0 /BaseFont /STSong-Light-UniGB-UCS2-H /Encoding /UniGB-UCS2-H '
            b'/DescendantFonts [5 0 R] >>',
            b'<< /Type /Font /Subtype /CIDFontType0 /BaseFont /STSong-Light '
            b'/CIDSystemInfo << /Registry (Adobe) /Ordering (GB1) /Supplement 2 >> '
            b'/FontDescriptor 6 0 R /DW 1000 /W [1 95 500] >>',
            b'<< /Type /FontDescriptor /FontName /STSong-Light /Flags 6 /FontBBox [-25 -254 1000 880] '
            b'/ItalicAngle 0 /Ascent 880 /Descent -120 /CapHeight 880 /StemV 93 >>']


def write_pdf(path, streams, cjk=False):
    objects = [b'<< /Type /Catalog /Pages 2 0 R >>', None,
               b'<< /Type /Font /Subtype /Type1 /BaseFont /Courier /Encoding /WinAnsiEncoding >>']
    fonts = b'/F1 3 0 R'
    if cjk:
        objects += CJK_FONT
        fonts += b' /F2 4 0 R'
    kids = []
    for stream in streams:
        content = len(objects) + 2
        kids.append(len(objects) + 1)
        objects.append(b'<< /Type /Page /Parent 2 0 R /MediaBox [0 0 %d %d] '
                       b'/Resources << /Font << %s >> >> /Contents %d 0 R >>' % (WIDTH, HEIGHT, fonts, content))
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


SECTIONS = [('1 Method', 1), ('1.1 Sampling', 1), ('1.2 Counting', 2), ('2 Results', 3), ('2.1 Spring', 3),
            ('2.2 Summer', 4), ('3 Discussion', 5), ('3.1 Errors', 6), ('3.2 Outlook', 6), ('4 Summary', 7)]


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
    sections = SECTIONS
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


def listing(entries, heading=None, top=740):
    """Entries with spaced dot leaders under an optional heading."""
    out = show(72, top + 40, heading, 20) if heading else b''
    for k, (title, page) in enumerate(entries):
        out += entry(72, top - 24 * k, title, page, '.', 50)
    return out


def report_book(lists, sections, pages, first=b''):
    """A title page, a page per (heading, entries) of `lists`, then printed
    pages 1..pages, each section's title in the text where it starts;
    `first` is drawn on printed page 1 as well."""
    out = [body_page(0, [], 'Field Report')] + [listing(entries, heading) for heading, entries in lists]
    for printed in range(1, pages + 1):
        lines = list(TEXT)
        for title, page in sections:
            if page == printed:
                lines += [title] + TEXT
        out.append(body_page(printed, lines) + (first if printed == 1 else b''))
    return out


def results_book(shift):
    """Four chapters, the first page's list of results pointing `shift`
    pages further on."""
    chapters = [('1 Introduction', 1), ('2 Methods', 4), ('3 Results', 7), ('4 Discussion', 10)]
    samples = [('%d Sample %s' % (k + 1, name), 12 + 2 * k + shift)
               for k, name in enumerate(['Alpha', 'Beta', 'Gamma', 'Delta'])]
    return report_book([('Contents', chapters)], chapters, 22, listing(samples, top=560))


CJK_TEXT = '清华大学的论文按照这一模板排版，正文用宋体小四号字。'


def cjk_body_page(number, heads, lines=3):
    """A page of text: each section starting on it named in a line of its own."""
    out = b''
    y = 760
    for level, head in heads:
        out += show_cjk(72, y, head, 16 if level == 1 else 12)
        y -= 30
        for _ in range(lines):
            out += show_cjk(72, y, CJK_TEXT, 12)
            y -= 20
    if not heads:
        for _ in range(lines):
            out += show_cjk(72, y, CJK_TEXT, 12)
            y -= 20
    if number:
        out += show_cjk(290, 50, str(number))
    return out


def cmap_book():
    chapters = [('第一章 山风', 1), ('第二章 海浪', 3), ('第三章 雷声', 5)]
    pages = [cjk_body_page(0, [(1, '山海之间')], 0)]
    contents = show_cjk(260, 780, '目录', 20)
    for k, (title, page) in enumerate(chapters):
        line = title + ' ' + '…' * (20 - len(title)) + ' %d' % page
        contents += show_cjk(72, 720 - 30 * k, line, 14)
    pages.append(contents)
    for printed in range(1, 7):
        pages.append(cjk_body_page(printed, [(1, t) for t, p in chapters if p == printed]))
    return pages


def contents_line(x, y, width, number, title, page, leaders=True, wrap=None):
    """A TeX contents line: number, title, dots at fixed places, the page
    number flush right; with wrap, the title goes on below from that character."""
    indent = x + 8 + cjk_width(number)
    out = show_cjk(x, y, number) + show_cjk(indent, y, title[:wrap])
    rest = title[:wrap]
    if wrap is not None:
        y -= 16
        rest = title[wrap:]
        out += show_cjk(indent, y, rest)
    right = x + width - cjk_width(str(page))
    dot = 12 * int((indent + cjk_width(rest)) / 12 + 1.5)
    while leaders and dot < right - 10:
        out += show_cjk(dot, y, '.')
        dot += 12
    return out + show_cjk(right, y, str(page))


def thesis_entries():
    """(level, number, title, printed page, wrap) in order."""
    tops = ['模板介绍', '排版要求', '图表格式', '论文结构', '参考文献', '常见问题', '附录说明', '结论']
    subs = {1: ['使用说明', '文件结构'], 2: ['页面设置', '字体字号', '行距'], 3: ['插图', '表格', '公式'],
            4: ['封面', '摘要', '目录', '正文', '致谢', '名单', '声明'], 5: ['著录格式', '引用方式'],
            6: ['编译错误'], 7: ['附录格式', '附录编号', '附录图表', '附录公式', '附录细则', '附录排序',
                                 '附录字体', '附录页眉', '附录页码', '附录目录', '附录引用', '附录结尾']}
    entries = []
    page = 0
    for t, top in enumerate(tops, 1):
        page += 1
        entries.append((1, str(t), top, page, None))
        for s, sub in enumerate(subs.get(t, []), 1):
            page += s > 1 and s % 2
            entries.append((2, '%d.%d' % (t, s), sub, page, None))
            if (t, s) == (4, 6):
                entries.append((3, '4.6.1', '指导小组、公开评阅人和答辩委员会名单', page, 11))
                entries.append((3, '4.6.2', '评阅意见', page, None))
            if (t, s) == (7, 5):
                for k in range(1, 18):
                    page += k % 3 == 0
                    entries.append((3, '7.5.%d' % k, '细则第%d条' % k, page, None))
    return entries


def contents_pages(entries, columns, per_column):
    """Contents pages, the first headed "目录", each of `columns` columns of
    `per_column` lines (a wrapped title takes two), under a running head."""
    pages = []
    out, column, row = show_cjk(270, 790, '目录', 20), 0, 0
    width = (WIDTH - 100) / columns - 20
    for level, number, title, page, wrap in entries:
        lines = 2 if wrap else 1
        if row + lines > per_column:
            column, row = column + 1, 0
            if column == columns:
                pages.append(out)
                out, column = b'', 0
        x = 50 + column * (width + 20) + 10 * (level - 1)
        out += contents_line(x, 750 - 16 * row, width - 10 * (level - 1), number, title, page, level > 1, wrap)
        row += lines
    pages.append(out)
    # A running head and a centred page number over the gutter.
    return [show_cjk(250, 812, '清华大学学位论文模板', 9) + page + show_cjk(285, 50, 'I' * (k + 1))
            for k, page in enumerate(pages)]


def sections_book(entries, contents, front):
    pages = [cjk_body_page(0, [(1, '清华大学学位论文模板')], 0)] + contents + front
    last = entries[-1][3] + 1
    for printed in range(1, last + 1):
        heads = [(level, number + ' ' + title) for level, number, title, page, wrap in entries if page == printed]
        pages.append(cjk_body_page(printed, heads, 1 if len(heads) > 2 else 3))
    return pages


def single_dot_book():
    """A narrow contents column: the long title leaves room for one dot."""
    entries = [(1, '1', '绪论', 1, None), (2, '1.1', '研究背景', 1, None), (1, '2', '浮动对象', 3, None),
               (2, '2.1', '插图', 3, None), (2, '2.2', '浮动对象：插图和表格', 4, None), (2, '2.3', '表格', 5, None),
               (1, '3', '结论', 6, None)]
    contents = show_cjk(130, 790, '目录', 20)
    for k, (level, number, title, page, wrap) in enumerate(entries):
        contents += contents_line(62 + 10 * level, 750 - 16 * k, 170 - 10 * level, number, title, page)
    return sections_book(entries, [contents], [])


write_pdf('single-dot.pdf', single_dot_book(), cjk=True)
write_pdf('cmap.pdf', cmap_book(), cjk=True)
THESIS = thesis_entries()
write_pdf('thesis.pdf', sections_book(THESIS, contents_pages(THESIS, 2, 18), [cjk_body_page(0, [(1, '摘要')])]),
          cjk=True)
THREE = [e for e in THESIS if e[0] < 3]
write_pdf('three-pages.pdf', sections_book(THREE, contents_pages(THREE, 1, 13), []), cjk=True)
write_pdf('adjacent.pdf', chapter_book(['adjacent']))
write_pdf('spaced.pdf', chapter_book(['.', '\u00b7', '\u2026']))
write_pdf('two-column.pdf', two_column_book())
write_pdf('price.pdf', price_book())
write_pdf('results.pdf', results_book(0))
write_pdf('results-past.pdf', results_book(20))
write_pdf('figures.pdf', report_book([('Contents', CHAPTERS), ('List of Figures', [('5.1 Snow on the fields', 9),
                                                                                ('5.2 Ice on the pond', 10)])],
                                     CHAPTERS, 10))
CONTINUED = SECTIONS[:7] + [('3.1 Method errors', 6)] + SECTIONS[8:]
write_pdf('continued.pdf', report_book([('Contents', CONTINUED[:5]), (None, CONTINUED[5:])], CONTINUED, 8))
PREFACED = [('1 Method', 5), ('2 Results', 6), ('3 Discussion', 7), ('4 Errors', 8), ('5 Outlook', 9),
            ('6 Summary', 10)]
write_pdf('preface.pdf', [body_page(0, [], 'Field Report'), body_page(2, TEXT, 'Preface'),
                          listing([('Preface', 2)] + PREFACED[:3], 'Contents'), listing(PREFACED[3:])]
          + [body_page(printed, TEXT + [t for t, p in PREFACED if p == printed] + TEXT) for printed in range(5, 12)])
