#include "ui/CMessageDlg.h"

#include "core/NetworkText.h"
#include "core/unread/HistoryEntry.h"
#include "core/unread/MessageQueue.h"
#include "core/unread/UnreadLines.h"
#include "platform/ToneSink.h"
#include "res/DialogTemplate.h"
#include "ui/DialogBuilder.h"
#include "ui/ResourceIcons.h"

#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QPushButton>
#include <cstddef>
#include <utility>

namespace kestrane {
namespace {

constexpr int IDC_REPLY = 1005;
constexpr int IDC_MESSAGE_TEXT = 1006;
constexpr int IDC_SENDER = 1008;
constexpr int IDC_REPLY_LINE = 1009;
constexpr int IDC_NEWER = 1010;
constexpr int IDC_OLDER = 1011;
constexpr int IDC_SKIP = 1012;
constexpr int IDC_HIDE = 1013;

const Tone kBeep{500, 100};

template <typename Widget> Widget* Control(QDialog& dialog, int id) {
    return dialog.findChild<Widget*>(QString::number(id), Qt::FindDirectChildrenOnly);
}

// The text box separates lines with "\n"; entries keep the CR LF they came with.
QString ToDisplay(QString text) {
    text.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
    text.replace(QLatin1Char('\r'), QLatin1Char('\n'));
    return text;
}

// Qt drops a "[*]" from window titles (the unsaved-changes mark); a doubled
// one shows as itself, so a received name shows as it came.
QString PlainTitle(QString title) {
    return title.replace(QStringLiteral("[*]"), QStringLiteral("[*][*]"));
}

} // namespace

CMessageDlg::CMessageDlg(MessageQueue& messageQueue, UnreadLines& unreadLines, ToneSink& toneSink,
                         ReplySender replySender, QWidget* parent)
    : QDialog(parent), queue(messageQueue), unread(unreadLines), tones(toneSink),
      sendReply(std::move(replySender)) {
    DialogBuilder::Build(*this, *FindDialogTemplate(IDD_MESSAGE_DIALOG));
    setWindowIcon(ResourceIcons::WindowIcon());
    prevButton = Control<QPushButton>(*this, IDC_NEWER);
    nextButton = Control<QPushButton>(*this, IDC_OLDER);
    senderLabel = Control<QLabel>(*this, IDC_SENDER);
    textBox = Control<QPlainTextEdit>(*this, IDC_MESSAGE_TEXT);
    replyLine = Control<QLineEdit>(*this, IDC_REPLY_LINE);
    ConnectControls();
    if (HasEntryOnShow()) {
        ShowEntry();
    }
    WriteControls();
    replyLine->setFocus();
}

void CMessageDlg::ConnectControls() {
    // Enter reaches "Reply" only as the default button; the reply line's
    // returnPressed stays unconnected, so one Enter sends one reply.
    connect(Control<QPushButton>(*this, IDC_REPLY), &QPushButton::clicked, this,
            &CMessageDlg::OnReply);
    connect(prevButton, &QPushButton::clicked, this, &CMessageDlg::OnNewer);
    connect(nextButton, &QPushButton::clicked, this, &CMessageDlg::OnOlder);
    connect(Control<QPushButton>(*this, IDC_HIDE), &QPushButton::clicked, this,
            &CMessageDlg::OnHide);
    connect(Control<QPushButton>(*this, IDC_SKIP), &QPushButton::clicked, this,
            &CMessageDlg::OnSkip);
}

int CMessageDlg::exec() {
    if (!HasEntryOnShow()) {
        setResult(QDialog::Rejected);
        return QDialog::Rejected;
    }
    return QDialog::exec();
}

void CMessageDlg::accept() {
    ReadControls();
    QDialog::accept();
}

void CMessageDlg::showEvent(QShowEvent* event) {
    QDialog::showEvent(event);
    raise();
    activateWindow();
}

void CMessageDlg::ReadControls() {
    senderText = senderLabel->text();
    replyText = replyLine->text();
    // The text box is read-only: it still shows messageBody.
}

void CMessageDlg::WriteControls() {
    senderLabel->setText(senderText);
    textBox->setPlainText(ToDisplay(messageBody));
    replyLine->setText(replyText);
}

bool CMessageDlg::HasEntryOnShow() const {
    return queue.current >= 0 && queue.current < queue.Size();
}

void CMessageDlg::ShowEntry() {
    const HistoryEntry& entry = queue.entries[static_cast<std::size_t>(queue.current)];
    senderText = OneLineText(entry.GetSender());
    messageBody = entry.GetText();
    unread.Shown(queue.current);
    replyText.clear();
    WriteControls();
    ShowPlace();
}

void CMessageDlg::ShowPlace() {
    // The sender of the line on show, and where it stands among the queued
    // lines, oldest first, while there is more than one.
    const QString place =
        queue.Size() > 1 && HasEntryOnShow()
            ? QStringLiteral(" (%1 of %2)").arg(queue.current + 1).arg(queue.Size())
            : QString();
    const bool toYou =
        HasEntryOnShow() && queue.entries[static_cast<std::size_t>(queue.current)].toYou;
    setWindowTitle(PlainTitle(
        (toYou ? QStringLiteral("Message to you from ") : QStringLiteral("Message from ")) +
        senderText + place));
}

void CMessageDlg::Beep() {
    tones.Play({kBeep});
}

void CMessageDlg::OnNewer() {
    if (queue.current >= queue.Size() - 1) {
        Beep();
        return;
    }
    ++queue.current;
    ShowEntry();
}

void CMessageDlg::OnOlder() {
    if (queue.current <= 0) {
        Beep();
        return;
    }
    --queue.current;
    ShowEntry();
}

void CMessageDlg::OnSkip() {
    if (!HasEntryOnShow() || !EraseCurrent()) {
        OnHide();
        return;
    }
    ShowEntry();
}

bool CMessageDlg::EraseCurrent() {
    queue.Erase(queue.current);
    --queue.current;
    if (queue.current == -1) {
        if (queue.entries.empty()) {
            return false;
        }
        queue.current = queue.Size() - 1;
    }
    return true;
}

void CMessageDlg::OnReply() {
    ReadControls();
    if (!HasEntryOnShow()) {
        // Nobody to answer: close as Skip does, without sending.
        OnHide();
        return;
    }
    const HistoryEntry& entry = queue.entries[static_cast<std::size_t>(queue.current)];
    const SendResult result = sendReply(entry, replyText + QStringLiteral("\r\n"));
    if (result != SendResult::Sent) {
        // The entry stays queued and the typed line stays for another try.
        ReportUnsent(result);
        return;
    }
    OnSkip();
}

void CMessageDlg::OnHide() {
    accept();
}

void CMessageDlg::ReportUnsent(SendResult result) {
    QString text;
    switch (result) {
    case SendResult::TooLong:
        text = QStringLiteral("The reply is too long to send. Shorten it and press Reply again.");
        break;
    case SendResult::NoConnection:
    case SendResult::NoName:
        text = QStringLiteral("The reply was not sent: the network is not started.");
        break;
    case SendResult::Unreachable:
        text = QStringLiteral("This line came from no known address, so it cannot be answered. "
                              "Skip removes it.");
        break;
    case SendResult::Sent:
    case SendResult::Failed: // the sender has shown its own box
        return;
    }
    QMessageBox box(QMessageBox::Warning, QStringLiteral("Kestrane"), text, QMessageBox::Ok, this);
    box.setTextFormat(Qt::PlainText);
    box.exec();
}

} // namespace kestrane
