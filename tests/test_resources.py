#!/usr/bin/python3
"""The resources compiled into both builds of Quillfern.exe: the two dialog
templates field by field, the banner bitmap, the icon images and the version
block. Also checks that the committed artwork is what scripts/make_art.py
draws.

Usage: test_resources.py <source-dir>
"""
import os
import struct
import subprocess
import sys
import tempfile
import unittest

import pefile

SOURCE_DIR = os.path.abspath(sys.argv[1] if len(sys.argv) > 1 else
                             os.path.join(os.path.dirname(__file__), ".."))
BUILDS = {name: os.path.join(SOURCE_DIR, "build", name, "Quillfern.exe")
          for name in ("i686", "x86_64")}

RT_BITMAP, RT_ICON, RT_DIALOG, RT_GROUP_ICON, RT_VERSION = 2, 3, 5, 14, 16
LANG_EN_US = 1033
PREDEFINED_CLASSES = {0x80: "BUTTON", 0x81: "EDIT", 0x82: "STATIC", 0x83: "LISTBOX",
                      0x84: "SCROLLBAR", 0x85: "COMBOBOX"}

TERMINATED_PROMPT = ("Quillfern has detected that your current shell has terminated."
                     "  Select from the options below:")

# (id, class, style, extended style, x, y, cx, cy, text); the text of the
# banner is its bitmap's ordinal.
OPTIONS_CONTROLS = [
    (1, "BUTTON", 0x50010001, 0, 5, 115, 50, 14, "OK"),
    (0xFFFF, "BUTTON", 0x50000007, 0, 65, 30, 110, 99, "Options:"),
    (1000, "BUTTON", 0x50020009, 0, 75, 49, 95, 10, "Restart LiteStep"),
    (1001, "BUTTON", 0x50000009, 0, 75, 64, 95, 10, "Restart Explorer"),
    (1002, "BUTTON", 0x50000009, 0, 75, 80, 95, 10, "Reboot"),
    (1003, "BUTTON", 0x50000009, 0, 75, 94, 95, 10, "Logoff"),
    (1004, "BUTTON", 0x50000009, 0, 75, 109, 95, 10, "Shutdown"),
    (0xFFFF, "STATIC", 0x5000100E, 0, 5, 35, 51, 76, 103),
    (1005, "STATIC", 0x50020000, 0, 5, 5, 170, 20, TERMINATED_PROMPT),
    (1006, "BUTTON", 0x50010003, 0, 75, 110, 95, 10, "Terminate Quillfern after starting shell"),
]

LIST_CONTROLS = [
    (1, "BUTTON", 0x50010001, 0, 5, 100, 50, 14, "OK"),
    (0xFFFF, "STATIC", 0x5000100E, 0, 5, 20, 51, 76, 103),
    (1008, "STATIC", 0x50020000, 0, 5, 5, 170, 10, "Status text"),
    (1007, "LISTBOX", 0x50210101, 0x20000, 65, 20, 110, 95, ""),
]


class Reader:
    """Reads a dialog template: little-endian words, and the
    ordinal-or-string fields."""

    def __init__(self, data):
        self.data = data
        self.pos = 0

    def take(self, fmt):
        values = struct.unpack_from("<" + fmt, self.data, self.pos)
        self.pos += struct.calcsize("<" + fmt)
        return values if len(values) > 1 else values[0]

    def align(self):
        self.pos = (self.pos + 3) & ~3

    def string(self):
        end = self.pos
        while self.data[end:end + 2] != b"\0\0":
            end += 2
        text = self.data[self.pos:end].decode("utf-16-le")
        self.pos = end + 2
        return text

    def sz_or_ord(self):
        first = self.take("H")
        if first == 0:
            return ""
        if first == 0xFFFF:
            return self.take("H")
        self.pos -= 2
        return self.string()


def class_name(value):
    return PREDEFINED_CLASSES.get(value, value) if isinstance(value, int) else value.upper()


def parse_dialog(data):
    r = Reader(data)
    version, signature = struct.unpack_from("<HH", data, 0)
    extended = version == 1 and signature == 0xFFFF
    d = {"extended": extended}
    if extended:
        r.take("HH")
        d["help"], d["exstyle"], d["style"] = r.take("III")
    else:
        d["style"], d["exstyle"] = r.take("II")
    count = r.take("H")
    d["rect"] = r.take("hhhh")
    d["menu"] = r.sz_or_ord()
    d["class"] = r.sz_or_ord()
    d["title"] = r.string()
    if d["style"] & 0x40:   # DS_SETFONT
        d["points"] = r.take("H")
        if extended:
            d["weight"], d["italic"], d["charset"] = r.take("HBB")
        d["font"] = r.string()
    controls = []
    for _ in range(count):
        r.align()
        if extended:
            help_id, exstyle, style = r.take("III")
            x, y, cx, cy = r.take("hhhh")
            cid = r.take("I")
        else:
            style, exstyle = r.take("II")
            x, y, cx, cy = r.take("hhhh")
            cid = r.take("H")
            help_id = 0
        cls = class_name(r.sz_or_ord())
        text = r.sz_or_ord()
        extra = r.take("H")
        r.pos += extra
        controls.append({"id": cid & 0xFFFF, "class": cls, "style": style, "exstyle": exstyle,
                         "rect": (x, y, cx, cy), "text": text, "help": help_id,
                         "extra": extra})
    d["controls"] = controls
    return d


class Image:
    def __init__(self, path):
        self.pe = pefile.PE(path)
        self.resources = {}
        root = self.pe.DIRECTORY_ENTRY_RESOURCE
        self.timestamps = [root.struct.TimeDateStamp]
        for rtype in root.entries:
            self.timestamps.append(rtype.directory.struct.TimeDateStamp)
            for name in rtype.directory.entries:
                key = str(name.name) if name.name is not None else name.id
                for lang in name.directory.entries:
                    entry = lang.data.struct
                    data = self.pe.get_data(entry.OffsetToData, entry.Size)
                    self.resources[(rtype.id, key, lang.id)] = data

    def get(self, rtype, key, lang=LANG_EN_US):
        return self.resources.get((rtype, key, lang))

    def of_type(self, rtype):
        return {k: v for k, v in self.resources.items() if k[0] == rtype}


class ResourceChecks:
    """Run once per build; `image` is set by the subclasses below."""
    build = None

    @classmethod
    def setUpClass(cls):
        path = BUILDS[cls.build]
        if not os.path.exists(path):
            raise unittest.SkipTest("not built: " + path)
        cls.image = Image(path)

    def check_controls(self, dialog, expected):
        self.assertEqual(len(expected), len(dialog["controls"]), "number of controls")
        for i, (want, got) in enumerate(zip(expected, dialog["controls"])):
            cid, cls, style, exstyle, x, y, cx, cy, text = want
            with self.subTest(control=i + 1):
                self.assertEqual(cid, got["id"], "id")
                self.assertEqual(cls, got["class"], "class")
                self.assertEqual(hex(style), hex(got["style"]), "style")
                self.assertEqual(hex(exstyle), hex(got["exstyle"]), "extended style")
                self.assertEqual((x, y, cx, cy), got["rect"], "rectangle")
                self.assertEqual(text, got["text"], "text")
                self.assertEqual(0, got["help"], "help id")
                self.assertEqual(0, got["extra"], "creation data")

    def test_options_dialog_template(self):
        data = self.image.get(RT_DIALOG, "IDD_OPTIONS_DLG")
        self.assertIsNotNone(data, "IDD_OPTIONS_DLG in English (United States)")
        d = parse_dialog(data)
        self.assertFalse(d["extended"], "a classic template, not an extended one")
        self.assertEqual(hex(0x90C00AC2), hex(d["style"]), "style")
        self.assertEqual(0, d["exstyle"], "extended style")
        self.assertEqual((0, 0, 182, 135), d["rect"])
        self.assertEqual("", d["menu"])
        self.assertEqual("", d["class"])
        self.assertEqual("Quillfern", d["title"])
        self.assertEqual((8, "MS Sans Serif"), (d["points"], d["font"]))
        self.check_controls(d, OPTIONS_CONTROLS)

    def test_list_dialog_template(self):
        data = self.image.get(RT_DIALOG, "IDD_LIST_DLG")
        self.assertIsNotNone(data, "IDD_LIST_DLG in English (United States)")
        d = parse_dialog(data)
        self.assertTrue(d["extended"], "an extended template")
        self.assertEqual(hex(0x90C80AC2), hex(d["style"]), "style")
        self.assertEqual((0, 0), (d["exstyle"], d["help"]), "extended style and help id")
        self.assertEqual((0, 0, 182, 121), d["rect"])
        self.assertEqual(("", ""), (d["menu"], d["class"]))
        self.assertEqual("Quillfern", d["title"])
        self.assertEqual((8, 0, 0, 1, "MS Sans Serif"),
                         (d["points"], d["weight"], d["italic"], d["charset"], d["font"]))
        self.check_controls(d, LIST_CONTROLS)

    def test_only_these_dialogs(self):
        self.assertEqual({(RT_DIALOG, "IDD_LIST_DLG", LANG_EN_US),
                          (RT_DIALOG, "IDD_OPTIONS_DLG", LANG_EN_US)},
                         set(self.image.of_type(RT_DIALOG)))

    def test_banner_bitmap(self):
        data = self.image.get(RT_BITMAP, 103)
        self.assertIsNotNone(data, "bitmap 103")
        (size, width, height, planes, bits, compression,
         image_size) = struct.unpack_from("<IiiHHII", data, 0)
        self.assertEqual((40, 75, 121, 1, 24, 0), (size, width, height, planes, bits, compression),
                         "header size, width, height, planes, bits, compression")
        row = (75 * 3 + 3) & ~3
        self.assertEqual(40 + row * 121, len(data), "uncompressed pixel data")
        # Green lettering on black: only shades of green, mostly black.
        pixels = [data[40 + y * row + x * 3:40 + y * row + x * 3 + 3]
                  for y in range(121) for x in range(75)]
        not_green = [p for p in pixels if p[0] != 0 or p[2] != 0]
        self.assertEqual([], not_green[:5], "pixels that are not black or green")
        black = sum(1 for p in pixels if p == b"\0\0\0")
        self.assertGreater(black, len(pixels) // 2, "a black ground")
        self.assertGreater(len(pixels) - black, 300, "some green drawing")
        with open(os.path.join(SOURCE_DIR, "res", "banner.bmp"), "rb") as f:
            self.assertEqual(f.read()[14:], data, "the committed banner.bmp")

    def test_icon(self):
        groups = self.image.of_type(RT_GROUP_ICON)
        self.assertEqual([(RT_GROUP_ICON, 101, LANG_EN_US)], list(groups), "one icon, 101")
        group = groups[(RT_GROUP_ICON, 101, LANG_EN_US)]
        reserved, kind, count = struct.unpack_from("<HHH", group, 0)
        self.assertEqual((0, 1, 2), (reserved, kind, count), "an icon group of two images")
        sizes = []
        for i in range(count):
            (w, h, colours, _, planes, bits, length,
             icon_id) = struct.unpack_from("<BBBBHHIH", group, 6 + 14 * i)
            sizes.append((w, h))
            with self.subTest(image=(w, h)):
                self.assertEqual((16, 1, 4), (colours, planes, bits), "16 colours, 4 bits")
                icon = self.image.get(RT_ICON, icon_id)
                self.assertIsNotNone(icon, "icon image %d" % icon_id)
                self.assertEqual(length, len(icon))
                (size, width, height, planes, bits,
                 compression) = struct.unpack_from("<IiiHHI", icon, 0)
                self.assertEqual((40, w, 2 * h, 1, 4, 0),
                                 (size, width, height, planes, bits, compression))
                xor_row = ((w * 4 + 31) // 32) * 4
                and_row = ((w + 31) // 32) * 4
                self.assertEqual(40 + 16 * 4 + (xor_row + and_row) * h, len(icon),
                                 "palette, colour and mask bits")
        self.assertEqual([(32, 32), (16, 16)], sizes)

    def test_version_block(self):
        pe = self.image.pe
        fixed = pe.VS_FIXEDFILEINFO[0]
        self.assertEqual((0x00010032, 0), (fixed.FileVersionMS, fixed.FileVersionLS),
                         "file version 1.50")
        self.assertEqual((0x00010032, 0), (fixed.ProductVersionMS, fixed.ProductVersionLS),
                         "product version 1.50")
        self.assertEqual((0, 0), (fixed.FileDateMS, fixed.FileDateLS), "no date")
        self.assertEqual(1, fixed.FileType, "VFT_APP")
        strings = {}
        for info in pe.FileInfo[0]:
            for table in getattr(info, "StringTable", []):
                self.assertEqual(b"040904e4", table.LangID.lower(), "English (US), Windows ANSI")
                strings.update(table.entries)
        self.assertEqual(b"Quillfern Win32 Shell Manager", strings.get(b"FileDescription"))
        self.assertEqual(b"1.50", strings.get(b"FileVersion"))
        self.assertEqual(b"1.50", strings.get(b"ProductVersion"))

    def test_no_timestamps(self):
        self.assertEqual([0] * len(self.image.timestamps), self.image.timestamps,
                         "resource directory time stamps")
        self.assertEqual(0, self.image.pe.FILE_HEADER.TimeDateStamp, "image time stamp")


class I686Resources(ResourceChecks, unittest.TestCase):
    build = "i686"


class X86_64Resources(ResourceChecks, unittest.TestCase):
    build = "x86_64"


class BothBuilds(unittest.TestCase):
    def test_same_resources(self):
        images = {}
        for name, path in BUILDS.items():
            if not os.path.exists(path):
                self.skipTest("not built: " + path)
            images[name] = Image(path).resources
        self.assertEqual(images["i686"], images["x86_64"],
                         "both builds must carry the very same resources")


class Artwork(unittest.TestCase):
    def test_committed_art_is_what_the_script_draws(self):
        with tempfile.TemporaryDirectory() as out:
            subprocess.run([sys.executable, os.path.join(SOURCE_DIR, "scripts", "make_art.py"),
                            out], check=True)
            for name in ("banner.bmp", "quillfern.ico"):
                with self.subTest(file=name):
                    with open(os.path.join(out, name), "rb") as f:
                        drawn = f.read()
                    with open(os.path.join(SOURCE_DIR, "res", name), "rb") as f:
                        committed = f.read()
                    self.assertEqual(drawn, committed, "res/%s differs from the script's" % name)


if __name__ == "__main__":
    unittest.main(argv=[sys.argv[0], "-v"])
