#include "ui/history/HistoryWindow.h"

#include "tests/support/HistoryFile.h"
#include "ui/history/HistoryExport.h"
#include "ui/history/HistoryModel.h"

#include <QDateEdit>
#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSignalSpy>
#include <QTableView>
#include <QTemporaryDir>
#include <QTest>
#include <gtest/gtest.h>

namespace kestrane::test {
namespace {

using Delivery = HistoryRecord::Delivery;
const std::int64_t kDecemberFirst = QDate(2026, 12, 1).startOfDay().toMSecsSinceEpoch();

// 3,000 lines a minute apart from 1 December, local time; a few of them special.
void Special(HistoryRecord& r) {
    if (r.id == 1) {
        r.peer = "PC9";
        r.text = "<b>x</b>\r\n";
        r.unread = true;
    } else if (r.id == 2) {
        r.kind = HistoryRecord::Kind::FileOffer;
        r.text = "a.txt";
        r.detail = "Declined";
    } else if (r.id == 2000 || r.id == 3000) {
        r.outgoing = true;
        r.toEverybody = r.id == 2000;
        r.peer = r.id == 2000 ? "" : "PC3";
        r.text = r.id == 2000 ? "Zebra crossing\r\n" : "bye\r\n";
        r.delivery = r.id == 2000 ? Delivery::Partly : Delivery::Delivered;
    }
}

struct Window {
    explicit Window(int count = 3000, const std::function<void(HistoryRecord&)>& fill = Special)
        : made(count == 0 || MakeHistoryFile(path, count, kDecemberFirst, fill)) {
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
    const struct {
        int row, column;
        QString text;
    } cases[] = {{0, HistoryModel::kWhen, "2026-12-01 00:00:00"},
                 {0, HistoryModel::kWho, "PC9"},
                 {0, HistoryModel::kLine, "<b>x</b>"},
                 {0, HistoryModel::kDelivery, "Unread"},
                 {1, HistoryModel::kLine, "Files: a.txt (Declined)"},
                 {2, HistoryModel::kDelivery, ""},
                 {1999, HistoryModel::kWho, "To everybody"},
                 {1999, HistoryModel::kDelivery, "Partly delivered"},
                 {2999, HistoryModel::kWho, "To PC3"},
                 {2999, HistoryModel::kLine, "bye"},
                 {2999, HistoryModel::kDelivery, "Delivered"},
                 {2998, HistoryModel::kWhen, "2026-12-03 01:58:00"}};
    for (const auto& expected : cases) {
        SCOPED_TRACE(expected.text.toStdString());
        EXPECT_EQ(shown.Text(expected.row, expected.column), expected.text);
    }
    EXPECT_TRUE(shown.Text(0, HistoryModel::kLine, Qt::ToolTipRole).contains("&lt;b&gt;x"));
    const QTableView& table = shown.Find<QTableView>("rows");
    EXPECT_EQ(table.rowAt(table.viewport()->height() - 2), 2999);
}

TEST(HistoryWindowTest, SearchFindsWordStartsAndTakesQueryLanguageAsWords) {
    Window shown;
    const struct {
        QString typed;
        int rows;
    } cases[] = {{"zeb", 1},       {"ZEBRA cross", 1}, {"zebra nothing", 0},     {"pc3", 1},
                 {"line 14", 111}, {"peer:PC3", 0},    {"zebra\" OR \"line", 0}, {"NEAR(zebra", 0},
                 {"\" * ^", 3000}, {"", 3000}};
    for (const auto& expected : cases) {
        SCOPED_TRACE(expected.typed.toStdString());
        EXPECT_EQ(shown.Search(expected.typed), expected.rows);
    }
}

TEST(HistoryWindowTest, GoToDateLandsOnTheFirstRowOfThatDay) {
    Window shown;
    const struct {
        QDate date;
        int row;
    } cases[] = {{{2026, 12, 2}, 1440}, {{2026, 11, 1}, 0}, {{2027, 1, 1}, 2999}};
    for (const auto& expected : cases) {
        SCOPED_TRACE(expected.row);
        shown.Find<QDateEdit>("date").setDate(expected.date);
        shown.Find<QPushButton>("goToDate").click();
        EXPECT_EQ(shown.Find<QTableView>("rows").currentIndex().row(), expected.row);
    }
}

TEST(HistoryWindowTest, ExportWritesEveryRowFoundOneLineEach) {
    Window shown;
    ASSERT_EQ(shown.Search("line 14"), 111);
    QString error;
    ASSERT_TRUE(HistoryExport::Write(shown.Model(), shown.folder.filePath("out.txt"), error));
    QFile out(shown.folder.filePath("out.txt"));
    ASSERT_TRUE(out.open(QIODevice::ReadOnly));
    const QStringList lines = QString::fromUtf8(out.readAll()).split('\n');
    ASSERT_EQ(lines.size(), 112);
    EXPECT_EQ(lines.front(), "2026-12-01 00:13:00  PC2: line 14");
    EXPECT_EQ(lines[111 - 1], "2026-12-02 00:58:00  PC2: line 1499");
    EXPECT_FALSE(HistoryExport::Write(shown.Model(), shown.folder.filePath("no/out.txt"), error));
    EXPECT_FALSE(error.isEmpty());
}

TEST(HistoryWindowTest, NoDatabaseShowsANoteUntilARefreshFindsOne) {
    Window shown(0);
    EXPECT_EQ(shown.Model().rowCount(), 0);
    EXPECT_TRUE(shown.Find<QLabel>("note").text().contains("cannot be read"));
    ASSERT_TRUE(MakeHistoryFile(shown.path, 5, kDecemberFirst));
    shown.window.Refresh();
    EXPECT_EQ(shown.Model().rowCount(), 5);
}

TEST(HistoryWindowTest, SearchFindsOneLineAmongAHundredThousand) {
    Window shown(100000, [](HistoryRecord& r) { r.text = r.id == 77777 ? "needle here" : r.text; });
    ASSERT_EQ(shown.Search("needl"), 1);
    EXPECT_EQ(shown.Text(0, HistoryModel::kLine), "needle here");
}

} // namespace
} // namespace kestrane::test
