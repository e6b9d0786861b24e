#!/bin/sh
# Makes the two CBZ books the comic tests read: one written by Info-ZIP's
# zip, one by 7-Zip in ZIP mode. Pages are small solid-colour PNGs named so
# that only natural order reads them right (page1, page2, page10).
# Needs python3, zip and p7zip-full. Run from this folder.
set -e
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
here=$(pwd)
python3 "$here/pages.py" "$work" 30 40 -1 page1.png=200,30,30 page2.png=30,160,60 page10.png=30,60,200
printf '%s\n%s\n' '<?xml version="1.0"?>' \
    '<ComicInfo><Series>Harbour Tales</Series><Number>1</Number><Writer>Lin Chuan</Writer><Year>2021</Year><Month>3</Month></ComicInfo>' \
    >"$work/ComicInfo.xml"
rm -f "$here/zip-tool.cbz" "$here/7z-tool.cbz"
(cd "$work" && zip -q -X "$here/zip-tool.cbz" page10.png page2.png page1.png ComicInfo.xml)
mkdir "$work/Vol 1"
mv "$work"/page*.png "$work/Vol 1/"
(cd "$work" && 7z a -tzip -bd -bso0 "$here/7z-tool.cbz" "Vol 1" >/dev/null)
