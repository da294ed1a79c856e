// Quillfern -check: reads Quillfern.cfg as the manager does and says in one
// box what of it will not act as written, most serious first.
#include "cli/cli.h"

#include "app/message_box.h"
#include "config/text.h"
#include "config/config.h"
#include "config/state.h"
#include "themes/theme.h"

// The order of the findings in the box. A file that cannot be read comes
// before them all, alone.
enum Rank {
    kRankPath,
    kRankIgnored,
    kRankUnknown,
    kRankValue,
    kRankSection,
    kRankDirective,
    kRankCount
};

constexpr char kFileUnreadable[]
    = "Quillfern.cfg is missing or cannot be read: every setting takes its default.";
constexpr char kDirTooLong[] = "The folder of Quillfern.exe is too long for Quillfern.cfg to be "
                               "read: every setting takes its default.";
constexpr char kNotFull[]
    = "%s is not a full path: the start looks for it in the current folder only.";
constexpr char kNotThere[] = "%s does not exist: the start fails.";
constexpr char kNoLiteStepStepRc[]
    = "LiteStep's folder, taken as \"%s\", has no step.rc: no theme installs.";
constexpr char kThemeTooLong[]
    = "a path its installation composes is longer than %d characters: the theme does not install.";
constexpr char kNoThemeStepRc[] = "%s does not exist: the theme does not install.";
constexpr char kNoWallpaper[] = "%s does not exist: the theme installs without its wallpaper.";
constexpr char kNotSet[] = "not set, but it is the shell to start.";
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
constexpr char kNoShell[]
    = "\"%s\" names no shell: the shell-choice dialog opens with Explorer selected.";
constexpr char kFindingLine[] = "Line %d, %s: %s";
constexpr char kFindingNoLine[] = "%s: %s";
constexpr char kSummary[] = "Quillfern.cfg, section [%s], and the installation: %d finding(s).";
constexpr char kMore[] = "\n... and %d more.";
constexpr char kInOrder[]
    = "Quillfern.cfg is in order and Quillfern is installed: section [%s]%s, shell %s, %ld "
      "theme(s), %ld alternate shell(s).";
constexpr char kNoOwnSection[] = " (there is no [%s])";

constexpr int kMaxShown = 12; // findings that leave the box on the screen
constexpr int kFindingSize = 120; // one line of the box
constexpr int kInstallFindings = 5; // the most the installation can give
constexpr DWORD kProfileSize = 32767; // the most Windows 95's profile functions return

// The numbered tables; a key's kind is the index of its prefix.
struct Table {
    const char* section;
    const char* prefixes[3];
    int max;
    const LONG* count;
};
static const Table kTables[] = {
    { kThemesSection, { kThemeNamePrefix, kThemePathPrefix, kThemeBackPrefix }, kMaxThemes,
        &gState.themeCount },
    { kAltShellsSection, { kAltShellNamePrefix, kAltShellPathPrefix, NULL }, kMaxAltShells,
        &gState.altShellCount },
};
// The keys of [Quillfern], then those of a user's section: texts up to
// kFirstNumberKey, numbers from there on.
static const char* const kKnownKeys[] = { kLiteStepKey, kExplorerKey, kShellDirectiveKey,
    kThemeDirectiveKey, kAskBootKey, kStartDelayKey, kKillDelayKey, kShiftDelayKey };
constexpr int kFirstUserKey = 2, kFirstNumberKey = 4;

// One pass per rank keeps the order without storing findings; a line number
// is looked for only for a finding shown.
static struct {
    Rank pass;
    int total;
    const char* file; // the file's bytes, only for line numbers
    DWORD fileSize;
    char text[kMaxShown * kFindingSize + kPathSize];
    // Apart from the file's, so that "... and N more" counts the file's alone
    // and a full list of them leaves the installation's whole.
    int installFindings;
    char installation[kInstallFindings * (kFindingSize + kPathSize)];
} gReport;

// The span [begin, end), blanks trimmed, is name in any case.
static bool SpanIs(const char* begin, const char* end, const char* name)
{
    while (begin < end && (*begin == ' ' || *begin == '\t'))
        begin++;
    while (end > begin && (end[-1] == ' ' || end[-1] == '\t' || end[-1] == '\r'))
        end--;
    return SameProfileName(begin, (int)(end - begin), name);
}

// The first place in [p, end) that holds c, or end.
static const char* Seek(const char* p, const char* end, char c)
{
    while (p < end && *p != c)
        p++;
    return p;
}

// The first line that sets key in section (key NULL: the section's own
// line), counted from 1; 0 when there is none.
static int LineOf(const char* section, const char* key)
{
    bool inSection = false;
    const char* p = gReport.file;
    const char* end = gReport.file + gReport.fileSize;
    for (int line = 1; p < end; line++, p++) {
        const char* eol = Seek(p, end, '\n');
        while (p < eol && (*p == ' ' || *p == '\t'))
            p++;
        const char* close = p < eol && *p == '[' ? Seek(p, eol, ']') : eol;
        if (close < eol && (inSection = SpanIs(p + 1, close, section)) && key == NULL)
            return line;
        if (close == eol && inSection && key != NULL && SpanIs(p, Seek(p, eol, '='), key))
            return line;
        p = eol;
    }
    return 0;
}

// Counts a finding of the pass's rank and, while there is room, adds its
// line: "Line 12, kill_delay: ..." (a whole section is named "[name]").
__attribute__((format(printf, 4, 5))) static void Find(
    Rank rank, const char* section, const char* key, const char* format, ...)
{
    if (rank != gReport.pass || ++gReport.total > kMaxShown)
        return;
    char what[kFindingSize];
    char line[kFindingSize];
    char label[kNameSize + 2];
    va_list args;
    va_start(args, format);
    FormatTextV(what, sizeof(what), format, args);
    va_end(args);
    if (!FormatText(label, key == NULL ? "[%s]" : "%s", key == NULL ? section : key))
        CopyTextN(label + sizeof(label) - 4, 4, "...");
    int number = LineOf(section, key);
    if (number > 0 ? !FormatText(line, kFindingLine, number, label, what)
                   : !FormatText(line, kFindingNoLine, label, what))
        CopyTextN(line + sizeof(line) - 4, 4, "...");
    AppendText(gReport.text, "\n");
    AppendText(gReport.text, line);
}

static bool FileExists(const char* path)
{
    DWORD attributes = GetFileAttributesA(path);
    return attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY);
}

// The start names its program as the application, which Windows looks for
// nowhere but where the name says: a drive's root or a share, else the
// current folder.
static void CheckProgram(const char* section, const char* key, const char* path)
{
    bool full = (path[0] != '\0' && path[1] == ':' && path[2] == '\\')
        || (path[0] == '\\' && path[1] == '\\');
    if (path[0] != '\0' && !full)
        Find(kRankPath, section, key, kNotFull, path);
    else if (path[0] != '\0' && !FileExists(path))
        Find(kRankPath, section, key, kNotThere, path);
}

// What installing each theme will do, from the paths the installation itself
// composes: LiteStep's step.rc and the theme's are copied or nothing is; a
// theme without modules.ini leaves LiteStep its own, which is no fault.
static void CheckThemes()
{
    char dir[kPathSize];
    char key[kNameSize];
    ThemePaths paths;
    if (gState.themeCount == 0 || gState.liteStepPath[0] == '\0')
        return;
    bool hasDir = ComposeLiteStepDir(dir);
    // Whole or cut, the paths hold LiteStep's own step.rc once there is a
    // directory.
    if (hasDir)
        ComposeThemePaths(gState.themes[0], paths);
    if (!hasDir || !FileExists(paths.liteStepStepRc))
        Find(kRankPath, kMainSection, kLiteStepKey, kNoLiteStepStepRc, dir);
    for (int i = 0; hasDir && i < gState.themeCount; i++) {
        const ThemeEntry& theme = gState.themes[i];
        FormatText(key, kNumberedKeyFormat, kThemePathPrefix, i + 1);
        if (!ComposeThemePaths(theme, paths))
            Find(kRankPath, kThemesSection, key, kThemeTooLong, kPathSize - 1);
        else if (theme.path[0] != '\0' && !FileExists(paths.themeStepRc)) // none: found apart
            Find(kRankPath, kThemesSection, key, kNoThemeStepRc, paths.themeStepRc);
        FormatText(key, kNumberedKeyFormat, kThemeBackPrefix, i + 1);
        if (theme.back[0] != '\0' && !FileExists(theme.back))
            Find(kRankPath, kThemesSection, key, kNoWallpaper, theme.back);
    }
}

// The shells by their kind.
static const char* const kShellPaths[]
    = { gState.liteStepPath, gState.explorerPath, gState.alternatePath };

static void CheckPaths()
{
    char key[kNameSize];
    for (int i = 0; i < kFirstUserKey; i++) {
        CheckProgram(kMainSection, kKnownKeys[i], kShellPaths[i]);
        if (kShellPaths[i][0] == '\0' && gState.shellKind == SHELL_LITESTEP + i)
            Find(kRankPath, kMainSection, kKnownKeys[i], kNotSet);
    }
    for (int i = 0; i < gState.altShellCount; i++) {
        FormatText(key, kNumberedKeyFormat, kAltShellPathPrefix, i + 1);
        CheckProgram(kAltShellsSection, key, gState.altShells[i].path);
    }
    CheckThemes();
}

// The first name after the gap that ends a table, and each entry read
// without its path.
static void CheckTable(const Table& table)
{
    char key[kNameSize];
    char pathKey[kNameSize];
    char value[kPathSize];
    for (int n = *table.count + 2; n <= table.max; n++) {
        FormatText(key, kNumberedKeyFormat, table.prefixes[0], n);
        if (ReadConfigString(table.section, key, value, sizeof(value))) {
            Find(kRankIgnored, table.section, key, kGap, table.prefixes[0], (int)*table.count + 1);
            break;
        }
    }
    for (int n = 1; n <= *table.count; n++) {
        FormatText(key, kNumberedKeyFormat, table.prefixes[0], n);
        FormatText(pathKey, kNumberedKeyFormat, table.prefixes[1], n);
        if (!ReadConfigString(table.section, pathKey, value, sizeof(value)))
            Find(kRankIgnored, table.section, key, kNoPath, table.prefixes[1], n);
    }
}

// A text value longer than its field; a number as the manager reads it and
// clamps it. index: the key's place in kKnownKeys.
static void CheckValue(const char* section, const char* key, const char* value, int size, int index)
{
    if (size > 0) {
        if ((int)TextLength(value) >= size)
            Find(kRankValue, section, key, kCut, size - 1);
        return;
    }
    const char* digit = value + (value[0] == '-');
    bool number = *digit != '\0';
    for (; *digit != '\0'; digit++)
        number = number && *digit >= '0' && *digit <= '9';
    // The loader's own default: what a missing or unreadable value gives.
    int which = index - kFirstNumberKey;
    LONG read = ReadConfigInt(section, key, kNumberKeys[which].missing);
    LONG used = read;
    if (which == kKillDelayIndex && read != kNumberKeys[which].missing)
        used = KillDelayMs(read) / 1000;
    else if (which == kShiftDelayIndex)
        used = ShiftDelaySeconds(read);
    if (!number)
        Find(kRankValue, section, key, kNotNumber, value, (long)read);
    else if (used != read)
        Find(kRankValue, section, key, kOutOfRange, (long)read, (long)used);
}

// A key of a numbered table: past the table, a path without its name, or
// no key of the table at all.
static void CheckTableKey(const Table& table, const char* key, const char* value)
{
    char name[kNameSize];
    char found[kNameSize];
    for (int kind = 0; kind < 3 && table.prefixes[kind] != NULL; kind++) {
        size_t length = TextLength(table.prefixes[kind]);
        const char* digits = key + length;
        if (TextLength(key) <= length || !SpanIs(key, digits, table.prefixes[kind]) || *digits < '1'
            || *digits > '9')
            continue;
        int n = 0;
        for (; *digits >= '0' && *digits <= '9' && n <= table.max; digits++)
            n = n * 10 + (*digits - '0');
        if (*digits != '\0' && n <= table.max)
            break;
        if (n > table.max)
            return Find(kRankIgnored, table.section, key, kBeyond, table.max);
        FormatText(name, kNumberedKeyFormat, table.prefixes[0], n);
        if (kind > 0 && n > *table.count
            && !ReadConfigString(table.section, name, found, sizeof(found)))
            return Find(kRankIgnored, table.section, key, kNoName, table.prefixes[0], n);
        return CheckValue(table.section, key, value, kind == 0 ? kNameSize : kPathSize, 0);
    }
    Find(kRankUnknown, table.section, key, kUnknownKey, table.section);
}

static void CheckKey(const char* section, const char* key, const char* value)
{
    for (const Table& table : kTables)
        if (SameProfileName(section, -1, table.section))
            return CheckTableKey(table, key, value);
    // Every other section is some user's.
    bool isMain = SameProfileName(section, -1, kMainSection);
    for (int i = isMain ? 0 : kFirstUserKey;
         i < (isMain ? kFirstUserKey : (int)ArraySize(kKnownKeys)); i++)
        if (SameProfileName(key, -1, kKnownKeys[i]))
            return CheckValue(section, key, value, i < kFirstNumberKey ? kPathSize : 0, i);
    // The installation's findings judge the recovery key.
    if (isMain && SameTextNoCase(key, kRecoveryKeyKey))
        return;
    Find(kRankUnknown, section, key, kUnknownKey, section);
}

// Every key of every section: each entry is "key=value", or a bare word.
static void CheckSections(const char* names, const char* path)
{
    static char entries[kProfileSize]; // static: frames stay under a page
    for (const char* section = names; *section != '\0'; section += TextLength(section) + 1) {
        GetPrivateProfileSectionA(section, entries, sizeof(entries), path);
        for (char *entry = entries, *next; *entry != '\0'; entry = next) {
            next = entry + TextLength(entry) + 1;
            char* equals = (char*)Seek(entry, next - 1, '=');
            bool hasValue = *equals == '=';
            *equals = '\0';
            CheckKey(section, entry, hasValue ? equals + 1 : "");
        }
    }
}

static void CheckDirectives(const char* userName, const char* userSection, DirectiveFaults faults)
{
    char value[kPathSize];
    if (!SameProfileName(userSection, -1, userName) && LineOf(userName, NULL) > 0)
        Find(kRankSection, userName, NULL, kNoUserShell);
    ReadConfigString(userSection, kThemeDirectiveKey, value, sizeof(value));
    if (faults.theme)
        Find(kRankDirective, userSection, kThemeDirectiveKey, kNoTheme, value);
    ReadConfigString(userSection, kShellDirectiveKey, value, sizeof(value));
    if (faults.shell)
        Find(kRankDirective, userSection, kShellDirectiveKey, kNoShell, value);
}

static void ShowReport(const char* userName, const char* userSection)
{
    // static: frames stay under a page
    static char message[sizeof(gReport.text) + kFindingSize + sizeof(gReport.installation)];
    char more[kFindingSize];
    char own[kPathSize];
    own[0] = '\0';
    if (gReport.total + gReport.installFindings > 0) {
        FormatText(message, kSummary, userSection, gReport.total + gReport.installFindings);
        AppendText(message, gReport.text);
        if (gReport.total > kMaxShown && FormatText(more, kMore, gReport.total - kMaxShown))
            AppendText(message, more);
        AppendText(message, gReport.installation);
        return ShowMessage(message);
    }
    if (!SameProfileName(userSection, -1, userName))
        FormatText(own, kNoOwnSection, userName);
    FormatText(message, kInOrder, userSection, own, kShellPaths[gState.shellKind - SHELL_LITESTEP],
        (long)gState.themeCount, (long)gState.altShellCount);
    ShowMessage(message);
}

int CheckConfiguration()
{
    static char names[kProfileSize]; // static: frames stay under a page
    char userName[kPathSize];
    char userSection[kPathSize];
    char path[kPathSize];
    bool fits = FormConfigPath(path);
    HANDLE file = fits ? CreateFileA(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, NULL,
                      OPEN_EXISTING, 0, NULL)
                       : INVALID_HANDLE_VALUE;
    if (file == INVALID_HANDLE_VALUE) {
        ShowMessage(fits ? kFileUnreadable : kDirTooLong);
        return 1;
    }
    // An empty file has no mapping, and no lines.
    HANDLE mapping = CreateFileMappingA(file, NULL, PAGE_READONLY, 0, 0, NULL);
    gReport.file
        = mapping != NULL ? (const char*)MapViewOfFile(mapping, FILE_MAP_READ, 0, 0, 0) : NULL;
    gReport.fileSize = gReport.file != NULL ? GetFileSize(file, NULL) : 0;
    // The view holds the file until it is unmapped.
    if (mapping != NULL)
        CloseHandle(mapping);
    CloseHandle(file);

    FindUserName(userName);
    CopyText(userSection, userName);
    LoadUserSettings(userSection);
    DirectiveFaults faults = ReadThemesAndShells(userSection);
    if (GetPrivateProfileSectionNamesA(names, sizeof(names), path) == 0)
        names[0] = '\0';
    for (int pass = 0; pass < kRankCount; pass++) {
        gReport.pass = (Rank)pass;
        CheckPaths();
        for (const Table& table : kTables)
            CheckTable(table);
        CheckSections(names, path);
        CheckDirectives(userName, userSection, faults);
    }
    gReport.installFindings = CheckInstallation(gReport.installation, sizeof(gReport.installation));
    ShowReport(userName, userSection);
    if (gReport.file != NULL)
        UnmapViewOfFile(gReport.file);
    return gReport.total + gReport.installFindings;
}
