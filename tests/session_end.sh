#!/bin/bash
# Each session-ending word ends every program of the Wine session, so it runs in a session of its own in a
# throw-away copy of the test prefix; the keeper notes WM_ENDSESSION in a file as it comes (the witness).
set -u
cd "$(dirname "$0")/.." && source scripts/wine-env.sh
base=$WINEPREFIX work=$(mktemp -d "$PWD/build/x86_64/session-end-XXXXXX") failures=0
key='HKLM\Software\Microsoft\Windows NT\CurrentVersion\Winlogon'
export WINEPREFIX=$work/prefix
trap 'wineserver -k >/dev/null 2>&1; rm -rf "$work"' EXIT
# Hard links for speed; the files Wine rewrites in place are copied.
cp -al "$base" "$WINEPREFIX"
(cd "$base" && find . -type f \( -name '*.reg' -o -iname '*.ini' \) \
    -exec cp --remove-destination {} "$WINEPREFIX/{}" \;)
check() { if [ "$1" = 0 ]; then echo "ok   -$word: $2"; else echo "FAIL -$word: $2"; ((++failures)); fi; }
# within <seconds> <command...>: polls the command until it succeeds, or fails once the time is up
within() { local end=$((SECONDS + $1)); until "${@:2}"; do ((SECONDS < end)) || return 1; sleep 0.2; done; }
winpath() { local p="Z:$1"; echo "${p//\//\\}"; }
shell_is() {   # a Wine program's output goes to a file, never into $(...)
    "$WINE64" reg query "$key" /v Shell </dev/null >"$work/reg.txt" 2>/dev/null
    tr -d '\r' <"$work/reg.txt" | grep -qixF "    Shell    REG_SZ    $1"
}
for word in logoff:0 reboot:2 shutdown:1; do   # with the flags ExitWindowsEx is given
    flags=${word#*:} word=${word%:*}
    dir=$work/$word
    mkdir "$dir" && cp build/x86_64/Quillfern.exe "$dir/" && cp "$QF_TESTBIN/standin.exe" "$dir/litestep.exe"
    printf '[Quillfern]\r\nlitestep_exe=%s\r\n[default]\r\nshell=litestep_exe\r\n' \
        "$(winpath "$dir/litestep.exe")" >"$dir/Quillfern.cfg"
    qf_start_session "$(winpath "$dir/witness.txt")"
    "$WINE64" "$QF_TESTBIN/session.exe" watch "$(winpath "$dir/exit.txt")" \
        "$(winpath "$dir/Quillfern.exe")" </dev/null >/dev/null 2>&1 &   # noting ExitWindowsEx's flags
    within 60 grep -qs '^litestep start' "$dir/events.log"; check $? "LiteStep started"
    # Its last write comes once LiteStep has started and become idle.
    within 60 shell_is "$(winpath "$dir/Quillfern.exe")"; check $? "the manager named itself the shell"
    "$WINE64" reg add "$key" /v Shell /d 'C:\sentinel.exe' /f </dev/null >/dev/null 2>&1
    "$WINE64" "$dir/Quillfern.exe" "-$word" </dev/null >/dev/null 2>&1; check $? "the client ends with 0"
    within 60 grep -qs '^endsession 1' "$dir/witness.txt"; check $? "the session ended"
    [ "$(tr -d '\r' <"$dir/exit.txt")" = "ExitWindowsEx $flags 0" ]; check $? "$(<"$dir/exit.txt")"
    wineserver -k >/dev/null 2>&1; wineserver -w   # Wine's own log-off may wait for a program of its own
    ! grep -q 'litestep quit' "$dir/events.log"; check $? "LiteStep was not asked to quit"
    shell_is 'C:\sentinel.exe'; check $? "another program's value stays: $(grep -i shell "$work/reg.txt")"
done
echo "$failures failure(s)"
[ "$failures" = 0 ]
