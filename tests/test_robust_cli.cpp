// Robustness of the command line: thousands of random command lines through
// the forming of the command tail and through the client, with and without a
// manager window to post to; and a sample through a real Quillfern.exe.
#include <gtest/gtest.h>

#include <ctype.h>
#include <string.h>

#include "app/manager.h"
#include "cli/cli.h"
#include "config/state.h"
#include "test_robust.h"

using robust::BoxCatcher;
using robust::Random;

namespace {

constexpr int kTails = 2000;
constexpr unsigned kSeed = 7311;
constexpr int kE2ESample = 40;

constexpr char kNoManagerText[] = "Could not find a currently running instance of Quillfern.";
constexpr char kNotAnOptionTail[] = " is not a valid Quillfern option.";

struct Word {
    const char *word;
    UINT message;
};
const Word kWords[] = {{"swap", CM_SWAP},     {"swaptheme", CM_SWAPTHEME}, {"restart", CM_RESTART},
                       {"kill", CM_KILL},     {"quit", CM_QUIT},           {"reboot", CM_REBOOT},
                       {"shutdown", CM_SHUTDOWN}, {"logoff", CM_LOGOFF},   {"nuke", CM_NUKE}};

// ---- Generators -------------------------------------------------------------------

// Bytes 1 to 255, of any length up to 32,000; many begin with a switch and a
// command word, so that the posting paths are walked as well.
std::string RandomTail(Random &r)
{
    size_t length;
    switch (r.Below(6)) {
    case 0:  length = 1 + r.Below(32000); break;
    case 1:  length = 200 + r.Below(80); break;           // the word around the box's size
    default: length = 1 + r.Below(64); break;
    }
    std::string tail;
    if (!r.OneIn(4)) {
        tail += (char)(1 + r.Below(255));                 // any switch character
        std::string word = r.Pick(kWords).word;
        if (r.OneIn(8))
            word = r.OneIn(2) ? "install" : "uninstall";
        for (char &c : word)
            c = (char)(r.OneIn(2) ? toupper((unsigned char)c) : c);
        tail += word;
        const char blanks[] = {' ', '\t', '\n', '\v', '\f', '\r'};
        if (r.OneIn(8))
            tail += (char)(1 + r.Below(255));              // perhaps no longer the word
        else if (r.OneIn(4))
            return tail;                                   // the word alone
        else
            tail += r.Pick(blanks);
    }
    while (tail.size() < length)
        tail += (char)(1 + r.Below(255));
    return tail;
}

// A program name as Windows may hand it over: quoted (with or without the
// closing quote), or plain.
std::string RandomProgram(Random &r)
{
    switch (r.Below(8)) {
    case 0:
    case 1:
    case 2:  return "\"C:\\Program Files\\Quillfern\\Quillfern.exe\"";
    case 3:  return "\"C:\\Program Files\\Quillfern\\Quillfern.exe";    // unterminated
    case 4:
    case 5:  return "C:\\Tools\\Quillfern.exe";
    default: return std::string("Quill\xE9" "fern.exe");
    }
}

// ---- What should happen -------------------------------------------------------------

// The tail after the program name and the blanks behind it.
size_t ExpectedTailOffset(const std::string &line)
{
    const unsigned char *s = (const unsigned char *)line.c_str();
    size_t i = 0;
    if (s[0] == '"') {
        i = 1;
        while (s[i] != 0 && s[i] != '"')
            i++;
        if (s[i] == '"')
            i++;
    } else {
        while (s[i] > ' ')
            i++;
    }
    while (s[i] >= 1 && s[i] <= ' ')
        i++;
    return i;
}

// The word: up to the first white space as the C run-time classifies it.
std::string WordOf(const std::string &afterSwitch)
{
    size_t end = 0;
    while (end < afterSwitch.size() && !isspace((unsigned char)afterSwitch[end]))
        end++;
    return afterSwitch.substr(0, end);
}

UINT MessageOf(const std::string &word)
{
    for (const Word &w : kWords)
        if (_strcmpi(word.c_str(), w.word) == 0)
            return w.message;
    return 0;
}

bool IsInstallWord(const std::string &word)
{
    return _strcmpi(word.c_str(), "install") == 0 || _strcmpi(word.c_str(), "uninstall") == 0;
}

// ---- A manager's control window, played by the test -----------------------------------

std::vector<MSG> gPosted;

LRESULT CALLBACK RecordingProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    if (message >= WM_USER) {
        MSG m = {};
        m.message = message;
        m.wParam = wParam;
        m.lParam = lParam;
        gPosted.push_back(m);
        return 0;
    }
    return DefWindowProcA(window, message, wParam, lParam);
}

struct FakeManager {
    HWND window = NULL;
    FakeManager()
    {
        WNDCLASSA windowClass = {};
        windowClass.lpfnWndProc = RecordingProc;
        windowClass.hInstance = GetModuleHandleA(NULL);
        windowClass.lpszClassName = "QuillfernWndClass";
        RegisterClassA(&windowClass);
        window = CreateWindowExA(WS_EX_TOOLWINDOW, "QuillfernWndClass", "Quillfern", 0, 0, 0, 0,
                                 0, NULL, NULL, GetModuleHandleA(NULL), NULL);
    }
    ~FakeManager()
    {
        DestroyWindow(window);
        UnregisterClassA("QuillfernWndClass", GetModuleHandleA(NULL));
    }
    // Everything posted to it so far.
    std::vector<MSG> Take()
    {
        MSG m;
        while (PeekMessageA(&m, window, 0, 0, PM_REMOVE))
            DispatchMessageA(&m);
        std::vector<MSG> taken;
        taken.swap(gPosted);
        return taken;
    }
};

struct Findings {
    int count = 0;
    void Add(int run, const std::string &what)
    {
        if (count++ < 20)
            ADD_FAILURE() << "command line " << run << ": " << what;
    }
};

std::string Printable(const std::string &text, size_t max = 60)
{
    std::string shown;
    for (size_t i = 0; i < text.size() && i < max; i++) {
        unsigned char c = (unsigned char)text[i];
        if (c >= 32 && c < 127) {
            shown += (char)c;
        } else {
            char hex[8];
            snprintf(hex, sizeof hex, "\\x%02X", c);
            shown += hex;
        }
    }
    if (text.size() > max)
        shown += "... (" + std::to_string(text.size()) + " bytes)";
    return shown;
}

// What the client must have shown and posted for one word.
void CheckClient(int run, const std::string &word, bool withManager,
                 const std::vector<robust::CaughtBox> &boxes, const std::vector<MSG> &posted,
                 Findings &f, int &longestText)
{
    UINT message = MessageOf(word);
    for (const robust::CaughtBox &box : boxes) {
        longestText = std::max(longestText, box.textLength);
        if (box.caption != "Quillfern 1.50" || box.owned || box.yesNo)
            f.Add(run, "a box captioned \"" + box.caption + "\" owned " +
                           std::to_string(box.owned) + " yes/no " + std::to_string(box.yesNo));
    }
    if (!withManager) {
        if (boxes.size() != 1 || boxes[0].text != kNoManagerText)
            f.Add(run, "without a manager, word \"" + Printable(word) + "\": expected one box \"" +
                           kNoManagerText + "\", got " + std::to_string(boxes.size()) +
                           (boxes.empty() ? "" : ", the first \"" + Printable(boxes[0].text) + "\""));
        if (!posted.empty())
            f.Add(run, "without a manager something was posted to the test's window");
        return;
    }
    if (message != 0) {
        if (!boxes.empty())
            f.Add(run, "word \"" + word + "\": a box \"" + Printable(boxes[0].text) + "\"");
        if (posted.size() != 1 || posted[0].message != message || posted[0].wParam != 0 ||
            posted[0].lParam != 0)
            f.Add(run, "word \"" + word + "\": expected message " + std::to_string(message) +
                           " with wParam 0 and lParam 0, got " + std::to_string(posted.size()) +
                           " message(s)" +
                           (posted.empty() ? "" : ", the first " + std::to_string(posted[0].message)));
        return;
    }
    if (!posted.empty())
        f.Add(run, "an unknown word \"" + Printable(word) + "\" posted " +
                       std::to_string(posted[0].message));
    if (boxes.size() != 1) {
        f.Add(run, "an unknown word \"" + Printable(word) + "\": expected one box, got " +
                       std::to_string(boxes.size()));
        return;
    }
    const robust::CaughtBox &box = boxes[0];
    std::string whole = word + kNotAnOptionTail;
    if (box.textLength < 0 || box.textLength > 255)
        f.Add(run, "the unknown-word text is " + std::to_string(box.textLength) +
                       " characters, more than its 256-byte buffer holds");
    // A word that fits is shown whole; a longer one is cut, never the rest of
    // the sentence.
    if (whole.size() <= 255 ? box.text != whole
                            : (box.text.size() < sizeof kNotAnOptionTail ||
                               box.text.compare(box.text.size() - (sizeof kNotAnOptionTail - 1),
                                                std::string::npos, kNotAnOptionTail) != 0 ||
                               word.compare(0, box.text.size() - (sizeof kNotAnOptionTail - 1),
                                            box.text, 0,
                                            box.text.size() - (sizeof kNotAnOptionTail - 1)) != 0))
        f.Add(run, "word of " + std::to_string(word.size()) + " bytes: expected \"" +
                       Printable(whole) + "\", got \"" + Printable(box.text) + "\"");
}

class RobustCli : public ::testing::Test {
protected:
    ManagerState saved;
    void SetUp() override
    {
        saved = gState;
        ASSERT_EQ(NULL, FindWindowA("QuillfernWndClass", NULL)) << "a manager is already running";
    }
    void TearDown() override { gState = saved; }
};

TEST_F(RobustCli, RandomCommandLinesThroughTheTailAndTheClient)
{
    Random r(kSeed);
    Findings f;
    int formed = 0, emptyTails = 0, withManagerRuns = 0, withoutRuns = 0, installWords = 0;
    int posts = 0, unknownWords = 0, longestText = 0, boxesShown = 0;
    size_t longestLine = 0;
    std::vector<std::string> e2eTails;
    DWORD start = GetTickCount();

    // Lines until kTails of them give the client a tail: an empty tail starts
    // a manager, and the installation words write the system's settings
    // (their own tests cover them); those only go through the forming.
    std::vector<std::string> lines;
    for (int clientTails = 0; clientTails < kTails;) {
        std::string program = RandomProgram(r);
        std::string blanks(r.Below(4), ' ');
        if (r.OneIn(5))
            blanks += (char)(1 + r.Below(32));
        lines.push_back(program + blanks + RandomTail(r));
        std::string tail = lines.back().substr(ExpectedTailOffset(lines.back()));
        clientTails += !tail.empty() && !IsInstallWord(WordOf(tail.substr(1)));
    }

    // One in six without a manager, then the rest with the test's window.
    std::unique_ptr<FakeManager> manager;
    for (int pass = 0; pass < 2; pass++) {
        bool withManager = pass == 1;
        if (withManager) {
            manager.reset(new FakeManager);
            ASSERT_NE((HWND)NULL, manager->window) << "cannot create the test's manager window";
        }
        for (int run = 0; run < (int)lines.size(); run++) {
            if ((run % 6 == 0) == withManager)
                continue;
            const std::string &line = lines[run];
            longestLine = std::max(longestLine, line.size());

            // The line with a canary behind its end: nothing may be written past it.
            std::vector<char> buffer(line.begin(), line.end());
            buffer.push_back('\0');
            buffer.insert(buffer.end(), 16, '\xCC');
            char *tail = FormCommandTail(buffer.data());
            formed++;
            size_t offset = ExpectedTailOffset(line);
            if (tail != buffer.data() + offset)
                f.Add(run, "the tail of \"" + Printable(line) + "\" begins at " +
                               std::to_string(tail - buffer.data()) + ", expected " +
                               std::to_string(offset));
            if (memcmp(buffer.data(), line.c_str(), line.size() + 1) != 0)
                f.Add(run, "forming the tail changed the command line");
            std::string expectedTail = line.substr(offset);
            if (expectedTail.empty()) {
                emptyTails++;
                continue;
            }
            std::string word = WordOf(expectedTail.substr(1));
            if (IsInstallWord(word)) {
                installWords++;
                continue;
            }
            if ((int)e2eTails.size() < kE2ESample && run % 7 == 3)
                e2eTails.push_back(expectedTail);

            std::vector<robust::CaughtBox> boxes;
            {
                BoxCatcher catcher;
                RunCommand(buffer.data() + offset + 1);
                boxes = catcher.boxes;
            }
            std::vector<MSG> posted = manager ? manager->Take() : std::vector<MSG>();
            withManager ? withManagerRuns++ : withoutRuns++;
            posts += (int)posted.size();
            boxesShown += (int)boxes.size();
            unknownWords += withManager && MessageOf(word) == 0;
            CheckClient(run, word, withManager, boxes, posted, f, longestText);

            // The word is cut in place at its first white space, and nothing
            // else is written: not before the switch, not past the line's end.
            std::string after(buffer.data() + offset + 1, line.size() - offset - 1);
            std::string wanted = expectedTail.substr(1);
            if (word.size() < wanted.size())
                wanted[word.size()] = '\0';
            if (after != wanted || memcmp(buffer.data(), line.c_str(), offset + 1) != 0)
                f.Add(run, "the client changed more of the command line than the end of its word");
            for (size_t i = line.size() + 1; i < buffer.size(); i++)
                if (buffer[i] != '\xCC') {
                    f.Add(run, "the client wrote past the end of the command line");
                    break;
                }
        }
    }
    manager.reset();
    DWORD inProcessMs = GetTickCount() - start;
    EXPECT_EQ(0, f.count) << "findings in " << lines.size() << " command lines";

    // End to end: the client process ends with code 0 whatever its tail, with
    // a manager window to post to and without one.
    start = GetTickCount();
    robust::UnmanagedManager fast;
    std::string dir = MakeScratchDir("robust_cli");
    std::string exe = InstallManagerCopy(dir, "[default]\r\nshell=explorer_exe\r\n");
    MessageBoxWatcher watcher;
    int e2eRuns = 0, e2eFailures = 0, e2eCrashes = 0;
    for (size_t i = 0; i < e2eTails.size(); i++) {
        bool withManager = i % 2 == 0;
        std::unique_ptr<FakeManager> manager;
        if (withManager)
            manager.reset(new FakeManager);
        watcher.Clear();
        std::string commandLine = "\"" + exe + "\"" + e2eTails[i];
        std::vector<char> writable(commandLine.begin(), commandLine.end());
        writable.push_back('\0');
        STARTUPINFOA startup = {};
        startup.cb = sizeof startup;
        PROCESS_INFORMATION info = {};
        ASSERT_TRUE(CreateProcessA(exe.c_str(), writable.data(), NULL, NULL, FALSE, 0, NULL,
                                   dir.c_str(), &startup, &info))
            << "cannot start the client with a tail of " << e2eTails[i].size() << " bytes";
        CloseHandle(info.hThread);
        e2eRuns++;
        // Our window must answer while we wait: pump instead of blocking.
        DWORD code = STILL_ACTIVE;
        for (DWORD waited = 0; waited < 15000; waited += 20) {
            if (WaitForSingleObject(info.hProcess, 20) == WAIT_OBJECT_0)
                break;
            MSG m;
            while (PeekMessageA(&m, NULL, 0, 0, PM_REMOVE))
                DispatchMessageA(&m);
        }
        GetExitCodeProcess(info.hProcess, &code);
        if (code == STILL_ACTIVE)
            TerminateProcess(info.hProcess, 1);
        CloseHandle(info.hProcess);
        std::string word = WordOf(e2eTails[i].substr(1));
        std::vector<MSG> posted = manager ? manager->Take() : std::vector<MSG>();
        size_t boxes = watcher.Seen().size();
        size_t boxesWanted = withManager && MessageOf(word) != 0 ? 0 : 1;
        size_t postsWanted = withManager && MessageOf(word) != 0 ? 1 : 0;
        EXPECT_EQ(0u, code) << "client exit code for a tail of " << e2eTails[i].size()
                            << " bytes: \"" << Printable(e2eTails[i]) << "\"";
        EXPECT_EQ(boxesWanted, boxes) << "boxes for \"" << Printable(e2eTails[i]) << "\"";
        EXPECT_EQ(postsWanted, posted.size()) << "posts for \"" << Printable(e2eTails[i]) << "\"";
        for (const std::string &text : watcher.Seen())
            EXPECT_LE(text.size(), 255u) << "a box text of " << text.size() << " characters";
        e2eCrashes += code == 0xC0000005;
        e2eFailures += code != 0 || boxes != boxesWanted || posted.size() != postsWanted;
    }
    DWORD e2eMs = GetTickCount() - start;

    robust::RecordFigures(
        "command line",
        {std::to_string(formed) + " random command lines (seed " + std::to_string(kSeed) +
             ", bytes 1-255, longest " + std::to_string(longestLine) +
             " bytes) through the tail forming: findings " + std::to_string(f.count) + ", crashes 0",
         "client in-process: " + std::to_string(withManagerRuns + withoutRuns) + " tails, " +
             std::to_string(withManagerRuns) + " with a manager window, " +
             std::to_string(withoutRuns) + " without (" + std::to_string(emptyTails) +
             " empty tails are manager starts, " + std::to_string(installWords) +
             " install words left to the installation tests); " + std::to_string(posts) +
             " posts, " + std::to_string(unknownWords) + " unknown words, " +
             std::to_string(boxesShown) + " boxes, longest box text " +
             std::to_string(longestText) + " characters (buffer 256); " +
             std::to_string(inProcessMs) + " ms",
         "end to end through Quillfern.exe: " + std::to_string(e2eRuns) + " client runs, crashes " +
             std::to_string(e2eCrashes) + ", failures " + std::to_string(e2eFailures) + ", " +
             std::to_string(e2eMs) + " ms"});
}

}  // namespace
