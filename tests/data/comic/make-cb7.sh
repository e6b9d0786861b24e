#!/bin/sh
# Makes tool-made.cb7 with the 7z tool (p7zip-full): three solid-colour
# 60x90 PNG pages (page1 red, page2 green, page10 blue) and a ComicInfo.xml.
set -e
here=$(cd "$(dirname "$0")" && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
python3 "$here/pages.py" "$work" 60 90 9 page1.png=200,30,30 page2.png=30,160,40 page10.png=40,60,200
printf '<?xml version="1.0"?>\n<ComicInfo><Title>工具做的漫画</Title></ComicInfo>\n' >"$work/ComicInfo.xml"
rm -f "$here/tool-made.cb7"
(cd "$work" && 7z a -t7z -bd -bso0 "$here/tool-made.cb7" page10.png page2.png page1.png ComicInfo.xml)
