#!/bin/bash
# The benchmark: how much Quillfern adds to a log-on, a client command and a
# swap, against minimal programs of ours doing the same steps in the same run
# (bench/bench_*.cpp); its CPU time and memory while idle; the size of the
# shipped executable. Not part of the test run.
#
#   bench/bench.sh [runs]      (runs per arm, default 15, at least 15)
#
# Prints a table and keeps it in build/bench/last.md; the raw samples are in
# build/bench/work/samples.txt. Under Wine the 64-bit build of the same
# sources is what runs (this machine has no 32-bit Wine); the size is that
# of the shipped i686 build. Best run on an otherwise idle machine.
set -e
cd "$(dirname "$0")/.."
runs=${1:-15}
if [ "$runs" -lt 15 ]; then
    echo "bench: at least 15 runs per arm" >&2
    exit 2
fi
idle_seconds=30

# The product (both presets), then the benchmark's own programs.
scripts/build.sh
cmake -S bench -B build/bench --toolchain "$PWD/cmake/toolchain-x86_64.cmake" \
    -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build build/bench -j"$(nproc)" >/dev/null
source scripts/wine-env.sh
qf_make_prefix
qf_start_xvfb
trap qf_stop_session EXIT
qf_start_session

root=$PWD
# Other work on the machine shows in the figures: say how busy it was.
load_before=$(cut -d' ' -f1 /proc/loadavg)
work=build/bench/work
rm -rf "$work"
mkdir -p "$work"
driver=build/bench/bench_driver.exe

run_driver() {
    # Output to files only: a Wine program inside $(...) can hang the shell.
    if ! "$WINE64" "$driver" "$@" >/dev/null 2>&1; then
        echo "bench: driver failed in mode $1:" >&2
        cat "$work/driver.log" >&2
        exit 1
    fi
}

for measure in logon client swap; do
    echo "bench: $measure, $runs runs per arm..." >&2
    run_driver "$measure" "$runs"
done

# Idle: CPU time (user + system, all threads) of the manager's own Linux
# process over $idle_seconds s, from /proc. The reference is a minimal
# program idling in its message loop over the same seconds; its figure,
# but at least one clock tick, is the noise floor. At the end, the memory of
# both: resident (the working set) and resident anonymous (private bytes).
echo "bench: idle, $idle_seconds s..." >&2
run_driver idle-start
win_root="Z:$(echo "$root" | tr / '\\')"
# The process whose command line holds $1 and $2, and not $3 when given.
find_pid() {
    local p line
    for p in /proc/[0-9]*; do
        line=$({ tr '\0' ' ' < "$p/cmdline"; } 2>/dev/null) || continue
        if [[ "$line" == *"$1"* && "$line" == *"$2"* && ( -z "$3" || "$line" != *"$3"* ) ]]; then
            echo "${p#/proc/}"
            return
        fi
    done
}
cpu_ticks() { awk '{print $14 + $15}' "/proc/$1/stat"; }
memory_kb() { awk -v key="$2:" '$1 == key {print $2}' "/proc/$1/status"; }
manager_pid=$(find_pid "$win_root\\build\\bench\\work\\idle\\Quillfern.exe")
reference_pid=$(find_pid "$win_root\\build\\bench\\bench_idle.exe" "" thread)
threaded_pid=$(find_pid "$win_root\\build\\bench\\bench_idle.exe" thread)
shell_pid=$(find_pid "$win_root\\build\\bench\\work\\idle\\LiteStep\\LiteStep.exe")
if [ -z "$manager_pid" ] || [ -z "$reference_pid" ] || [ -z "$threaded_pid" ] || [ -z "$shell_pid" ]; then
    echo "bench: idle processes not found (manager '$manager_pid', references '$reference_pid'" \
         "'$threaded_pid', shell '$shell_pid')" >&2
    exit 1
fi
m0=$(cpu_ticks "$manager_pid"); r0=$(cpu_ticks "$reference_pid")
sleep "$idle_seconds"
m1=$(cpu_ticks "$manager_pid"); r1=$(cpu_ticks "$reference_pid")
kill -0 "$shell_pid" 2>/dev/null || { echo "bench: the shell ended during the idle time" >&2; exit 1; }
for arm in manager reference threaded; do
    pid=${arm}_pid
    echo "working-set $arm $(memory_kb "${!pid}" VmRSS)" >> "$work/samples.txt"
    echo "private $arm $(memory_kb "${!pid}" RssAnon)" >> "$work/samples.txt"
done
run_driver idle-stop
echo "idle manager $((m1 - m0))" >> "$work/samples.txt"
echo "idle reference $((r1 - r0))" >> "$work/samples.txt"

size=$(stat -c %s build/i686/Quillfern.exe)
cpu=$(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2- | sed 's/^ *//')
machine="$cpu, $(nproc) cores, $(uname -sr), $("$WINE64" --version 2>/dev/null), Xvfb; load average $load_before before, $(cut -d' ' -f1 /proc/loadavg) after"

/usr/bin/python3 - "$work/samples.txt" "$size" "$(getconf CLK_TCK)" "$idle_seconds" "$machine" "$runs" \
    > build/bench/last.md <<'EOF'
import statistics
import sys

samples_path, size, tick_hz, idle_seconds, machine, runs = sys.argv[1:]
size, tick_ms, runs = int(size), 1000.0 / int(tick_hz), int(runs)
samples = {}
with open(samples_path) as f:
    for line in f:
        measure, arm, value = line.split()
        samples.setdefault((measure, arm), []).append(float(value))


def quartiles(values):
    q = statistics.quantiles(values, n=4)
    return q[0], statistics.median(values), q[2]


def timed(title, ours, reference, target):
    assert len(ours) >= runs and len(reference) >= runs, 'missing samples for ' + title
    oq, rq = quartiles(ours), quartiles(reference)
    ratio = oq[1] / rq[1]
    met = '-' if target is None else 'yes' if ratio <= target else 'NO'
    return ('| %s | %.1f ms (%.1f-%.1f) | %.1f ms (%.1f-%.1f) | %.3f | %s | %s |'
            % (title, oq[1], oq[0], oq[2], rq[1], rq[0], rq[2], ratio,
               '(for the record)' if target is None else 'at most %.2f' % target, met))


logon = samples[('logon', 'quillfern')]
rows = [timed('Log-on, against a launcher that creates one hidden window first', logon,
              samples[('logon', 'minimal-window')], 1.00),
        timed('Log-on, against the bare launcher', logon, samples[('logon', 'minimal')], None),
        timed('Client command (-kill)', samples[('client', 'quillfern')],
              samples[('client', 'minimal')], 1.05),
        timed('Swap LiteStep to Explorer', samples[('swap', 'quillfern')],
              samples[('swap', 'minimal')], 1.15)]
manager = samples[('idle', 'manager')][0] * tick_ms
reference = samples[('idle', 'reference')][0] * tick_ms
floor = max(reference, tick_ms)
rows.append('| Idle CPU over %s s, shell running | %.0f ms | %.0f ms (noise floor %.0f ms) | - | '
            'within the noise | %s |' % (idle_seconds, manager, reference, floor,
                                         'yes' if manager <= floor else 'NO'))
for measure, title in (('working-set', 'Working set while idle'),
                       ('private', 'Private bytes while idle')):
    ours = samples[(measure, 'manager')][0]
    for arm, against, target in (('reference', '', 1.2), ('threaded', ', against the idle program '
                                  'with one blocked thread', None)):
        ratio = ours / samples[(measure, arm)][0]
        rows.append('| %s%s | %.0f KiB | %.0f KiB | %.3f | %s | %s |'
                    % (title, against, ours, samples[(measure, arm)][0], ratio,
                       '(for the record)' if target is None else 'at most %.2f' % target,
                       '-' if target is None else 'yes' if ratio <= target else 'NO'))
rows.append('| Size of the i686 Quillfern.exe | %d bytes | - | - | under 49152 (aim 40960) | %s |'
            % (size, 'yes' if size < 49152 else 'NO'))

print('Machine: %s. Median of %d runs per arm (interquartile range in brackets), '
      'arms interleaved; memory once, at the end of the idle time.' % (machine, runs))
print()
print('| Measure | Quillfern | Minimal program | Ratio | Target | Met |')
print('|---|---|---|---|---|---|')
print('\n'.join(rows))
EOF
cat build/bench/last.md
