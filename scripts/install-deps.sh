#!/bin/sh
# Installs, idempotently, everything the build and the Wine test bed need,
# from Debian's packages only. Needs root when something is missing; does
# nothing (and needs nothing) when all is there. wine64 only, unless called
# with --wine32: the i686 lane (scripts/test.sh --i686) adds the 32-bit Wine,
# wine32:i386, and the i386 architecture it comes from. Every script calls
# wine64 by its path, so the 32-bit Wine changes nothing for them.
set -e
PKGS="cmake make g++-mingw-w64-i686-posix g++-mingw-w64-x86-64-posix
      binutils-mingw-w64-i686 binutils-mingw-w64-x86-64 wine wine64
      xvfb xauth x11-utils imagemagick googletest python3 python3-pefile zip
      clang-format fonts-dejavu-core"
[ "${1:-}" = --wine32 ] && PKGS="$PKGS wine32:i386"
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
case "$missing" in
*:i386*) dpkg --print-foreign-architectures | grep -qx i386 || dpkg --add-architecture i386 ;;
esac
apt-get update -qq </dev/null
apt-get install -y -qq --no-install-recommends $missing </dev/null
