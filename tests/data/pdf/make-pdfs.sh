#!/bin/sh
# Makes the committed PDF test books. Needs ghostscript and qpdf:
#   apt-get install ghostscript qpdf
# outline.pdf: 12 A4 pages, document information and a nested outline whose
#   first entry starts on page 3 and one of whose items has no destination.
# locked.pdf: outline.pdf behind a user password.
set -e
cd "$(dirname "$0")"
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT

cat > "$tmp/outline.ps" <<'PS'
%!PS
<< /PageSize [595 842] >> setpagedevice
[ /Title (The Lighthouse Keeper) /Author (Mara Quill) /Subject (A short novel of the sea)
  /DOCINFO pdfmark
/heads [ (Title page) (Dedication) (Chapter One) (A Storm) (The storm goes on) (Chapter Two)
         (The harbour) (The harbour at night) (Chapter Three) (The lamp) (The keeper) (The end) ] def
0 1 11 {
  /i exch def
  /Helvetica-Bold findfont 28 scalefont setfont
  72 720 moveto heads i get show
  /Helvetica findfont 12 scalefont setfont
  72 680 moveto (The sea rose against the rocks below the lighthouse.) show
  72 60 moveto (Page ) show i 1 add 3 string cvs show
  showpage
} for
[ /Count 1 /Title (Chapter One) /Page 3 /View [/XYZ null null null] /OUT pdfmark
[ /Title (A Storm) /Page 4 /View [/XYZ null null null] /OUT pdfmark
[ /Title (Chapter Two) /Page 6 /View [/XYZ null null null] /OUT pdfmark
[ /Count 1 /Title (Part Three) /OUT pdfmark
[ /Title (Chapter Three) /Page 9 /View [/XYZ null null null] /OUT pdfmark
PS
gs -q -dNOPAUSE -dBATCH -dSAFER -sDEVICE=pdfwrite -o outline.pdf "$tmp/outline.ps"
qpdf --encrypt reader owner 256 -- outline.pdf locked.pdf
