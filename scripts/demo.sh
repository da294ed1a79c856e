#!/bin/bash
# Runs Quillfern under Wine with stand-in shells, so that it can be seen at
# work on any machine: builds, lays out build/demo/ (a copy of Quillfern.exe,
# the sample configuration pointed at the stand-ins, a LiteStep stand-in with
# three themes, an Explorer stand-in), starts the manager, and says how to
# send it commands (scripts/qf.sh -swap, ...).
#
# Without a DISPLAY it uses a virtual one and saves screenshots of what a
# person would see into build/demo/screenshots/.
#
#   scripts/demo.sh          runs until Enter or Ctrl-C
#   scripts/demo.sh --auto   a short scripted tour (start, swap, swap back,
#                            swaptheme, quit), then exits; 0 when every step
#                            showed what it should
set -e
cd "$(dirname "$0")/.."
AUTO=0
case "${1:-}" in
    --auto) AUTO=1 ;;
    "") ;;
    *) echo "usage: scripts/demo.sh [--auto]" >&2; exit 2 ;;
esac

scripts/install-deps.sh
echo "Building..."
scripts/build.sh

DEMO="$PWD/build/demo"
SHOTS="$DEMO/screenshots"
# A prefix of its own: a test run (which ends every program of its prefix)
# never takes the demo down, nor the demo a test run.
export QF_WINEPREFIX="$DEMO/wineprefix"
source scripts/wine-env.sh
TOOL="$QF_TESTBIN/window_tool.exe"

winpath() { local p="Z:$1"; echo "${p//\//\\}"; }

# ---- The demo directory (everything but the prefix is laid out afresh) ----
lay_out_demo() {
    mkdir -p "$DEMO"
    find "$DEMO" -mindepth 1 -maxdepth 1 ! -name wineprefix -exec rm -rf {} +
    mkdir -p "$DEMO/LiteStep/themes" "$DEMO/Explorer" "$DEMO/Shells" "$SHOTS"
    cp build/x86_64/Quillfern.exe "$DEMO/"
    # The one stand-in takes its role from its file name.
    cp "$QF_TESTBIN/standin.exe" "$DEMO/LiteStep/LiteStep.exe"
    cp "$QF_TESTBIN/standin.exe" "$DEMO/Explorer/Explorer.exe"
    cp "$QF_TESTBIN/standin.exe" "$DEMO/Shells/FileMgr.exe"
    # LiteStep's own files before any theme is installed.
    printf 'ThemeName "none yet"\r\nThemeColor C0C0C0\r\n' > "$DEMO/LiteStep/step.rc"
    printf '[Modules]\r\n' > "$DEMO/LiteStep/modules.ini"
    local theme name color top bottom
    for theme in Day:FFD040:skyblue:white Night:5060C0:navy:black Dusk:E07050:orange:purple; do
        IFS=: read -r name color top bottom <<<"$theme"
        local dir="$DEMO/LiteStep/themes/${name,,}"
        mkdir -p "$dir"
        printf '; step.rc of the %s theme\r\nThemeName "%s"\r\nThemeColor %s\r\n' \
            "$name" "$name" "$color" > "$dir/step.rc"
        printf '[Modules]\r\n; modules of the %s theme\r\n' "$name" > "$dir/modules.ini"
        convert -size 1024x768 "gradient:$top-$bottom" "BMP3:$dir/back.bmp"
    done
    # The sample configuration, pointed at the stand-ins: LiteStep with the
    # theme Day for every user, and a third theme so that -swaptheme shows
    # its list.
    local ls ex sh
    ls=$(winpath "$DEMO/LiteStep"); ex=$(winpath "$DEMO/Explorer"); sh=$(winpath "$DEMO/Shells")
    sed -e "s|C:\\\\LiteStep|${ls//\\/\\\\}|g" \
        -e "s|C:\\\\Windows\\\\Explorer.exe|${ex//\\/\\\\}\\\\Explorer.exe|" \
        -e "s|C:\\\\Shells|${sh//\\/\\\\}|" \
        -e '/^\[default\]/,/^\[/ s|^shell=explorer_exe|shell=litestep_exe|' \
        -e '/^\[default\]/,/^\[/ s|^kill_delay=-1|kill_delay=3|' \
        -e 's|^;theme=Day|theme=Day|' \
        -e "/^theme_back_2=/a theme_name_3=Dusk\ntheme_path_3=${ls//\\/\\\\}\\\\themes\\\\dusk\ntheme_back_3=${ls//\\/\\\\}\\\\themes\\\\dusk\\\\back.bmp" \
        sample/Quillfern.cfg | sed 's/$/\r/' > "$DEMO/Quillfern.cfg"
}

shot() {
    [ "$HEADLESS" = 1 ] || return 0
    sleep 1
    import -display "$DISPLAY" -window root "$SHOTS/$1.png" 2>/dev/null &&
        echo "  screenshot: build/demo/screenshots/$1.png"
}

MANAGER_PID=
cleanup() {
    trap - EXIT INT TERM
    rm -f "$DEMO/session.env"
    qf_stop_session
    [ -n "$MANAGER_PID" ] && wait "$MANAGER_PID" 2>/dev/null || true
}

lay_out_demo
HEADLESS=0
if [ -z "${DISPLAY:-}" ]; then
    HEADLESS=1
    qf_start_xvfb
fi
trap cleanup EXIT
trap 'exit 130' INT TERM
qf_make_prefix
qf_start_session
cat > "$DEMO/session.env" <<ENV
export QF_WINEPREFIX="$QF_WINEPREFIX"
export DISPLAY="$DISPLAY"
QF_DEMO_HEADLESS=$HEADLESS
ENV

echo "Starting Quillfern: $DEMO/Quillfern.exe (display $DISPLAY)"
(cd "$DEMO" && exec "$WINE64" Quillfern.exe </dev/null >"$DEMO/wine.log" 2>&1) &
MANAGER_PID=$!

failures=0
expect() {   # expect <what> <window_tool args...>
    local what=$1; shift
    if "$WINE64" "$TOOL" "$@" </dev/null >/dev/null 2>&1; then
        echo "  ok: $what"
    else
        echo "  FAILED: $what"
        failures=$((failures + 1))
    fi
}
send() {
    echo "scripts/qf.sh $1"
    scripts/qf.sh --no-shot "$1"
}

expect "the manager's control window is there" wait QuillfernWndClass 20000
expect "LiteStep is running" wait TWharfGlobalContainer 20000
shot 01-start-litestep

if [ "$AUTO" = 0 ]; then
    cat <<TEXT

Quillfern is running with the LiteStep stand-in (theme Day).
Send it commands from another terminal, for example:
    scripts/qf.sh -swap         LiteStep <-> Explorer
    scripts/qf.sh -swaptheme    pick another LiteStep theme
    scripts/qf.sh -restart      restart the current shell
    scripts/qf.sh -kill         stop the shell (the manager stays)
    scripts/qf.sh -quit         end the manager
TEXT
    [ "$HEADLESS" = 1 ] && echo "Each command saves a screenshot into build/demo/screenshots/."
    echo "The files are in build/demo/ (Quillfern.cfg, LiteStep/step.rc, ...)."
    if [ -t 0 ]; then
        echo "Press Enter to stop."
        read -r _ || true
    else
        wait "$MANAGER_PID" || true
    fi
    exit 0
fi

# ---- The scripted tour ----------------------------------------------------
send -swap
expect "Explorer has replaced LiteStep" wait Progman 20000
expect "LiteStep is gone" gone TWharfGlobalContainer 20000
shot 02-swap-to-explorer

send -swap
expect "LiteStep is back" wait TWharfGlobalContainer 20000
expect "Explorer is gone" gone Progman 20000
shot 03-swap-back-to-litestep

starts_before=$(grep -c '^litestep start' "$DEMO/LiteStep/events.log" || true)
send -swaptheme
expect "the theme list is shown" list 10000
shot 04-theme-list
expect "Night chosen in the list" choose 1 5000
for _ in $(seq 40); do
    [ "$(grep -c '^litestep start' "$DEMO/LiteStep/events.log")" -gt "$starts_before" ] && break
    sleep 0.5
done
if grep -q '"Night"' "$DEMO/LiteStep/step.rc" &&
   [ "$(grep -c '^litestep start' "$DEMO/LiteStep/events.log")" -gt "$starts_before" ]; then
    echo "  ok: LiteStep restarted with the Night theme's step.rc"
else
    echo "  FAILED: LiteStep was not restarted with the Night theme's step.rc"
    failures=$((failures + 1))
fi
expect "LiteStep is running" wait TWharfGlobalContainer 20000
shot 05-theme-night

send -quit
if timeout 20 tail --pid="$MANAGER_PID" -f /dev/null; then
    echo "  ok: the manager has ended"
else
    echo "  FAILED: the manager is still running"
    failures=$((failures + 1))
fi
expect "the shell keeps running after -quit" wait TWharfGlobalContainer 2000
shot 06-after-quit

echo
if [ "$failures" = 0 ]; then
    echo "Demo tour: every step as expected."
else
    echo "Demo tour: $failures step(s) failed."
fi
[ "$failures" = 0 ]
