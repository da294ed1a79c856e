#!/bin/bash
# Builds the release package build/dist/Quillfern-1.50.zip: the i686
# Quillfern.exe, the commented sample Quillfern.cfg and the manual, both text
# files with CRLF line ends for Notepad.
#
#   scripts/package.sh                        build/i686, then the zip
#   scripts/package.sh --build-dir DIR --out ZIP
#                                             a clean i686 build in DIR
#                                             (tests use this)
#
# The archive is the same byte for byte on every run from the same sources:
# entries in sorted order, one fixed date on every entry, fixed attributes
# and compression level, and an executable linked without a timestamp.
set -e
cd "$(dirname "$0")/.."
root=$PWD
build_dir=build/i686
out=build/dist/Quillfern-1.50.zip
while [ $# -gt 0 ]; do
    case "$1" in
        --build-dir) build_dir=$2; shift 2 ;;
        --out) out=$2; shift 2 ;;
        *) echo "usage: $0 [--build-dir DIR] [--out ZIP]" >&2; exit 2 ;;
    esac
done

for f in sample/Quillfern.cfg docs/Quillfern.txt; do
    [ -f "$f" ] || { echo "package: $f is missing" >&2; exit 1; }
done

# The shipped preset, built into the chosen directory.
cmake --preset i686 -B "$build_dir" >/dev/null
cmake --build "$build_dir" --target Quillfern -j"$(nproc)" >/dev/null

mkdir -p "$(dirname "$out")"
/usr/bin/python3 - "$build_dir/Quillfern.exe" sample/Quillfern.cfg docs/Quillfern.txt "$out" <<'EOF'
import sys
import zipfile

exe, cfg, manual, out = sys.argv[1:]
# 1 January 2000, noon: any fixed date; zip dates have no time zone.
STAMP = (2000, 1, 1, 12, 0, 0)


def crlf(path):
    with open(path, 'rb') as f:
        data = f.read()
    data = data.replace(b'\r\n', b'\n')
    if not data.endswith(b'\n'):
        data += b'\n'
    return data.replace(b'\n', b'\r\n')


with open(exe, 'rb') as f:
    program = f.read()
entries = {
    'Quillfern.cfg': crlf(cfg),
    'Quillfern.exe': program,
    'Quillfern.txt': crlf(manual),
}
with zipfile.ZipFile(out, 'w') as z:
    for name in sorted(entries):
        info = zipfile.ZipInfo(name, STAMP)
        info.create_system = 0          # MS-DOS attributes
        info.external_attr = 0x20       # "archive", as Windows' own zips
        info.compress_type = zipfile.ZIP_DEFLATED
        z.writestr(info, entries[name], compresslevel=9)
EOF
echo "$out"
