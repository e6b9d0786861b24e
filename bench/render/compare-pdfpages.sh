#!/bin/sh
# The PDF reading benchmark of this tree and of a reference build, one after
# the other in one run: ms per screen of each batch row, open to first page
# against poppler's own tool, CPU of the program and its helpers, and peak
# memory (the reference's program alone; here the program's plus the
# largest helper's, an upper bound of both together).
#
#   bench/render/compare-pdfpages.sh BUILD REFERENCE_BUILD
set -e
ours=${1:?build folder}/bench/render/bench_pdfpages
ref=${2:?reference build folder}/bench/render/bench_pdfpages
export QT_QPA_PLATFORM=offscreen LANG=C.UTF-8
for side in ref ours; do
    eval bin=\$$side
    echo "== $side: $bin"
    /usr/bin/time -f "TIME cpu=%U+%S s maxrss=%M KiB" "$bin" 2>&1 \
        | grep -E "first pass|open to first page|CPU:|TIME" | sed 's/^QINFO *: *//'
done
