#!/bin/sh
# Makes the FB2 test books that are not written by hand: the calibre book
# from ../epub/source.md, and the windows-1251, KOI8-R, GBK and UTF-16 copies of
# the source-*.xml files (each declares its encoding in the prolog). The
# results are committed, so the tests need neither calibre nor iconv.
set -e
cd "$(dirname "$0")"
ebook-convert ../epub/source.md calibre.fb2 --formatting-type=markdown --title=山路夜雨 \
    --authors=林川 --language=zh --sectionize=toc --level1-toc=//h:h1 \
    --level2-toc=//h:h2 >/dev/null
iconv -f UTF-8 -t WINDOWS-1251 source-cyrillic.xml >cp1251.fb2
sed 's/windows-1251/KOI8-R/' source-cyrillic.xml | iconv -f UTF-8 -t KOI8-R >koi8r.fb2
iconv -f UTF-8 -t GBK source-chinese.xml >gbk.fb2
sed 's/GBK/UTF-16/' source-chinese.xml | iconv -f UTF-8 -t UTF-16 >utf16.fb2
# Declared GB2312, as many real books are, yet holding a GBK-only character.
sed 's/"GBK"/"GB2312"/' source-chinese.xml | iconv -f UTF-8 -t GBK >gb2312.fb2
