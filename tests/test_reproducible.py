"""The release package: two clean builds give byte-identical zips, and the
zip holds what a Windows user needs in a form Windows tools read.

Run by ctest as: python3 test_reproducible.py <source dir>
Builds twice into a temporary directory (never into build/i686).
"""
import glob
import io
import os
import re
import subprocess
import sys
import tempfile
import time
import unittest
import zipfile

import pefile

SOURCE_DIR = os.path.abspath(sys.argv[1] if len(sys.argv) > 1 else
                             os.path.join(os.path.dirname(__file__), '..'))
PACKAGE = os.path.join(SOURCE_DIR, 'scripts', 'package.sh')
ENTRIES = ['Quillfern.cfg', 'Quillfern.exe', 'Quillfern.txt']
STAMP = (2000, 1, 1, 12, 0, 0)


def package(work, name):
    """A clean build in work/name and its zip work/name.zip."""
    out = os.path.join(work, name + '.zip')
    run = subprocess.run([PACKAGE, '--build-dir', os.path.join(work, name), '--out', out],
                         cwd=SOURCE_DIR, capture_output=True, text=True)
    if run.returncode != 0:
        raise AssertionError('package.sh failed (%d):\n%s%s' % (run.returncode, run.stdout, run.stderr))
    with open(out, 'rb') as f:
        return f.read()


def first_difference(a, b):
    for i, (x, y) in enumerate(zip(a, b)):
        if x != y:
            return i
    return min(len(a), len(b))


def product_messages():
    """The sentence-like text constants of the product sources: what a user
    can see in a message box or a dialog."""
    texts = {}
    sources = []
    for folder in ('app', 'config', 'shell', 'control', 'themes', 'dialogs', 'cli'):
        sources += glob.glob(os.path.join(SOURCE_DIR, folder, '*.cpp'))
        sources += glob.glob(os.path.join(SOURCE_DIR, folder, '*.h'))
    constant = re.compile(r'constexpr\s+char\s+(\w+)\s*\[\s*\]\s*=\s*((?:"(?:[^"\\]|\\.)*"\s*)+);')
    literal = re.compile(r'"((?:[^"\\]|\\.)*)"')
    for path in sorted(sources):
        with open(path, encoding='latin-1') as f:
            code = f.read()
        for name, body in constant.findall(code):
            text = ''.join(literal.findall(body)).replace('\\n', '\n').replace('\\\\', '\\')
            if text.count(' ') >= 4:
                texts['%s (%s)' % (name, os.path.relpath(path, SOURCE_DIR))] = text
    return texts


def words(text):
    return ' '.join(text.split())


class ReleasePackage(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.work = tempfile.TemporaryDirectory(prefix='qf-package-')
        cls.first = package(cls.work.name, 'a')
        # A second later, so that any clock that slipped into the build shows.
        time.sleep(1.1)
        cls.second = package(cls.work.name, 'b')
        cls.zip = zipfile.ZipFile(io.BytesIO(cls.first))

    @classmethod
    def tearDownClass(cls):
        cls.work.cleanup()

    def test_two_builds_are_identical(self):
        if self.first == self.second:
            return
        a, b = zipfile.ZipFile(io.BytesIO(self.first)), zipfile.ZipFile(io.BytesIO(self.second))
        differing = [n for n in a.namelist() if n not in b.namelist() or a.read(n) != b.read(n)]
        detail = ''
        if 'Quillfern.exe' in differing:
            detail = '; executables first differ at byte %#x' % first_difference(
                a.read('Quillfern.exe'), b.read('Quillfern.exe'))
        self.fail('the two zips differ (%d and %d bytes); entries differing: %s%s' %
                  (len(self.first), len(self.second), differing, detail))

    def test_entries(self):
        names = [i.filename for i in self.zip.infolist()]
        self.assertEqual(ENTRIES, names, 'entries and their order')
        for info in self.zip.infolist():
            self.assertEqual(STAMP, info.date_time, 'fixed date of %s' % info.filename)
        self.assertIsNone(self.zip.testzip(), 'a damaged entry')

    def test_executable_has_no_timestamps(self):
        with open(os.path.join(self.work.name, 'a', 'Quillfern.exe'), 'rb') as f:
            built = f.read()
        self.assertEqual(built, self.zip.read('Quillfern.exe'), 'the zip holds the i686 build')
        pe = pefile.PE(data=built)
        self.assertEqual(0x14c, pe.FILE_HEADER.Machine, 'expected the i386 build, got machine %#x'
                         % pe.FILE_HEADER.Machine)
        self.assertEqual(0, pe.FILE_HEADER.TimeDateStamp, 'link time in the PE header')
        self.assertTrue(hasattr(pe, 'DIRECTORY_ENTRY_RESOURCE'), 'no resources')
        self.assertEqual(0, pe.DIRECTORY_ENTRY_RESOURCE.struct.TimeDateStamp, 'resource directory time')
        for fixed in getattr(pe, 'VS_FIXEDFILEINFO', []):
            self.assertEqual((0, 0), (fixed.FileDateMS, fixed.FileDateLS), 'version block date')

    def test_text_files_for_windows(self):
        for name in ('Quillfern.cfg', 'Quillfern.txt'):
            data = self.zip.read(name)
            self.assertEqual(data.count(b'\n'), data.count(b'\r\n'), '%s: every line ends in CRLF' % name)
            self.assertTrue(data.endswith(b'\r\n'), '%s: the last line is ended too' % name)
            bad = [i for i, c in enumerate(data) if c > 126 or (c < 32 and c not in (9, 10, 13))]
            self.assertEqual([], bad[:5], '%s: plain ASCII, which every code page shows alike' % name)
        lines = self.zip.read('Quillfern.txt').decode('ascii').split('\r\n')
        long_lines = [(n + 1, len(l)) for n, l in enumerate(lines) if len(l) > 78]
        self.assertEqual([], long_lines, 'manual lines (number, length) wider than Notepad shows')

    def test_manual_covers_the_program(self):
        manual = words(self.zip.read('Quillfern.txt').decode('ascii'))
        cfg = self.zip.read('Quillfern.cfg').decode('ascii').lower()
        for word in ('swap', 'swaptheme', 'restart', 'kill', 'quit', 'nuke', 'reboot',
                     'shutdown', 'logoff', 'install', 'uninstall'):
            self.assertIn('-' + word + ' ', manual, 'command word %s in the manual' % word)
        keys = ['litestep_exe', 'explorer_exe', 'shell', 'ask_boot', 'start_delay', 'kill_delay',
                'shift_delay', 'theme', 'theme_name_N', 'theme_path_N', 'theme_back_N',
                'altshell_name_N', 'altshell_path_N']
        for key in keys:
            self.assertRegex(manual, r'(^| )' + key + ' ', 'key %s explained in the manual' % key)
            self.assertIn(key.replace('_N', '_1').lower(), cfg, 'key %s in the sample configuration' % key)
        # A message the manual does not explain leaves the user alone with it.
        missing = []
        for name, text in sorted(product_messages().items()):
            pattern = r'\S*'.join(re.escape(part) for part in re.split(r'%l?[sdu]', words(text)))
            if not re.search(pattern, manual):
                missing.append('%s: %r' % (name, text))
        self.assertEqual([], missing, 'texts of the program not quoted in docs/Quillfern.txt')


if __name__ == '__main__':
    unittest.main(argv=sys.argv[:1], verbosity=2)
