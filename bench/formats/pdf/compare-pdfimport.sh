#!/bin/sh
# The PDF import benchmark of this tree and of a reference build, row by row,
# the reference first: ms of the import and the CPU of the whole run, the
# program's and its helpers' (reaped when the program ends, so counted).
#
#   bench/formats/pdf/compare-pdfimport.sh BUILD REFERENCE_BUILD
set -e
ours=${1:?build folder}/bench/formats/pdf/bench_pdfimport
ref=${2:?reference build folder}/bench/formats/pdf/bench_pdfimport
export QT_QPA_PLATFORM=offscreen LANG=C.UTF-8
for row in "import:500 pages, outline" "import:500 pages, contents page" "import:500 pages, ranges" \
    "import:2000 pages, outline" "import:2000 pages, ranges" "outline:20000 entries"; do
    for side in ref ours; do
        eval bin=\$$side
        printf '%s | %s | ' "$row" "$side"
        /usr/bin/time -f "cpu=%U+%S s maxrss=%M KiB" "$bin" "$row" 2>&1 \
            | grep -E "QINFO.*(import:|outline read:)|cpu=" | sed 's/^QINFO *: *[^)]*) *//' | tr '\n' ' '
        echo
    done
done
