// Quillfern -check: reads Quillfern.cfg as the manager does and says in one
// box what of it will not act as written, most serious first.
#include "cli/cli.h"

#include <string.h>

#include "common/message_box.h"
#include "common/text.h"
#include "config/config.h"
#include "config/state.h"

// The order of the findings in the box, most serious first.
// A missing file comes before them all, alone.
enum Rank { kRankPath, kRankIgnored, kRankUnknown, kRankValue, kRankSection,
            kRankDirective, kRankCount };

constexpr char kFileUnreadable[] = "Quillfern.cfg is missing or cannot be read: every setting takes its default.";
constexpr char kDirTooLong[] = "The folder of Quillfern.exe is too long for Quillfern.cfg to be read: every setting takes its default.";
constexpr char kNotThere[] = "%s does not exist.";
constexpr char kNotSet[] = "is not set, but it is the shell to start.";
constexpr char kGap[] = "this and every later entry are ignored: %s%d is missing.";
constexpr char kBeyond[] = "ignored: only %d entries are read.";
constexpr char kNoPath[] = "has no %s%d: the entry has no path.";
constexpr char kNoName[] = "ignored: there is no %s%d.";
constexpr char kUnknownKey[] = "Quillfern reads no such key in [%s]: ignored.";
constexpr char kCut[] = "longer than %d characters: cut.";
constexpr char kNotNumber[] = "\"%s\" is not a whole number: %ld is used.";
constexpr char kOutOfRange[] = "%ld is out of range: %ld is used.";
constexpr char kNoUserShell[] = "has no shell: every per-user setting comes from [default].";
constexpr char kNoTheme[] = "\"%s\" names no theme: no theme is installed.";
constexpr char kNoShell[] = "\"%s\" names no shell: the shell-choice dialog opens with Explorer selected.";
constexpr char kFindingLine[] = "Line %d, %s: %s";
constexpr char kFindingNoLine[] = "%s: %s";
constexpr char kSummary[] = "Quillfern.cfg, section [%s]: %d finding(s).";
constexpr char kMore[] = "... and %d more.";
constexpr char kInOrder[] = "Quillfern.cfg is in order: section [%s]%s, shell %s, %ld theme(s), %ld alternate shell(s).";
constexpr char kNoOwnSection[] = " (there is no [%s])";

constexpr int kMaxShown = 16;           // lines that still leave the box on the screen
constexpr int kFindingSize = 120;       // one line of the box
constexpr DWORD kProfileSize = 32767;   // the most Windows 95's profile functions return

struct Numbered { const char *prefix; int max; bool isName; };
static const Numbered kThemeKeys[] = { { kThemeNamePrefix, kMaxThemes, true },
    { kThemePathPrefix, kMaxThemes, false }, { kThemeBackPrefix, kMaxThemes, false } };
static const Numbered kAltShellKeys[] = { { kAltShellNamePrefix, kMaxAltShells, true },
    { kAltShellPathPrefix, kMaxAltShells, false } };
static const char *const kUserKeys[] = { kShellDirectiveKey, kAskBootKey, kStartDelayKey,
    kKillDelayKey, kShiftDelayKey, kThemeDirectiveKey };

// One pass per rank keeps the order without storing findings; line numbers
// are looked for only for the findings shown.
struct Report {
    Rank pass;
    int total;
    const char *file;       // the file's bytes, only for line numbers
    DWORD fileSize;
    char text[kMaxShown * kFindingSize + 256];
};

static char Lower(char c) { return c >= 'A' && c <= 'Z' ? c + ('a' - 'A') : c; }

// The span [begin, end) of a line, blanks trimmed, equals name (any case).
static bool SpanIs(const char *begin, const char *end, const char *name)
{
    while (begin < end && (*begin == ' ' || *begin == '\t')) begin++;
    while (end > begin && (end[-1] == ' ' || end[-1] == '\t' || end[-1] == '\r')) end--;
    for (; begin < end && *name != '\0'; begin++, name++)
        if (Lower(*begin) != Lower(*name))
            return false;
    return begin == end && *name == '\0';
}

// The number of the first line that sets key in section (key NULL: the
// section's own line); 0 when there is none.
static int LineOf(const Report &report, const char *section, const char *key)
{
    bool inSection = false;
    const char *p = report.file, *end = report.file + report.fileSize;
    for (int line = 1; p < end; line++) {
        const char *eol = (const char *)memchr(p, '\n', end - p);
        if (eol == NULL) eol = end;
        const char *s = p;
        while (s < eol && (*s == ' ' || *s == '\t')) s++;
        const char *close = s < eol && *s == '[' ? (const char *)memchr(s, ']', eol - s) : NULL;
        const char *equals = (const char *)memchr(s, '=', eol - s);
        if (close != NULL) {
            inSection = SpanIs(s + 1, close, section);
            if (inSection && key == NULL) return line;
        } else if (inSection && key != NULL && SpanIs(s, equals != NULL ? equals : eol, key)) {
            return line;
        }
        p = eol + 1;
    }
    return 0;
}

__attribute__((format(printf, 5, 6)))
static void Find(Report &report, Rank rank, const char *section, const char *key, const char *format, ...)
{
    if (rank != report.pass || ++report.total > kMaxShown)
        return;
    char what[kFindingSize], line[kFindingSize], label[kNameSize + 2];
    va_list args;
    va_start(args, format);
    FormatTextV(what, sizeof(what), format, args);
    va_end(args);
    // A finding about a whole section names the section.
    if (key != NULL)
        CopyText(label, key);
    else
        FormatText(label, "[%s]", section);
    int number = LineOf(report, section, key);
    bool whole = number > 0 ? FormatText(line, kFindingLine, number, label, what)
                            : FormatText(line, kFindingNoLine, label, what);
    if (!whole)
        CopyTextN(line + sizeof(line) - 4, 4, "...");
    AppendText(report.text, "\n");
    AppendText(report.text, line);
}

static bool Exists(const char *path)
{
    DWORD attributes = GetFileAttributesA(path);
    return attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY);
}

// A bare name is found as Windows finds it: the Windows directory, then PATH.
static bool ExistsAsProgram(const char *name)
{
    char found[kPathSize], dir[kPathSize], *part;
    if (strchr(name, '\\') != NULL || strchr(name, '/') != NULL)
        return Exists(name);
    UINT length = GetWindowsDirectoryA(dir, sizeof(dir));
    return (length > 0 && length < sizeof(dir) && SearchPathA(dir, name, NULL, sizeof(found), found, &part)) ||
           SearchPathA(NULL, name, NULL, sizeof(found), found, &part);
}

static void CheckPath(Report &report, const char *section, const char *key, const char *path, bool needed)
{
    if (path[0] == '\0' && needed)
        Find(report, kRankPath, section, key, "%s", kNotSet);
    else if (path[0] != '\0' && !ExistsAsProgram(path))
        Find(report, kRankPath, section, key, kNotThere, path);
}

static void CheckThemeFile(Report &report, int n, const char *format, const char *dir)
{
    char file[kPathSize], key[kNameSize];
    FormatText(key, kNumberedKeyFormat, kThemePathPrefix, n);
    if (FormatText(file, format, dir) && !Exists(file))
        Find(report, kRankPath, kThemesSection, key, kNotThere, file);
}

static void CheckPaths(Report &report)
{
    char key[kNameSize];
    CheckPath(report, kMainSection, kLiteStepKey, gState.liteStepPath, gState.shellKind == SHELL_LITESTEP);
    CheckPath(report, kMainSection, kExplorerKey, gState.explorerPath, gState.shellKind == SHELL_EXPLORER);
    for (int i = 0; i < gState.altShellCount; i++) {
        FormatText(key, kNumberedKeyFormat, kAltShellPathPrefix, i + 1);
        CheckPath(report, kAltShellsSection, key, gState.altShells[i].path, false);
    }
    for (int i = 0; i < gState.themeCount; i++) {
        const ThemeEntry &theme = gState.themes[i];
        if (theme.path[0] != '\0') {
            CheckThemeFile(report, i + 1, "%s\\step.rc", theme.path);
            CheckThemeFile(report, i + 1, "%s\\modules.ini", theme.path);
        }
        FormatText(key, kNumberedKeyFormat, kThemeBackPrefix, i + 1);
        CheckPath(report, kThemesSection, key, theme.back, false);
    }
}

// A numbered table: the entry after the last one read that is there anyway,
// and each entry's name without its path.
static void CheckTable(Report &report, const char *section, const Numbered *keys, int count)
{
    const Numbered &name = keys[0], &path = keys[1];
    char key[kNameSize], pathKey[kNameSize], value[kPathSize];
    for (int n = count + 2; n <= name.max; n++) {
        FormatText(key, kNumberedKeyFormat, name.prefix, n);
        if (ReadConfigString(section, key, value, sizeof(value))) {
            Find(report, kRankIgnored, section, key, kGap, name.prefix, count + 1);
            break;
        }
    }
    for (int n = 1; n <= count; n++) {
        FormatText(key, kNumberedKeyFormat, name.prefix, n);
        FormatText(pathKey, kNumberedKeyFormat, path.prefix, n);
        if (!ReadConfigString(section, pathKey, value, sizeof(value)))
            Find(report, kRankIgnored, section, key, kNoPath, path.prefix, n);
    }
}

// A key of a numbered table: which of keys, and its number; false when none.
template <size_t N>
static bool ParseNumbered(const char *key, const Numbered (&keys)[N], const Numbered **which, int *n)
{
    for (const Numbered &k : keys) {
        size_t length = strlen(k.prefix);
        const char *digits = key + length;
        if (strlen(key) <= length || !SpanIs(key, digits, k.prefix) || *digits < '1' || *digits > '9')
            continue;
        for (*n = 0; *digits >= '0' && *digits <= '9' && *n < 100000; digits++)
            *n = *n * 10 + (*digits - '0');
        *which = &k;
        return *digits == '\0';
    }
    return false;
}

// The length limit of a text key and, for the delays, what the manager makes
// of the value.
static void CheckValue(Report &report, const char *section, const char *key, const char *value, int size)
{
    if (size > 0) {
        if ((int)strlen(value) >= size)
            Find(report, kRankValue, section, key, kCut, size - 1);
        return;
    }
    const char *digit = value[0] == '-' ? value + 1 : value;
    bool number = *digit != '\0';
    for (; *digit != '\0'; digit++)
        number = number && *digit >= '0' && *digit <= '9';
    LONG read = ReadConfigInt(section, key, -1);
    if (!number) {
        Find(report, kRankValue, section, key, kNotNumber, value, (long)read);
        return;
    }
    LONG used = read;
    if (_strcmpi(key, kKillDelayKey) == 0 && read != -1)
        used = KillDelayMs(read) / 1000;
    else if (_strcmpi(key, kShiftDelayKey) == 0)
        used = ShiftDelaySeconds(read);
    if (used != read)
        Find(report, kRankValue, section, key, kOutOfRange, (long)read, (long)used);
}

// Each key of a numbered table: beyond the table, a path without its name,
// or no key of the table at all.
template <size_t N>
static void CheckTableKey(Report &report, const char *section, const Numbered (&keys)[N], int count,
                          const char *key, const char *value)
{
    const Numbered *which = NULL;
    char name[kNameSize], found[kNameSize];
    int n = 0;
    if (!ParseNumbered(key, keys, &which, &n))
        Find(report, kRankUnknown, section, key, kUnknownKey, section);
    else if (n > which->max)
        Find(report, kRankIgnored, section, key, kBeyond, which->max);
    else if (!which->isName && n > count && FormatText(name, kNumberedKeyFormat, keys[0].prefix, n) &&
             !ReadConfigString(section, name, found, sizeof(found)))
        Find(report, kRankIgnored, section, key, kNoName, keys[0].prefix, n);
    else
        CheckValue(report, section, key, value, which->isName ? kNameSize : kPathSize);
}

static void CheckKey(Report &report, const char *section, const char *key, const char *value)
{
    if (_strcmpi(section, kThemesSection) == 0)
        return CheckTableKey(report, section, kThemeKeys, gState.themeCount, key, value);
    if (_strcmpi(section, kAltShellsSection) == 0)
        return CheckTableKey(report, section, kAltShellKeys, gState.altShellCount, key, value);
    if (_strcmpi(section, kMainSection) == 0) {
        if (_strcmpi(key, kLiteStepKey) == 0 || _strcmpi(key, kExplorerKey) == 0)
            return CheckValue(report, section, key, value, kPathSize);
        return Find(report, kRankUnknown, section, key, kUnknownKey, section);
    }
    // Every other section is some user's.
    for (const char *userKey : kUserKeys) {
        if (_strcmpi(key, userKey) == 0) {
            bool text = userKey == kShellDirectiveKey || userKey == kThemeDirectiveKey;
            return CheckValue(report, section, key, value, text ? kPathSize : 0);
        }
    }
    Find(report, kRankUnknown, section, key, kUnknownKey, section);
}

// Each entry of GetPrivateProfileSectionA is "key=value", or a bare word.
static void CheckSections(Report &report, const char *names, const char *path)
{
    char entries[kProfileSize];
    for (const char *section = names; *section != '\0'; section += strlen(section) + 1) {
        GetPrivateProfileSectionA(section, entries, sizeof(entries), path);
        for (char *entry = entries; *entry != '\0';) {
            char *next = entry + strlen(entry) + 1;
            char *equals = strchr(entry, '=');
            if (equals != NULL)
                *equals = '\0';
            CheckKey(report, section, entry, equals != NULL ? equals + 1 : "");
            entry = next;
        }
    }
}

static bool HasSection(const char *names, const char *wanted)
{
    for (const char *section = names; *section != '\0'; section += strlen(section) + 1)
        if (_strcmpi(section, wanted) == 0)
            return true;
    return false;
}

static void CheckDirectives(Report &report, const char *userName, const char *userSection, DirectiveFaults faults,
                            const char *names)
{
    char value[kPathSize];
    if (_strcmpi(userSection, userName) != 0 && HasSection(names, userName))
        Find(report, kRankSection, userName, NULL, "%s", kNoUserShell);
    ReadConfigString(userSection, kThemeDirectiveKey, value, sizeof(value));
    if (faults.theme)
        Find(report, kRankDirective, userSection, kThemeDirectiveKey, kNoTheme, value);
    ReadConfigString(userSection, kShellDirectiveKey, value, sizeof(value));
    if (faults.shell)
        Find(report, kRankDirective, userSection, kShellDirectiveKey, kNoShell, value);
}

static void ShowReport(const Report &report, const char *userName, const char *userSection)
{
    char message[sizeof(report.text) + 256], line[kFindingSize + kPathSize];
    if (report.total == 0) {
        char own[kPathSize] = "";
        if (_strcmpi(userSection, userName) != 0)
            FormatText(own, kNoOwnSection, userName);
        const char *shell = gState.shellKind == SHELL_LITESTEP   ? gState.liteStepPath
                            : gState.shellKind == SHELL_EXPLORER ? gState.explorerPath
                                                                 : gState.alternatePath;
        FormatText(message, kInOrder, userSection, own, shell, (long)gState.themeCount,
                   (long)gState.altShellCount);
    } else {
        FormatText(message, kSummary, userSection, report.total);
        AppendText(message, report.text);
        if (report.total > kMaxShown && FormatText(line, kMore, report.total - kMaxShown)) {
            AppendText(message, "\n");
            AppendText(message, line);
        }
    }
    ShowMessage(message);
}

int CheckConfiguration()
{
    static Report report;
    char userName[kPathSize], userSection[kPathSize], path[kPathSize], names[kProfileSize];
    if (!FormConfigPath(path)) {
        ShowMessage(kDirTooLong);
        return 1;
    }
    HANDLE file = CreateFileA(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, NULL, OPEN_EXISTING, 0, NULL);
    if (file == INVALID_HANDLE_VALUE) {
        ShowMessage(kFileUnreadable);
        return 1;
    }
    // An empty file has no mapping, and no lines.
    HANDLE mapping = CreateFileMappingA(file, NULL, PAGE_READONLY, 0, 0, NULL);
    report.file = mapping != NULL ? (const char *)MapViewOfFile(mapping, FILE_MAP_READ, 0, 0, 0) : NULL;
    report.fileSize = report.file != NULL ? GetFileSize(file, NULL) : 0;

    FindUserName(userName);
    CopyText(userSection, userName);
    LoadUserSettings(userSection);
    DirectiveFaults faults = ReadThemesAndShells(userSection);
    if (GetPrivateProfileSectionNamesA(names, sizeof(names), path) == 0)
        names[0] = names[1] = '\0';

    for (int pass = kRankPath; pass < kRankCount; pass++) {
        report.pass = (Rank)pass;
        CheckPaths(report);
        CheckTable(report, kThemesSection, kThemeKeys, gState.themeCount);
        CheckTable(report, kAltShellsSection, kAltShellKeys, gState.altShellCount);
        CheckSections(report, names, path);
        CheckDirectives(report, userName, userSection, faults, names);
    }
    ShowReport(report, userName, userSection);
    if (report.file != NULL)
        UnmapViewOfFile(report.file);
    if (mapping != NULL)
        CloseHandle(mapping);
    CloseHandle(file);
    return report.total;
}
