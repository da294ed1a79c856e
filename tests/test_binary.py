"""The shipped build/i686/Quillfern.exe as Windows 95 and NT 4.0 load it, and built again."""
import pathlib, re, struct, subprocess, sys, tempfile, unittest, zipfile, pefile

SOURCE = pathlib.Path(__file__).resolve().parent.parent
EXE = SOURCE / 'build' / 'i686' / 'Quillfern.exe'
# The imports Windows 95 and NT 4.0 both have: :NTx names the NT release that added one, :95stub
# one that 95 has as a failing stub (called on NT alone). No FreeLibrary: the file dialog's
# extensions may run.
ALLOWED = {
    'KERNEL32': '''CloseHandle CompareStringA CopyFileA CreateFileA CreateFileMappingA
        CreateProcessA CreateThread DuplicateHandle ExitProcess FormatMessageA GetCommandLineA
        GetCurrentProcess GetCurrentProcessId GetCurrentThreadId GetExitCodeProcess
        GetFileAttributesA GetFileSize GetLastError GetModuleFileNameA GetModuleHandleA
        GetPrivateProfileIntA GetPrivateProfileSectionA GetPrivateProfileSectionNamesA:NT4.0
        GetPrivateProfileStringA GetProcAddress GetVersionExA:NT3.5 GetWindowsDirectoryA
        LoadLibraryA LocalFree MapViewOfFile OpenProcess Sleep TerminateProcess UnmapViewOfFile
        WaitForSingleObject WritePrivateProfileStringA''',
    'USER32': '''CharNextA CheckDlgButton CheckRadioButton CreateWindowExA DefWindowProcA
        DialogBoxParamA DispatchMessageA EndDialog EnumThreadWindows ExitWindowsEx FindWindowA
        GetAsyncKeyState GetDlgItem GetMessageA GetWindowThreadProcessId IsDlgButtonChecked
        IsWindowVisible keybd_event KillTimer MapVirtualKeyA MessageBoxA PeekMessageA
        PostMessageA PostQuitMessage RegisterClassExA:NT3.51 RegisterHotKey SendDlgItemMessageA
        SetDlgItemTextA SetFocus SetTimer SetWindowTextA ShowWindow SystemParametersInfoA
        TranslateMessage UnregisterClassA UnregisterHotKey WaitForInputIdle''',
    'GDI32': 'GetStockObject SetBkColor SetTextColor',
    'ADVAPI32': '''AdjustTokenPrivileges:95stub GetUserNameA LookupPrivilegeValueA:95stub
        OpenProcessToken:95stub RegCloseKey RegDeleteValueA RegOpenKeyExA RegQueryValueExA
        RegSetValueExA'''}
DIALOGS = {  # each dialog's controls as class:id, a picture's bitmap in place of its id
    'IDD_OPTIONS_DLG': '''BUTTON:IDOK BUTTON:IDC_LITESTEP BUTTON:IDC_EXPLORER BUTTON:IDC_LOGOFF
        BUTTON:IDC_REBOOT_OTHER BUTTON:IDC_SHUTDOWN BUTTON:IDC_TERMINATE STATIC:IDC_PROMPT
        STATIC:IDB_BANNER''',
    'IDD_LIST_DLG': 'BUTTON:IDOK STATIC:IDC_LISTPROMPT LISTBOX:IDC_THEMELIST STATIC:IDB_BANNER'}
TEXTS = {  # templated as set again at open
    'IDC_PROMPT': 'Quillfern has detected that your current shell has terminated.  '
                  'Select from the options below:',
    'IDC_TERMINATE': 'Terminate Quillfern after starting shell', 'IDC_LISTPROMPT': 'Status text'}
ID = dict(re.findall(r'#define\s+(\w+)\s+(\d+)', (SOURCE / 'res/resource.h').read_text()), IDOK='1')
CLASSES = 'BUTTON EDIT STATIC LISTBOX SCROLLBAR COMBOBOX'.split()  # the ordinals from 0x80 on
PE = pefile.PE(str(EXE))
RES = {(pefile.RESOURCE_TYPE[kind.id], str(item.name or item.id)):  # its first language's data
       PE.get_data((data := item.directory.entries[0].data.struct).OffsetToData, data.Size)
       for kind in PE.DIRECTORY_ENTRY_RESOURCE.entries for item in kind.directory.entries}


def controls(template):
    """Sorted (class, id, title) of a template's controls but those of id -1 (a picture's is its
    bitmap's). The id, a DWORD in an extended template, else a WORD, comes before the class."""
    id_at = 1 if template[2:4] == b'\xff\xff' else 2
    pattern = rb'(?s)(..)(..)\xff\xff([\x80-\x85])\0(?:\xff\xff(..)|((?:..)*?)\0\0)'
    found = [(CLASSES[m[3][0] - 0x80], struct.unpack('<H', m[4] or m[id_at])[0],
              (m[5] or b'').decode('utf-16-le')) for m in re.finditer(pattern, template)]
    return sorted((kind, str(ident), title) for kind, ident, title in found if ident != 0xFFFF)


class ShippedExecutable(unittest.TestCase):
    def test_header_imports_size(self):
        header = dict(Magic=0x10b, Subsystem=2, MajorSubsystemVersion=4, MinorSubsystemVersion=0,
                      MajorOperatingSystemVersion=4, MinorOperatingSystemVersion=0)
        self.assertEqual(header, {field: getattr(PE.OPTIONAL_HEADER, field) for field in header},
                         'PE32 (0x10b), GUI subsystem (2), subsystem and OS version 4.0')
        allowed = {(dll, n.split(':')[0]) for dll, names in ALLOWED.items() for n in names.split()}
        imported = {(entry.dll.decode().upper().replace('.DLL', ''),
                     (i.name or b'#%d' % i.ordinal).decode())
                    for entry in PE.DIRECTORY_ENTRY_IMPORT for i in entry.imports}
        self.assertEqual([], sorted(imported - allowed), 'no import (no C run-time) 95 or NT lacks')
        self.assertFalse(hasattr(PE, 'DIRECTORY_ENTRY_DELAY_IMPORT'), 'no delay-loaded imports')
        self.assertLessEqual(EXE.stat().st_size, 54 * 1024, 'bytes of the executable, at most')

    def test_resources(self):
        titled = {ID[name] for name in TEXTS}
        for dialog, pairs in DIALOGS.items():
            expected = sorted((kind, ID[name], TEXTS.get(name)) for kind, name in
                              (pair.split(':') for pair in pairs.split()))
            found = [(kind, ident, title if ident in titled else None)
                     for kind, ident, title in controls(RES.get(('RT_DIALOG', dialog), b''))]
            self.assertEqual(expected, found, dialog + ': class, id, the text set again at open')
        _, width, height, _, bits = struct.unpack_from('<IiiHH', RES['RT_BITMAP', ID['IDB_BANNER']])
        group = RES['RT_GROUP_ICON', ID['IDI_QUILLFERN']]  # group[4]: the count
        fixed, text = PE.VS_FIXEDFILEINFO[0], PE.FileInfo[0][0].StringTable[0].entries
        self.assertEqual((75, 121, 24), (width, height, bits), 'banner width, height, bits/pixel')
        icons = [struct.unpack_from('<BBBxxxH', group, 6 + 14 * n) for n in range(group[4])]
        self.assertEqual([(32, 32, 16, 4), (16, 16, 16, 4)], icons, 'icons: size, colours, bits')
        self.assertEqual((0x10032, 0x10032, b'1.50', b'Quillfern Win32 Shell Manager'),
                         (fixed.FileVersionMS, fixed.ProductVersionMS, text[b'FileVersion'],
                          text[b'FileDescription']),
                         'file and product version 1.50 (0x10032), its text and the description')

    def test_clean_build_elsewhere_is_identical(self):
        with tempfile.TemporaryDirectory(prefix='qf-again-') as work:  # a clock or path shows
            run = subprocess.run([SOURCE / 'scripts/package.sh', '--build-dir', work + '/b',
                                  '--out', work + '/q.zip'], capture_output=True, text=True)
            self.assertEqual(0, run.returncode, 'package.sh: ' + run.stdout + run.stderr)
            first = EXE.read_bytes()
            again = zipfile.ZipFile(work + '/q.zip').read('Quillfern.exe')
        diff = next((n for n, (a, b) in enumerate(zip(first, again)) if a != b), None)
        self.assertEqual((len(first), None), (len(again), diff), '(size, first byte apart)')


unittest.main(argv=sys.argv[:1], verbosity=2)
