#pragma once

#include <QPointer>
#include <functional>

class QTextBrowser;
class QUrl;
class QWidget;

namespace kestrane {

class ChatSession;
class HistoryWindow;
class NetworkView;

/// The main window's secondary windows: History and the Network view, each
/// made at first use and raised after; the About box; the manual. They read
/// what the session keeps and go before it. UI thread only.
class ToolWindows {
public:
    ToolWindows(QWidget& window, ChatSession& session, std::function<void(const QUrl&)> openUrl);
    ~ToolWindows();
    ToolWindows(const ToolWindows&) = delete;
    ToolWindows& operator=(const ToolWindows&) = delete;

    /// Opens the History window; nothing without a history.
    void ShowHistory();
    /// Opens the Network view; nothing before the network has started.
    void ShowNetwork();
    void ShowAbout();
    /// Opens the manual page installed with the program: in the desktop's
    /// browser, or in a window of its own where the desktop has none.
    void ShowManual();

    /// Whether the desktop opens web pages; the default asks xdg-mime.
    /// Tests replace it.
    std::function<bool()> desktopHasBrowser;

private:
    QWidget& window;
    ChatSession& session;
    std::function<void(const QUrl&)> openUrl;
    QPointer<HistoryWindow> history; // owned by the window (Qt parent)
    QPointer<NetworkView> network;   // owned by the window (Qt parent)
    QPointer<QTextBrowser> manual;   // owned by the window (Qt parent)
};

} // namespace kestrane
