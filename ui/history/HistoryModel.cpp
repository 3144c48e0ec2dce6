#include "ui/history/HistoryModel.h"

#include "core/NetworkText.h"
#include "core/history/HistoryRecord.h"
#include "core/history/ReadConnection.h"
#include "ui/trust/TrustGlyph.h"

#include <QDateTime>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QTextDocument>
#include <algorithm>

namespace kestrane {
namespace {

// The columns that ReadRows selects, in its order.
enum Field {
    kId,
    kAt,
    kKind,
    kOutgoing,
    kToEverybody,
    kPeer,
    kAddress,
    kText,
    kDelivery,
    kDetail,
    kUnread,
    kInOutbox,
    kTrust
};

QString DeliveryWords(const QSqlQuery& query) {
    if (!query.value(kOutgoing).toBool()) {
        return query.value(kUnread).toBool() ? QStringLiteral("Unread") : QString();
    }
    if (query.value(kInOutbox).toBool()) {
        return QStringLiteral("In the outbox");
    }
    switch (static_cast<HistoryRecord::Delivery>(query.value(kDelivery).toInt())) {
    case HistoryRecord::Delivery::None:
        return {};
    case HistoryRecord::Delivery::Pending:
        return QStringLiteral("Waiting");
    case HistoryRecord::Delivery::Delivered:
        return QStringLiteral("Delivered");
    case HistoryRecord::Delivery::DeliveredLate:
        return QStringLiteral("Delivered late");
    case HistoryRecord::Delivery::NotDelivered:
        return QStringLiteral("Not delivered");
    case HistoryRecord::Delivery::Partly:
        return QStringLiteral("Partly delivered");
    case HistoryRecord::Delivery::NoReceipts:
        return QStringLiteral("No receipts");
    }
    return {};
}

QString WithoutLineEnd(QString text) {
    while (text.endsWith(QChar('\n')) || text.endsWith(QChar('\r'))) {
        text.chop(1);
    }
    return text;
}

HistoryModel::Row MakeRow(const QSqlQuery& query) {
    HistoryModel::Row row;
    row.when = QDateTime::fromMSecsSinceEpoch(query.value(kAt).toLongLong())
                   .toString(QStringLiteral("yyyy-MM-dd HH:mm:ss"));
    const QString peer = OneLineText(query.value(kPeer).toString());
    if (!query.value(kOutgoing).toBool()) {
        row.who = query.value(kToEverybody).toBool() ? peer : peer + QStringLiteral(", to you");
    } else if (query.value(kToEverybody).toBool() || peer.isEmpty()) {
        row.who = QStringLiteral("To everybody");
    } else {
        row.who = QStringLiteral("To ") + peer;
    }
    const QString address = query.value(kAddress).toString();
    row.whoTip = address.isEmpty() ? peer : peer + QStringLiteral(" (") + address + QChar(')');
    row.lineTip = WithoutLineEnd(query.value(kText).toString());
    // Whatever a peer put inside its line, a row stays one line, here and in an export.
    row.line = OneLineText(row.lineTip);
    if (query.value(kKind).toInt() == static_cast<int>(HistoryRecord::Kind::FileOffer)) {
        row.line = QStringLiteral("Files: ") + row.line;
        const QString detail = OneLineText(query.value(kDetail).toString());
        if (!detail.isEmpty()) {
            row.line += QStringLiteral(" (") + detail + QChar(')');
        }
    }
    row.delivery = DeliveryWords(query);
    if (!query.value(kOutgoing).toBool()) {
        row.trust = static_cast<LineTrust>(query.value(kTrust).toInt());
        row.trustTip = TrustGlyph::Words(row.trust, peer);
    }
    return row;
}

QString ErrorText(const QSqlError& error) {
    return error.text().isEmpty() ? QStringLiteral("unknown error") : error.text();
}

QString Placeholders(int count) {
    QString marks = QStringLiteral("?,").repeated(count);
    marks.chop(1);
    return marks;
}

} // namespace

HistoryModel::HistoryModel(HistoryStore::ReadAccess readAccess, QObject* parent)
    : QAbstractTableModel(parent), connection(std::make_unique<ReadConnection>(
                                       std::move(readAccess), QStringLiteral("history-view"))) {}

HistoryModel::~HistoryModel() = default;

bool HistoryModel::Load(const HistorySearch::Condition& search) {
    beginResetModel();
    pages.clear();
    ids.clear();
    times.clear();
    problem.clear();
    if (!connection->Open()) {
        problem = connection->Problem();
    } else {
        ReadIds(connection->Database(), search);
    }
    endResetModel();
    return problem.isEmpty();
}

void HistoryModel::ReadIds(const QSqlDatabase& database, const HistorySearch::Condition& search) {
    QSqlQuery query(database);
    query.setForwardOnly(true);
    query.prepare(
        QStringLiteral("SELECT id, at_ms FROM history%1 ORDER BY id")
            .arg(search.sql.isEmpty() ? QString() : QStringLiteral(" WHERE ") + search.sql));
    for (const QVariant& value : search.values) {
        query.addBindValue(value);
    }
    // A search the index cannot take finds nothing; a table that cannot be read is a problem.
    if (!query.exec()) {
        if (search.sql.isEmpty()) {
            problem = ErrorText(query.lastError());
        }
        return;
    }
    while (query.next()) {
        ids.push_back(query.value(0).toLongLong());
        times.push_back(query.value(1).toLongLong());
    }
}

QString HistoryModel::Problem() const {
    return problem;
}

int HistoryModel::RowAtOrAfter(std::int64_t atMs) const {
    const auto found = std::lower_bound(times.begin(), times.end(), atMs);
    return std::min(static_cast<int>(found - times.begin()), rowCount() - 1);
}

int HistoryModel::RowOfId(std::int64_t id) const {
    const auto found = std::lower_bound(ids.begin(), ids.end(), id);
    return std::min(static_cast<int>(found - ids.begin()), rowCount() - 1);
}

std::int64_t HistoryModel::IdAt(int row) const {
    return row >= 0 && row < rowCount() ? ids[static_cast<std::size_t>(row)] : 0;
}

std::vector<HistoryModel::Row> HistoryModel::ReadRows(int first, int count) const {
    if (first < 0 || first >= rowCount() || count <= 0 || !connection->IsOpen()) {
        return {};
    }
    count = std::min(count, rowCount() - first);
    QSqlQuery query(connection->Database());
    query.setForwardOnly(true);
    query.prepare(
        QStringLiteral("SELECT id, at_ms, kind, outgoing, to_everybody, peer, address, "
                       "text, delivery, detail, unread, in_outbox, trust FROM history WHERE id "
                       "IN (%1) ORDER BY id")
            .arg(Placeholders(count)));
    const auto begin = ids.begin() + first;
    const auto end = begin + count;
    for (auto id = begin; id != end; ++id) {
        query.addBindValue(static_cast<qlonglong>(*id));
    }
    if (!query.exec()) {
        return {};
    }
    // A row deleted since Load stays blank; the ids and the result are both in order.
    std::vector<Row> rows(static_cast<std::size_t>(count));
    auto wanted = begin;
    while (query.next()) {
        wanted = std::lower_bound(wanted, end, query.value(kId).toLongLong());
        if (wanted != end) {
            rows[static_cast<std::size_t>(wanted - begin)] = MakeRow(query);
        }
    }
    return rows;
}

const HistoryModel::Row* HistoryModel::RowAt(int row) const {
    const int number = row / kPageRows;
    auto page = pages.find(number);
    if (page == pages.end()) {
        if (pages.size() >= kMostPages) {
            pages.erase(
                std::min_element(pages.begin(), pages.end(), [](const auto& a, const auto& b) {
                    return a.second.used < b.second.used;
                }));
        }
        std::vector<Row> rows = ReadRows(number * kPageRows, kPageRows);
        if (rows.empty()) {
            return nullptr; // unreadable for now (locked): read again when the view asks again
        }
        page = pages.emplace(number, Page{std::move(rows), 0}).first;
    }
    page->second.used = ++useCount;
    const auto offset = static_cast<std::size_t>(row % kPageRows);
    return offset < page->second.rows.size() ? &page->second.rows[offset] : nullptr;
}

int HistoryModel::rowCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : static_cast<int>(ids.size());
}

int HistoryModel::columnCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : kColumns;
}

QVariant HistoryModel::data(const QModelIndex& index, int role) const {
    if (!index.isValid() || index.row() >= rowCount() ||
        (role != Qt::DisplayRole && role != Qt::ToolTipRole && role != Qt::DecorationRole &&
         role != Qt::AccessibleDescriptionRole)) {
        return {};
    }
    const Row* row = RowAt(index.row());
    if (row == nullptr) {
        return {};
    }
    if (index.column() == kWho && !row->trustTip.isEmpty()) {
        QIcon& icon = trustIcons.at(static_cast<std::size_t>(row->trust));
        switch (role) {
        case Qt::DecorationRole:
            if (icon.isNull()) {
                icon = TrustGlyph::Icon(row->trust);
            }
            return QVariant::fromValue(icon);
        case Qt::ToolTipRole:
            return Qt::convertFromPlainText(row->whoTip + QChar('\n') + row->trustTip);
        case Qt::AccessibleDescriptionRole:
            return row->trustTip;
        default:
            break;
        }
    }
    if (role != Qt::DisplayRole && role != Qt::ToolTipRole) {
        return {};
    }
    switch (index.column()) {
    case kWhen:
        return role == Qt::DisplayRole ? row->when : QVariant();
    case kWho:
        // Qt shows a tooltip that looks like HTML as rich text: a peer's words go in as plain text.
        return role == Qt::DisplayRole ? row->who : Qt::convertFromPlainText(row->whoTip);
    case kLine:
        return role == Qt::DisplayRole ? row->line : Qt::convertFromPlainText(row->lineTip);
    case kDelivery:
        return role == Qt::DisplayRole ? row->delivery : QVariant();
    default:
        return {};
    }
}

QVariant HistoryModel::headerData(int section, Qt::Orientation orientation, int role) const {
    static const char* const titles[kColumns] = {"When", "Who", "Line", "Delivery"};
    if (orientation != Qt::Horizontal || role != Qt::DisplayRole || section < 0 ||
        section >= kColumns) {
        return {};
    }
    return QString::fromLatin1(titles[section]);
}

} // namespace kestrane
