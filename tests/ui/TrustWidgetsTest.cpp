#include "core/delivery/EverybodySetting.h"
#include "core/identity/PeerKeys.h"
#include "core/roster/HostRoster.h"
#include "security/Fingerprint.h"
#include "tests/ui/LoopbackWindow.h"
#include "ui/WindowStretch.h"
#include "ui/trust/EverybodyNote.h"
#include "ui/trust/KeyChangeBar.h"
#include "ui/trust/KnownKeysTable.h"
#include "ui/trust/VerifyDialog.h"

#include <QComboBox>
#include <QDialog>
#include <QLabel>
#include <QMenu>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QSignalSpy>
#include <QTableWidget>
#include <gtest/gtest.h>
#include <stdexcept>

namespace kestrane::test {
namespace {

const PublicKey kOwn{1, 2, 3};
const PublicKey kPeer{9, 8, 7};

template <typename T> T& Child(const QWidget& parent, const char* name) {
    T* child = parent.findChild<T*>(QLatin1String(name));
    if (child == nullptr) {
        throw std::runtime_error(std::string("no child ") + name);
    }
    return *child;
}

std::string Text(const QLabel& label) {
    return label.text().toStdString();
}

// Both screens show one code; a peer's name stays plain text; the answers are reported.
TEST(VerifyDialog, BothSidesShowOneCodeAndTheAnswersAreReported) {
    const VerifyDialog theirs(QStringLiteral("PC1"), kPeer, kOwn, false);
    VerifyDialog mine(QStringLiteral("<b>x</b>"), kOwn, kPeer, true);
    const std::string code = Text(Child<QLabel>(mine, "code"));
    EXPECT_EQ(code, SafetyCode(kOwn, kPeer));
    EXPECT_EQ(code, Text(Child<QLabel>(theirs, "code")));
    EXPECT_EQ(Child<QLabel>(mine, "code").accessibleName().toStdString(), "Safety code " + code);
    EXPECT_EQ(mine.windowTitle().toStdString(), "Verify <b>x</b>");
    for (const QLabel* label : mine.findChildren<QLabel*>()) {
        EXPECT_EQ(label->textFormat(), Qt::PlainText) << label->objectName().toStdString();
    }
    EXPECT_EQ(Child<QPushButton>(mine, "match").text().toStdString(),
              "The codes &match: accept this key");
    EXPECT_EQ(Child<QPushButton>(mine, "match").accessibleName().toStdString(),
              "The codes match: accept this key");
    QSignalSpy blocked(&mine, &VerifyDialog::BlockRequested);
    EXPECT_FALSE(Child<QPushButton>(mine, "block").isVisibleTo(&mine));
    Child<QPushButton>(mine, "differ").click();
    Child<QPushButton>(mine, "block").click();
    EXPECT_EQ(blocked.count(), 1);
    EXPECT_EQ(mine.result(), QDialog::Rejected);
    VerifyDialog again(QStringLiteral("PC2"), kOwn, kPeer, false);
    QSignalSpy matched(&again, &VerifyDialog::Matched);
    Child<QPushButton>(again, "match").click();
    EXPECT_EQ(matched.count(), 1);
}

// The setting is the menu's to change; the note under the log follows it and
// the broadcast entry, and the log gives up its bottom to the note meanwhile.
TEST(EverybodyNote, FollowsTheSettingAndTheBroadcastEntryBelowTheLog) {
    EverybodySetting::SetOnlyKestrane(false);
    QDialog window;
    window.resize(420, 360);
    auto* log = new QPlainTextEdit(&window);
    log->setGeometry(10, 10, 400, 300);
    auto* roster = new QComboBox(&window);
    roster->setGeometry(10, 320, 400, 24);
    roster->addItems({QStringLiteral("<< Broadcast >>"), QStringLiteral("PC2")});
    int hosts = 2;
    auto* stretch = new WindowStretch(window, *log);
    auto* note = new EverybodyNote(window, [&] { return hosts; });
    note->Attach(*stretch, *roster);
    const QLabel& shown = Child<QLabel>(window, "everybodyNote");
    EXPECT_TRUE(shown.isHidden());

    QMenu menu;
    note->AddItem(menu);
    QAction* only = menu.actions().back();
    ASSERT_TRUE(only->isCheckable());
    EXPECT_FALSE(only->isChecked());
    only->trigger();
    EXPECT_TRUE(EverybodySetting::OnlyKestrane());
    ASSERT_FALSE(shown.isHidden());
    EXPECT_EQ(shown.textFormat(), Qt::PlainText);
    EXPECT_NE(Text(shown).find("the 2 Kestrane hosts"), std::string::npos) << Text(shown);
    EXPECT_GT(shown.geometry().top(), log->geometry().bottom());
    EXPECT_LE(shown.geometry().bottom(), 310);
    EXPECT_LT(log->height(), 300);

    roster->setCurrentIndex(1);
    EXPECT_TRUE(shown.isHidden());
    EXPECT_EQ(log->height(), 300);
    hosts = 0;
    roster->setCurrentIndex(0);
    EXPECT_NE(Text(shown).find("none is present"), std::string::npos) << Text(shown);
    only->trigger();
    EXPECT_FALSE(EverybodySetting::OnlyKestrane());
    EXPECT_TRUE(shown.isHidden());
}

TEST(KeyChangeBar, TellsWhatChangedAndItsButtonsCarryTheNameAsItCame) {
    KeyChangeBar bar;
    bar.Show({QStringLiteral("PC2"), QDate(2020, 5, 3), true, 3});
    EXPECT_TRUE(Text(Child<QLabel>(bar, "explanation"))
                    .starts_with("Since 3 May 2020 Kestrane has talked with PC2 under another key "
                                 "(you had verified it). "));
    EXPECT_TRUE(bar.Text().endsWith(QStringLiteral(" 3 more new keys under this name wait too.")));
    const QString name = QStringLiteral("<b>x</b> & y");
    bar.Show({name, QDate(2020, 1, 1), false, 0});
    EXPECT_EQ(Text(Child<QLabel>(bar, "headline")), "<b>x</b> & y is using a different key.");
    EXPECT_EQ(Child<QLabel>(bar, "headline").textFormat(), Qt::PlainText);
    EXPECT_EQ(Child<QPushButton>(bar, "compare").text().toStdString(),
              "&Compare codes with <b>x</b> && y…");
    QSignalSpy compare(&bar, &KeyChangeBar::CompareRequested);
    QSignalSpy accept(&bar, &KeyChangeBar::AcceptRequested);
    QSignalSpy block(&bar, &KeyChangeBar::BlockRequested);
    for (const char* button : {"compare", "accept", "block"}) {
        Child<QPushButton>(bar, button).click();
    }
    for (const QSignalSpy* spy : {&compare, &accept, &block}) {
        ASSERT_EQ(spy->count(), 1);
        EXPECT_EQ(spy->at(0).at(0).toString(), name);
    }
}

} // namespace
} // namespace kestrane::test

namespace kestrane::test {
namespace {

// A session proving `key` under the name PC3.
SecureChannel::SessionUp Up(const KeyPair& key) {
    return {.address = "127.0.0.3", .peerName = "PC3", .peerKey = key.Public()};
}

// A second key under a known name: the bar takes the top of the log's place in
// the main window until the person accepts the key, which then speaks for the host.
TEST(KeyChangeBar, WaitsAboveTheMainWindowsLogUntilTheNewKeyIsAccepted) {
    LoopbackWindow lan(true);
    PeerKeys& keys = *lan.dialog->Session().Keys();
    const std::optional<KeyPair> first = KeyPair::Generate();
    const std::optional<KeyPair> second = KeyPair::Generate();
    ASSERT_TRUE(first && second);
    auto* bar = lan.dialog->findChild<KeyChangeBar*>();
    const auto* log = lan.dialog->findChild<QWidget*>("1000");
    ASSERT_TRUE(bar && log);
    const QRect whole = log->geometry();
    lan.dialog->Session().AddPeer("PC3", "127.0.0.3");
    const HostRoster& hosts = lan.dialog->Session().Hosts();
    const auto said = [&] {
        return hosts.data(hosts.index(hosts.Find("PC3")), Qt::ToolTipRole).toString().toStdString();
    };
    EXPECT_EQ(said(), "");
    keys.SessionUp(Up(*first));
    EXPECT_TRUE(bar->isHidden());
    EXPECT_EQ(said().rfind("Key known since ", 0), 0u) << said();
    keys.SessionUp(Up(*second));
    ASSERT_TRUE(bar->isVisible());
    EXPECT_EQ(said(), "Uses a different key than before: decide in the bar above the log");
    EXPECT_EQ(bar->geometry().top(), whole.top());
    EXPECT_GT(log->geometry().top(), bar->geometry().bottom());
    EXPECT_EQ(log->geometry().bottom(), whole.bottom());
    EXPECT_EQ(keys.Keys().TrustedKey("pc3")->key, first->Public());

    bar->findChild<QPushButton*>("accept")->click();
    EXPECT_EQ(keys.Keys().TrustedKey("pc3")->key, second->Public());
    EXPECT_TRUE(bar->isHidden());
    EXPECT_EQ(log->geometry(), whole);
    EXPECT_TRUE(keys.Verify("PC3", second->Public()));
    EXPECT_EQ(said(), "Key verified by comparing codes");
}

// Each key a row in words; Unblock and Forget act on the row chosen.
TEST(KnownKeysTable, ListsEachKeyAndUnblocksOrForgetsTheRowChosen) {
    LoopbackWindow lan(true);
    PeerKeys& keys = *lan.dialog->Session().Keys();
    const std::optional<KeyPair> first = KeyPair::Generate();
    const std::optional<KeyPair> second = KeyPair::Generate();
    ASSERT_TRUE(first && second);
    keys.SessionUp(Up(*first));
    keys.SessionUp(Up(*second));
    keys.Block("PC3", second->Public());
    KnownKeysTable table(keys, *lan.dialog->Session().Identity());
    auto& rows = Child<QTableWidget>(table, "knownKeys");
    ASSERT_EQ(rows.rowCount(), 2);
    EXPECT_EQ(rows.item(0, 1)->text().toStdString(), Fingerprint(first->Public()));
    EXPECT_EQ(rows.item(0, 2)->text().toStdString(), "Trusted, not verified");
    EXPECT_EQ(rows.item(1, 2)->text().toStdString(), "Blocked");
    rows.selectRow(1);
    EXPECT_FALSE(Child<QPushButton>(table, "forget").isEnabled());
    Child<QPushButton>(table, "unblock").click();
    EXPECT_FALSE(keys.Keys().StateOf("PC3", second->Public()));
    ASSERT_EQ(rows.rowCount(), 1);
    rows.selectRow(0);
    Child<QPushButton>(table, "forget").click();
    EXPECT_FALSE(keys.Keys().TrustedKey("PC3"));
    EXPECT_EQ(rows.rowCount(), 0);
}

} // namespace
} // namespace kestrane::test
