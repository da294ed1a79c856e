# Sourced by the scripts: the private Wine prefix under build/, a virtual
# display and the session the tests run in.
#   qf_make_prefix     creates the prefix once (build/wineprefix or $QF_WINEPREFIX)
#   qf_start_xvfb      starts Xvfb on a free display and exports DISPLAY
#   qf_start_session   starts the keeper and removes Wine's tray window
#   qf_stop_session    ends every Wine program of the prefix, and our Xvfb
#   qf_can_run_32bit   0 when this machine's kernel runs 32-bit x86 programs
QF_ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
export WINEPREFIX="${QF_WINEPREFIX:-$QF_ROOT/build/wineprefix}"
export WINEARCH=win64
export WINEDEBUG=-all
# No Mono or Gecko install prompts.
export WINEDLLOVERRIDES="mscoree,mshtml="
WINE64=/usr/lib/wine/wine64
QF_TESTBIN="$QF_ROOT/build/x86_64/testbin"

# Creates the prefix once; a marker says it is complete, so that a run
# interrupted half-way makes it again next time. A crash must end the program
# at once rather than start winedbg, which would hang the run: point the
# debugger at a program that does not exist. Windows are left unmanaged: with
# no window manager on the virtual display, Wine would otherwise wait about
# two seconds for one each time a message box or dialog goes away.
qf_make_prefix() {
    [ -f "$WINEPREFIX/.quillfern-ready-2" ] && return 0
    echo "Making the Wine prefix $WINEPREFIX (once)..." >&2
    wineserver -k >/dev/null 2>&1 || true
    rm -rf "$WINEPREFIX"
    mkdir -p "$WINEPREFIX"
    "$WINE64" wineboot -i </dev/null >/dev/null 2>&1 || true
    wineserver -w
    local key='HKLM\Software\Microsoft\Windows NT\CurrentVersion\AeDebug'
    "$WINE64" reg add "$key" /v Debugger /t REG_SZ /d 'C:\no-such-debugger.exe' /f </dev/null >/dev/null 2>&1 &&
    "$WINE64" reg add "$key" /v Auto /t REG_SZ /d 1 /f </dev/null >/dev/null 2>&1 || {
        echo "error: cannot set up the Wine prefix $WINEPREFIX" >&2
        return 1
    }
    "$WINE64" reg add 'HKCU\Software\Wine\X11 Driver' /v Managed /t REG_SZ /d N /f </dev/null >/dev/null 2>&1
    wineserver -w
    touch "$WINEPREFIX/.quillfern-ready-2"
}

# Starts Xvfb on a display number it finds free itself (no race with other
# runs on the machine) and exports DISPLAY.
qf_start_xvfb() {
    local numberFile n=""
    numberFile=$(mktemp)
    Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp 3>"$numberFile" </dev/null >/dev/null 2>&1 &
    QF_XVFB_PID=$!
    for _ in $(seq 100); do
        n=$(tr -dc 0-9 <"$numberFile")
        [ -n "$n" ] && break
        kill -0 "$QF_XVFB_PID" 2>/dev/null || break
        sleep 0.1
    done
    rm -f "$numberFile"
    if [ -z "$n" ]; then
        echo "error: Xvfb did not start" >&2
        return 1
    fi
    export DISPLAY=":$n"
}

# One program of ours stays up for the whole run, so that Wine's desktop
# process (and the tray window it takes away) does not come back; the session
# helper returns once that keeper is up and the tray is gone. A wineserver
# left over from an earlier run may still be tied to another display: end it.
# An argument names a file where the keeper notes the end of the session.
qf_start_session() {
    wineserver -k >/dev/null 2>&1 || true
    wineserver -w >/dev/null 2>&1 || true
    # Without it every row would see a shell running: no test is worth running then.
    "$WINE64" "$QF_TESTBIN/session.exe" start "$@" </dev/null >/dev/null 2>&1 || {
        echo "error: the session helper failed: Wine's Shell_TrayWnd is still there" >&2
        return 1
    }
}

qf_stop_session() {
    wineserver -k >/dev/null 2>&1 || true
    wineserver -w >/dev/null 2>&1 || true
    if [ -n "${QF_XVFB_PID:-}" ]; then
        kill "$QF_XVFB_PID" 2>/dev/null || true
        wait "$QF_XVFB_PID" 2>/dev/null || true
        QF_XVFB_PID=
    fi
}

# Whether the kernel runs 32-bit x86 programs differs from machine to machine
# (it needs the kernel's IA-32 emulation). Asking is cheap and sure: write a
# 96-byte 32-bit ELF program that only exits with code 7, and run it. On
# failure QF_NO_32BIT_REASON says why.
qf_can_run_32bit() {
    local probe="$QF_ROOT/build/probe32" rc
    mkdir -p "$QF_ROOT/build"
    printf '\x7f\x45\x4c\x46\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x03\x00\x01\x00\x00\x00\x54\x80\x04\x08\x34\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x34\x00\x20\x00\x01\x00\x00\x00\x00\x00\x00\x00\x01\x00\x00\x00\x00\x00\x00\x00\x00\x80\x04\x08\x00\x80\x04\x08\x60\x00\x00\x00\x60\x00\x00\x00\x05\x00\x00\x00\x00\x10\x00\x00\xb8\x01\x00\x00\x00\xbb\x07\x00\x00\x00\xcd\x80' >"$probe"
    chmod +x "$probe"
    "$probe" </dev/null >/dev/null 2>&1
    rc=$?
    rm -f "$probe"
    [ "$rc" = 7 ] && return 0
    QF_NO_32BIT_REASON="this machine's kernel does not run 32-bit x86 programs (a minimal 32-bit program ended with $rc instead of 7)"
    return 1
}
