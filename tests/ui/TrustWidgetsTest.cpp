#include "core/identity/PeerKeys.h"
#include "security/Fingerprint.h"
#include "tests/ui/LoopbackWindow.h"
#include "ui/trust/KeyChangeBar.h"
#include "ui/trust/VerifyDialog.h"

#include <QLabel>
#include <QPushButton>
#include <QSignalSpy>
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

TEST(VerifyDialog, BothSidesShowTheSameCodeInGroups) {
    const VerifyDialog mine(QStringLiteral("PC2"), kOwn, kPeer, false);
    const VerifyDialog theirs(QStringLiteral("PC1"), kPeer, kOwn, false);
    const std::string code = Text(Child<QLabel>(mine, "code"));
    EXPECT_EQ(code, SafetyCode(kOwn, kPeer));
    EXPECT_EQ(code, Text(Child<QLabel>(theirs, "code")));
    EXPECT_EQ(Child<QLabel>(mine, "code").accessibleName().toStdString(), "Safety code " + code);
    EXPECT_EQ(Text(Child<QLabel>(mine, "ownFingerprint")), "This computer: " + Fingerprint(kOwn));
    EXPECT_EQ(Text(Child<QLabel>(mine, "peerFingerprint")), "PC2: " + Fingerprint(kPeer));
    EXPECT_EQ(Child<QPushButton>(mine, "match").text().toStdString(), "The codes match");
}

TEST(VerifyDialog, ShowsAMarkedUpNameAsItCame) {
    const VerifyDialog dialog(QStringLiteral("<b>x</b>"), kOwn, kPeer, true);
    EXPECT_EQ(dialog.windowTitle().toStdString(), "Verify <b>x</b>");
    EXPECT_EQ(Text(Child<QLabel>(dialog, "intro")),
              "Compare this code with the one <b>x</b>'s screen shows:");
    for (const QLabel* label : dialog.findChildren<QLabel*>()) {
        EXPECT_EQ(label->textFormat(), Qt::PlainText) << label->objectName().toStdString();
    }
    EXPECT_EQ(Child<QPushButton>(dialog, "match").text().toStdString(),
              "The codes match: accept this key");
}

TEST(VerifyDialog, MatchAcceptsAndDifferOffersBlock) {
    VerifyDialog dialog(QStringLiteral("PC2"), kOwn, kPeer, false);
    QSignalSpy matched(&dialog, &VerifyDialog::Matched);
    QSignalSpy blocked(&dialog, &VerifyDialog::BlockRequested);
    EXPECT_FALSE(Child<QPushButton>(dialog, "block").isVisibleTo(&dialog));
    Child<QPushButton>(dialog, "differ").click();
    EXPECT_TRUE(Child<QPushButton>(dialog, "block").isVisibleTo(&dialog));
    EXPECT_EQ(Text(Child<QLabel>(dialog, "differExplanation")),
              "The codes differ: another computer may be pretending to be PC2. Block this key so "
              "that nothing from it is shown as PC2's.");
    EXPECT_EQ(matched.count(), 0);
    Child<QPushButton>(dialog, "block").click();
    EXPECT_EQ(blocked.count(), 1);
    EXPECT_EQ(dialog.result(), QDialog::Rejected);
    VerifyDialog again(QStringLiteral("PC2"), kOwn, kPeer, false);
    QSignalSpy matchedAgain(&again, &VerifyDialog::Matched);
    Child<QPushButton>(again, "match").click();
    EXPECT_EQ(matchedAgain.count(), 1);
    EXPECT_EQ(again.result(), QDialog::Accepted);
}

const QString kRest = QStringLiteral(
    ". This is expected if PC2 was reinstalled or its key file was lost. It can also mean another "
    "computer is pretending to be PC2. Lines to PC2 wait until you decide; lines that come under "
    "the new key are marked.");

TEST(KeyChangeBar, TellsWhatChangedSinceWhen) {
    KeyChangeBar bar;
    const QDate may3(QDate::currentDate().year(), 5, 3);
    bar.Show({QStringLiteral("PC2"), may3, true, 0});
    EXPECT_FALSE(bar.isHidden());
    EXPECT_EQ(bar.Text().toStdString(),
              ("PC2 is using a different key. Since 3 May Kestrane has talked with PC2 under "
               "another key (you had verified it)" +
               kRest)
                  .toStdString());
    EXPECT_EQ(bar.accessibleDescription(), bar.Text());
    bar.Show({QStringLiteral("PC2"), QDate(2020, 5, 3), false, 3});
    EXPECT_EQ(Text(Child<QLabel>(bar, "explanation")),
              ("Since 3 May 2020 Kestrane has talked with PC2 under another key" + kRest +
               " 3 more new keys under this name wait too.")
                  .toStdString());
    bar.Clear();
    EXPECT_TRUE(bar.isHidden());
}

TEST(KeyChangeBar, ButtonsCarryTheNameAsItCame) {
    KeyChangeBar bar;
    const QString name = QStringLiteral("<b>x</b> & y");
    bar.Show({name, QDate(2020, 1, 1), false, 0});
    EXPECT_EQ(Text(Child<QLabel>(bar, "headline")), "<b>x</b> & y is using a different key.");
    EXPECT_EQ(Child<QLabel>(bar, "headline").textFormat(), Qt::PlainText);
    EXPECT_EQ(Child<QLabel>(bar, "explanation").textFormat(), Qt::PlainText);
    EXPECT_EQ(Child<QPushButton>(bar, "compare").text().toStdString(),
              "Compare codes with <b>x</b> && y…");
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

// A second key under a known name: the bar takes the top of the log's place in
// the main window until the person accepts the key, which then speaks for the host.
TEST(KeyChangeBar, WaitsAboveTheMainWindowsLogUntilTheNewKeyIsAccepted) {
    LoopbackWindow lan(true);
    PeerKeys& keys = *lan.dialog->Session().Keys();
    const std::optional<KeyPair> first = KeyPair::Generate();
    const std::optional<KeyPair> second = KeyPair::Generate();
    ASSERT_TRUE(first && second);
    const auto up = [](const KeyPair& key) {
        return SecureChannel::SessionUp{
            .address = "127.0.0.3", .peerName = "PC3", .peerKey = key.Public()};
    };
    auto* bar = lan.dialog->findChild<KeyChangeBar*>();
    const auto* log = lan.dialog->findChild<QWidget*>("1000");
    ASSERT_TRUE(bar && log);
    const QRect whole = log->geometry();
    keys.SessionUp(up(*first));
    EXPECT_TRUE(bar->isHidden());
    keys.SessionUp(up(*second));
    ASSERT_TRUE(bar->isVisible());
    EXPECT_EQ(bar->geometry().top(), whole.top());
    EXPECT_GT(log->geometry().top(), bar->geometry().bottom());
    EXPECT_EQ(log->geometry().bottom(), whole.bottom());
    EXPECT_EQ(keys.Keys().TrustedKey("pc3")->key, first->Public());

    bar->findChild<QPushButton*>("accept")->click();
    EXPECT_EQ(keys.Keys().TrustedKey("pc3")->key, second->Public());
    EXPECT_TRUE(bar->isHidden());
    EXPECT_EQ(log->geometry(), whole);
}

} // namespace
} // namespace kestrane::test
