"""The shipped build/i686/Quillfern.exe as Windows 95 and NT 4.0 load it: the
header, the imports, the resources the program needs, and a clean build in
another directory that gives the same bytes. Run: test_binary.py <source dir>"""
import os, re, struct, subprocess, sys, tempfile, unittest, zipfile
import pefile

SOURCE = os.path.abspath(sys.argv[1] if len(sys.argv) > 1 else os.path.join(os.path.dirname(__file__), '..'))
EXE = os.path.join(SOURCE, 'build', 'i686', 'Quillfern.exe')
# What each system DLL may give. Windows 95 and NT 3.1 both export every
# function, but for those marked with the NT release that added it, and those
# marked 95stub, which Windows 95 exports as a stub that fails (Quillfern calls
# them on NT alone). Any C run-time DLL, whatever its name, is refused, and so
# is FreeLibrary: the file dialog's library stays once loaded, since the shell
# extensions it brings may still run code that freeing it would unmap.
ALLOWED = """
KERNEL32 CloseHandle CopyFileA CreateProcessA CreateThread DuplicateHandle ExitProcess FormatMessageA
 GetCommandLineA GetCurrentProcess GetCurrentProcessId GetExitCodeProcess GetFileAttributesA GetLastError
 GetModuleFileNameA GetModuleHandleA GetPrivateProfileIntA GetPrivateProfileStringA GetProcAddress
 GetTickCount GetVersionExA:NT3.5 GetWindowsDirectoryA LoadLibraryA LocalFree OpenProcess SetLastError
 Sleep TerminateProcess WaitForSingleObject WritePrivateProfileStringA lstrlenA CreateFileA
 CreateFileMappingA GetFileSize MapViewOfFile UnmapViewOfFile SearchPathA GetPrivateProfileSectionA
 GetPrivateProfileSectionNamesA:NT4.0
USER32 GetAsyncKeyState CheckDlgButton CheckRadioButton CreateWindowExA DefWindowProcA DialogBoxParamA DispatchMessageA
 EndDialog ExitWindowsEx FindWindowA GetDlgItem GetMessageA GetWindowTextA GetWindowThreadProcessId IsDlgButtonChecked KillTimer
 LoadIconA LoadImageA:NT3.51 MapVirtualKeyA MessageBoxA PostMessageA PostQuitMessage RegisterClassExA:NT3.51
 SendDlgItemMessageA SendMessageA SetDlgItemTextA SetFocus SetForegroundWindow SetTimer SetWindowTextA
 ShowWindow SystemParametersInfoA TranslateMessage UnregisterClassA WaitForInputIdle keybd_event
GDI32 GetStockObject SetBkColor SetTextColor
ADVAPI32 GetUserNameA RegCloseKey RegCreateKeyExA RegDeleteValueA RegOpenKeyExA RegQueryValueExA
 RegSetValueExA AdjustTokenPrivileges:95stub LookupPrivilegeValueA:95stub OpenProcessToken:95stub
"""
RT_BITMAP, RT_ICON, RT_DIALOG, RT_GROUP_ICON = 2, 3, 5, 14
CLASSES = {0x80: 'BUTTON', 0x82: 'STATIC', 0x83: 'LISTBOX'}


def allowed():
    """{(DLL, function)}; a line that starts with a blank goes on the DLL above."""
    names, dll = set(), None
    for line in ALLOWED.strip('\n').splitlines():
        words = line.split()
        dll = dll if line[0] == ' ' else words.pop(0)
        names |= {(dll, word.split(':')[0]) for word in words}
    return names


def dialog_controls(data):
    """(class, id or, for a picture, its bitmap) of each control of a DIALOG or
    DIALOGEX template; group boxes have neither."""
    ex = data[2:4] == b'\xff\xff'
    style, count = struct.unpack_from('<I', data, 12 if ex else 0)[0], struct.unpack_from('<H', data, 16 if ex else 8)[0]

    def field(pos):  # an ordinal or a zero-terminated UTF-16 string
        if data[pos:pos + 2] == b'\xff\xff':
            return struct.unpack_from('<H', data, pos + 2)[0], pos + 4
        end = pos
        while data[end:end + 2] != b'\0\0':
            end += 2
        return data[pos:end].decode('utf-16-le'), end + 2
    pos = 26 if ex else 18
    for _ in range(3):  # menu, class, title
        _, pos = field(pos)
    if style & 0x40:  # DS_SETFONT: size (weight, italic, charset), face
        _, pos = field(pos + (6 if ex else 2))
    controls = []
    for _ in range(count):
        pos = (pos + 3) & ~3
        cid = struct.unpack_from('<I' if ex else '<H', data, pos + (20 if ex else 16))[0] & 0xFFFF
        cls, pos = field(pos + (24 if ex else 18))
        text, pos = field(pos)
        pos += 2 + struct.unpack_from('<H', data, pos)[0]
        if cid != 0xFFFF or isinstance(text, int):
            controls.append((CLASSES.get(cls, cls), text if isinstance(text, int) else cid))
    return controls


class ShippedExecutable(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.pe = pefile.PE(EXE)
        cls.res = {(kind.id, str(item.name) if item.name else item.id): cls.pe.get_data(
            item.directory.entries[0].data.struct.OffsetToData, item.directory.entries[0].data.struct.Size)
            for kind in cls.pe.DIRECTORY_ENTRY_RESOURCE.entries for item in kind.directory.entries}
        with open(os.path.join(SOURCE, 'res', 'resource.h')) as f:
            cls.ids = {n: int(v) for n, v in re.findall(r'#define\s+(\w+)\s+(\d+)', f.read())}

    def test_header(self):
        oh = self.pe.OPTIONAL_HEADER
        got = (oh.Magic, oh.Subsystem, oh.MajorSubsystemVersion, oh.MinorSubsystemVersion,
               oh.MajorOperatingSystemVersion, oh.MinorOperatingSystemVersion)
        self.assertEqual((0x10b, 2, 4, 0, 4, 0), got, 'PE32, GUI, subsystem and OS version 4.0')
        self.assertLess(os.path.getsize(EXE), 48 * 1024, 'bytes of the executable')

    def test_imports(self):
        got = {(e.dll.decode().upper().replace('.DLL', ''), (i.name or b'#%d' % i.ordinal).decode())
               for e in self.pe.DIRECTORY_ENTRY_IMPORT for i in e.imports}
        self.assertEqual([], sorted(got - allowed()), 'imports not known on both Windows 95 and NT 4.0')
        self.assertFalse(hasattr(self.pe, 'DIRECTORY_ENTRY_DELAY_IMPORT'), 'late-bound imports')

    def test_dialogs(self):
        i = self.ids
        banner = ('STATIC', i['IDB_BANNER'])
        want = {'IDD_OPTIONS_DLG': [('BUTTON', 1)] + [('BUTTON', i[n]) for n in ('IDC_LITESTEP', 'IDC_EXPLORER',
                'IDC_REBOOT_OTHER', 'IDC_LOGOFF', 'IDC_SHUTDOWN', 'IDC_TERMINATE')] + [('STATIC', i['IDC_PROMPT']), banner],
                'IDD_LIST_DLG': [('BUTTON', 1), ('STATIC', i['IDC_LISTPROMPT']), ('LISTBOX', i['IDC_THEMELIST']), banner]}
        for name, expected in want.items():
            got = dialog_controls(self.res.get((RT_DIALOG, name), b''))
            self.assertEqual(sorted(expected), sorted(got), name + ': controls (class, id or bitmap)')

    def test_images_and_version(self):
        header = struct.unpack_from('<IiiHH', self.res[(RT_BITMAP, self.ids['IDB_BANNER'])])
        self.assertEqual((75, 121, 24), header[1:3] + header[4:], 'banner width, height, bits')
        group = self.res[(RT_GROUP_ICON, self.ids['IDI_QUILLFERN'])]
        icons = [struct.unpack_from('<BBBxHHIH', group, 6 + 14 * n) for n in range(struct.unpack_from('<H', group, 4)[0])]
        self.assertEqual([(32, 32, 16, 4), (16, 16, 16, 4)], [g[:3] + g[4:5] for g in icons], 'icon sizes, colours, bits')
        self.assertEqual([len(self.res[(RT_ICON, g[6])]) for g in icons], [g[5] for g in icons], 'icon images')
        fixed, strings = self.pe.VS_FIXEDFILEINFO[0], {}
        for info in self.pe.FileInfo[0]:
            for table in getattr(info, 'StringTable', []):
                strings.update(table.entries)
        self.assertEqual((0x10032, 0x10032, b'1.50', b'Quillfern Win32 Shell Manager'),
                         (fixed.FileVersionMS, fixed.ProductVersionMS, strings.get(b'FileVersion'),
                          strings.get(b'FileDescription')), 'version 1.50 and description')

    def test_clean_build_elsewhere_is_identical(self):
        # Another directory, so that neither a clock nor a path may show.
        with tempfile.TemporaryDirectory(prefix='qf-again-') as work:
            zip_path = os.path.join(work, 'q.zip')
            run = subprocess.run([os.path.join(SOURCE, 'scripts', 'package.sh'), '--build-dir',
                                  os.path.join(work, 'b'), '--out', zip_path], capture_output=True, text=True)
            self.assertEqual(0, run.returncode, 'package.sh: ' + run.stdout + run.stderr)
            again = zipfile.ZipFile(zip_path).read('Quillfern.exe')
        with open(EXE, 'rb') as f:
            first = f.read()
        diff = next((n for n, (a, b) in enumerate(zip(first, again)) if a != b), None)
        self.assertEqual((len(first), None), (len(again), diff), '(size, first differing byte) of the clean build')


if __name__ == '__main__':
    unittest.main(argv=sys.argv[:1], verbosity=2)
