#pragma once

#include "ui/history/HistoryModel.h"

#include <QString>

class QDate;

namespace kestrane {

/// The History window's rows as plain text, one line a row.
class HistoryExport {
public:
    /// "2026-12-07 19:03:04  PC2: text  (Delivered)": in brackets the delivery
    /// and a line's trust ("(Unread, verified)"), none without either.
    static QString Line(const HistoryModel::Row& row);
    /// Writes every row of `model`, read a page at a time (not only those
    /// loaded), as UTF-8 to `path`, which is replaced only once all is
    /// written. False, with `error` saying why, when it cannot be written.
    static bool Write(const HistoryModel& model, const QString& path, QString& error);
    /// The name offered for an export made on `day`.
    static QString DefaultFileName(const QDate& day);
};

} // namespace kestrane
