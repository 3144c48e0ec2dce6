#pragma once

#include <QDialog>
#include <memory>

namespace kestrane {

class HistoryStore;

/// The History window: every stored line and file offer with its date and
/// time, who it came from or went to, and what became of it; search as the
/// person types (full-text), jump to a date, export what is shown as plain
/// text, clear the history, and how long history is kept. Rows load as they
/// come into view, so it opens at once on a long history. Reads through its
/// own connection; changes go through the store. Does not own the store,
/// which outlives it. UI thread only.
class HistoryWindow : public QDialog {
    Q_OBJECT

public:
    explicit HistoryWindow(HistoryStore& store, QWidget* parent = nullptr);
    ~HistoryWindow() override;

    /// The store wrote records: rows shown follow, the search stays.
    void Refresh();

private:
    class Parts;
    std::unique_ptr<Parts> parts;
};

} // namespace kestrane
