// MessageBoxWatcher: sees and answers the manager's message boxes so that no
// box can hang a test.
#include "support.h"

#include <set>
#include <utility>

struct MessageBoxWatcher::Impl {
    CRITICAL_SECTION lock;
    HANDLE thread = NULL;
    volatile LONG stop = 0;
    std::vector<std::pair<std::string, int>> rules;
    std::vector<std::string> seen;
    std::set<HWND> answered;        // boxes still open that we answered

    int Choose(const std::string &text, HWND box)
    {
        EnterCriticalSection(&lock);
        int button = 0;
        for (const auto &rule : rules)
            if (text.find(rule.first) != std::string::npos) {
                button = rule.second;
                break;
            }
        LeaveCriticalSection(&lock);
        return button != 0 ? button : DefaultMessageBoxAnswer(box);
    }

    void Poll()
    {
        // Forget boxes that have gone, so that a new box which happens to
        // get the same handle is still seen.
        for (auto it = answered.begin(); it != answered.end();)
            it = IsWindow(*it) ? std::next(it) : answered.erase(it);
        for (HWND box : FindMessageBoxes()) {
            if (answered.count(box))
                continue;
            std::string text = WindowText(GetDlgItem(box, 0xFFFF));
            int button = Choose(text, box);
            EnterCriticalSection(&lock);
            seen.push_back(text);
            LeaveCriticalSection(&lock);
            answered.insert(box);
            PostMessageA(box, WM_COMMAND, MAKEWPARAM(button, BN_CLICKED), 0);
        }
    }

    static DWORD WINAPI Run(void *param)
    {
        Impl *impl = (Impl *)param;
        while (!impl->stop) {
            impl->Poll();
            Sleep(20);
        }
        return 0;
    }
};

MessageBoxWatcher::MessageBoxWatcher() : impl(new Impl)
{
    InitializeCriticalSection(&impl->lock);
    impl->thread = CreateThread(NULL, 0, Impl::Run, impl, 0, NULL);
}

MessageBoxWatcher::~MessageBoxWatcher()
{
    InterlockedExchange(&impl->stop, 1);
    if (impl->thread != NULL) {
        WaitForSingleObject(impl->thread, 5000);
        CloseHandle(impl->thread);
    }
    DeleteCriticalSection(&impl->lock);
    delete impl;
}

void MessageBoxWatcher::Answer(const std::string &textPart, int button)
{
    EnterCriticalSection(&impl->lock);
    impl->rules.push_back(std::make_pair(textPart, button));
    LeaveCriticalSection(&impl->lock);
}

std::vector<std::string> MessageBoxWatcher::Seen()
{
    EnterCriticalSection(&impl->lock);
    std::vector<std::string> copy = impl->seen;
    LeaveCriticalSection(&impl->lock);
    return copy;
}

size_t MessageBoxWatcher::Count(const std::string &textPart)
{
    size_t count = 0;
    for (const std::string &text : Seen())
        if (text.find(textPart) != std::string::npos)
            count++;
    return count;
}

bool MessageBoxWatcher::WaitFor(const std::string &textPart, DWORD timeoutMs)
{
    DWORD start = GetTickCount();
    for (;;) {
        if (Count(textPart) > 0)
            return true;
        if (GetTickCount() - start >= timeoutMs)
            return false;
        Sleep(20);
    }
}

void MessageBoxWatcher::Clear()
{
    EnterCriticalSection(&impl->lock);
    impl->seen.clear();
    LeaveCriticalSection(&impl->lock);
}
