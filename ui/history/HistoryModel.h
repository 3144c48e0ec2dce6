#pragma once

#include "core/delivery/LineTrust.h"
#include "core/history/HistorySearch.h"
#include "core/history/HistoryStore.h"

#include <QAbstractTableModel>
#include <QIcon>
#include <QString>
#include <array>
#include <cstdint>
#include <memory>
#include <unordered_map>
#include <vector>

class QSqlDatabase;

namespace kestrane {
class ReadConnection;
}

namespace kestrane {

/// The rows of the History window, oldest first, read lazily from the
/// history database through a read-only connection of its own: Load reads
/// only the ids and times of the rows that match; the other columns are read
/// a page at a time when a view asks for them, and only the pages used last
/// are kept. Every text is plain: display strings, and tooltips made with
/// Qt::convertFromPlainText. The sender of a line that came is decorated with
/// its TrustGlyph, whose words join its tooltip and are its accessible
/// description. UI thread only.
class HistoryModel : public QAbstractTableModel {
    Q_OBJECT

public:
    enum Column { kWhen, kWho, kLine, kDelivery, kColumns };
    static constexpr int kPageRows = 200;
    static constexpr std::size_t kMostPages = 16;

    /// A row as shown, every text one line.
    struct Row {
        QString when;     // local time, "2026-12-07 19:03:04"
        QString who;      // the sender, "To PC3" or "To everybody"
        QString line;     // without its line end; "Files: ..." for an offer
        QString delivery; // words, or empty
        QString whoTip;   // plain: the peer and its address
        QString lineTip;  // plain: the text as it came, lines kept
        LineTrust trust = LineTrust::Unknown;
        QString trustTip; // plain: the TrustGlyph's words, or empty
    };

    explicit HistoryModel(HistoryStore::ReadAccess access, QObject* parent = nullptr);
    ~HistoryModel() override;

    /// Opens the database afresh and lists the rows that `search` finds
    /// (every row when it is empty). False when the database cannot be read
    /// (no file yet, locked, damaged): no rows then, and Problem says why. A
    /// search the database rejects finds no row.
    bool Load(const HistorySearch::Condition& search);
    /// Why the last Load found the database unreadable; empty after a good one.
    QString Problem() const;

    /// The first row at or after `atMs`, or the last row when none is; -1 with no rows.
    int RowAtOrAfter(std::int64_t atMs) const;
    /// The first row whose id is `id` or later, or the last row; -1 with no rows.
    int RowOfId(std::int64_t id) const;
    std::int64_t IdAt(int row) const;

    /// `count` rows from `first` (fewer at the end) read now, not kept (for
    /// export); none when they cannot be read.
    std::vector<Row> ReadRows(int first, int count) const;

    int rowCount(const QModelIndex& parent = {}) const override;
    int columnCount(const QModelIndex& parent = {}) const override;
    QVariant data(const QModelIndex& index, int role) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role) const override;

private:
    struct Page {
        std::vector<Row> rows;
        std::uint64_t used = 0;
    };

    void ReadIds(const QSqlDatabase& database, const HistorySearch::Condition& search);
    const Row* RowAt(int row) const;

    std::unique_ptr<ReadConnection> connection;
    QString problem;
    std::vector<std::int64_t> ids;   // sorted; what the rows show
    std::vector<std::int64_t> times; // at_ms of each row
    // A cache filled from const data(): the pages read last, by page number.
    mutable std::unordered_map<int, Page> pages;
    mutable std::uint64_t useCount = 0;
    mutable std::array<QIcon, 6> trustIcons; // by trust, drawn when first shown
};

} // namespace kestrane
