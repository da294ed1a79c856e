#!/bin/bash
# The whole test run on a fresh machine: installs what it needs, builds both
# presets, makes the private Wine prefix, starts a virtual display, and runs
# every test under Wine. ctest's summary is the last thing printed.
# Extra arguments go to ctest (for example -R test_tables).
#
# scripts/test.sh --i686 is the i686 lane: the shipped 32-bit build run under
# the 32-bit Wine in a 64-bit prefix of its own (build/wineprefix-i686), as on
# 64-bit Windows. It adds wine32:i386 when missing and runs every scenario row
# against build/i686/Quillfern.exe. Where the kernel cannot run 32-bit programs it
# says so in one line and exits with 3.
set -e
cd "$(dirname "$0")/.."
if [ "${1:-}" = --i686 ]; then
    shift
    exec scripts/i686-lane.sh "$@"
fi
scripts/install-deps.sh
scripts/build.sh
source scripts/wine-env.sh
trap qf_stop_session EXIT
qf_start_xvfb
qf_make_prefix
qf_start_session
set +e
echo "Running the tests under Wine on display $DISPLAY (log: build/ctest.log)..." >&2
# Into a file, not a pipe: a Wine program left running could hold a pipe open.
ctest --test-dir build/x86_64 --output-on-failure --no-tests=error "$@" </dev/null > build/ctest.log 2>&1
status=$?
qf_stop_session >/dev/null 2>&1
trap - EXIT
cat build/ctest.log
exit $status
