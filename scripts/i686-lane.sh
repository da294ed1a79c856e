#!/bin/bash
# The i686 lane (scripts/test.sh --i686; see there). Exit codes: 0 passed,
# 1 failed, 3 not run because this machine cannot run 32-bit programs.
set -e
cd "$(dirname "$0")/.."
export QF_WINEPREFIX="$PWD/build/wineprefix-i686"
source scripts/wine-env.sh
if ! qf_can_run_32bit; then
    echo "i686 lane not run: $QF_NO_32BIT_REASON."
    exit 3
fi
scripts/install-deps.sh --wine32
scripts/build.sh
cmake --build --preset i686 --target standin >/dev/null
trap qf_stop_session EXIT
qf_start_xvfb
qf_make_prefix
qf_start_session
set +e
echo "i686 lane: build/i686/Quillfern.exe under 32-bit Wine in a 64-bit prefix, display $DISPLAY (log: build/i686-lane.log)..." >&2
# Every row of the scenario table, against the executable that ships, with
# 32-bit stand-in shells as on 32-bit Windows.
win=$(echo "Z:$PWD/build/i686/" | tr / '\\') # as Wine names the host's files
QF_EXE="${win}Quillfern.exe" QF_STANDIN="${win}standin.exe" \
    ctest --test-dir build/x86_64 -V --no-tests=error -R '^test_scenarios$' "$@" </dev/null >build/i686-lane.log 2>&1
status=$?
qf_stop_session >/dev/null 2>&1
trap - EXIT
# Each row's name and result, then ctest's summary.
grep -E '^[0-9]+: \[ +(OK|FAILED) +\]|Failure|row \[' build/i686-lane.log | sed 's/^[0-9]*: //'
tail -n 4 build/i686-lane.log
exit $status
