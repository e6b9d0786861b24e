#!/bin/sh
# Makes the real-world EPUB test books from source.md with pandoc and
# calibre's ebook-convert. The results are committed, so the tests need
# neither tool; run this again only to change the books.
set -e
cd "$(dirname "$0")"
export SOURCE_DATE_EPOCH=1700000000
META="--metadata=title:山路夜雨 --metadata=author:林川 --metadata=lang:zh-CN"
# shellcheck disable=SC2086
pandoc source.md -f markdown -t epub2 $META --toc-depth=2 -o pandoc-epub2.epub
# shellcheck disable=SC2086
pandoc source.md -f markdown -t epub3 $META --toc-depth=2 -o pandoc-epub3.epub
ebook-convert source.md calibre.epub --formatting-type=markdown --title=山路夜雨 \
    --authors=林川 --language=zh --level1-toc=//h:h1 --level2-toc=//h:h2 >/dev/null
