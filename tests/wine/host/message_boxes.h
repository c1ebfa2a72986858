// Watches for the modal message boxes the module shows, records their caption
// and text, and closes them, so that a failure message never blocks a test.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

struct MessageBoxSeen {
    std::string caption;
    std::string text;
};

class MessageBoxWatcher {
public:
    MessageBoxWatcher();
    ~MessageBoxWatcher();
    MessageBoxWatcher(const MessageBoxWatcher&) = delete;
    MessageBoxWatcher& operator=(const MessageBoxWatcher&) = delete;

    bool start();
    void stop();

    // The boxes closed since the last call, in the order they appeared.
    std::vector<MessageBoxSeen> take();

private:
    static DWORD WINAPI thread_main(LPVOID self);
    static BOOL CALLBACK visit_window(HWND window, LPARAM self);
    void poll();
    void handle(HWND dialog);

    CRITICAL_SECTION lock_;
    HANDLE thread_ = nullptr;
    volatile LONG stopping_ = 0;
    DWORD process_id_ = 0;
    std::vector<MessageBoxSeen> seen_;
    // Dialogs already recorded and told to close, with the tick of that request.
    std::vector<std::pair<HWND, DWORD>> closing_;
};
