#!/bin/bash
# Each session word ends every program of the Wine session, so it runs in a session of its own in
# a throw-away copy of the test prefix; the keeper notes WM_ENDSESSION in a file (the witness).
# Under Wine a log-off and a shut-down end a session alike: test_tables tells their flags apart.
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
check() { [ "$1" = 0 ] && echo "ok   -$word: $2" || { echo "FAIL -$word: $2"; ((++failures)); }; }
# within <seconds> <command...>: polls the command until it succeeds, or fails once the time is up
within() { local e=$((SECONDS+$1)); until "${@:2}"; do ((SECONDS<e)) || return 1; sleep .2; done; }
shell_is() {   # a Wine program's output goes to a file, never into $(...)
    "$WINE64" reg query "$key" /v Shell </dev/null >"$work/reg.txt" 2>/dev/null
    tr -d '\r' <"$work/reg.txt" | grep -qixF "    Shell    REG_SZ    $1"
}
for word in logoff reboot shutdown; do
    dir=$work/$word qf=$work/$word/Quillfern.exe
    win="Z:${dir//\//\\}" # the folder as Wine names it
    install -D build/x86_64/Quillfern.exe "$qf" && ln "$QF_TESTBIN/standin.exe" "$dir/litestep.exe"
    printf '[Quillfern]\r\nlitestep_exe=%s\\litestep.exe\r\n[default]\r\nshell=litestep_exe\r\n' \
        "$win" >"$dir/Quillfern.cfg"
    qf_start_session "$win\\witness.txt"
    "$WINE64" "$qf" </dev/null >/dev/null 2>&1 &
    within 60 grep -qs '^litestep start' "$dir/events.log"; check $? "LiteStep started"
    # Its last write comes once LiteStep has started and become idle.
    within 60 shell_is "$win\\Quillfern.exe"; check $? "the manager named itself the shell"
    "$WINE64" reg add "$key" /v Shell /d 'C:\sentinel.exe' /f </dev/null >/dev/null 2>&1
    "$WINE64" "$qf" "-$word" </dev/null >/dev/null 2>&1; check $? "the client ends with 0"
    within 60 grep -qs '^endsession 1' "$dir/witness.txt"; check $? "the session ended"
    wineserver -k >/dev/null 2>&1; wineserver -w  # Wine's log-off may wait for one of its own
    ! grep -q 'litestep quit' "$dir/events.log"; check $? "LiteStep was not asked to quit"
    shell_is 'C:\sentinel.exe'; check $? "another's value stays: $(grep -i shell "$work/reg.txt")"
done
echo "$failures failure(s)"
[ "$failures" = 0 ]
