#!/bin/sh
# Makes whole converter test chapters from chapters.md: pandoc's EPUB 3 (with
# MathML) and calibre's ebook-convert. Only the chapter documents and style
# sheets are kept and committed, so the tests need neither tool.
set -e
cd "$(dirname "$0")"
export SOURCE_DATE_EPOCH=1700000000
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
pandoc chapters.md -f markdown -t epub3 --mathml --metadata=title:Inn -o "$work/p.epub"
ebook-convert chapters.md "$work/c.epub" --formatting-type=markdown --title=Inn >/dev/null
(cd "$work" && mkdir p c && unzip -q p.epub -d p && unzip -q c.epub -d c)
cp "$work/p/EPUB/text/ch001.xhtml" pandoc-chapter.xhtml
cp "$work/p/EPUB/styles/stylesheet1.css" pandoc-chapter.css
c=$(find "$work/c" -name '*.html' -o -name '*.xhtml' | grep -v titlepage | sort | head -1)
cp "$c" calibre-chapter.xhtml
cp "$(find "$work/c" -name stylesheet.css | head -1)" calibre-chapter.css
