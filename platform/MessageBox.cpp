#include "platform/MessageBox.h"

#include <cstdio>
#include <mutex>
#include <utility>

namespace kestrane {

namespace {

std::mutex hookMutex;
MessageBoxHook installedHook; // guarded by hookMutex

} // namespace

void ShowMessageBox(const std::string& text, const std::string& caption) {
    MessageBoxHook hook;
    {
        std::lock_guard guard(hookMutex);
        hook = installedHook;
    }
    // The hook may block for as long as the user takes, so it runs outside the lock.
    if (hook) {
        hook(text, caption);
        return;
    }
    std::fprintf(stderr, "%s: %s\n", caption.c_str(), text.c_str());
}

MessageBoxHook SetMessageBoxHook(MessageBoxHook hook) {
    std::lock_guard guard(hookMutex);
    return std::exchange(installedHook, std::move(hook));
}

} // namespace kestrane
