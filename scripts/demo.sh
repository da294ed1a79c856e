#!/bin/bash
# Runs Quillfern under Wine with look-alike stand-in shells, so that it can be
# seen at work on any machine: builds, lays out build/demo/ (a copy of
# Quillfern.exe, the sample configuration pointed at the stand-ins, a LiteStep
# stand-in with three themes, an Explorer stand-in), starts the manager on an
# 800x600 Wine virtual desktop (which draws title bars and the theme's
# wallpaper), and says how to send it commands (scripts/qf.sh -swap, ...).
#
# Without a DISPLAY it uses a virtual one and saves screenshots of what a
# person would see into build/demo/screenshots/.
#
#   scripts/demo.sh          runs until Enter or Ctrl-C
#   scripts/demo.sh --auto   a scripted tour (start, swap, swap back, theme
#                            switch, a shell's death, -check, the recovery key,
#                            quit), then exits; 0 when every step showed what
#                            it should
#   scripts/demo.sh --auto --pictures
#                            the same, and on success copies the README's
#                            pictures into docs/screenshots/
set -e
cd "$(dirname "$0")/.."
AUTO=0
PICTURES=0
for arg in "$@"; do
    case "$arg" in
        --auto) AUTO=1 ;;
        --pictures) AUTO=1; PICTURES=1 ;;
        *) echo "usage: scripts/demo.sh [--auto [--pictures]]" >&2; exit 2 ;;
    esac
done

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
# The themes' wallpapers, one for each, told apart at a glance: a day sky with
# a sun, a night sky with stars and a moon, a dusk sky with a setting sun;
# each with its name written on it. 800x600, the size of the desktop.
FONT=/usr/share/fonts/truetype/dejavu/DejaVuSans-Bold.ttf
draw_wallpaper() {   # draw_wallpaper <name> <file.bmp>
    local sky sun ink tag stars
    case "$1" in
        Day) sky='#3a8ee6-#dff1ff'; ink=white; tag='#ffffffc0'
             sun=(-fill '#fff6b0' -draw 'circle 640,130 640,180') ;;
        Night) sky='#02030f-#1d2d6e'; ink='#c8d4ff'; tag='#8090c0'
             stars=$(awk 'BEGIN { srand(7); for (i = 0; i < 90; i++) {
                 x = int(rand() * 800); y = int(rand() * 560); r = rand() < 0.2 ? 1.5 : 0.8
                 printf "circle %d,%d %d,%.1f ", x, y, x, y + r } }')
             sun=(-fill '#e8ecff' -draw "$stars" -fill '#f4f1d0' -draw 'circle 150,110 150,145'
                  -fill '#060a22' -draw 'circle 166,100 166,135') ;;
        *) sky='#5b2a86-#f7b267'; ink='#fff0e0'; tag='#ffe0c0c0'
             sun=(-fill '#ffd27a' -draw 'circle 400,600 400,520') ;;
    esac
    convert -size 800x600 "gradient:$sky" "${sun[@]}" -font "$FONT" -gravity center \
        -pointsize 110 -fill '#0000003a' -annotate +4+4 "$1" -fill "$ink" -annotate +0+0 "$1" \
        -pointsize 22 -fill "$tag" -annotate +0+85 'a Quillfern demo theme' "BMP3:$2"
}

lay_out_demo() {
    mkdir -p "$DEMO"
    find "$DEMO" -mindepth 1 -maxdepth 1 ! -name wineprefix -exec rm -rf {} +
    mkdir -p "$DEMO/LiteStep/themes" "$DEMO/Explorer" "$DEMO/Shells" "$SHOTS"
    cp build/x86_64/Quillfern.exe "$DEMO/"
    # The one look-alike stand-in takes its role from its file name.
    cp "$QF_TESTBIN/desktop_shell.exe" "$DEMO/LiteStep/LiteStep.exe"
    cp "$QF_TESTBIN/desktop_shell.exe" "$DEMO/Explorer/Explorer.exe"
    cp "$QF_TESTBIN/desktop_shell.exe" "$DEMO/Shells/FileMgr.exe"
    # LiteStep's own files before any theme is installed. The stand-in's bar
    # shows ThemeName and takes its colour from ThemeColor.
    printf 'ThemeName "none yet"\r\nThemeColor C0C0C0\r\n' > "$DEMO/LiteStep/step.rc"
    printf '[Modules]\r\n' > "$DEMO/LiteStep/modules.ini"
    local theme name color
    for theme in Day:FFD040 Night:303C90 Dusk:E07050; do
        IFS=: read -r name color <<<"$theme"
        local dir="$DEMO/LiteStep/themes/${name,,}"
        mkdir -p "$dir"
        printf '; step.rc of the %s theme\r\nThemeName "%s"\r\nThemeColor %s\r\n' \
            "$name" "$name" "$color" > "$dir/step.rc"
        printf '[Modules]\r\n; modules of the %s theme\r\n' "$name" > "$dir/modules.ini"
        draw_wallpaper "$name" "$dir/back.bmp"
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

# The virtual desktop: every Wine program of the demo prefix runs on it, so
# that the clients (scripts/qf.sh) and the window probes see the manager's
# windows. With no window manager it sits at the top left of the display.
DESKTOP_NAME=Quillfern
DESKTOP_SIZE=800x600
use_virtual_desktop() {
    # @@ Wine registry keys: HKCU\Software\Wine\Explorer "Desktop", and the
    # size under HKCU\Software\Wine\Explorer\Desktops
    "$WINE64" reg add 'HKCU\Software\Wine\Explorer' /v Desktop /t REG_SZ /d "$DESKTOP_NAME" /f \
        </dev/null >/dev/null 2>&1 &&
    "$WINE64" reg add 'HKCU\Software\Wine\Explorer\Desktops' /v "$DESKTOP_NAME" /t REG_SZ \
        /d "$DESKTOP_SIZE" /f </dev/null >/dev/null 2>&1
    wineserver -w
}

shot() {
    [ "$HEADLESS" = 1 ] || return 0
    sleep 1
    import -display "$DISPLAY" -window root -crop "$DESKTOP_SIZE+0+0" +repage \
        "$SHOTS/$1.png" 2>/dev/null && echo "  screenshot: build/demo/screenshots/$1.png"
}

MANAGER_PID=
CLIENT_PID=
cleanup() {
    trap - EXIT INT TERM
    rm -f "$DEMO/session.env"
    qf_stop_session
    [ -n "$MANAGER_PID" ] && wait "$MANAGER_PID" 2>/dev/null || true
    [ -n "$CLIENT_PID" ] && wait "$CLIENT_PID" 2>/dev/null || true
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
wineserver -k >/dev/null 2>&1 || true
use_virtual_desktop
qf_start_session
cat > "$DEMO/session.env" <<ENV
export QF_WINEPREFIX="$QF_WINEPREFIX"
export DISPLAY="$DISPLAY"
QF_DEMO_HEADLESS=$HEADLESS
QF_DEMO_DESKTOP=$DESKTOP_SIZE
ENV

# The recovery key, when this Quillfern has one: the configuration's value,
# else the default.
RECOVERY_KEY=
if grep -q recovery_key build/x86_64/Quillfern.exe; then
    RECOVERY_KEY=$(sed -n 's/^recovery_key=\([^\r]*\).*/\1/p' "$DEMO/Quillfern.cfg" | head -n1)
    RECOVERY_KEY=${RECOVERY_KEY:-ctrl+alt+shift+f12}
fi

echo "Starting Quillfern: $DEMO/Quillfern.exe (display $DISPLAY, a $DESKTOP_SIZE Wine desktop)"
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
expect "LiteStep is running, its bar names the theme Day" title TWharfGlobalContainer Day 20000
shot 01-start-litestep

if [ "$AUTO" = 0 ]; then
    cat <<TEXT

Quillfern is running with the LiteStep stand-in (theme Day) on a Wine desktop.
Send it commands from another terminal, for example:
    scripts/qf.sh -swap         LiteStep <-> Explorer
    scripts/qf.sh -swaptheme    pick another LiteStep theme
    scripts/qf.sh -restart      restart the current shell
    scripts/qf.sh -kill         stop the shell (the manager stays)
    scripts/qf.sh -check        what Quillfern makes of its configuration
    scripts/qf.sh -quit         end the manager
TEXT
    [ -n "$RECOVERY_KEY" ] && echo "Press $RECOVERY_KEY on the Wine desktop for the recovery dialog."
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
expect "Explorer has replaced LiteStep" wait Shell_TrayWnd 20000
expect "LiteStep is gone" gone TWharfGlobalContainer 20000
shot 02-swap-to-explorer

send -swap
expect "LiteStep is back" wait TWharfGlobalContainer 20000
expect "Explorer is gone" gone Shell_TrayWnd 20000
shot 03-swap-back-to-litestep

send -swaptheme
expect "the theme list is shown" list 10000
shot 04-theme-list
expect "Night chosen in the list" choose 1 5000
expect "LiteStep restarted with the Night theme's step.rc" title TWharfGlobalContainer Night 20000
shot 05-theme-night

echo "A shell's death: the LiteStep stand-in is ended from outside"
expect "LiteStep has been ended" kill TWharfGlobalContainer
expect "the manager offers the shell-terminated dialog" options 20000
shot 06-shell-terminated
expect "Restart LiteStep chosen in the dialog" pick litestep 5000
expect "LiteStep is back, with the theme Night" title TWharfGlobalContainer Night 20000

# -check reads the file anew, while the running manager keeps what it read at
# its start: two slips in the file, and what -check says of them.
echo "Two slips in Quillfern.cfg, then: scripts/qf.sh -check"
cp "$DEMO/Quillfern.cfg" "$DEMO/Quillfern.cfg.good"
sed -i -e 's/^kill_delay=3/kill_dealy=3/' -e 's/^theme=Day/theme=Noon/' "$DEMO/Quillfern.cfg"
scripts/qf.sh --no-shot -check &
CLIENT_PID=$!
expect "-check shows its findings" box 20000
shot 07-check
expect "its box closed" ok 5000
if wait "$CLIENT_PID"; then
    echo "  FAILED: -check said the file with two slips is in order"
    failures=$((failures + 1))
else
    echo "  ok: -check ended with a non-zero code"
fi
CLIENT_PID=
mv "$DEMO/Quillfern.cfg.good" "$DEMO/Quillfern.cfg"

if [ -n "$RECOVERY_KEY" ]; then
    echo "The recovery key: $RECOVERY_KEY"
    expect "the key pressed" keys "$RECOVERY_KEY"
    expect "the manager shows the recovery dialog" options 10000
    shot 08-recovery
    expect "Esc (Cancel) leaves it" cancel 5000
    expect "LiteStep still runs, with the theme Night" title TWharfGlobalContainer Night 2000
else
    echo "The recovery key: skipped, this Quillfern has none yet"
fi

send -quit
if timeout 20 tail --pid="$MANAGER_PID" -f /dev/null; then
    echo "  ok: the manager has ended"
else
    echo "  FAILED: the manager is still running"
    failures=$((failures + 1))
fi
expect "the shell keeps running after -quit" wait TWharfGlobalContainer 2000
shot 09-after-quit

echo
if [ "$failures" = 0 ]; then
    echo "Demo tour: every step as expected."
else
    echo "Demo tour: $failures step(s) failed."
fi
if [ "$PICTURES" = 1 ] && [ "$failures" = 0 ] && [ "$HEADLESS" = 1 ]; then
    # The README's pictures: docs/screenshots/<name>.png from the tour's shots.
    for pair in 01-start-litestep:demo_litestep 02-swap-to-explorer:demo_explorer \
        04-theme-list:theme_list 05-theme-night:demo_night 06-shell-terminated:shell_terminated \
        07-check:check 08-recovery:recovery; do
        [ -f "$SHOTS/${pair%%:*}.png" ] || continue
        cp "$SHOTS/${pair%%:*}.png" "docs/screenshots/${pair#*:}.png"
        echo "  docs/screenshots/${pair#*:}.png"
    done
fi
[ "$failures" = 0 ]
