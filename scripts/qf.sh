#!/bin/bash
# Sends a command word to the manager that scripts/demo.sh runs, in the same
# Wine prefix and on the same display:
#   scripts/qf.sh -swap      (or -swaptheme, -restart, -kill, -quit, -nuke ...)
# On a virtual display it then saves a screenshot into build/demo/screenshots/.
cd "$(dirname "$0")/.."
SHOT=1
if [ "${1:-}" = --no-shot ]; then SHOT=0; shift; fi
if [ $# -eq 0 ]; then
    echo "usage: scripts/qf.sh -swap|-swaptheme|-restart|-kill|-quit|-nuke|..." >&2
    exit 2
fi
if [ ! -f build/demo/session.env ]; then
    echo "error: no demo is running; start one with scripts/demo.sh" >&2
    exit 1
fi
source build/demo/session.env
source scripts/wine-env.sh
(cd build/demo && "$WINE64" Quillfern.exe "$@" </dev/null >/dev/null 2>&1)
status=$?
if [ "$SHOT" = 1 ] && [ "${QF_DEMO_HEADLESS:-0}" = 1 ]; then
    sleep 3
    name="$(date +%H%M%S)${1//[^A-Za-z0-9]/-}"
    # The Wine desktop, at the top left of the virtual display.
    import -display "$DISPLAY" -window root -crop "${QF_DEMO_DESKTOP:-800x600}+0+0" +repage \
        "build/demo/screenshots/$name.png" 2>/dev/null &&
        echo "screenshot: build/demo/screenshots/$name.png"
fi
exit $status
