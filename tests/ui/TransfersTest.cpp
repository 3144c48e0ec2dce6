#include "core/NetworkText.h"
#include "files/FileFetcher.h"
#include "files/FileNotice.h"
#include "files/OfferToken.h"
#include "tests/support/LoopbackAddress.h"
#include "ui/CTransfersDlg.h"
#include "ui/UiMessageBox.h"

#include <QDir>
#include <QFile>
#include <QLocale>
#include <QPushButton>
#include <QRegularExpression>
#include <QTableWidget>
#include <QTemporaryDir>
#include <QTest>
#include <QTextDocument>
#include <QUrl>
#include <fstream>
#include <gtest/gtest.h>

namespace kestrane::test {
namespace {

using State = FileTransfers::State;

// FileTransfers on 127.0.0.1:`port`, with the notices it sends and the notes it writes recorded.
struct Recorded {
    // With `identity`, a host whose peer is keyed with `peerKey`: notices go sealed.
    explicit Recorded(int serverPort = FreePort(SOCK_STREAM), const KeyPair* identity = nullptr,
                      std::optional<PublicKey> peerKey = std::nullopt)
        : port(serverPort),
          transfers({[this](const std::string&, const std::string& text) {
                         sent.push_back(text);
                         return SendResult::Sent;
                     },
                     [this](const QString& note) { notes << note; }, [] {},
                     [peerKey](const std::string&) { return peerKey.has_value(); },
                     [peerKey](const std::string&) -> std::optional<FileTransfers::PrivatePeer> {
                         if (!peerKey) {
                             return std::nullopt;
                         }
                         return FileTransfers::PrivatePeer{*peerKey, "127.0.0.1"};
                     },
                     [this](const std::string&, const std::string& text) {
                         sent.push_back("sealed " + text);
                         return true;
                     }},
                    port, identity) {}
    void Hear(const std::string& address, const std::string& title, const std::string& peer = "PC2",
              FileNotice::Kind kind = FileNotice::Kind::Offer, std::string token = {}) {
        token = token.empty() ? *OfferToken::Make() : token;
        transfers.OnNotice(peer, address, FileNotice{kind, token, 1, 2048, title}.Compose());
    }
    // Offers a file of its own to 127.0.0.1, and returns the notice once the offer is out.
    std::string OfferFile(const QString& name, std::size_t size = 0) {
        EXPECT_TRUE(transfers.Open());
        std::ofstream(QFile::encodeName(folder.filePath(name)).toStdString())
            << (size == 0 ? std::string("hello") : std::string(size, 'x'));
        transfers.Offer("PC7", "127.0.0.1", {folder.filePath(name)});
        EXPECT_TRUE(QTest::qWaitFor([&] { return !sent.empty(); }, 5000));
        return sent.empty() ? std::string() : sent.back();
    }
    QString Titles(State state) const {
        QString titles;
        for (const auto& transfer : transfers.Transfers()) {
            titles += transfer.state == state ? transfer.title + ' ' : QString();
        }
        return titles.trimmed();
    }
    const int port;
    std::vector<std::string> sent;
    QStringList notes;
    QTemporaryDir folder;
    FileTransfers transfers;
};

TEST(TransfersTest, OfferEndsOnlyOnAnswerFromItsRecipient) {
    const std::tuple<FileNotice::Kind, std::string, State> rows[] = {
        {FileNotice::Kind::Decline, "127.0.0.1", State::Declined},
        {FileNotice::Kind::Received, "127.0.0.1", State::Done},
        {FileNotice::Kind::Decline, "127.0.0.5", State::Offered},
        {FileNotice::Kind::Received, "127.0.0.5", State::Offered}};
    for (const auto& [kind, from, state] : rows) {
        SCOPED_TRACE(from + " " + std::to_string(static_cast<int>(kind)));
        Recorded sender;
        const std::string token = FileNotice::Parse(sender.OfferFile("a.txt"))->token;
        sender.Hear(from, {}, "PC2", kind, token);
        EXPECT_EQ(sender.transfers.Transfers().front().state, state);
        std::string error; // what was ended is no longer served
        EXPECT_EQ(FileFetcher("127.0.0.1", sender.port, token).List(error).has_value(),
                  state == State::Offered);
    }
}

TEST(TransfersTest, AnOfferEndedByEitherSideIsNotedInBothLogs) {
    // Who ends the offer, and when; then the last note on each side.
    enum class End { SenderWithdraws, ReceiverDeclines, ReceiverCancelsTheFetch };
    const std::tuple<End, std::string, std::string> rows[] = {
        {End::SenderWithdraws, "You withdrew the offer of \"a.bin\" to PC7",
         "PC1 withdrew its offer of \"a.bin\""},
        {End::ReceiverDeclines, "PC7 declined \"a.bin\"", "You declined \"a.bin\" from PC1"},
        {End::ReceiverCancelsTheFetch, "PC7 declined \"a.bin\"",
         "You cancelled \"a.bin\" from PC1"}};
    for (const auto& [end, senderNote, receiverNote] : rows) {
        SCOPED_TRACE(senderNote);
        Recorded sender;
        Recorded receiver(sender.port);
        // Large enough that the fetch is still under way when it is cancelled.
        receiver.transfers.OnNotice("PC1", "127.0.0.1", sender.OfferFile("a.bin", 64 << 20));
        const int offer = receiver.transfers.Transfers().back().id;
        const std::size_t answered = receiver.sent.size();
        if (end == End::SenderWithdraws) {
            sender.transfers.Cancel(sender.transfers.Transfers().back().id);
            receiver.transfers.OnNotice("PC1", "127.0.0.1", sender.sent.back());
        } else {
            if (end == End::ReceiverCancelsTheFetch) {
                receiver.transfers.Accept(offer, receiver.folder.path());
            }
            receiver.transfers.Cancel(offer);
            ASSERT_TRUE(QTest::qWaitFor([&] { return receiver.sent.size() > answered; }, 5000));
            sender.transfers.OnNotice("PC7", "127.0.0.1", receiver.sent.back());
        }
        ASSERT_FALSE(sender.notes.isEmpty());
        ASSERT_FALSE(receiver.notes.isEmpty());
        EXPECT_EQ(sender.notes.back().toStdString(), senderNote);
        EXPECT_EQ(receiver.notes.back().toStdString(), receiverNote);
        EXPECT_EQ(sender.transfers.Transfers().back().state,
                  end == End::SenderWithdraws ? State::Cancelled : State::Declined);
    }
}

TEST(TransfersTest, HostsWithKnownKeysTradeOffersAndFilesOnlyPrivately) {
    const auto senderKeys = KeyPair::Generate(), receiverKeys = KeyPair::Generate();
    Recorded sender(FreePort(SOCK_STREAM), &*senderKeys, receiverKeys->Public());
    Recorded receiver(sender.port, &*receiverKeys, senderKeys->Public());
    const std::string notice = sender.OfferFile("a.bin", 6 << 20);
    ASSERT_EQ(sender.sent.size(), 1u);
    ASSERT_TRUE(notice.starts_with("sealed FILES/3 OFFER ")) << notice;
    const std::string offer = notice.substr(7), token = FileNotice::Parse(offer)->token;
    std::string error;
    EXPECT_FALSE(FileFetcher("127.0.0.1", sender.port, token).List(error));
    EXPECT_EQ(error, "127.0.0.1 says: this offer must be fetched privately");
    // In the clear, under the keyed name, neither version is believed.
    receiver.Hear("127.0.0.1", "a.bin", "PC1", FileNotice::Kind::Offer, token);
    receiver.transfers.OnNotice("PC1", "127.0.0.1", offer);
    EXPECT_TRUE(receiver.transfers.Transfers().empty());
    receiver.transfers.OnPrivateNotice("PC1", "127.0.0.1", offer, senderKeys->Public());
    ASSERT_EQ(receiver.transfers.Transfers().size(), 1u);
    receiver.transfers.Accept(receiver.transfers.Transfers().front().id, receiver.folder.path());
    ASSERT_TRUE(QTest::qWaitFor([&] { return !receiver.sent.empty(); }, 20000));
    EXPECT_EQ(receiver.Titles(State::Done), "a.bin") << receiver.notes.join('\n').toStdString();
    EXPECT_EQ(receiver.sent.back(), "sealed FILES/3 RECEIVED " + token + "\r\n");
    sender.transfers.OnPrivateNotice("PC7", "127.0.0.1", receiver.sent.back().substr(7),
                                     receiverKeys->Public());
    EXPECT_EQ(sender.Titles(State::Done), "a.bin");
}

TEST(TransfersTest, AFolderOfferReadsAsAFolderOfItsFilesOnBothSidesInWhateverOrderItsNoticesCome) {
    for (const bool reordered : {false, true}) {
        SCOPED_TRACE(reordered);
        Recorded sender;
        Recorded receiver(sender.port);
        const QDir folder(sender.folder.path());
        ASSERT_TRUE(folder.mkpath("photos/2024"));
        for (const char* name : {"photos/a.jpg", "photos/b.jpg", "photos/2024/c.jpg"}) {
            std::ofstream(QFile::encodeName(folder.filePath(name)).toStdString()) << "1234";
        }
        ASSERT_TRUE(sender.transfers.Open());
        sender.transfers.Offer("PC7", "127.0.0.1", {folder.filePath("photos")});
        ASSERT_TRUE(QTest::qWaitFor([&] { return sender.sent.size() == 3; }, 5000));
        std::vector<std::string> notices = sender.sent;
        if (reordered) {
            std::rotate(notices.begin(), notices.begin() + 1, notices.end());
        }
        for (const std::string& notice : notices) {
            receiver.transfers.OnNotice("PC1", "127.0.0.1", notice);
        }
        const QString what = "folder photos, 3 files, " + QLocale::system().formattedDataSize(12);
        EXPECT_EQ(sender.notes.back(), "Offered " + what + " to PC7");
        EXPECT_EQ(FileTransfers::Describe(receiver.transfers.Transfers().back()), what);
    }
}

TEST(TransfersTest, WaitingOffersAreBoundedAndNewcomersStillGetIn) {
    // Hosts 10.1.0.N offer `each` files ("N.i"), the first perhaps again; then a newcomer.
    const std::tuple<int, int, bool, QString> rows[] = {
        {1, 5, false, "0.0"}, {64, 1, false, "0.0"}, {64, 1, true, "1.0"}, {16, 4, false, "0.0"}};
    for (const auto& [hosts, each, again, dropped] : rows) {
        SCOPED_TRACE(dropped.toStdString() + " " + std::to_string(hosts));
        Recorded receiver;
        for (int offer = 0; offer < hosts * each; ++offer) {
            const std::string host = std::to_string(offer / each);
            receiver.Hear("10.1.0." + host, host + "." + std::to_string(offer % each));
        }
        const auto& first = receiver.transfers.Transfers().front();
        if (again) {
            receiver.Hear(first.address, "0.0", "PC2", FileNotice::Kind::Offer, first.token);
        }
        receiver.Hear("10.2.0.1", "new");
        EXPECT_EQ(receiver.Titles(State::Cancelled), dropped);
        EXPECT_TRUE(receiver.Titles(State::Waiting).endsWith("new"));
        EXPECT_EQ(receiver.transfers.WaitingCount(), std::min(hosts * each, 64));
    }
}

// What a tooltip shows: Qt renders one that looks like HTML as rich text.
QString Shown(const QString& toolTip) {
    QTextDocument document;
    document.setHtml(toolTip);
    return Qt::mightBeRichText(toolTip) ? document.toPlainText() : toolTip;
}

TEST(TransfersTest, NetworkTextIsShownAsOnePlainLine) {
    // A peer's name and title, in notes, the list and tooltips once the peer withdraws.
    const std::pair<std::string, std::string> rows[] = {
        {"PC2\r\n*** PC9 joined", "a.txt"},
        {"PC2", "a.txt\r\n*** PC9 left\x07"},
        {"<img src=\"nowhere.png\">&amp;", "<b>a</b>"}};
    for (const auto& [peer, title] : rows) {
        SCOPED_TRACE(peer + title);
        Recorded receiver;
        receiver.Hear("10.1.0.1", title, peer);
        receiver.Hear("10.1.0.1", {}, peer, FileNotice::Kind::Withdraw,
                      receiver.transfers.Transfers().front().token);
        CTransfersDlg dialog(receiver.transfers);
        const auto* table = dialog.findChild<QTableWidget*>();
        QStringList shown = receiver.notes;
        for (int column = 0; column < table->columnCount(); ++column) {
            if (const QTableWidgetItem* item = table->item(0, column)) {
                shown << item->text() << Shown(item->toolTip());
            }
        }
        EXPECT_FALSE(shown.join('|').contains(QRegularExpression("[\\x00-\\x1f]")));
        EXPECT_EQ(Shown(table->item(0, 1)->toolTip()),
                  "Withdrawn by " + OneLineText(QString::fromStdString(peer)));
    }
}

TEST(TransfersTest, ViewActsOnTheChosenRowWithButtonsThatStayInSight) {
    Recorded sender;
    Recorded receiver(sender.port);
    for (int host = 0; host < 40; ++host) {
        receiver.Hear("127.1.0." + std::to_string(host), "forged");
    }
    sender.OfferFile("report.txt");
    // Both versions of the offer, the older first as a network may reorder
    // them: one offer, taken in the newer.
    ASSERT_EQ(sender.sent.size(), 2u);
    EXPECT_EQ(FileNotice::Parse(sender.sent[0])->version, 2);
    EXPECT_EQ(FileNotice::Parse(sender.sent[0])->token, FileNotice::Parse(sender.sent[1])->token);
    receiver.transfers.OnNotice("PC7", "127.0.0.1", sender.sent[1]);
    receiver.transfers.OnNotice("PC7", "127.0.0.1", sender.sent[0]);
    EXPECT_EQ(receiver.transfers.Transfers().back().version, 2);
    std::vector<QUrl> opened;
    CTransfersDlg dialog(receiver.transfers, [&](const QUrl& url) { opened.push_back(url); });
    dialog.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&dialog));
    auto* table = dialog.findChild<QTableWidget*>();
    auto click = [&](const char* name) {
        auto* button = dialog.findChild<QPushButton*>(name);
        EXPECT_FALSE(button->visibleRegion().isEmpty()) << name;
        QTest::mouseClick(button, Qt::LeftButton);
    };
    EXPECT_EQ(table->item(40, 2)->text(), QLocale::system().formattedDataSize(5));
    table->selectRow(39); // choosing a row is not answering it
    QTest::keyClick(table, Qt::Key_Return);
    EXPECT_EQ(receiver.transfers.WaitingCount(), 41);
    click("decline");
    receiver.transfers.Accept(receiver.transfers.Transfers().back().id, receiver.folder.path());
    ASSERT_TRUE(QTest::qWaitFor([&] { return receiver.Titles(State::Done) == "report.txt"; }));
    table->selectRow(40);
    click("open");
    click("showFolder");
    const QDir folder(receiver.folder.path());
    EXPECT_EQ(opened, (std::vector{QUrl::fromLocalFile(folder.filePath("report.txt")),
                                   QUrl::fromLocalFile(folder.path())}));
    // An offer that comes while a finished row is chosen is the one the buttons answer;
    // one that comes while the person chooses among waiting offers is not.
    auto chosenTitle = [&] {
        const QList<QTableWidgetItem*> chosen = table->selectedItems();
        return chosen.isEmpty() ? QString() : table->item(chosen.front()->row(), 1)->text();
    };
    receiver.Hear("127.2.0.1", "new");
    EXPECT_EQ(chosenTitle(), "new");
    EXPECT_TRUE(dialog.findChild<QPushButton*>("accept")->isEnabled());
    table->selectRow(0);
    receiver.Hear("127.2.0.2", "newer");
    EXPECT_EQ(chosenTitle(), "forged");
    click("clearFinished");
    EXPECT_EQ(table->rowCount(), 41);
    int asked = 0; // waiting offers do not keep the program; an offer out does
    const QuestionHook previous = SetQuestionHook([&](const QString&) { return ++asked > 1; });
    EXPECT_TRUE(CTransfersDlg::MayQuit(receiver.transfers, nullptr));
    sender.OfferFile("report.txt");
    EXPECT_FALSE(CTransfersDlg::MayQuit(sender.transfers, nullptr));
    EXPECT_TRUE(CTransfersDlg::MayQuit(sender.transfers, nullptr));
    SetQuestionHook(previous);
}

} // namespace
} // namespace kestrane::test
