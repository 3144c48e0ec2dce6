#include "chat/ChatMessage.h"
#include "core/alerts/DesktopNotifications.h"
#include "core/unread/HistoryEntry.h"
#include "tests/support/Dunst.h"
#include "tests/support/PrivateBus.h"
#include "tests/ui/LoopbackWindow.h"
#include "ui/CMessageDlg.h"
#include "ui/CloseChoice.h"
#include "ui/TrayPresence.h"
#include "ui/WindowMenus.h"
#include "ui/conversations/ConversationsWindow.h"

#include <QAbstractButton>
#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QLineEdit>
#include <QMenu>
#include <QMessageBox>
#include <QPushButton>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QTemporaryDir>
#include <QTimer>
#include <gtest/gtest.h>

namespace kestrane::test {
namespace {

// What tells the person of unread lines: the title (which always names the copy, PC7), the
// icon's tip, whether the icon blinks, the senders with a notification open, and the chimes.
QString Signals(LoopbackWindow& lan) {
    QStringList notified = lan.dialog->notifications->Open();
    notified.sort();
    const TrayPresence& presence = *lan.dialog->presence;
    QString title = lan.dialog->windowTitle();
    EXPECT_TRUE(title.endsWith(" \u2014 PC7")) << title.toStdString();
    title.chop(QString(" \u2014 PC7").size());
    return QString("%1 | %2 | %3 | %4 | %5 chimes")
        .arg(title, lan.tray.ToolTip(),
             presence.hidden && presence.unreadPending ? "blinks" : "steady",
             notified.isEmpty() ? "-" : notified.join(","))
        .arg(std::ranges::count(lan.tones.Requests(), kChime));
}

// How many lines the history in `folder` keeps unread: what History shows as unread, and what
// the next start queues again.
int KeptUnread(const QString& folder) {
    int count = -1;
    {
        QSqlDatabase file = QSqlDatabase::addDatabase("QSQLITE", "kept-unread");
        file.setDatabaseName(folder + "/history.db");
        QSqlQuery query(file);
        if (file.open() && query.exec("SELECT count(*) FROM history WHERE unread") &&
            query.next()) {
            count = query.value(0).toInt();
        }
    }
    QSqlDatabase::removeDatabase("kept-unread");
    return count;
}

// The real message dialog, as the person uses it once a right click opens it: each step
// presses a button by its text, types "Reply <text>", presses Esc, or has "PC3 speaks".
void Answer(LoopbackWindow& lan, QStringList steps) {
    lan.dialog->reading = [&lan, steps] {
        CMessageDlg dialog(lan.queue, lan.dialog->Session().Unread(), lan.tones,
                           [&lan](const HistoryEntry& entry, const QString& text) {
                               return lan.dialog->SendReply(entry, text);
                           });
        dialog.show();
        for (const QString& step : steps) {
            if (step == "Esc") {
                QTest::keyClick(dialog.findChild<QLineEdit*>("1009"), Qt::Key_Escape);
            } else if (step == "PC3 speaks") {
                const std::string line = Datagram(4, "PC3", "meanwhile\r\n");
                lan.dialog->Session().OnChatMessage(
                    ChatMessage(line.data(), static_cast<int>(line.size())), "127.0.0.3");
            } else {
                dialog.findChild<QLineEdit*>("1009")->setText(step.section(' ', 1));
                for (QPushButton* button : dialog.findChildren<QPushButton*>()) {
                    if (button->text() == step.section(' ', 0, 0)) {
                        button->click();
                    }
                }
            }
        }
    };
    lan.Click(QSystemTrayIcon::Context);
}

void Activate(QWidget& window) {
    window.show();
    window.activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(&window));
}

const LoopbackStart kOnScreen{true, true, {}, {}, false};
const LoopbackStart kInTray{false, true, {}, {}, false};
const LoopbackStart kBehindIcon{false, true, {}, {}, true};

struct Path {
    const char* name;
    LoopbackStart start;
    std::function<void(std::unique_ptr<LoopbackWindow>& lan)> walk;
    const char* effects; // the signals once walked, and how many lines the history keeps unread
};

TEST(UnreadTest, ALineIsSignalledEverywhereUntilThePersonSeesItWhicheverWayItCameOrWasLeft) {
    PrivateBus bus;
    ASSERT_TRUE(bus.IsUp());
    Dunst dunst;
    ASSERT_TRUE(dunst.Start(bus.Address()));
    const auto hear = [](LoopbackWindow& lan, const char* sender) {
        lan.Receive(Datagram(4, sender, std::string("from ") + sender + "\r\n"));
    };
    // A line comes while hidden; the copy ends, and the next one starts with it queued.
    const auto leaveUnreadAndStartAgain = [&](std::unique_ptr<LoopbackWindow>& lan) {
        hear(*lan, "PC2");
        const LoopbackStart start{false, true, lan->historyFolder, lan->desktopBus, false};
        lan.reset();
        lan = std::make_unique<LoopbackWindow>(start);
        ASSERT_TRUE(QTest::qWaitFor([&] { return lan->queue.Size() == 1; }, 5000));
    };
    // The tray menu opens the conversations on the newest unread line's host.
    const auto converse = [](LoopbackWindow& lan) {
        for (QAction* item : lan.dialog->Menus().TrayMenu().actions()) {
            if (item->text() == "&Conversations...") {
                item->trigger();
            }
        }
        ASSERT_TRUE(QTest::qWaitForWindowActive(lan.dialog->findChild<ConversationsWindow*>()));
        QCoreApplication::processEvents(); // the window hears of its activation
    };
    const Path paths[] = {
        {"a line shown in a window the person looks at", kOnScreen,
         [&](auto& lan) {
             Activate(*lan->dialog);
             hear(*lan, "PC2");
         },
         "Kestrane | Kestrane | steady | - | 0 chimes | 0"},
        {"a line that came while another window was active, then Hide", kOnScreen,
         [&](auto& lan) {
             QWidget other;
             Activate(other);
             hear(*lan, "PC2");
             lan->dialog->template findChild<QPushButton*>("7")->click();
         },
         "Kestrane (1 unread) | Kestrane: 1 unread line, from PC2 | blinks | PC2 | 0 chimes | 1"},
        {"a line while hidden, then a left click", kInTray,
         [&](auto& lan) {
             hear(*lan, "PC2");
             lan->Click(QSystemTrayIcon::Trigger);
             ASSERT_TRUE(QTest::qWaitForWindowActive(lan->dialog.get()));
         },
         "Kestrane | Kestrane | steady | - | 1 chimes | 0"},
        {"three lines, a reply to the newest, then Esc on the next", kInTray,
         [&](auto& lan) {
             hear(*lan, "PC2"), hear(*lan, "PC3"), hear(*lan, "PC4");
             Answer(*lan, {"Reply ok", "Esc"});
         },
         "Kestrane (1 unread) | Kestrane: 1 unread line, from PC2 | blinks | PC2 | 3 chimes | 1"},
        {"two lines, the dialog's Hide on the newest", kInTray,
         [&](auto& lan) {
             hear(*lan, "PC2"), hear(*lan, "PC3");
             Answer(*lan, {"Hide"});
         },
         "Kestrane (1 unread) | Kestrane: 1 unread line, from PC2 | blinks | PC2 | 2 chimes | 1"},
        {"two lines, the dialog steps to both", kInTray,
         [&](auto& lan) {
             hear(*lan, "PC2"), hear(*lan, "PC3");
             Answer(*lan, {">>", "Hide"});
         },
         "Kestrane | Kestrane | steady | - | 2 chimes | 0"},
        {"a line that comes while the dialog is open", kInTray,
         [&](auto& lan) {
             hear(*lan, "PC2");
             Answer(*lan, {"PC3 speaks", "Hide"});
         },
         "Kestrane (1 unread) | Kestrane: 1 unread line, from PC3 | blinks | PC3 | 2 chimes | 1"},
        {"two lines, then the newest one's conversation", kInTray,
         [&](auto& lan) {
             hear(*lan, "PC2"), hear(*lan, "PC3");
             converse(*lan);
         },
         "Kestrane (1 unread) | Kestrane: 1 unread line, from PC2 | blinks | PC2 | 2 chimes | 1"},
        {"a line that comes while its conversation is looked at", kInTray,
         [&](auto& lan) {
             hear(*lan, "PC2");
             converse(*lan);
             hear(*lan, "PC2");
         },
         "Kestrane | Kestrane | steady | - | 2 chimes | 0"},
        {"a line (an outbox's) as the copy starts behind the icon", kBehindIcon,
         [&](auto& lan) {
             hear(*lan, "PC2");
             lan->dialog->presence->OnTimer(); // the first tick
             lan->dialog->presence->OnTimer();
         },
         "Kestrane (1 unread) | Kestrane: 1 unread line, from PC2 | blinks | PC2 | 1 chimes | 1"},
        {"a line left unread at the last end, the window looked at", kInTray,
         [&](auto& lan) {
             leaveUnreadAndStartAgain(lan);
             lan->Click(QSystemTrayIcon::Trigger); // its log never showed the line
             ASSERT_TRUE(QTest::qWaitForWindowActive(lan->dialog.get()));
         },
         "Kestrane (1 unread) | Kestrane: 1 unread line, from PC2 | steady | PC2 | 0 chimes | 1"},
        {"a line left unread at the last end, then shown by Ctrl+U", kInTray,
         [&](auto& lan) {
             leaveUnreadAndStartAgain(lan);
             lan->Click(QSystemTrayIcon::Trigger);
             QTest::keyClick(lan->dialog.get(), Qt::Key_U, Qt::ControlModifier);
         },
         "Kestrane | Kestrane | steady | - | 0 chimes | 0"},
        {"a line left unread at the last end, then its conversation", kInTray,
         [&](auto& lan) {
             leaveUnreadAndStartAgain(lan);
             converse(*lan);
         },
         "Kestrane | Kestrane | steady | - | 0 chimes | 0"},
    };
    int run = 0;
    for (const Path& path : paths) {
        SCOPED_TRACE(path.name);
        QTemporaryDir history;
        LoopbackStart start = path.start;
        start.history = history.path();
        start.desktopBus = bus.Connect(QString("window-%1").arg(++run));
        auto lan = std::make_unique<LoopbackWindow>(start);
        ASSERT_TRUE(QTest::qWaitFor([&] { return lan->dialog->notifications->IsAvailable(); }));
        path.walk(lan);
        const QString effects = Signals(*lan);
        const auto open = lan->dialog->notifications->Open().size();
        EXPECT_TRUE(QTest::qWaitFor([&] { return dunst.Count() == open; }, 5000));
        lan.reset();
        EXPECT_EQ(QString("%1 | %2").arg(effects).arg(KeptUnread(history.path())).toStdString(),
                  path.effects);
    }
}

TEST(UnreadTest, TheTrayMenuLeadsWithWhatWaitsAndEndsWithQuit) {
    // Two lines while hidden; the menu's first item each time, then what choosing it opens.
    LoopbackWindow lan;
    lan.Receive(Datagram(4, "PC2", "one\r\n")), lan.Receive(Datagram(4, "PC3", "two\r\n"));
    const QList<QAction*> items = lan.dialog->Menus().TrayMenu().actions();
    QStringList seen;
    for (int time = 0; time < 3; ++time) {
        seen << items.first()->text();
        items.first()->trigger();
        seen << QString::number(lan.queue.current);
    }
    seen << items.first()->text() + (items.first()->isEnabled() ? "" : " (greyed)");
    EXPECT_EQ(seen.join(" / ").toStdString(),
              "&Read 2 unread lines / 1 / &Read 1 unread line / 0 / &Read waiting lines / 1 / "
              "&Read waiting lines");
    EXPECT_EQ(items.last()->text(), "&Quit Kestrane");
    items.last()->trigger();
    EXPECT_TRUE(lan.dialog->IsWindowDestroyed());
}

TEST(UnreadTest, TheCloseButtonAsksOnceBehindATrayAndDoesWhatThePersonChose) {
    // A tray or not, the way kept, the button pressed in the question and whether "Remember"
    // was ticked; then whether it asked, where the window is, and the way kept after.
    using Way = CloseChoice::Way;
    const std::tuple<bool, Way, QString, bool, std::string> rows[] = {
        {true, Way::Ask, "&Keep running", false, "asked, hidden, 0"},
        {true, Way::Ask, "&Keep running", true, "asked, hidden, 1"},
        {true, Way::Ask, "&Quit", true, "asked, ended, 2"},
        {true, Way::Ask, "Cancel", true, "asked, shown, 0"},
        {true, Way::KeepRunning, "", false, "not asked, hidden, 1"},
        {true, Way::Quit, "", false, "not asked, ended, 2"},
        {false, Way::KeepRunning, "", false, "not asked, ended, 1"}};
    for (const auto& [trayAvailable, kept, button, remember, effects] : rows) {
        SCOPED_TRACE(button.toStdString());
        CloseChoice().Keep(kept);
        LoopbackWindow lan(true, trayAvailable);
        bool asked = false;
        QTimer answer;
        answer.setSingleShot(true);
        QObject::connect(&answer, &QTimer::timeout, [&] {
            auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
            if (box == nullptr) {
                return;
            }
            asked = true;
            box->checkBox()->setChecked(remember);
            for (QAbstractButton* choice : box->buttons()) {
                if (choice->text() == button) {
                    choice->click();
                }
            }
        });
        answer.start(0);
        lan.dialog->close();
        const char* where = lan.dialog->IsWindowDestroyed() ? "ended"
                            : lan.dialog->isVisible()       ? "shown"
                                                            : "hidden";
        EXPECT_EQ(QString("%1, %2, %3")
                      .arg(asked ? "asked" : "not asked", where)
                      .arg(static_cast<int>(CloseChoice().Kept()))
                      .toStdString(),
                  effects);
    }
    CloseChoice().Keep(Way::Ask);
}

} // namespace
} // namespace kestrane::test
