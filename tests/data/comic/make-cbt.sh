#!/bin/sh
# Makes normalisation.cbt with bsdtar (libarchive-tools): three solid-colour
# 60x90 PNG pages whose first two names differ only in Unicode normalisation,
# Café-01.png in NFC (red) and in NFD (green), then Café-02.png (blue).
set -e
here=$(cd "$(dirname "$0")" && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
nfc=$(printf 'Caf\303\251-01.png')
nfd=$(printf 'Cafe\314\201-01.png')
two=$(printf 'Caf\303\251-02.png')
python3 "$here/pages.py" "$work" 60 90 9 "$nfc=200,30,30" "$nfd=30,160,40" "$two=40,60,200"
rm -f "$here/normalisation.cbt"
(cd "$work" && bsdtar -cf "$here/normalisation.cbt" "$nfc" "$nfd" "$two")
