#include "ui/conversations/ConversationsWindow.h"

#include "core/NetworkText.h"
#include "ui/TextBox.h"
#include "ui/conversations/ThreadView.h"

#include <QEvent>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPointer>
#include <QPushButton>
#include <QSplitter>
#include <QVBoxLayout>
#include <utility>

namespace kestrane {
namespace {

constexpr int kPeerRole = Qt::UserRole;

QString NameOf(const QString& peer) {
    return peer.isEmpty() ? QStringLiteral("Everybody") : OneLineText(peer);
}

} // namespace

ConversationsWindow::ConversationsWindow(Hooks windowHooks, QWidget* parent)
    : QDialog(parent), hooks(std::move(windowHooks)), hosts(new QListWidget), title(new QLabel),
      box(new TextBox), line(new QLineEdit), problem(new QLabel) {
    setWindowTitle(QStringLiteral("Kestrane Conversations"));
    setWindowFlags(Qt::Window | Qt::WindowMinMaxButtonsHint | Qt::WindowCloseButtonHint);
    hosts->setObjectName(QStringLiteral("hosts"));
    hosts->setAccessibleName(QStringLiteral("Conversations"));
    box->setObjectName(QStringLiteral("thread"));
    line->setObjectName(QStringLiteral("line"));
    line->setMaxLength(32767);
    title->setTextFormat(Qt::PlainText);
    problem->setTextFormat(Qt::PlainText);
    problem->setWordWrap(true);
    problem->hide();
    view = std::make_unique<ThreadView>(*box);

    auto* send = new QPushButton(QStringLiteral("&Send"));
    auto* bar = new QHBoxLayout;
    bar->addWidget(line, 1);
    bar->addWidget(send);
    auto* thread = new QWidget;
    auto* threadLayout = new QVBoxLayout(thread);
    threadLayout->setContentsMargins(0, 0, 0, 0);
    threadLayout->addWidget(title);
    threadLayout->addWidget(box, 1);
    threadLayout->addWidget(problem);
    threadLayout->addLayout(bar);
    auto* split = new QSplitter;
    split->addWidget(hosts);
    split->addWidget(thread);
    split->setStretchFactor(1, 1);
    split->setSizes({200, 600});
    (new QVBoxLayout(this))->addWidget(split);
    resize(820, 520);
    // Shift+Tab from the message line reads the thread; Tab goes on to Send and the hosts.
    setTabOrder(hosts, box);
    setTabOrder(box, line);
    setTabOrder(line, send);

    connect(send, &QPushButton::clicked, this, &ConversationsWindow::Send);
    connect(line, &QLineEdit::returnPressed, this, &ConversationsWindow::Send);
    connect(hosts, &QListWidget::currentItemChanged, this, [this](QListWidgetItem* item) {
        if (item != nullptr && !listing) {
            Choose(item->data(kPeerRole).toString());
        }
    });
}

ConversationsWindow::~ConversationsWindow() = default;

void ConversationsWindow::Open(const QString& peer) {
    ListPeers(hooks.peers());
    Choose(peer);
    line->setFocus(); // typing answers the thread
}

QString ConversationsWindow::Chosen() const {
    return view->Peer();
}

void ConversationsWindow::ListPeers(const std::vector<QString>& peers) {
    listing = true;
    hosts->clear();
    auto* everybody = new QListWidgetItem(hosts);
    everybody->setData(kPeerRole, QString());
    for (const QString& peer : peers) {
        (new QListWidgetItem(hosts))->setData(kPeerRole, peer);
    }
    listing = false;
    ShowCounts();
}

void ConversationsWindow::ShowCounts() {
    for (int row = 0; row < hosts->count(); ++row) {
        QListWidgetItem* item = hosts->item(row);
        const QString peer = item->data(kPeerRole).toString();
        const int unread = hooks.unread(peer);
        item->setText(unread > 0 ? QStringLiteral("%1 (%2 unread)").arg(NameOf(peer)).arg(unread)
                                 : NameOf(peer));
        QFont font = item->font();
        font.setBold(unread > 0);
        item->setFont(font);
    }
}

int ConversationsWindow::RowOf(const QString& peer) const {
    for (int row = 0; row < hosts->count(); ++row) {
        if (hosts->item(row)->data(kPeerRole).toString() == peer) {
            return row;
        }
    }
    return -1;
}

void ConversationsWindow::Select(const QString& peer) {
    listing = true;
    hosts->setCurrentRow(RowOf(peer));
    listing = false;
}

void ConversationsWindow::Choose(const QString& peer) {
    Select(peer);
    title->setText(peer.isEmpty() ? QStringLiteral("Lines to everybody")
                                  : QStringLiteral("Conversation with %1").arg(NameOf(peer)));
    box->setAccessibleName(title->text());
    line->setAccessibleName(peer.isEmpty() ? QStringLiteral("Message to everybody")
                                           : QStringLiteral("Message to %1").arg(NameOf(peer)));
    problem->hide();
    view->Show(peer, hooks.thread(peer));
    SeeIfLooking();
}

bool ConversationsWindow::Looking() const {
    return isVisible() && isActiveWindow() && !isMinimized();
}

void ConversationsWindow::SeeIfLooking() {
    if (Looking() && hooks.unread(view->Peer()) > 0) {
        hooks.seen(view->Peer());
    }
}

void ConversationsWindow::Added(const HistoryRecord& record) {
    view->Add(record);
    // The host heard from or written to last moves up, under Everybody.
    const QString& peer = record.peer;
    if (peer.isEmpty()) {
        return;
    }
    const int row = RowOf(peer);
    if (row == 1) {
        return;
    }
    listing = true;
    QListWidgetItem* item = row > 0 ? hosts->takeItem(row) : new QListWidgetItem;
    item->setData(kPeerRole, peer);
    hosts->insertItem(1, item);
    if (hosts->count() > kMostListed + 1) {
        delete hosts->takeItem(hosts->count() - 1); // the one heard from least recently
    }
    listing = false;
    ShowCounts();
    Select(view->Peer());
}

void ConversationsWindow::DeliveryChanged(std::int64_t id, HistoryRecord::Delivery delivery,
                                          bool inOutbox) {
    view->SetDelivery(id, delivery, inOutbox);
}

void ConversationsWindow::UnreadChanged() {
    ShowCounts();
    SeeIfLooking();
}

void ConversationsWindow::changeEvent(QEvent* event) {
    QDialog::changeEvent(event);
    if (event->type() == QEvent::ActivationChange || event->type() == QEvent::WindowStateChange) {
        SeeIfLooking();
    }
}

void ConversationsWindow::Send() {
    const QString typed = line->text();
    if (typed.isEmpty()) {
        return;
    }
    const QString sent = typed + QStringLiteral("\r\n");
    hooks.send(view->Peer(), sent, [window = QPointer(this), typed](const QString& refusal) {
        if (!window) {
            return;
        }
        window->Sent(typed, refusal);
    });
}

void ConversationsWindow::Sent(const QString& typed, const QString& refusal) {
    // The line clears only when it went and the person has not typed another meanwhile.
    problem->setText(refusal);
    problem->setVisible(!refusal.isEmpty());
    if (refusal.isEmpty() && line->text() == typed) {
        line->clear();
    }
}

} // namespace kestrane
