#pragma once

#include "ui/history/HistoryRecord.h"

#include <QSqlDatabase>
#include <QSqlQuery>
#include <QString>
#include <functional>

namespace kestrane::test {

// A history database at `path` made as the store makes it, in one transaction: records with
// ids 1..count a minute apart from `firstAtMs`, each a line "line N" from PC2 unless `fill` changes
// it.
inline bool MakeHistoryFile(const QString& path, int count, std::int64_t firstAtMs,
                            const std::function<void(HistoryRecord&)>& fill = {}) {
    static const char* const schema[] = {
        "PRAGMA auto_vacuum = INCREMENTAL",
        "PRAGMA journal_mode = WAL",
        "CREATE TABLE history (id INTEGER PRIMARY KEY, at_ms INTEGER NOT NULL, kind INTEGER NOT "
        "NULL,"
        " outgoing INTEGER NOT NULL, to_everybody INTEGER NOT NULL, peer TEXT NOT NULL, address "
        "TEXT"
        " NOT NULL, text TEXT NOT NULL, delivery INTEGER NOT NULL, detail TEXT NOT NULL, unread"
        " INTEGER NOT NULL, in_outbox INTEGER NOT NULL, receipt_id TEXT NOT NULL)",
        "CREATE INDEX history_at ON history(at_ms)",
        "CREATE INDEX history_waiting ON history(id) WHERE unread OR in_outbox",
        "CREATE VIRTUAL TABLE history_search USING fts5(peer, text, content='history',"
        " content_rowid='id', tokenize='unicode61 remove_diacritics 2')",
        "CREATE TRIGGER history_ai AFTER INSERT ON history BEGIN INSERT INTO history_search(rowid,"
        " peer, text) VALUES (new.id, new.peer, new.text); END",
        "PRAGMA user_version = 1",
        "BEGIN"};
    // A null QString binds as NULL, which the NOT NULL columns refuse.
    const auto Text = [](const QString& text) { return QVariant(text.isNull() ? "" : text); };
    bool done = true;
    {
        QSqlDatabase file = QSqlDatabase::addDatabase("QSQLITE", "history-file");
        file.setDatabaseName(path);
        QSqlQuery query(file);
        done = file.open();
        for (const char* statement : schema) {
            done = done && query.exec(statement);
        }
        query.prepare("INSERT INTO history VALUES (?,?,?,?,?,?,?,?,?,?,?,?,'')");
        for (int id = 1; done && id <= count; ++id) {
            HistoryRecord r;
            r.id = id;
            r.atMs = firstAtMs + (id - 1) * 60000;
            r.peer = "PC2";
            r.text = QString("line %1\r\n").arg(id);
            if (fill) {
                fill(r);
            }
            for (const QVariant& value :
                 {QVariant(qlonglong(r.id)), QVariant(qlonglong(r.atMs)), QVariant(int(r.kind)),
                  QVariant(r.outgoing), QVariant(r.toEverybody), Text(r.peer), Text(r.address),
                  Text(r.text), QVariant(int(r.delivery)), Text(r.detail), QVariant(r.unread),
                  QVariant(r.inOutbox)}) {
                query.addBindValue(value);
            }
            done = query.exec();
        }
        done = done && query.exec("COMMIT");
    }
    QSqlDatabase::removeDatabase("history-file");
    return done;
}

} // namespace kestrane::test
