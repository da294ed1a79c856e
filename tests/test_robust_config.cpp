// Robustness of the configuration reader: thousands of generated, mostly
// broken Quillfern.cfg files through both phases, in-process, compared with
// what the platform's own profile functions make of the same file; and a
// sample of them through a real Quillfern.exe.
#include <gtest/gtest.h>

#include <string.h>

#include <map>

#include "common/text.h"
#include "config/config.h"
#include "config/state.h"
#include "control/control.h"
#include "test_robust.h"

using robust::BoxCatcher;
using robust::Random;

namespace {

constexpr int kFiles = 2000;
constexpr unsigned kSeed = 20240611;
constexpr int kE2EEvery = 167;      // every 167th file also end to end: 12 files

constexpr char kThemeDirectiveText[] =
    "The theme directive for this user in Quillfern.cfg is\n"
    "undefined.  Please check Quillfern.cfg and verify that\n"
    "all paths are correct.";
constexpr char kShellDirectiveText[] =
    "The shell directive for this user in Quillfern.cfg is\n"
    "undefined.  Please check Quillfern.cfg and verify that\n"
    "all paths are correct.";

std::string RealUserName()
{
    char name[260] = "";
    DWORD size = sizeof name;
    GetUserNameA(name, &size);
    return name;
}

// ---- Generators -------------------------------------------------------------

const int kBoundaryLengths[] = {0, 1, 2, 62, 63, 64, 65, 70, 127, 128, 255, 258, 259, 260,
                                261, 300, 1023, 4096};
const char *const kNumbers[] = {
    "0", "1", "-1", "5", "3600", "3601", "-2", "2147483647", "2147483648", "-2147483648",
    "-2147483649", "4294967295", "4294967296", "99999999999999999999", "-99999999999999999999",
    "0x10", "010", "12abc", "abc", " 7", "+7", "-", "", "1e9", "\t-5", "2147483", "2147484",
    "-1000", "00000000000000000000000001", "--1", "7 8", "\"9\""};
const char *const kSectionNames[] = {"Quillfern", "default", "Themes", "Alternate_Shells",
                                     "QUILLFERN", "DEFAULT", "themes", "alternate_shells"};
const char *const kKeys[] = {"litestep_exe", "explorer_exe", "shell", "ask_boot",
                             "start_delay", "kill_delay", "shift_delay", "theme",
                             "theme_name_", "theme_path_", "theme_back_", "altshell_name_",
                             "altshell_path_", "SHELL", "Theme_Name_"};
const char *const kKeywords[] = {"litestep_exe", "explorer_exe", "LITESTEP_EXE", "Explorer_Exe",
                                 " litestep_exe", "explorer_exe "};
const char *const kNearKeywords[] = {"Explorer", "litestep", "", "explorer.exe", "litestep_exe2"};

// Any bytes but the ones that end a line (or the text).
std::string RandomValue(Random &r, size_t length)
{
    std::string value;
    value.reserve(length);
    unsigned mode = r.Below(3);
    for (size_t i = 0; i < length; i++) {
        char c;
        switch (mode) {
        case 0:  c = (char)(32 + r.Below(95)); break;                      // printable
        case 1:  c = (char)('a' + r.Below(26)); break;                     // plain letters
        default: c = (char)(1 + r.Below(255)); break;                      // any byte
        }
        if (c == '\r' || c == '\n')
            c = '_';
        value += c;
    }
    return value;
}

size_t RandomLength(Random &r)
{
    if (r.OneIn(2))
        return r.Pick(kBoundaryLengths);
    return r.Below(40);
}

// Names mostly fit their 64 bytes; one in six is at or past the size.
size_t NameLength(Random &r)
{
    const size_t boundary[] = {62, 63, 64, 65, 70, 0};
    if (r.OneIn(6))
        return r.Pick(boundary);
    return 1 + r.Below(20);
}

// A name that a directive may or may not match: as written, in other case,
// cut to the field, or anything else.
std::string Variant(Random &r, const std::string &name)
{
    std::string v = name;
    switch (r.Below(5)) {
    case 0:
        for (char &c : v)
            c = (char)(r.OneIn(2) ? toupper((unsigned char)c) : tolower((unsigned char)c));
        return v;
    case 1:
        return v.substr(0, 63);
    case 2:
        return v + "x";
    default:
        return v;
    }
}

std::string Section(const std::string &name) { return "[" + name + "]\r\n"; }
std::string Line(const std::string &key, const std::string &value)
{
    return key + "=" + value + "\r\n";
}

// A file with the right sections and keys and values at and past every
// size, with gaps, duplicates and directives that match or nearly match.
std::string StructuredFile(Random &r, const std::string &user, bool numeric)
{
    std::vector<std::string> themeNames, shellNames;
    std::string themes = Section(r.OneIn(8) ? "THEMES" : "Themes");
    int themeCount = (int)r.Below(13);
    int gap = r.OneIn(5) ? (int)r.Below(12) + 1 : -1;
    for (int n = 1; n <= themeCount; n++) {
        if (n == gap)
            continue;
        std::string name = RandomValue(r, NameLength(r));
        themeNames.push_back(name);
        themes += Line("theme_name_" + std::to_string(n), name);
        if (!r.OneIn(6))
            themes += Line("theme_path_" + std::to_string(n),
                           "C:\\qf-missing\\themes\\" + RandomValue(r, RandomLength(r)));
        if (!r.OneIn(6))
            themes += Line("theme_back_" + std::to_string(n), RandomValue(r, RandomLength(r)));
        if (r.OneIn(10))
            themes += Line("theme_name_" + std::to_string(n), "duplicate");
    }
    std::string shells = Section("Alternate_Shells");
    int shellCount = (int)r.Below(8);
    for (int n = 1; n <= shellCount; n++) {
        std::string name = RandomValue(r, NameLength(r));
        shellNames.push_back(name);
        shells += Line("altshell_name_" + std::to_string(n), name);
        if (!r.OneIn(5))
            shells += Line("altshell_path_" + std::to_string(n),
                           "C:\\qf-missing\\" + RandomValue(r, RandomLength(r)));
    }

    // Mostly directives that hold: a message is due in about a quarter of
    // the files, which keeps thousands of them quick.
    auto directive = [&](const std::vector<std::string> &names,
                         bool keywords) -> std::string {
        unsigned pick = r.Below(20);
        if (keywords && pick < 12)
            return r.Pick(kKeywords);
        if (!names.empty() && pick < 18)
            return r.OneIn(4) ? Variant(r, names[r.Below((unsigned)names.size())])
                              : names[r.Below((unsigned)names.size())];
        if (r.OneIn(2))
            return r.Pick(kNearKeywords);
        return RandomValue(r, RandomLength(r));
    };
    auto number = [&]() -> std::string {
        if (numeric || r.OneIn(3))
            return r.Pick(kNumbers);
        return std::to_string((int)r.Below(12) - 2);
    };
    auto userSection = [&](const std::string &name) {
        std::string text = Section(name);
        if (!r.OneIn(8)) {
            std::string shell = directive(shellNames, true);
            text += Line(r.OneIn(10) ? "SHELL" : "shell", shell);
        }
        if (r.OneIn(3))
            text += Line("theme", directive(themeNames, false));
        const char *numberKeys[] = {"ask_boot", "start_delay", "kill_delay", "shift_delay"};
        for (const char *key : numberKeys)
            if (!r.OneIn(3))
                text += Line(key, number());
        return text;
    };

    std::vector<std::string> parts;
    if (!r.OneIn(6)) {
        std::string main = Section("Quillfern");
        main += Line("litestep_exe", "C:\\qf-missing\\LiteStep\\" + RandomValue(r, RandomLength(r)));
        main += Line("explorer_exe", "C:\\qf-missing\\" + RandomValue(r, RandomLength(r)));
        parts.push_back(main);
    }
    if (!r.OneIn(8))
        parts.push_back(userSection(user));
    if (!r.OneIn(4))
        parts.push_back(userSection("default"));
    if (r.OneIn(8))
        parts.push_back(userSection(user));            // the section twice
    if (!r.OneIn(5))
        parts.push_back(themes);
    if (!r.OneIn(5))
        parts.push_back(shells);
    // Any order.
    for (size_t i = parts.size(); i > 1; i--)
        std::swap(parts[i - 1], parts[r.Below((unsigned)i)]);
    std::string file;
    for (const std::string &part : parts)
        file += part + (r.OneIn(3) ? "\r\n" : "");
    return file;
}

// Lines built from the right words in the wrong places.
std::string TokenSoup(Random &r, const std::string &user)
{
    std::string file;
    int lines = 1 + (int)r.Below(80);
    for (int i = 0; i < lines; i++) {
        switch (r.Below(7)) {
        case 0:
            file += Section(r.OneIn(3) ? user : r.Pick(kSectionNames));
            break;
        case 1:
            file += "[" + RandomValue(r, RandomLength(r)) + (r.OneIn(2) ? "]" : "") + "\r\n";
            break;
        case 2: {
            std::string key = r.Pick(kKeys);
            if (key.back() == '_')
                key += std::to_string((int)r.Below(14) - 1);
            file += key + (r.OneIn(5) ? " = " : "=") + RandomValue(r, RandomLength(r)) + "\r\n";
            break;
        }
        case 3:
            file += std::string(r.Pick(kKeys)) + "=" + r.Pick(kNumbers) + "\r\n";
            break;
        case 4:
            file += ";" + RandomValue(r, RandomLength(r)) + "\r\n";
            break;
        case 5:
            file += RandomValue(r, RandomLength(r)) + "\r\n";      // no equals sign
            break;
        default:
            file += "=" + RandomValue(r, RandomLength(r)) + "\n";   // no key, bare line feed
            break;
        }
    }
    return file;
}

// Most files of pure noise still have a section that names a shell, so that
// not every one of them is due the shell-directive message.
std::string NamedShellTrailer(Random &r, const std::string &user)
{
    if (r.OneIn(4))
        return "";
    return "\r\n" + Section(r.OneIn(2) ? user : "default") +
           Line("shell", r.OneIn(2) ? "explorer_exe" : "LiteStep_Exe");
}

std::string RandomBytes(Random &r, const std::string &user)
{
    size_t length = r.Below(3000);
    std::string file(length, '\0');
    for (char &c : file)
        c = (char)r.Below(256);
    return file + NamedShellTrailer(r, user);
}

// Hundreds of sections and keys, many of them the ones the reader wants.
std::string ManySections(Random &r, const std::string &user)
{
    std::string file;
    int sections = 200 + (int)r.Below(200);
    for (int s = 0; s < sections; s++) {
        file += Section(r.OneIn(4) ? r.Pick(kSectionNames)
                                   : (r.OneIn(10) ? user : "s" + std::to_string(s)));
        int keys = (int)r.Below(30);
        for (int k = 0; k < keys; k++) {
            std::string key = r.Pick(kKeys);
            if (key.back() == '_')
                key += std::to_string(1 + r.Below(12));
            if (r.OneIn(2))
                key = "k" + std::to_string(k);
            file += Line(key, RandomValue(r, r.Below(30)));
        }
    }
    return file;
}

// Lines of 100,000 characters: as a value, as a key, as a section name.
std::string LongLines(Random &r, const std::string &user)
{
    std::string huge = RandomValue(r, 100000);
    std::string file = StructuredFile(r, user, false);
    switch (r.Below(4)) {
    case 0: file += Section("Quillfern") + Line("litestep_exe", huge); break;
    case 1: file += Section(user) + Line("shell", huge) + Line("theme", huge); break;
    case 2: file += Section("Themes") + Line(huge, "x") + Line("theme_name_1", huge); break;
    default: file = Section(huge) + Line("shell", "explorer_exe") + file; break;
    }
    return file;
}

// About a megabyte: a real configuration buried among filler sections.
std::string Megabyte(Random &r, const std::string &user)
{
    std::string file = StructuredFile(r, user, false);
    std::string filler;
    int s = 0;
    while (filler.size() < 1024 * 1024) {
        filler += Section("filler" + std::to_string(s++));
        for (int k = 0; k < 40; k++)
            filler += Line("key" + std::to_string(k), RandomValue(r, 20));
    }
    size_t middle = file.find("\r\n[", file.size() / 2);
    if (middle == std::string::npos)
        return filler + file;
    return file.substr(0, middle + 2) + filler + file.substr(middle + 2);
}

// Other line ends and byte-order marks (a UTF-16 file included).
std::string Encoded(Random &r, const std::string &user)
{
    std::string text = StructuredFile(r, user, false);
    switch (r.Below(4)) {
    case 0: {
        std::string lf;
        for (char c : text)
            if (c != '\r')
                lf += c;
        return lf;
    }
    case 1: {
        std::string cr;
        for (char c : text)
            if (c != '\n')
                cr += c;
        return cr;
    }
    case 2:
        return "\xEF\xBB\xBF" + text;
    default: {
        std::string wide = "\xFF\xFE";
        for (char c : text) {
            wide += c;
            wide += '\0';
        }
        return wide;
    }
    }
}

std::string UserFor(Random &r, const std::string &realUser)
{
    switch (r.Below(8)) {
    case 0: return "operator";
    case 1: return "Operator";
    case 2: return std::string(259, 'u');
    case 3: return RandomValue(r, 1 + r.Below(40));
    case 4: return "default";
    default: return realUser;
    }
}

std::string GenerateFile(Random &r, int index, const std::string &user, const char **kind)
{
    if (index % 400 == 199) {
        *kind = "1 MB";
        return Megabyte(r, user);
    }
    unsigned pick = r.Below(100);
    if (pick < 14) { *kind = "random bytes"; return RandomBytes(r, user); }
    if (pick < 28) { *kind = "token soup"; return NamedShellTrailer(r, user) + TokenSoup(r, user); }
    if (pick < 74) { *kind = "structured"; return StructuredFile(r, user, false); }
    if (pick < 86) { *kind = "numbers"; return StructuredFile(r, user, true); }
    if (pick < 91) { *kind = "many sections"; return ManySections(r, user); }
    if (pick < 95) { *kind = "long lines"; return LongLines(r, user); }
    *kind = "encodings";
    return Encoded(r, user);
}

// ---- What the platform's profile functions make of a file ----------------------

struct Expected {
    std::string liteStep, explorer, section;
    bool askBoot = false;
    LONG startDelay = 0, killSeconds = 0, shiftSeconds = 0;
    ShellKind shellKind = 0;
    std::vector<ThemeEntry> themes;
    LONG themeIndex = -1;
    std::vector<AltShellEntry> shells;
    LONG altShellIndex = -1;
    std::string alternatePath;
    std::vector<std::string> messages;
};

struct Profile {
    std::string path;
    std::string Text(const std::string &section, const std::string &key, DWORD size) const
    {
        std::vector<char> buffer(size + 1, '\0');
        GetPrivateProfileStringA(section.c_str(), key.c_str(), "", buffer.data(), size,
                                 path.c_str());
        return buffer.data();
    }
    LONG Int(const std::string &section, const char *key, LONG defaultValue) const
    {
        return (LONG)GetPrivateProfileIntA(section.c_str(), key, defaultValue, path.c_str());
    }
};

Expected Expect(const Profile &profile, const std::string &user)
{
    Expected e;
    e.liteStep = profile.Text("Quillfern", "litestep_exe", 260);
    e.explorer = profile.Text("Quillfern", "explorer_exe", 260);
    e.section = user.substr(0, 259);
    std::string directive = profile.Text(e.section, "shell", 260);
    if (directive.empty()) {
        e.section = "default";
        directive = profile.Text(e.section, "shell", 260);
    }
    e.askBoot = profile.Int(e.section, "ask_boot", 0) != 0;
    e.startDelay = profile.Int(e.section, "start_delay", 0);
    e.killSeconds = profile.Int(e.section, "kill_delay", -1);
    e.shiftSeconds = profile.Int(e.section, "shift_delay", -1);
    e.shellKind = _strcmpi(directive.c_str(), "litestep_exe") == 0   ? SHELL_LITESTEP
                  : _strcmpi(directive.c_str(), "explorer_exe") == 0 ? SHELL_EXPLORER
                                                                     : SHELL_ALTERNATE;
    for (int n = 1; n <= 10; n++) {
        ThemeEntry theme = {};
        std::string name = profile.Text("Themes", "theme_name_" + std::to_string(n), 64);
        if (name.empty())
            break;
        CopyTextN(theme.name, sizeof theme.name, name.c_str());
        CopyTextN(theme.path, sizeof theme.path,
                  profile.Text("Themes", "theme_path_" + std::to_string(n), 260).c_str());
        CopyTextN(theme.back, sizeof theme.back,
                  profile.Text("Themes", "theme_back_" + std::to_string(n), 260).c_str());
        e.themes.push_back(theme);
    }
    std::string themeDirective = profile.Text(e.section, "theme", 260);
    if (!themeDirective.empty()) {
        for (size_t i = 0; i < e.themes.size() && e.themeIndex == -1; i++)
            if (_strcmpi(themeDirective.c_str(), e.themes[i].name) == 0)
                e.themeIndex = (LONG)i;
        if (e.themeIndex == -1)
            e.messages.push_back(kThemeDirectiveText);
    }
    for (int n = 1; n <= 5; n++) {
        AltShellEntry shell = {};
        std::string name = profile.Text("Alternate_Shells", "altshell_name_" + std::to_string(n), 64);
        if (name.empty())
            break;
        CopyTextN(shell.name, sizeof shell.name, name.c_str());
        CopyTextN(shell.path, sizeof shell.path,
                  profile.Text("Alternate_Shells", "altshell_path_" + std::to_string(n), 260).c_str());
        e.shells.push_back(shell);
    }
    if (e.shellKind == SHELL_ALTERNATE) {
        for (size_t i = 0; i < e.shells.size() && e.altShellIndex == -1; i++)
            if (_strcmpi(directive.c_str(), e.shells[i].name) == 0) {
                e.altShellIndex = (LONG)i;
                e.alternatePath = e.shells[i].path;
            }
        if (e.altShellIndex == -1) {
            e.messages.push_back(kShellDirectiveText);
            e.askBoot = true;
            e.shellKind = SHELL_EXPLORER;
        }
    }
    return e;
}

// ---- Checks ------------------------------------------------------------------------

// Collects the findings of thousands of runs; the first few are reported in
// full, the rest only counted.
struct Findings {
    int count = 0;
    void Add(int file, const char *kind, const std::string &what)
    {
        if (count++ < 20)
            ADD_FAILURE() << "file " << file << " (" << kind << "): " << what;
    }
};

bool Terminated(const char *field, size_t size)
{
    return memchr(field, '\0', size) != NULL;
}

// Values that no reader writes, so that an unterminated field shows.
void Scribble()
{
    memset(gState.liteStepPath, 'Z', sizeof gState.liteStepPath);
    memset(gState.explorerPath, 'Z', sizeof gState.explorerPath);
    memset(gState.themes, 'Z', sizeof gState.themes);
    memset(gState.altShells, 'Z', sizeof gState.altShells);
    gState.alternatePath[0] = '\0';
    gState.themeCount = gState.altShellCount = 77;
    gState.themeIndex = gState.altShellIndex = 77;
    gState.shellKind = 77;
    gState.askBoot = false;
    gState.killDelay = gState.shiftDelay = gState.startDelay = 77;
}

struct UserSectionBuffer {
    char before[16];
    char text[kPathSize];
    char after[16];
};

void Compare(int file, const char *kind, const Expected &e, const UserSectionBuffer &user,
             const std::vector<robust::CaughtBox> &boxes, Findings &f)
{
    auto field = [&](const char *name, const char *value, size_t size, const std::string &want) {
        if (!Terminated(value, size))
            f.Add(file, kind, std::string(name) + " is not terminated within its " +
                                   std::to_string(size) + " bytes");
        else if (want != value)
            f.Add(file, kind, std::string(name) + ": expected \"" + want + "\", got \"" +
                                   value + "\"");
    };
    static const char canary[16] = {'\xCC', '\xCC', '\xCC', '\xCC', '\xCC', '\xCC', '\xCC', '\xCC',
                                    '\xCC', '\xCC', '\xCC', '\xCC', '\xCC', '\xCC', '\xCC', '\xCC'};
    if (memcmp(user.before, canary, 16) != 0 || memcmp(user.after, canary, 16) != 0)
        f.Add(file, kind, "the user-section buffer was written outside its 260 bytes");
    field("userSection", user.text, sizeof user.text, e.section);
    field("liteStepPath", gState.liteStepPath, kPathSize, e.liteStep);
    field("explorerPath", gState.explorerPath, kPathSize, e.explorer);
    field("alternatePath", gState.alternatePath, kPathSize, e.alternatePath);

    if (gState.askBoot != e.askBoot)
        f.Add(file, kind, "askBoot: expected " + std::to_string(e.askBoot) + ", got " +
                              std::to_string(gState.askBoot));
    if (gState.startDelay != e.startDelay)
        f.Add(file, kind, "startDelay: expected " + std::to_string(e.startDelay) + ", got " +
                              std::to_string(gState.startDelay));
    // Exact where the meaning is defined; elsewhere any wait that is a wait.
    LONG k = e.killSeconds;
    if (k == -1 ? gState.killDelay != 10000
                : (k >= 0 && k <= 3600) ? gState.killDelay != k * 1000 : gState.killDelay < 0)
        f.Add(file, kind, "killDelay for kill_delay " + std::to_string(k) + ": got " +
                              std::to_string(gState.killDelay));
    LONG s = e.shiftSeconds;
    if ((s >= -1 && s <= 3600) ? gState.shiftDelay != s : gState.shiftDelay < -1)
        f.Add(file, kind, "shiftDelay for shift_delay " + std::to_string(s) + ": got " +
                              std::to_string(gState.shiftDelay));
    if (gState.shellKind != e.shellKind)
        f.Add(file, kind, "shellKind: expected " + std::to_string(e.shellKind) + ", got " +
                              std::to_string(gState.shellKind));

    if (gState.themeCount < 0 || gState.themeCount > kMaxThemes ||
        gState.themeCount != (LONG)e.themes.size()) {
        f.Add(file, kind, "themeCount: expected " + std::to_string(e.themes.size()) + ", got " +
                              std::to_string(gState.themeCount));
    } else {
        for (LONG i = 0; i < gState.themeCount; i++) {
            const ThemeEntry &got = gState.themes[i];
            std::string n = "themes[" + std::to_string(i) + "].";
            field((n + "name").c_str(), got.name, kNameSize, e.themes[i].name);
            field((n + "path").c_str(), got.path, kPathSize, e.themes[i].path);
            field((n + "back").c_str(), got.back, kPathSize, e.themes[i].back);
        }
        if (gState.themeCount < kMaxThemes)
            field("the name after the last theme", gState.themes[gState.themeCount].name,
                  kNameSize, "");
    }
    if (gState.themeIndex != e.themeIndex)
        f.Add(file, kind, "themeIndex: expected " + std::to_string(e.themeIndex) + ", got " +
                              std::to_string(gState.themeIndex));

    if (gState.altShellCount < 0 || gState.altShellCount > kMaxAltShells ||
        gState.altShellCount != (LONG)e.shells.size()) {
        f.Add(file, kind, "altShellCount: expected " + std::to_string(e.shells.size()) +
                              ", got " + std::to_string(gState.altShellCount));
    } else {
        for (LONG i = 0; i < gState.altShellCount; i++) {
            std::string n = "altShells[" + std::to_string(i) + "].";
            field((n + "name").c_str(), gState.altShells[i].name, kNameSize, e.shells[i].name);
            field((n + "path").c_str(), gState.altShells[i].path, kPathSize, e.shells[i].path);
        }
    }
    if (gState.altShellIndex != e.altShellIndex)
        f.Add(file, kind, "altShellIndex: expected " + std::to_string(e.altShellIndex) +
                              ", got " + std::to_string(gState.altShellIndex));

    std::vector<std::string> texts;
    for (const robust::CaughtBox &box : boxes) {
        texts.push_back(box.text);
        if (box.caption != "Quillfern 1.50" || box.owned || box.yesNo)
            f.Add(file, kind, "a box captioned \"" + box.caption + "\" owned " +
                                  std::to_string(box.owned) + " yes/no " +
                                  std::to_string(box.yesNo));
    }
    if (texts != e.messages) {
        std::string what = "expected " + std::to_string(e.messages.size()) + " message(s):";
        for (const std::string &t : e.messages)
            what += " [" + t.substr(0, 30) + "...]";
        what += "; got " + std::to_string(texts.size()) + ":";
        for (const std::string &t : texts)
            what += " [" + t.substr(0, 30) + "...]";
        f.Add(file, kind, what);
    }
}

struct Sample {
    int index;
    std::string contents;
    Expected expected;
};

// ---- The checks ------------------------------------------------------------------

class RobustConfig : public ::testing::Test {
protected:
    ManagerState saved;
    void SetUp() override { saved = gState; }
    void TearDown() override { gState = saved; }
};

TEST_F(RobustConfig, GeneratedFilesThroughBothPhasesInProcessAndASampleEndToEnd)
{
    std::string scratch = MakeScratchDir("robust_config");
    std::string realUser = RealUserName();
    Random r(kSeed);
    Findings findings;
    std::map<std::string, int> kinds;
    std::vector<Sample> samples;
    size_t totalBytes = 0, largest = 0;
    int themeMessages = 0, shellMessages = 0, boxesShown = 0;
    DWORD start = GetTickCount();

    for (int i = 0; i < kFiles; i++) {
        bool e2e = i % kE2EEvery == 0;
        std::string user = e2e ? realUser : UserFor(r, realUser);
        const char *kind = "";
        std::string contents = GenerateFile(r, i, user, &kind);
        kinds[kind]++;
        totalBytes += contents.size();
        largest = std::max(largest, contents.size());

        // A directory of its own for each file: the platform caches what it
        // read by path and time, and must see every file afresh.
        std::string dir = scratch + std::to_string(i) + "\\";
        CreateDirectoryA(dir.c_str(), NULL);
        std::string path = dir + "Quillfern.cfg";
        WriteTextFile(path, contents);

        Scribble();
        CopyTextN(gState.managerDir, sizeof gState.managerDir, dir.c_str());
        UserSectionBuffer section;
        memset(&section, 0xCC, sizeof section);
        CopyTextN(section.text, sizeof section.text, user.c_str());
        std::vector<robust::CaughtBox> boxes;
        {
            BoxCatcher catcher;
            ASSERT_TRUE(catcher.Hooked()) << "cannot watch this thread's message boxes";
            LoadUserSettings(section.text);
            LoadThemesAndShells(section.text);
            boxes = catcher.boxes;
        }
        Expected expected = Expect(Profile{path}, user);
        Compare(i, kind, expected, section, boxes, findings);
        boxesShown += (int)boxes.size();
        for (const robust::CaughtBox &box : boxes) {
            themeMessages += box.text == kThemeDirectiveText;
            shellMessages += box.text == kShellDirectiveText;
        }
        if (e2e)
            samples.push_back(Sample{i, contents, expected});
        DeleteFileA(path.c_str());
        RemoveDirectoryA(dir.c_str());
    }
    DWORD inProcessMs = GetTickCount() - start;
    EXPECT_EQ(0, findings.count) << "findings in " << kFiles << " files";

    // End to end: the same files beside a real manager, which must show the
    // same directive messages, come up, and end with code 0 on a quit.
    start = GetTickCount();
    robust::UnmanagedManager fast;
    SavedRegValue systemShell(HKEY_LOCAL_MACHINE,
                              "SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\Winlogon", "Shell");
    MessageBoxWatcher watcher;
    int e2eRuns = 0, e2eCrashes = 0, e2eFailures = 0;
    for (const Sample &sample : samples) {
        ASSERT_EQ(NULL, FindWindowA("QuillfernWndClass", NULL)) << "a manager is already running";
        std::string dir = MakeScratchDir(("robust_config_e2e_" + std::to_string(sample.index)).c_str());
        std::string exe = InstallManagerCopy(dir, sample.contents);
        watcher.Clear();
        HANDLE process = StartProcess(exe);
        ASSERT_NE((HANDLE)NULL, process) << "cannot start " << exe;
        e2eRuns++;
        HWND control = WaitForWindow("QuillfernWndClass", NULL, 20000);
        EXPECT_NE((HWND)NULL, control) << "file " << sample.index
                                       << ": the manager's control window never appeared";
        if (control != NULL)
            PostMessageA(control, CM_QUIT, 0, 0);
        DWORD code = WaitExit(process, 20000);
        if (code == STILL_ACTIVE) {
            TerminateProcess(process, 1);
            WaitExit(process, 5000);
        }
        if (code == 0xC0000005)
            e2eCrashes++;
        EXPECT_EQ(0u, code) << "file " << sample.index << ": exit code of the manager";
        size_t themeSeen = watcher.Count("The theme directive"),
               shellSeen = watcher.Count("The shell directive");
        size_t themeDue = 0, shellDue = 0;
        for (const std::string &m : sample.expected.messages) {
            themeDue += m == kThemeDirectiveText;
            shellDue += m == kShellDirectiveText;
        }
        EXPECT_EQ(themeDue, themeSeen) << "file " << sample.index << ": theme-directive messages";
        EXPECT_EQ(shellDue, shellSeen) << "file " << sample.index << ": shell-directive messages";
        if (code != 0 || themeDue != themeSeen || shellDue != shellSeen)
            e2eFailures++;
        CloseHandle(process);
        KillStrays();
    }
    DWORD e2eMs = GetTickCount() - start;

    std::string kindList;
    for (const auto &k : kinds)
        kindList += (kindList.empty() ? "" : ", ") + k.first + " " + std::to_string(k.second);
    robust::RecordFigures(
        "config",
        {std::to_string(kFiles) + " generated Quillfern.cfg files (seed " + std::to_string(kSeed) +
             "): " + kindList,
         std::to_string(totalBytes) + " bytes in all, largest " + std::to_string(largest) +
             " bytes",
         "in-process, both phases: " + std::to_string(inProcessMs) + " ms, crashes 0, findings " +
             std::to_string(findings.count) + ", message boxes " + std::to_string(boxesShown) +
             " (theme directive " + std::to_string(themeMessages) + ", shell directive " +
             std::to_string(shellMessages) + ")" +
             (findings.count == 0 ? ", each one due and none missing" : ""),
         "end to end through Quillfern.exe: " + std::to_string(e2eRuns) + " files, crashes " +
             std::to_string(e2eCrashes) + ", failures " + std::to_string(e2eFailures) + ", " +
             std::to_string(e2eMs) + " ms"});
}

}  // namespace
