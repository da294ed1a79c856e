"""-reboot, -shutdown and -logoff end the Wine session for real, so each runs
in a throw-away copy of the test prefix with a session of its own: a keeper
(a windowless program that holds the session until the manager runs), a
manager with its LiteStep stand-in, and the client. What shows that the
manager acted on the word:
  - the session ended: Wine's ExitWindowsEx ends every process that has a
    window (the manager, the LiteStep stand-in, which nobody asked to quit,
    and Wine's desktop process);
  - the manager named itself as the system shell on the way, over a value
    the test put there after the manager had started;
  - Wine's session-end helper ran with the flags the word asks for: Wine
    tells a reboot ("wineboot --end-session") from a log-off or shut-down
    ("--end-session --shutdown"); those two it does not tell apart;
  - no window captioned "Quillfern 1.50" appeared: the shell's end with the
    session is not reported as a termination.
Wine's own log-off now and then stalls in its "Waiting for Program" dialog;
the test answers it as a user would (tests/tools/end_task.cpp).
argv[1] is the source directory; DISPLAY and WINEPREFIX come from the run."""

import os
import shutil
import subprocess
import sys
import tempfile
import threading
import time

WINE = '/usr/lib/wine/wine64'
WINESERVER = shutil.which('wineserver') or '/usr/lib/wine/wineserver'
WINLOGON = 'HKLM\\Software\\Microsoft\\Windows NT\\CurrentVersion\\Winlogon'
SENTINEL = 'C:\\sentinel\\shell.exe'
CAPTION = 'Quillfern 1.50'
WINE_WAIT_DIALOG = 'Waiting for Program'
# Files Wine only reads (so a hard link to the test prefix is safe); every
# other file is copied, since Wine rewrites INI files in place.
READ_ONLY = {'.dll', '.exe', '.drv', '.sys', '.ocx', '.cpl', '.acm', '.ax', '.tlb',
             '.ds', '.nls', '.ttf', '.fon', '.com', '.msstyles', '.vxd', '.tsk', '.mod'}

src = sys.argv[1]
build = os.path.join(src, 'build', 'x86_64')
testbin = os.path.join(build, 'testbin')
base_prefix = os.environ.get('WINEPREFIX') or os.path.join(src, 'build', 'wineprefix')
failures = []


def check(ok, message):
    print(('ok   ' if ok else 'FAIL ') + message)
    if not ok:
        failures.append(message)


def win_path(path):
    return 'Z:' + path.replace('/', '\\')


def clone_prefix(target):
    os.makedirs(target)
    for name in os.listdir(base_prefix):
        source = os.path.join(base_prefix, name)
        if name.endswith('.reg'):
            shutil.copy2(source, target)
        elif name == 'dosdevices':
            shutil.copytree(source, os.path.join(target, name), symlinks=True)
    def place(source, dest):
        if os.path.splitext(source)[1].lower() in READ_ONLY:
            os.link(source, dest)
        else:
            shutil.copy2(source, dest)
    shutil.copytree(os.path.join(base_prefix, 'drive_c'), os.path.join(target, 'drive_c'),
                    symlinks=True, copy_function=place)


def prefix_processes(prefix):
    """The command lines of the processes running in prefix."""
    marker = ('WINEPREFIX=%s\0' % prefix).encode()
    found = []
    for pid in os.listdir('/proc'):
        if not pid.isdigit():
            continue
        try:
            with open('/proc/%s/environ' % pid, 'rb') as f:
                if marker not in f.read():
                    continue
            with open('/proc/%s/cmdline' % pid, 'rb') as f:
                found.append(' '.join(f.read().replace(b'\0', b' ').decode(errors='replace').split()))
        except OSError:
            continue
    return found


def watch_session_end(prefix, seen, stop):
    """Collects the command lines of the session-end helper in prefix."""
    while not stop.is_set():
        for command in prefix_processes(prefix):
            if 'wineboot' in command.lower() and '--end-session' in command:
                seen.add(command)
        time.sleep(0.05)


def window_names():
    """Names of the X windows on the display, from outside Wine."""
    result = subprocess.run(['xwininfo', '-root', '-tree'], stdin=subprocess.DEVNULL,
                            stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, timeout=10)
    return [line.split('"')[1] for line in result.stdout.decode('utf-8', 'replace').splitlines()
            if '"' in line and '(has no name)' not in line]


def wait_for(predicate, seconds):
    end = time.time() + seconds
    while time.time() < end:
        if predicate():
            return True
        time.sleep(0.1)
    return predicate()


def reg_query(prefix, key, value, env):
    """A REG_SZ value read by Wine's reg in the running session, None if missing."""
    out = os.path.join(prefix, 'reg_query.txt')
    with open(out, 'w') as f:
        subprocess.run([WINE, 'reg', 'query', key, '/v', value], stdout=f,
                       stderr=subprocess.DEVNULL, env=env, timeout=60)
    for line in open(out, encoding='utf-8', errors='replace'):
        parts = line.strip().split(None, 2)
        if len(parts) == 3 and parts[0].lower() == value.lower() and parts[1] == 'REG_SZ':
            return parts[2]
    return None


def run_word(prefix, word, expect_shutdown_flag):
    print('--- -%s' % word)
    env = dict(os.environ, WINEPREFIX=prefix, WINEDEBUG='-all')
    quiet = dict(stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, env=env)
    scene = os.path.join(prefix, 'scene_' + word)
    lite_dir = os.path.join(scene, 'LiteStep')
    mgr_dir = os.path.join(scene, 'mgr')
    os.makedirs(lite_dir)
    os.makedirs(mgr_dir)
    lite_exe = os.path.join(lite_dir, 'LiteStep.exe')
    shutil.copy(os.path.join(testbin, 'litestep_standin.exe'), lite_exe)
    manager_exe = os.path.join(mgr_dir, 'Quillfern.exe')
    shutil.copy(os.path.join(build, 'Quillfern.exe'), manager_exe)
    with open(os.path.join(mgr_dir, 'Quillfern.cfg'), 'w', newline='\r\n') as f:
        f.write('[Quillfern]\nlitestep_exe=%s\n[default]\nshell=litestep_exe\n'
                % win_path(lite_exe))
    log = os.path.join(lite_dir, 'standin.log')

    def running(part):
        return any(part.lower() in p.lower() for p in prefix_processes(prefix))

    keeper = subprocess.Popen([WINE, os.path.join(testbin, 'keeper.exe')], **quiet)
    manager = None
    try:
        time.sleep(1.5)
        subprocess.run([WINE, os.path.join(testbin, 'tray_remover.exe')], timeout=60, **quiet)
        manager = subprocess.Popen([WINE, manager_exe], cwd=mgr_dir, **quiet)
        started = wait_for(lambda: os.path.exists(log) and 'start' in open(log).read(), 30)
        check(started, 'the manager started its LiteStep stand-in')
        if not started:
            return
        # The manager names itself once the stand-in is idle; overwrite that.
        wait_for(lambda: (reg_query(prefix, WINLOGON, 'Shell', env) or '').lower()
                 == win_path(manager_exe).lower(), 30)
        subprocess.run([WINE, 'reg', 'add', WINLOGON, '/v', 'Shell', '/t', 'REG_SZ',
                        '/d', SENTINEL, '/f'], timeout=60, **quiet)
        check(reg_query(prefix, WINLOGON, 'Shell', env) == SENTINEL, 'sentinel shell in place')

        seen, stop = set(), threading.Event()
        watcher = threading.Thread(target=watch_session_end, args=(prefix, seen, stop))
        watcher.start()
        client = subprocess.run([WINE, manager_exe, '-' + word], timeout=60, **quiet)
        check(client.returncode == 0, 'client exit code 0, got %d' % client.returncode)
        captions, stalls = set(), 0

        def session_over():
            nonlocal stalls
            names = window_names()
            captions.update(n for n in names if n == CAPTION)
            if WINE_WAIT_DIALOG in names:
                stalls += 1
                subprocess.run([WINE, os.path.join(testbin, 'end_task.exe')], timeout=60, **quiet)
            return (manager.poll() is not None and not running('LiteStep.exe')
                    and not running('explorer.exe /desktop') and not running('--end-session'))
        ended = wait_for(session_over, 60)
        if stalls:
            print('note: Wine\'s log-off waited for a program; answered %d time(s)' % stalls)
        check(not captions, 'no window captioned %s appeared' % CAPTION)
        stop.set()
        watcher.join()
        check(ended, 'the session ended: manager %s, left: %s'
              % (manager.poll(), [p for p in prefix_processes(prefix) if '.exe' in p]))
        check('quit' not in open(log).read(),
              'the stand-in was not asked to quit, the session took it: %r' % open(log).read())
        check(any('--end-session' in s for s in seen),
              'the session-end helper ran: %s' % sorted(seen))
        flags = any('--shutdown' in s for s in seen)
        check(flags == expect_shutdown_flag,
              '%s: %s' % ('not a reboot' if expect_shutdown_flag else 'a reboot', sorted(seen)))
        shell = reg_query(prefix, WINLOGON, 'Shell', env)
        check(shell is not None and shell.lower() == win_path(manager_exe).lower(),
              'the manager named itself as the system shell: %r' % shell)
    finally:
        for process in (keeper, manager):
            if process is not None and process.poll() is None:
                process.kill()
        subprocess.run([WINESERVER, '-k'], **quiet)
        subprocess.run([WINESERVER, '-w'], timeout=60, **quiet)


def main():
    if not os.environ.get('DISPLAY'):
        print('FAIL no DISPLAY: run through scripts/test.sh')
        return 1
    work = tempfile.mkdtemp(prefix='session-', dir=build)
    try:
        prefix = os.path.join(work, 'prefix')
        clone_prefix(prefix)
        for word, shutdown_flag in (('reboot', False), ('shutdown', True), ('logoff', True)):
            run_word(prefix, word, shutdown_flag)
    finally:
        subprocess.run([WINESERVER, '-k'], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                       env=dict(os.environ, WINEPREFIX=os.path.join(work, 'prefix')))
        shutil.rmtree(work, ignore_errors=True)
    print('%d failure(s)' % len(failures))
    return 1 if failures else 0


if __name__ == '__main__':
    sys.exit(main())
