#!/bin/bash
# The session-ending words end every program of the Wine session, so each runs in a session of its
# own in a throw-away copy of the test prefix, whose keeper is the witness: it notes WM_ENDSESSION
# in a file as it comes, so nothing depends on seeing a short-lived process. For each word: the
# client ends with 0, the session and the manager end, LiteStep was not asked to quit (the session
# took it), and a system shell value another program put there once the manager had named itself
# stays: the manager writes no more over anyone else's change.
set -u
cd "$(dirname "$0")/.." && source scripts/wine-env.sh
base=$WINEPREFIX work=$(mktemp -d "$PWD/build/x86_64/session-end-XXXXXX") failures=0 key='HKLM\Software\Microsoft\Windows NT\CurrentVersion\Winlogon'
export WINEPREFIX=$work/prefix
trap 'wineserver -k >/dev/null 2>&1; rm -rf "$work"' EXIT
# Hard links for speed; the files Wine rewrites in place are copied.
cp -al "$base" "$WINEPREFIX" && (cd "$base" && find . -type f \( -name '*.reg' -o -iname '*.ini' \)) | while read -r f; do rm "$WINEPREFIX/$f" && cp "$base/$f" "$WINEPREFIX/$f"; done
check() { if [ "$1" = 0 ]; then echo "ok   $2"; else echo "FAIL $2"; failures=$((failures + 1)); fi; }
within() { local end=$((SECONDS + $1)); shift; until "$@"; do [ $SECONDS -ge $end ] && return 1; sleep 0.2; done; }
gone() { local state; state=$(ps -o stat= -p "$1"); [ -z "$state" ] || [ "${state:0:1}" = Z ]; }
winpath() { local p="Z:$1"; echo "${p//\//\\}"; }
shell_is() {   # a Wine program's output goes to a file, never into $(...)
    "$WINE64" reg query "$key" /v Shell </dev/null >"$work/reg.txt" 2>/dev/null; tr -d '\r' <"$work/reg.txt" | grep -qixF "    Shell    REG_SZ    $1"; }
for word in logoff reboot shutdown; do
    dir=$work/$word exe=$(winpath "$work/$word/Quillfern.exe")
    mkdir "$dir" && cp build/x86_64/Quillfern.exe "$dir/" && cp "$QF_TESTBIN/standin.exe" "$dir/litestep.exe"
    printf '[Quillfern]\r\nlitestep_exe=%s\r\n[default]\r\nshell=litestep_exe\r\n' "$(winpath "$dir/litestep.exe")" >"$dir/Quillfern.cfg"
    qf_start_session "$(winpath "$dir/witness.txt")"
    "$WINE64" "$dir/Quillfern.exe" </dev/null >/dev/null 2>&1 & manager=$!
    # Its last write comes once LiteStep has started and become idle.
    within 60 grep -q '^litestep start' "$dir/events.log" 2>/dev/null && within 60 shell_is "$exe"; check $? "-$word: LiteStep started, the manager named itself"
    "$WINE64" reg add "$key" /v Shell /d 'C:\sentinel.exe' /f </dev/null >/dev/null 2>&1
    "$WINE64" "$dir/Quillfern.exe" "-$word" </dev/null >/dev/null 2>&1; check $? "-$word: the client ends with 0"
    within 60 grep -q '^endsession 1' "$dir/witness.txt" 2>/dev/null; check $? "-$word: the session ended"
    within 60 gone "$manager"; check $? "-$word: the manager has ended"
    # Wine's own log-off may still wait for some program of its own: end the session for good.
    wineserver -k >/dev/null 2>&1; wineserver -w
    ! grep -q 'litestep quit' "$dir/events.log"; check $? "-$word: LiteStep was not asked to quit"
    shell_is 'C:\sentinel.exe'; check $? "-$word: another program's value stays: $(tr -d '\r' <"$work/reg.txt" | grep -i shell)"
done
echo "$failures failure(s)"
[ "$failures" = 0 ]
