#pragma once

#include "core/history/HistoryRecord.h"

#include <QDialog>
#include <QString>
#include <functional>
#include <memory>
#include <vector>

class QLabel;
class QLineEdit;
class QListWidget;

namespace kestrane {

class TextBox;
class ThreadView;

/// The Conversations window: the hosts, each with its count of unread lines,
/// and the thread of the one chosen, both ways, from the history; typing in
/// it answers that host ("Everybody" answers everybody). Looking at a thread
/// reads its lines. Reads and sends through its hooks; records come in as
/// they are kept. UI thread only.
class ConversationsWindow : public QDialog {
    Q_OBJECT

public:
    /// Hosts listed at most, Everybody aside: the names lines bring are not
    /// capped by the roster.
    static constexpr int kMostListed = 500;

    struct Hooks {
        /// The hosts with lines kept, newest first, then the other hosts listed.
        std::function<std::vector<QString>()> peers;
        /// The recent lines of `peer`'s thread (empty: everybody's), oldest first.
        std::function<std::vector<HistoryRecord>(const QString& peer)> thread;
        /// Unread lines in `peer`'s thread.
        std::function<int(const QString& peer)> unread;
        /// The person looks at `peer`'s thread.
        std::function<void(const QString& peer)> seen;
        /// Sends `line` (CR LF included) to `peer`, then calls `done` with
        /// why it was not sent, or an empty text once it went.
        std::function<void(const QString& peer, const QString& line,
                           std::function<void(const QString& refusal)> done)>
            send;
    };

    explicit ConversationsWindow(Hooks hooks, QWidget* parent = nullptr);
    ~ConversationsWindow() override;

    /// Lists the hosts again and shows `peer`'s thread, read afresh.
    void Open(const QString& peer);
    /// The thread chosen; empty for everybody's.
    QString Chosen() const;
    /// Whether the person looks at the window: shown, active, not minimized.
    bool Looking() const;

    /// A record was kept: its thread and its host's place in the list follow.
    void Added(const HistoryRecord& record);
    void DeliveryChanged(std::int64_t id, HistoryRecord::Delivery delivery, bool inOutbox);
    /// Unread lines changed: the counts follow.
    void UnreadChanged();

    ThreadView& Thread() { return *view; }

protected:
    void changeEvent(QEvent* event) override;

private:
    void ListPeers(const std::vector<QString>& peers);
    void ShowCounts();
    int RowOf(const QString& peer) const;
    /// Chooses `peer` in the list without showing its thread again.
    void Select(const QString& peer);
    void Choose(const QString& peer);
    void SeeIfLooking();
    void Send();
    void Sent(const QString& typed, const QString& refusal);

    Hooks hooks;
    QListWidget* hosts;
    QLabel* title;
    TextBox* box;
    QLineEdit* line;
    QLabel* problem;
    std::unique_ptr<ThreadView> view;
    bool listing = false; // the list is being filled: its choice is not the person's
};

} // namespace kestrane
