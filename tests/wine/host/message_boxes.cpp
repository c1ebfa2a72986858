#include "message_boxes.h"

#include <algorithm>

namespace {

// The control that holds a message box's text.
constexpr int message_text_id = 0xFFFF;
// A box that ignores its OK command is closed harder after this long.
constexpr DWORD close_retry_ms = 2000;

std::string window_text(HWND window) {
    char buffer[4096];
    const int n = GetWindowTextA(window, buffer, sizeof buffer);
    return std::string(buffer, n > 0 ? static_cast<size_t>(n) : 0);
}

std::string dialog_text(HWND dialog) {
    char buffer[4096];
    const UINT n = GetDlgItemTextA(dialog, message_text_id, buffer, sizeof buffer);
    return std::string(buffer, n);
}

}  // namespace

MessageBoxWatcher::MessageBoxWatcher() { InitializeCriticalSection(&lock_); }

MessageBoxWatcher::~MessageBoxWatcher() {
    stop();
    DeleteCriticalSection(&lock_);
}

bool MessageBoxWatcher::start() {
    if (thread_) return true;
    process_id_ = GetCurrentProcessId();
    stopping_ = 0;
    thread_ = CreateThread(nullptr, 0, &MessageBoxWatcher::thread_main, this, 0, nullptr);
    return thread_ != nullptr;
}

void MessageBoxWatcher::stop() {
    if (!thread_) return;
    InterlockedExchange(&stopping_, 1);
    WaitForSingleObject(thread_, 5000);
    CloseHandle(thread_);
    thread_ = nullptr;
}

std::vector<MessageBoxSeen> MessageBoxWatcher::take() {
    // A box closed just now may still be on its way out of MessageBoxA; the
    // caller has returned from it, so everything it showed is recorded.
    EnterCriticalSection(&lock_);
    std::vector<MessageBoxSeen> out;
    out.swap(seen_);
    LeaveCriticalSection(&lock_);
    return out;
}

DWORD WINAPI MessageBoxWatcher::thread_main(LPVOID self) {
    auto* watcher = static_cast<MessageBoxWatcher*>(self);
    while (!InterlockedCompareExchange(&watcher->stopping_, 0, 0)) {
        watcher->poll();
        Sleep(5);
    }
    return 0;
}

BOOL CALLBACK MessageBoxWatcher::visit_window(HWND window, LPARAM self) {
    reinterpret_cast<MessageBoxWatcher*>(self)->handle(window);
    return TRUE;
}

void MessageBoxWatcher::poll() {
    // Forget dialogs that have gone.
    closing_.erase(
        std::remove_if(closing_.begin(), closing_.end(),
                       [](const std::pair<HWND, DWORD>& c) { return !IsWindow(c.first); }),
        closing_.end());
    EnumWindows(&MessageBoxWatcher::visit_window, reinterpret_cast<LPARAM>(this));
}

void MessageBoxWatcher::handle(HWND window) {
    DWORD pid = 0;
    GetWindowThreadProcessId(window, &pid);
    if (pid != process_id_ || !IsWindowVisible(window)) return;
    char cls[64];
    if (!GetClassNameA(window, cls, sizeof cls) || lstrcmpA(cls, "#32770") != 0) return;

    auto known =
        std::find_if(closing_.begin(), closing_.end(),
                     [window](const std::pair<HWND, DWORD>& c) { return c.first == window; });
    if (known != closing_.end()) {
        if (GetTickCount() - known->second > close_retry_ms) {
            PostMessageA(window, WM_CLOSE, 0, 0);
            known->second = GetTickCount();
        }
        return;
    }

    MessageBoxSeen box{window_text(window), dialog_text(window)};
    EnterCriticalSection(&lock_);
    seen_.push_back(box);
    LeaveCriticalSection(&lock_);
    closing_.emplace_back(window, GetTickCount());
    PostMessageA(window, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), 0);
}
