#!/usr/bin/env python3
"""Writes a long EPUB laid out as the common public-domain edition of a
whaling novel is: many chapters of English prose, each file ending in
"<br/></div><br/></div><p><a id=...></a></p>" (empty lines after the text),
a few opening with a page's worth of empty lines, a few closing in a page of
no-break spaces. The prose is made up from a
fixed seed, so every run writes the same book.

    tests/data/epub/make-mobylike.py OUT.epub [CHAPTERS]
"""
import random, sys, zipfile

NOUNS = ("sea whale ship captain harpoon voyage mast sail deck wave shore island crew sailor oar boat "
         "harbour storm wind night morning tide compass lantern rope anchor hull cabin water coast fog "
         "horizon gull spray barrel fish line chart watch reef cape mate cook boy spout fin flukes").split()
ADJECTIVES = ("old grey dark wild silent long cold bright strange heavy distant broad deep salt weary "
              "pale black white restless hidden solemn mighty quiet ancient low swift lonely").split()
VERBS = ("watched followed crossed remembered carried lowered raised hailed sought saw heard climbed "
         "steered mended counted struck left found kept passed lifted turned").split()
ADVERBS = ["slowly", "again", "quietly", "at last", "once more", "far away", "before dawn", "in silence", "now and then"]
OPENERS = ["Call it what you will,", "It was not long before", "Now,", "Yet", "And so", "Some years ago,",
           "Whenever the weather turned,", "For a while", "But", "At length", "Often,"]
SUBJECTS = ["I", "we", "the captain", "the old mate", "my shipmate", "the harpooneer", "every man aboard",
            "the cook", "a stranger", "the lookout"]


def noun(r):
    return r.choice(ADJECTIVES) + " " + r.choice(NOUNS) if r.random() < 0.5 else r.choice(NOUNS)


def sentence(r):
    parts = []
    if r.random() < 0.4:
        parts.append(r.choice(OPENERS))
    parts.append(r.choice(SUBJECTS))
    parts.append(r.choice(VERBS))
    parts.append("the " + noun(r))
    if r.random() < 0.5:
        parts.append(r.choice(["over", "beyond", "under", "towards", "beside", "against"]) + " the " + noun(r))
    if r.random() < 0.3:
        parts.append(r.choice(ADVERBS))
    if r.random() < 0.25:
        parts.append("; and " + r.choice(SUBJECTS) + " " + r.choice(VERBS) + " the " + noun(r))
    text = " ".join(parts).replace(" ;", ";")
    return text[0].upper() + text[1:] + r.choice([".", ".", ".", "!", "?"])


def paragraph(r):
    return " ".join(sentence(r) for _ in range(r.randint(2, 9)))


def chapter(r, n, chapters):
    title = "CHAPTER %d. The %s." % (n, noun(r).title())
    opening = "<br/>" * 45 if n % 50 == 3 else ""
    words, body = r.randint(150, 2200), []
    while words > 0:
        p = paragraph(r)
        body.append("<p>%s</p>" % p)
        words -= len(p.split())
    after = '<p><a id="link2HCH%04d"></a></p>' % (n + 1) if n < chapters else ""
    if n % 40 == 7:
        after += "<p>&#160;</p>" * 30
    return ('<?xml version="1.0" encoding="utf-8"?>\n<html xmlns="http://www.w3.org/1999/xhtml"><head>'
            '<title>%s</title></head><body>%s<div class="chapter"><div><h2><a id="link2HCH%04d"></a>%s</h2>\n%s\n'
            '<br/></div><br/></div>%s</body></html>\n') % (title, opening, n, title, "\n".join(body), after), title


def main():
    out = sys.argv[1]
    chapters = int(sys.argv[2]) if len(sys.argv) > 2 else 147
    r = random.Random(1851)
    items, spine, points = [], [], []
    with zipfile.ZipFile(out, "w", zipfile.ZIP_DEFLATED) as z:
        z.writestr(zipfile.ZipInfo("mimetype"), "application/epub+zip")
        z.writestr("META-INF/container.xml", '<?xml version="1.0"?><container version="1.0" xmlns="urn:oasis:'
                   'names:tc:opendocument:xmlns:container"><rootfiles><rootfile full-path="OEBPS/content.opf" '
                   'media-type="application/oebps-package+xml"/></rootfiles></container>')
        for n in range(1, chapters + 1):
            text, title = chapter(r, n, chapters)
            name = "ch%03d.xhtml" % n
            z.writestr("OEBPS/" + name, text)
            items.append('<item id="c%d" href="%s" media-type="application/xhtml+xml"/>' % (n, name))
            spine.append('<itemref idref="c%d"/>' % n)
            points.append('<navPoint id="n%d" playOrder="%d"><navLabel><text>%s</text></navLabel>'
                          '<content src="%s"/></navPoint>' % (n, n, title, name))
        z.writestr("OEBPS/content.opf", '<?xml version="1.0"?><package xmlns="http://www.idpf.org/2007/opf" '
                   'version="2.0" unique-identifier="i"><metadata xmlns:dc="http://purl.org/dc/elements/1.1/">'
                   '<dc:title>The Whale</dc:title><dc:creator>Anonymous</dc:creator><dc:identifier id="i">'
                   'mobylike</dc:identifier></metadata><manifest>' + "".join(items) +
                   '<item id="ncx" href="toc.ncx" media-type="application/x-dtbncx+xml"/></manifest>'
                   '<spine toc="ncx">' + "".join(spine) + '</spine></package>')
        z.writestr("OEBPS/toc.ncx", '<?xml version="1.0"?><ncx xmlns="http://www.daisy.org/z3986/2005/ncx/" '
                   'version="2005-1"><navMap>' + "".join(points) + '</navMap></ncx>')


if __name__ == "__main__":
    main()
