#!/usr/bin/python3
"""The real end of a session: Quillfern.exe logs off a Wine session of its own.

ExitWindowsEx ends every process of the Wine session that calls it, so this
test makes a throw-away prefix under build/session_end/ with its own
wineserver, keeper and LiteStep stand-in, lets the manager log off on
CM_LOGOFF, and checks from outside Wine: the session and the stand-in are
gone, the system shell setting names the manager, and no window captioned
"Quillfern 1.50" (the shell-terminated dialog) ever appeared.

Run by ctest with the source directory as its argument, on the display that
scripts/test.sh started.
"""
import os
import shutil
import subprocess
import sys
import time
import unittest

WINE64 = "/usr/lib/wine/wine64"
CM_LOGOFF = 1030
CAPTION = "Quillfern 1.50"
WINE_WAIT_DIALOG = "Waiting for Program"
WINLOGON = r"Software\\Microsoft\\Windows NT\\CurrentVersion\\Winlogon"

SOURCE = os.path.abspath(sys.argv.pop(1) if len(sys.argv) > 1 else ".")
BUILD = os.path.join(SOURCE, "build", "x86_64")
TESTBIN = os.path.join(BUILD, "testbin")
BASE = os.path.join(SOURCE, "build", "session_end")
PREFIX = os.path.join(BASE, "prefix")
RUN = os.path.join(BASE, "run")


def win_path(path):
    return "Z:" + path.replace("/", "\\")


def wine_env():
    env = dict(os.environ)
    env.update(WINEPREFIX=PREFIX, WINEARCH="win64", WINEDEBUG="-all",
               WINEDLLOVERRIDES="mscoree,mshtml=")
    return env


def run_quiet(args, timeout):
    """Runs a program of the throw-away session to its end; output to files,
    never to a pipe that a lingering Wine process could hold open."""
    with open(os.path.join(BASE, "tool.out"), "wb") as out:
        return subprocess.run(args, env=wine_env(), stdin=subprocess.DEVNULL, stdout=out,
                              stderr=subprocess.STDOUT, timeout=timeout).returncode


def start(args, cwd=None):
    return subprocess.Popen(args, env=wine_env(), cwd=cwd, stdin=subprocess.DEVNULL,
                            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)


def registry_shell_from_file():
    """HKLM Winlogon "Shell" as the wineserver saved it in system.reg."""
    header = "[" + WINLOGON + "]"
    inside = False
    with open(os.path.join(PREFIX, "system.reg"), encoding="utf-8", errors="replace") as reg:
        for line in reg:
            line = line.rstrip("\n")
            if line.startswith("["):
                inside = line.split("]")[0] + "]" == header
            elif inside and line.startswith('"Shell"="'):
                return line[len('"Shell"="'):-1].replace("\\\\", "\\")
    return None


def registry_shell_live():
    """The same value read through the running session."""
    out = os.path.join(BASE, "reg.out")
    with open(out, "wb") as f:
        subprocess.run([WINE64, "reg", "query", "HKLM\\" + WINLOGON.replace("\\\\", "\\"),
                        "/v", "Shell"], env=wine_env(), stdin=subprocess.DEVNULL, stdout=f,
                       stderr=subprocess.DEVNULL, timeout=60)
    with open(out, encoding="utf-8", errors="replace") as f:
        for line in f:
            parts = line.strip().split(None, 2)
            if len(parts) == 3 and parts[0] == "Shell" and parts[1] == "REG_SZ":
                return parts[2]
    return None


def set_registry_shell(text):
    return run_quiet([WINE64, "reg", "add", "HKLM\\" + WINLOGON.replace("\\\\", "\\"),
                      "/v", "Shell", "/t", "REG_SZ", "/d", text, "/f"], 60)


def quillfern_windows():
    """Titles of X windows that carry the manager's caption."""
    result = subprocess.run(["xwininfo", "-root", "-tree"], stdin=subprocess.DEVNULL,
                            stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, timeout=10)
    text = result.stdout.decode("utf-8", "replace")
    return [line.strip() for line in text.splitlines() if '"' + CAPTION + '"' in line]


def all_window_names():
    """Names of the named X windows, for a failure's diagnosis."""
    result = subprocess.run(["xwininfo", "-root", "-tree"], stdin=subprocess.DEVNULL,
                            stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, timeout=10)
    names = []
    for line in result.stdout.decode("utf-8", "replace").splitlines():
        if '"' in line and "(has no name)" not in line:
            names.append(line.split('"')[1])
    return names


def read_text(path):
    try:
        with open(path, encoding="utf-8", errors="replace") as f:
            return f.read()
    except OSError:
        return ""


def host_processes_running(image_part):
    """Host processes whose command line names image_part (any case); a Wine
    process shows its Windows path there."""
    found = []
    for pid in os.listdir("/proc"):
        if not pid.isdigit():
            continue
        try:
            with open("/proc/%s/cmdline" % pid, "rb") as f:
                cmdline = f.read().replace(b"\0", b" ").decode("utf-8", "replace")
        except OSError:
            continue
        if image_part.lower() in cmdline.lower():
            found.append(int(pid))
    return found


def session_processes(command_part):
    """Host processes of the throw-away prefix whose command line holds
    command_part."""
    found = []
    for pid in os.listdir("/proc"):
        if not pid.isdigit():
            continue
        try:
            with open("/proc/%s/environ" % pid, "rb") as f:
                environ = f.read().split(b"\0")
            with open("/proc/%s/cmdline" % pid, "rb") as f:
                cmdline = f.read().replace(b"\0", b" ").decode("utf-8", "replace")
        except OSError:
            continue
        if (b"WINEPREFIX=" + PREFIX.encode()) in environ and command_part in cmdline \
                and "wineserver" not in cmdline:
            found.append(int(pid))
    return found


def wait_until(predicate, seconds):
    deadline = time.monotonic() + seconds
    while True:
        value = predicate()
        if value or time.monotonic() >= deadline:
            return value
        time.sleep(0.05)


class SessionEnd(unittest.TestCase):
    def setUp(self):
        if not os.environ.get("DISPLAY"):
            self.fail("no DISPLAY: run through scripts/test.sh")
        self.processes = []
        self.stop_server()
        shutil.rmtree(BASE, ignore_errors=True)
        os.makedirs(PREFIX)
        os.makedirs(os.path.join(RUN, "Manager"))
        os.makedirs(os.path.join(RUN, "LiteStep"))
        self.assertEqual(0, run_quiet([WINE64, "wineboot", "-i"], 300), "wineboot failed")
        aedebug = r"HKLM\Software\Microsoft\Windows NT\CurrentVersion\AeDebug"
        # A crash must end the program, not start a debugger that waits.
        run_quiet([WINE64, "reg", "add", aedebug, "/v", "Debugger", "/t", "REG_SZ",
                   "/d", r"C:\no-such-debugger.exe", "/f"], 60)
        run_quiet([WINE64, "reg", "add", aedebug, "/v", "Auto", "/t", "REG_SZ", "/d", "1",
                   "/f"], 60)
        self.wait_server(120)

    def tearDown(self):
        self.stop_server()
        for process in self.processes:
            try:
                process.wait(timeout=30)
            except subprocess.TimeoutExpired:
                pass

    def stop_server(self):
        if os.path.isdir(PREFIX):
            subprocess.run(["wineserver", "-k"], env=wine_env(), stdin=subprocess.DEVNULL,
                           stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=60)
            self.wait_server(60)

    def wait_server(self, seconds):
        """True when the throw-away session's wineserver has ended."""
        try:
            subprocess.run(["wineserver", "-w"], env=wine_env(), stdin=subprocess.DEVNULL,
                           stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                           timeout=seconds)
            return True
        except subprocess.TimeoutExpired:
            return False

    def test_logoff_ends_the_session_quietly(self):
        manager_dir = os.path.join(RUN, "Manager")
        litestep_dir = os.path.join(RUN, "LiteStep")
        manager = os.path.join(manager_dir, "Quillfern.exe")
        litestep = os.path.join(litestep_dir, "LiteStep.exe")
        shutil.copyfile(os.path.join(BUILD, "Quillfern.exe"), manager)
        shutil.copyfile(os.path.join(TESTBIN, "litestep_standin.exe"), litestep)
        with open(os.path.join(litestep_dir, "standin.ini"), "w") as f:
            f.write("[standin]\r\n")
        with open(os.path.join(manager_dir, "Quillfern.cfg"), "w") as f:
            f.write("[Quillfern]\r\nlitestep_exe=%s\r\n[default]\r\nshell=litestep_exe\r\n"
                    "kill_delay=2\r\n" % win_path(litestep))

        self.processes.append(start([WINE64, os.path.join(TESTBIN, "keeper.exe")]))
        self.assertEqual(0, run_quiet([WINE64, os.path.join(TESTBIN, "tray_remover.exe")], 60),
                         "Wine's Shell_TrayWnd is still there")
        manager_process = start([WINE64, manager], cwd=manager_dir)
        self.processes.append(manager_process)

        log = os.path.join(litestep_dir, "standin.log")
        started = wait_until(lambda: "start pid=" in read_text(log), 60)
        self.assertTrue(started, "the LiteStep stand-in did not start")
        self.assertTrue(host_processes_running(win_path(litestep)), "no host process for the stand-in")
        self.assertEqual(win_path(manager),
                         wait_until(lambda: registry_shell_live() == win_path(manager) and
                                    win_path(manager), 60),
                         "the manager does not name itself after the spawn")
        # Someone else names Explorer: the log-off must name the manager again.
        self.assertEqual(0, set_registry_shell("Explorer.exe"))
        self.assertEqual("Explorer.exe", registry_shell_live())
        self.assertEqual([], quillfern_windows(), "a Quillfern window before the log-off")

        self.assertEqual(0, run_quiet([WINE64, os.path.join(TESTBIN, "post_control.exe"),
                                       str(CM_LOGOFF)], 60), "CM_LOGOFF could not be posted")
        # Watch the display while the session ends: the manager leaves on its
        # own, the shell and the desktop with the session. Only our keeper,
        # which has no window, and Wine's services stay.
        def session_over():
            return (manager_process.poll() is not None and
                    not host_processes_running(win_path(litestep)) and
                    not session_processes("explorer.exe /desktop"))
        # Wine's log-off now and then stalls in its own "Waiting for Program"
        # dialog (see tests/tools/end_task.cpp): answer it as a user would.
        seen = []
        wine_waits = 0
        deadline = time.monotonic() + 60
        while not session_over() and time.monotonic() < deadline:
            seen += quillfern_windows()
            if WINE_WAIT_DIALOG in all_window_names() and run_quiet(
                    [WINE64, os.path.join(TESTBIN, "end_task.exe")], 60) == 0:
                wine_waits += 1
                wait_until(lambda: WINE_WAIT_DIALOG not in all_window_names(), 10)
            time.sleep(0.05)
        if wine_waits:
            print("note: Wine's log-off waited for a program; answered %d time(s)" % wine_waits,
                  file=sys.stderr)
        seen += quillfern_windows()
        diagnosis = "; windows: %r; processes: %r; stand-in log: %r" % (
            all_window_names(), session_processes(""), read_text(log))
        self.assertEqual([], seen, "a window captioned %s appeared" % CAPTION)
        self.assertEqual([], host_processes_running(win_path(litestep)),
                         "the stand-in is still running" + diagnosis)
        self.assertEqual([], session_processes("explorer.exe /desktop"),
                         "the session's desktop is still there: no log-off" + diagnosis)
        self.assertEqual(0, manager_process.poll(), "the manager did not end with code 0" + diagnosis)

        # The wineserver writes the registry out as it ends.
        self.stop_server()
        self.assertEqual(win_path(manager), registry_shell_from_file(),
                         "the system shell does not name the manager")
        lines = read_text(log).splitlines()
        self.assertFalse([line for line in lines if line.startswith("quit")],
                         "the manager asked the shell to quit: %r" % lines)


if __name__ == "__main__":
    unittest.main(verbosity=2)
