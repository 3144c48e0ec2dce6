#include "ui/history/HistoryWindow.h"

#include "tests/support/HistoryFile.h"
#include "ui/history/HistoryExport.h"
#include "ui/history/HistoryModel.h"

#include <QDateEdit>
#include <QFile>
#include <QIcon>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSignalSpy>
#include <QTableView>
#include <QTemporaryDir>
#include <QTest>
#include <QTextDocumentFragment>
#include <gtest/gtest.h>

namespace kestrane::test {
namespace {

const std::int64_t kDecemberFirst = QDate(2026, 12, 1).startOfDay().toMSecsSinceEpoch();
// 3,000 lines a minute apart from 1 December, local time; a few of them special.
const QStringList kSpecial = {
    "UPDATE history SET peer = 'PC9', text = '<b>x</b>' || char(13, 10), unread = 1, "
    "to_everybody = 0 WHERE id = 1",
    "UPDATE history SET kind = 1, text = 'a.txt', detail = 'Declined' WHERE id = 2",
    "UPDATE history SET outgoing = 1, to_everybody = 1, peer = '', text = 'Zebra crossing',"
    " delivery = 5 WHERE id = 2000",
    "UPDATE history SET outgoing = 1, to_everybody = 0, peer = 'PC3', text = 'Да, \"lunch\"', "
    "delivery = 2 WHERE id = 3000",
    "UPDATE history SET trust = id - 5 WHERE id BETWEEN 5 AND 10",
    "UPDATE history SET trust = 4 "
    "WHERE id = 1"};

struct Window {
    explicit Window(int count = 3000, const QStringList& changes = kSpecial)
        : made(count == 0 || MakeHistoryFile(path, count, kDecemberFirst, changes)) {
        EXPECT_TRUE(made);
        window.show();
    }
    template <typename T> T& Find(const char* name) { return *window.findChild<T*>(name); }
    HistoryModel& Model() { return *static_cast<HistoryModel*>(Find<QTableView>("rows").model()); }
    QString Text(int row, int column, int role = Qt::DisplayRole) {
        return Model().data(Model().index(row, column), role).toString();
    }
    int Search(const QString& typed) {
        QSignalSpy reset(&Model(), &QAbstractItemModel::modelReset);
        Find<QLineEdit>("search").setText(typed);
        EXPECT_TRUE(QTest::qWaitFor([&] { return !reset.isEmpty(); }, 5000));
        return Model().rowCount();
    }
    QTemporaryDir folder;
    QString path = folder.filePath("history.db");
    bool made;
    HistoryWindow window{{path, "QSQLITE_OPEN_READONLY"}, {}};
};

TEST(HistoryWindowTest, ShowsEveryRowOldestFirstAsPlainTextScrolledToTheNewest) {
    Window shown;
    ASSERT_EQ(shown.Model().rowCount(), 3000);
    const std::pair<int, QString> cases[] = {
        {0, "2026-12-01 00:00:00|PC9, to you|<b>x</b>|Unread"},
        {1, "2026-12-01 00:01:00|PC2|Files: a.txt (Declined)|"},
        {1999, "2026-12-02 09:19:00|To everybody|Zebra crossing|Partly delivered"},
        {2999, "2026-12-03 01:59:00|To PC3|Да, \"lunch\"|Delivered"}};
    for (const auto& expected : cases) {
        QStringList texts;
        for (int column = 0; column < HistoryModel::kColumns; ++column) {
            texts << shown.Text(expected.first, column);
        }
        EXPECT_EQ(texts.join('|'), expected.second);
    }
    EXPECT_TRUE(shown.Text(0, HistoryModel::kLine, Qt::ToolTipRole).contains("&lt;b&gt;x"));
    // The sender of a line that came bears its trust: a glyph, words in its tooltip and
    // description.
    const QString verified = "Verified: the line came encrypted from PC9's key, whose code you "
                             "compared";
    EXPECT_EQ(shown.Text(0, HistoryModel::kWho, Qt::AccessibleDescriptionRole), verified);
    QStringList marked;
    // Unknown, Plain, NotAuthenticated, Private, Verified, NewKey
    for (int row = 4; row < 10; ++row) {
        const QModelIndex who = shown.Model().index(row, HistoryModel::kWho);
        const QString words = shown.Text(row, HistoryModel::kWho, Qt::AccessibleDescriptionRole);
        EXPECT_EQ(shown.Model().data(who, Qt::DecorationRole).value<QIcon>().isNull(),
                  words.isEmpty());
        const QString tip = shown.Text(row, HistoryModel::kWho, Qt::ToolTipRole);
        EXPECT_EQ(QTextDocumentFragment::fromHtml(tip).toPlainText(),
                  "PC2 (10.0.0.2)" + (words.isEmpty() ? "" : "\n" + words));
        marked << words.section(':', 0, 0).section(' ', 0, 1);
    }
    EXPECT_EQ(marked.join('|'), "||Not authenticated|Encrypted from|Verified|From a");
    const QTableView& table = shown.Find<QTableView>("rows");
    EXPECT_EQ(table.rowAt(table.viewport()->height() - 2), 2999);
}

TEST(HistoryWindowTest, SearchFindsAnyPartOfWordsAndTakesQueryLanguageAsWords) {
    Window shown;
    const std::pair<QString, int> cases[] = {
        {"zeb", 1},        {"ZEBRA cross", 1}, {"zebra nothing", 0},
        {"pc3", 1},        {"unch", 1},        {"ine 299", 13},
        {"e 14", 159},     {"99", 57},         {"дА", 1},
        {"unch\"", 1},     {"\"", 1},          {"%", 0},
        {"_", 0},          {"peer:PC3", 0},    {"zebra\" OR \"line", 0},
        {"NEAR(zebra", 0}, {"zeb*", 0},        {"^zeb", 0},
        {"", 3000}};
    for (const auto& expected : cases) {
        SCOPED_TRACE(expected.first.toStdString());
        EXPECT_EQ(shown.Search(expected.first), expected.second);
    }
}

TEST(HistoryWindowTest, GoToDateLandsOnTheFirstRowOfThatDay) {
    Window shown;
    const std::pair<QDate, int> cases[] = {
        {{2026, 12, 2}, 1440}, {{2026, 11, 1}, 0}, {{2027, 1, 1}, 2999}};
    for (const auto& expected : cases) {
        SCOPED_TRACE(expected.second);
        shown.Find<QDateEdit>("date").setDate(expected.first);
        shown.Find<QPushButton>("goToDate").click();
        EXPECT_EQ(shown.Find<QTableView>("rows").currentIndex().row(), expected.second);
    }
}

TEST(HistoryWindowTest, ExportWritesEveryRowFoundOneLineEach) {
    Window shown;
    ASSERT_EQ(shown.Search("ine 1"), 1541); // more pages than were ever loaded
    QString error;
    ASSERT_TRUE(HistoryExport::Write(shown.Model(), shown.folder.filePath("out.txt"), error));
    QFile out(shown.folder.filePath("out.txt"));
    out.open(QIODevice::ReadOnly);
    const QStringList lines = QString::fromUtf8(out.readAll()).split('\n');
    ASSERT_EQ(lines.size(), 1542);
    EXPECT_EQ(lines.front(), "2026-12-01 00:09:00  PC2: line 10  (new key)");
    EXPECT_EQ(lines[1541 - 1], "2026-12-03 01:50:00  PC2: line 2991");
    EXPECT_FALSE(HistoryExport::Write(shown.Model(), shown.folder.filePath("no/x"), error) ||
                 error.isEmpty());
}

TEST(HistoryWindowTest, NoDatabaseShowsANoteUntilARefreshFindsOne) {
    Window shown(0);
    EXPECT_TRUE(shown.Find<QLabel>("note").text().contains("cannot be read"));
    ASSERT_TRUE(MakeHistoryFile(shown.path, 5, kDecemberFirst));
    shown.window.Refresh();
    EXPECT_EQ(shown.Model().rowCount(), 5);
}

} // namespace
} // namespace kestrane::test
