#pragma once

#include <functional>
#include <string>

namespace kestrane {

/// Shows a modal message box with an OK button and no owner window, for code
/// below the window layer. The call returns once the box is dismissed.
///
/// The application installs a hook at start that shows the box on the UI thread
/// (waiting there when called from another thread). Without a hook, as in tests
/// and tools, the caption and text go to stderr and the call returns at once.
/// Safe to call from any thread.
void ShowMessageBox(const std::string& text, const std::string& caption);

using MessageBoxHook = std::function<void(const std::string& text, const std::string& caption)>;

/// Installs `hook` (or removes it, when empty) and returns the previous one.
/// Call while no other thread can be showing a box, e.g. at start or in a test's set-up.
MessageBoxHook SetMessageBoxHook(MessageBoxHook hook);

} // namespace kestrane
