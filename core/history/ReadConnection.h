#pragma once

#include "core/history/HistoryStore.h"

#include <QSqlDatabase>
#include <QString>

namespace kestrane {

/// A view's own read-only connection to the history database, under a name
/// unique in the process. A reader never waits long on the writer holding the
/// file: at most kBusyTimeoutMs, or the view would freeze. Lives on the
/// thread that opens it.
class ReadConnection {
public:
    static constexpr int kBusyTimeoutMs = 200;

    /// `purpose` goes into the connection's name, for debugging.
    ReadConnection(HistoryStore::ReadAccess access, const QString& purpose);
    ~ReadConnection();
    ReadConnection(const ReadConnection&) = delete;
    ReadConnection& operator=(const ReadConnection&) = delete;

    /// Opens the database afresh; false, with Problem saying why, when it
    /// cannot be read (no file yet, locked, damaged).
    bool Open();
    void Close();
    bool IsOpen() const;
    /// Valid once Open succeeded.
    QSqlDatabase Database() const;
    QString Problem() const { return problem; }

private:
    const HistoryStore::ReadAccess access;
    const QString name;
    QString problem;
};

} // namespace kestrane
