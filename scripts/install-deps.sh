#!/bin/sh
# Installs, idempotently, everything the build and the Wine test bed need,
# from Debian's packages only. Needs root when something is missing; does
# nothing (and needs nothing) when all is there. wine64 only: the 32-bit Wine
# is never wanted (the tests run the 64-bit build).
set -e
PKGS="cmake make g++-mingw-w64-i686-posix g++-mingw-w64-x86-64-posix
      binutils-mingw-w64-i686 binutils-mingw-w64-x86-64 wine wine64
      xvfb xauth x11-utils imagemagick googletest python3 python3-pefile zip"
missing=""
for p in $PKGS; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing="$missing $p"
done
[ -z "$missing" ] && exit 0
if [ "$(id -u)" != 0 ]; then
    echo "error: missing packages:$missing; run this script as root" >&2
    exit 1
fi
echo "Installing:$missing" >&2
export DEBIAN_FRONTEND=noninteractive
apt-get update -qq </dev/null
apt-get install -y -qq --no-install-recommends $missing </dev/null
