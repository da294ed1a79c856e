# Sourced by the scripts: the private Wine prefix under build/ and the
# variables that keep Wine quiet and free of install prompts.
QF_ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
export WINEPREFIX="${QF_WINEPREFIX:-$QF_ROOT/build/wineprefix}"
export WINEARCH=win64
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="
WINE64=/usr/lib/wine/wine64

# Creates the prefix once. A crash must end the program at once rather than
# start winedbg, which would hang the run: point the debugger at nothing.
qf_make_prefix() {
    if [ ! -f "$WINEPREFIX/system.reg" ]; then
        mkdir -p "$WINEPREFIX"
        "$WINE64" wineboot -i >/dev/null 2>&1 || true
        wineserver -w
    fi
    "$WINE64" reg add 'HKLM\Software\Microsoft\Windows NT\CurrentVersion\AeDebug' \
        /v Debugger /t REG_SZ /d 'C:\no-such-debugger.exe' /f >/dev/null 2>&1
    "$WINE64" reg add 'HKLM\Software\Microsoft\Windows NT\CurrentVersion\AeDebug' \
        /v Auto /t REG_SZ /d 1 /f >/dev/null 2>&1
    wineserver -w
}

# Starts Xvfb on the first free display number and exports DISPLAY.
qf_start_xvfb() {
    local n=91
    while [ -e "/tmp/.X11-unix/X$n" ] || [ -e "/tmp/.X$n-lock" ]; do n=$((n + 1)); done
    Xvfb ":$n" -screen 0 1024x768x24 -nolisten tcp >/dev/null 2>&1 &
    QF_XVFB_PID=$!
    export DISPLAY=":$n"
    for _ in $(seq 50); do [ -e "/tmp/.X11-unix/X$n" ] && break; sleep 0.1; done
}

# One program of ours stays up for the whole run, so that Wine's desktop
# process (and the tray window we take away) does not come back.
qf_start_session() {
    local bin="$QF_ROOT/build/x86_64/testbin"
    "$WINE64" "$bin/keeper.exe" >/dev/null 2>&1 &
    QF_KEEPER_PID=$!
    sleep 1
    "$WINE64" "$bin/tray_remover.exe" >/dev/null 2>&1 || echo "warning: Wine's Shell_TrayWnd is still there" >&2
}

qf_stop_session() {
    wineserver -k >/dev/null 2>&1 || true
    [ -n "${QF_KEEPER_PID:-}" ] && wait "$QF_KEEPER_PID" 2>/dev/null || true
    [ -n "${QF_XVFB_PID:-}" ] && kill "$QF_XVFB_PID" 2>/dev/null && wait "$QF_XVFB_PID" 2>/dev/null || true
}
