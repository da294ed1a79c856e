"""Static checks of the shipped build/i686/Quillfern.exe: an image that
Windows 95 and NT 4.0 load, and that imports nothing they lack.

Run by ctest as: python3 test_pe_imports.py <source dir>
"""
import os
import sys
import unittest

import pefile

SOURCE_DIR = os.path.abspath(sys.argv[1] if len(sys.argv) > 1 else
                             os.path.join(os.path.dirname(__file__), '..'))
EXE = os.path.join(SOURCE_DIR, 'build', 'i686', 'Quillfern.exe')
ALLOWLIST = os.path.join(SOURCE_DIR, 'tests', 'pe_import_allowlist.txt')
ALLOWED_DLLS = {'KERNEL32', 'USER32', 'GDI32', 'COMDLG32', 'ADVAPI32', 'MSVCRT'}


def dll_key(name):
    """KERNEL32.dll, kernel32.DLL -> KERNEL32"""
    base = name.upper()
    return base[:-4] if base.endswith('.DLL') else base


def read_allowlist(path):
    """{(DLL, function): note} plus a list of malformed or repeated lines."""
    entries, problems = {}, []
    with open(path, encoding='ascii') as f:
        for number, line in enumerate(f, 1):
            text = line.strip()
            if not text or text.startswith('#'):
                continue
            parts = text.split(None, 2)
            if len(parts) < 3:
                problems.append('line %d: expected "DLL function note", got %r' % (number, text))
                continue
            dll, function, note = parts
            if dll not in ALLOWED_DLLS:
                problems.append('line %d: DLL %s is not one Quillfern may use' % (number, dll))
            if (dll, function) in entries:
                problems.append('line %d: %s!%s listed twice' % (number, dll, function))
            entries[(dll, function)] = note
    return entries, problems


class ShippedImage(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        if not os.path.isfile(EXE):
            raise AssertionError('no %s: run scripts/build.sh first' % EXE)
        cls.pe = pefile.PE(EXE)

    def test_header(self):
        fh, oh = self.pe.FILE_HEADER, self.pe.OPTIONAL_HEADER
        self.assertEqual(0x10b, oh.Magic, 'expected a PE32 image, got optional-header magic %#x' % oh.Magic)
        self.assertEqual(0x14c, fh.Machine, 'expected machine i386 (0x14c), got %#x' % fh.Machine)
        self.assertEqual(2, oh.Subsystem, 'expected the GUI subsystem (2), got %d' % oh.Subsystem)
        self.assertFalse(fh.Characteristics & 0x2000, 'expected an executable, got the DLL flag')

    def test_versions_allow_95_and_nt4(self):
        oh = self.pe.OPTIONAL_HEADER
        self.assertEqual((4, 0), (oh.MajorSubsystemVersion, oh.MinorSubsystemVersion),
                         'subsystem version: older loaders refuse anything newer than 4.0')
        self.assertEqual((4, 0), (oh.MajorOperatingSystemVersion, oh.MinorOperatingSystemVersion),
                         'operating system version')

    def test_image_base(self):
        # Windows 95 maps executables only from 4 MB up and below 2 GB.
        base = self.pe.OPTIONAL_HEADER.ImageBase
        self.assertTrue(0x400000 <= base < 0x80000000, 'expected a base in 4 MB..2 GB, got %#x' % base)

    def test_size(self):
        # Quillfern runs at every log-on; it must stay small.
        size = os.path.getsize(EXE)
        self.assertLess(size, 64 * 1024, 'expected under 64 KiB, got %d bytes' % size)

    def test_no_late_bound_imports(self):
        for name in ('DIRECTORY_ENTRY_DELAY_IMPORT', 'DIRECTORY_ENTRY_BOUND_IMPORT'):
            self.assertFalse(hasattr(self.pe, name), 'unexpected %s in the image' % name)

    def test_imports_are_allowed(self):
        allowed, problems = read_allowlist(ALLOWLIST)
        self.assertEqual([], problems, 'malformed allow-list')
        self.assertTrue(hasattr(self.pe, 'DIRECTORY_ENTRY_IMPORT'), 'no import table at all')
        stray_dlls, by_ordinal, unlisted = [], [], []
        imported = set()
        for entry in self.pe.DIRECTORY_ENTRY_IMPORT:
            dll = dll_key(entry.dll.decode('ascii'))
            if dll not in ALLOWED_DLLS:
                stray_dlls.append(entry.dll.decode('ascii'))
                continue
            for symbol in entry.imports:
                if symbol.name is None:
                    # Ordinals differ between system versions.
                    by_ordinal.append('%s!#%d' % (dll, symbol.ordinal))
                    continue
                function = symbol.name.decode('ascii')
                imported.add((dll, function))
                if (dll, function) not in allowed:
                    unlisted.append('%s!%s' % (dll, function))
        self.assertEqual([], stray_dlls, 'DLLs outside %s' % sorted(ALLOWED_DLLS))
        self.assertEqual([], by_ordinal, 'imports by ordinal')
        self.assertEqual([], sorted(unlisted),
                         'imports not on tests/pe_import_allowlist.txt; add each only after '
                         'checking that Windows 95 and NT 4.0 export it')
        # The list is meant to be read; say which entries nothing uses.
        unused = sorted('%s!%s' % key for key in set(allowed) - imported)
        if unused:
            print('note: %d allow-list entries are not imported now' % len(unused), file=sys.stderr)


if __name__ == '__main__':
    unittest.main(argv=sys.argv[:1], verbosity=2)
