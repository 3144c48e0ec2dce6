#include "core/history/HistoryListing.h"

#include "core/NetworkText.h"
#include "core/history/HistoryRecord.h"

#include <QFileInfo>
#include <QRegularExpression>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QStringList>

namespace kestrane {
namespace {

using Delivery = HistoryRecord::Delivery;

const char* const kConnection = "kestrane-history-listing";

QString StateOf(const QSqlQuery& row) {
    const auto kind = static_cast<HistoryRecord::Kind>(row.value(1).toInt());
    if (kind == HistoryRecord::Kind::FileOffer) {
        const QString detail = row.value(8).toString();
        return detail.isEmpty() ? QStringLiteral("files") : QStringLiteral("files:") + detail;
    }
    if (!row.value(2).toBool()) {
        const QString seen =
            row.value(9).toBool() ? QStringLiteral("unread") : QStringLiteral("read");
        const QString trust =
            QLatin1StringView(TrustWord(static_cast<LineTrust>(row.value(10).toInt())));
        return trust.isEmpty() ? seen : seen + QLatin1Char(',') + trust;
    }
    switch (static_cast<Delivery>(row.value(7).toInt())) {
    case Delivery::Pending:
        return QStringLiteral("pending");
    case Delivery::Delivered:
        return QStringLiteral("delivered");
    case Delivery::DeliveredLate:
        return QStringLiteral("delivered-late");
    case Delivery::NotDelivered:
        return QStringLiteral("not-delivered");
    case Delivery::Partly:
        return QStringLiteral("partly");
    case Delivery::NoReceipts:
    case Delivery::None:
        break;
    }
    return QStringLiteral("no-receipts");
}

QString LineOf(const QSqlQuery& row) {
    const QDateTime at = QDateTime::fromMSecsSinceEpoch(row.value(0).toLongLong());
    const QString text = WithoutLineEnd(row.value(6).toString());
    const QString peer = row.value(4).toString();
    return QStringList{at.toOffsetFromUtc(at.offsetFromUtc()).toString(Qt::ISODate),
                       row.value(2).toBool() ? QStringLiteral("out") : QStringLiteral("in"),
                       peer.isEmpty() ? QStringLiteral("*") : TerminalText(peer),
                       TerminalText(row.value(5).toString()),
                       StateOf(row),
                       TerminalText(text)}
        .join(QLatin1Char('\t'));
}

// Prints the rows; false with `problem` set when the file cannot be read.
bool PrintRows(QSqlDatabase& database, const QDateTime& since, std::FILE* out, QString& problem) {
    if (!database.open()) {
        problem = database.lastError().text();
        return false;
    }
    QSqlQuery rows(database);
    rows.setForwardOnly(true);
    // A file no copy has opened since lines kept their trust has no such column; it is read as is.
    const bool trustKept =
        rows.exec(
            QStringLiteral("SELECT 1 FROM pragma_table_info('history') WHERE name = 'trust'")) &&
        rows.next();
    if (!rows.prepare(
            QStringLiteral("SELECT at_ms, kind, outgoing, to_everybody, peer, address, text, "
                           "delivery, detail, unread, %1 FROM history WHERE at_ms >= ? ORDER BY id")
                .arg(trustKept ? QStringLiteral("trust") : QStringLiteral("0")))) {
        problem = rows.lastError().text();
        return false;
    }
    rows.addBindValue(since.isValid() ? since.toMSecsSinceEpoch() : qint64{0});
    if (!rows.exec()) {
        problem = rows.lastError().text();
        return false;
    }
    while (rows.next()) {
        std::fprintf(out, "%s\n", LineOf(rows).toUtf8().constData());
    }
    return true;
}

} // namespace

std::optional<QDateTime> HistoryListing::ParseSince(const QString& when, const QDateTime& now) {
    static const QRegularExpression age(QStringLiteral("^([0-9]{1,9})([smhd])$"));
    if (const QRegularExpressionMatch match = age.match(when); match.hasMatch()) {
        const qint64 count = match.captured(1).toLongLong();
        const QChar unit = match.captured(2).at(0);
        const qint64 seconds = unit == QLatin1Char('s')   ? 1
                               : unit == QLatin1Char('m') ? 60
                               : unit == QLatin1Char('h') ? 3600
                                                          : 86400;
        return now.addSecs(-count * seconds);
    }
    if (const QDateTime at = QDateTime::fromString(when, Qt::ISODate); at.isValid()) {
        return at;
    }
    if (const QDate day = QDate::fromString(when, Qt::ISODate); day.isValid()) {
        return day.startOfDay();
    }
    return std::nullopt;
}

int HistoryListing::Print(const QString& path, const QDateTime& since, std::FILE* out,
                          std::FILE* err) {
    if (!QFileInfo(path).isFile()) {
        std::fprintf(err, "kestrane: no history is kept yet (%s)\n",
                     path.toLocal8Bit().constData());
        return 1;
    }
    QString problem;
    bool printed = false;
    {
        QSqlDatabase database =
            QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), QLatin1String(kConnection));
        database.setDatabaseName(path);
        database.setConnectOptions(
            QStringLiteral("QSQLITE_OPEN_READONLY;QSQLITE_BUSY_TIMEOUT=2000"));
        printed = PrintRows(database, since, out, problem);
        database.close();
    }
    QSqlDatabase::removeDatabase(QLatin1String(kConnection));
    std::fflush(out);
    if (!printed) {
        std::fprintf(err, "kestrane: the history cannot be read (%s): %s\n",
                     path.toLocal8Bit().constData(), problem.toLocal8Bit().constData());
        return 1;
    }
    return 0;
}

} // namespace kestrane
