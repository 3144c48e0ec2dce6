#pragma once

#include <QPointer>
#include <QString>
#include <functional>
#include <memory>

class QTextBrowser;
class QUrl;
class QWidget;

namespace kestrane {

class ChatSession;
class ConversationsWindow;
class HistoryEntry;
class HistoryWindow;
class ThreadReader;
class NetworkView;

/// The main window's secondary windows: Conversations, History and the Network view, each
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
    /// Opens the Conversations window on the thread with the newest unread
    /// line, or on the one open before; nothing without a history.
    void ShowConversations();
    /// Whether the person looks at the conversation that shows `entry`.
    bool Looking(const HistoryEntry& entry) const;
    /// Unread lines changed: the conversations' counts follow.
    void UnreadChanged();
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
    void MakeConversations();
    void SendFromThread(const QString& peer, const QString& line,
                        const std::function<void(const QString& refusal)>& done);

    QPointer<HistoryWindow> history;             // owned by the window (Qt parent)
    QPointer<ConversationsWindow> conversations; // owned by the window (Qt parent)
    std::unique_ptr<ThreadReader> threads;
    QPointer<NetworkView> network; // owned by the window (Qt parent)
    QPointer<QTextBrowser> manual; // owned by the window (Qt parent)
};

} // namespace kestrane
