#!/bin/bash
# The whole test run on a fresh machine: installs what it needs, builds both
# presets, makes the private Wine prefix, starts a virtual display, and runs
# every test under Wine. ctest's summary is the last thing printed.
# Extra arguments go to ctest (for example -R test_tables).
set -e
cd "$(dirname "$0")/.."
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
ctest --test-dir build/x86_64 --output-on-failure "$@" </dev/null > build/ctest.log 2>&1
status=$?
qf_stop_session >/dev/null 2>&1
trap - EXIT
cat build/ctest.log
exit $status
