#pragma once

#include "chat/ChatSender.h"

#include <QDialog>
#include <QString>
#include <functional>
#include <string>

class QLabel;
class QLineEdit;
class QPlainTextEdit;
class QPushButton;

namespace kestrane {

class HistoryEntry;
class MessageQueue;
class ToneSink;
class UnreadLines;

/// The unread-message dialog: shows the queue's entry at `current` and lets the
/// user step through the queue, skip the entry or answer its sender.
///
/// It keeps only the index of the entry on show, never a reference into the
/// queue, so lines the main window appends while it is open (they go to the
/// end, and a full queue drops another entry than the one on show, moving
/// `current` with it) cannot invalidate what it shows. Opening and each action touch one
/// entry, whatever the queue's length. An entry on show is seen (UnreadLines).
/// Does not own the queue, the unread lines, the tone sink or the reply
/// sender. UI thread only.
class CMessageDlg : public QDialog {
public:
    /// Sends a reply (CR LF already appended) to the sender of `entry`.
    using ReplySender = std::function<SendResult(const HistoryEntry& entry, const QString& text)>;

    /// Opens on `queue.current`, which the opener sets to the entry to show.
    CMessageDlg(MessageQueue& queue, UnreadLines& unread, ToneSink& tones, ReplySender sendReply,
                QWidget* parent = nullptr);

    /// Runs modally; returns Rejected at once when `current` names no entry.
    int exec() override;
    /// "Hide", and the end of the run once the queue is empty: reads the controls first.
    void accept() override;
    /// The title names the line on show's sender and its place among the
    /// queued lines ("Message from PC3 (2 of 3)"); call it when lines came.
    void ShowPlace();

    /// "<<": the next newer entry, or a beep on the newest.
    void OnNewer();
    /// ">>": the next older entry, or a beep on the oldest.
    void OnOlder();
    /// "Skip": removes the entry on show and shows the next older one (the
    /// newest when the oldest went); closes the dialog when none is left.
    void OnSkip();
    /// "Reply", or Enter: answers the entry's sender with the reply line, then
    /// skips the entry. A reply that was not sent keeps the entry and the line.
    void OnReply();
    /// Closes the dialog; every entry stays queued.
    void OnHide();

    /// Data exchange: copies the label and the reply line into the members, or
    /// the members into the label, the text box and the reply line.
    void ReadControls();
    void WriteControls();

    // Members, in the order of the design.
    QPushButton* prevButton = nullptr;
    QPushButton* nextButton = nullptr;
    QString senderText;
    QString messageBody;
    QString replyText;

protected:
    void showEvent(QShowEvent* event) override;

private:
    void ConnectControls();
    bool HasEntryOnShow() const;
    /// Puts the entry at `current` into the controls; an unsent reply is discarded.
    void ShowEntry();
    /// Removes the entry on show and selects the next; false when the queue is empty.
    bool EraseCurrent();
    void Beep();
    void ReportUnsent(SendResult result);

    MessageQueue& queue;
    UnreadLines& unread;
    ToneSink& tones;
    ReplySender sendReply;
    QLabel* senderLabel = nullptr;
    QPlainTextEdit* textBox = nullptr;
    QLineEdit* replyLine = nullptr;
};

} // namespace kestrane
