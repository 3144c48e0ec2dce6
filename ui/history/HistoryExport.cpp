#include "ui/history/HistoryExport.h"

#include "ui/trust/TrustGlyph.h"

#include <QDate>
#include <QSaveFile>

namespace kestrane {

QString HistoryExport::Line(const HistoryModel::Row& row) {
    QString line = row.when + QStringLiteral("  ") + row.who + QStringLiteral(": ") + row.line;
    QString notes = row.delivery;
    const QString trust = TrustGlyph::Label(row.trust);
    if (!trust.isEmpty()) {
        notes += (notes.isEmpty() ? QString() : QStringLiteral(", ")) + trust;
    }
    if (!notes.isEmpty()) {
        line += QStringLiteral("  (") + notes + QChar(')');
    }
    return line;
}

bool HistoryExport::Write(const HistoryModel& model, const QString& path, QString& error) {
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly)) {
        error = file.errorString();
        return false;
    }
    for (int first = 0; first < model.rowCount(); first += HistoryModel::kPageRows) {
        const std::vector<HistoryModel::Row> rows = model.ReadRows(first, HistoryModel::kPageRows);
        if (rows.empty()) {
            error = QStringLiteral("the history could not be read");
            return false; // the file is left as it was
        }
        QByteArray text;
        for (const HistoryModel::Row& row : rows) {
            text += Line(row).toUtf8() + '\n';
        }
        if (file.write(text) != text.size()) {
            error = file.errorString();
            return false;
        }
    }
    if (!file.commit()) {
        error = file.errorString();
        return false;
    }
    return true;
}

QString HistoryExport::DefaultFileName(const QDate& day) {
    return QStringLiteral("kestrane-history-%1.txt").arg(day.toString(Qt::ISODate));
}

} // namespace kestrane
