#pragma once

#include "core/history/HistoryStore.h"

#include <QSqlDatabase>
#include <QSqlError>
#include <QString>
#include <QVariant>
#include <optional>
#include <vector>

namespace kestrane {

/// The writer's connection to the history: the file in its folder, made,
/// checked and brought to the current schema; a fresh file when it is damaged;
/// an in-memory database for the run when no file can be used.
///
/// Lives on the writer's thread: every member runs there (a QSqlDatabase
/// connection belongs to the thread that opened it).
class HistoryDatabase {
public:
    /// What went wrong with the file, as far as the writer cares.
    enum class Trouble {
        Damaged,    // not a database, or a corrupt one: move it aside, start afresh
        Unwritable, // full, locked or an I/O error: keep the changes, try again
        Unusable,   // read only, cannot be made, from a later version: use memory
    };
    /// A sentence for the person, and which trouble it tells of.
    struct Note {
        Trouble trouble;
        QString text;
    };

    /// Where the file is, and the names that must be unique in the process:
    /// the writer's connection and the in-memory database.
    struct Names {
        QString folder;
        QString connection;
        QString memory;
    };

    explicit HistoryDatabase(Names names);
    ~HistoryDatabase();
    HistoryDatabase(const HistoryDatabase&) = delete;
    HistoryDatabase& operator=(const HistoryDatabase&) = delete;

    /// Opens the file, a fresh one in place of a damaged one, or memory; what
    /// happened on the way is in the notes.
    std::vector<Note> Open();
    /// After `trouble` on a write: a damaged file is moved aside and a fresh
    /// one opened, an unusable one is left for memory.
    std::vector<Note> Reopen(Trouble trouble, const QSqlError& error);
    void Close();
    QSqlDatabase Connection() const;
    bool IsOpen() const;
    /// The history lives in memory for the run.
    bool InMemory() const;
    /// Where a reader on another thread opens a read-only connection.
    HistoryStore::ReadAccess Access() const;
    QString Path() const;

    static Trouble Classify(const QSqlError& error);
    /// Runs `sql` with `values` bound in order; the first row's first column
    /// into `first` when given. The error, if any.
    static std::optional<QSqlError> Run(const QSqlDatabase& database, const QString& sql,
                                        const QVariantList& values = {}, QVariant* first = nullptr);
    /// Ends the transaction: committed without `error`, rolled back with it.
    static std::optional<QSqlError> Finish(const QSqlDatabase& database,
                                           std::optional<QSqlError> error);

private:
    struct Failure {
        Trouble trouble;
        QString reason;
    };
    std::optional<Failure> OpenFile();
    std::optional<Failure> PrepareFile();
    std::optional<Failure> Connect(const QString& name, const QString& options);
    std::optional<Failure> Migrate(int version);
    std::optional<QSqlError> Tune();
    QString MoveAside();
    std::vector<Note> OpenMemory(const QString& reason);

    const Names names;
    bool open = false;
    bool inMemory = false;
};

} // namespace kestrane
