#!/bin/sh
# Installs the Debian packages that building, running and testing need,
# only those that are missing. Recommended packages are left out, so the
# ones a reader needs are named: poppler-data (Chinese, Japanese and Korean
# text of PDFs that use the predefined CMaps).
set -e
PACKAGES="cmake g++ ninja-build pkg-config
qtbase5-dev qtdeclarative5-dev qml-module-qtquick2 qml-module-qtquick-window2
libqt5sql5-sqlite libsqlite3-dev zlib1g-dev sqlite3
fonts-dejavu-core fontconfig fonts-noto-cjk
libminizip-dev libarchive-dev
libicu-dev opencc libopencc-data libxml2-dev libqt5svg5
libpoppler-qt5-dev libpoppler-private-dev poppler-data qpdf
qt5-image-formats-plugins libseccomp-dev"

missing=""
for p in $PACKAGES; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing="$missing $p"
done
[ -z "$missing" ] && exit 0

SUDO=""
[ "$(id -u)" -eq 0 ] || SUDO="sudo"
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update
# shellcheck disable=SC2086
$SUDO apt-get install -y --no-install-recommends $missing
# The downloaded archives are not needed once installed; small disks need the room.
$SUDO apt-get clean
