#pragma once

#include "core/history/HistoryStore.h"

#include <QDialog>
#include <functional>
#include <memory>

namespace kestrane {

/// The History window: every stored line and file offer with its date and
/// time, who it came from or went to, and what became of it; search as the
/// person types (full-text), jump to a date, export what is shown as plain
/// text, clear the history, and how long history is kept. Rows load as they
/// come into view, so it opens at once on a long history. Reads through its
/// own connection to the store's database; changes go through the hooks.
/// UI thread only.
class HistoryWindow : public QDialog {
    Q_OBJECT

public:
    struct Hooks {
        /// The person confirmed "Clear history".
        std::function<void()> clear;
        /// The person chose how much history is kept (already saved in the settings).
        std::function<void(const HistoryStore::Limits& limits)> limitsChanged;
    };

    HistoryWindow(HistoryStore::ReadAccess access, Hooks hooks, QWidget* parent = nullptr);
    ~HistoryWindow() override;

    /// The store wrote records or cleared them: rows shown follow, the search stays.
    void Refresh();

protected:
    void showEvent(QShowEvent* event) override;

private:
    /// Lists the rows that the search finds; `keepPlace`: the rows in view stay
    /// (or the newest, when they were shown), otherwise the newest show.
    void Reload(bool keepPlace);
    void BuildSearchBar();
    void BuildTable();
    void BuildBottomBar();
    void GoToDate();
    void Export();
    void ClearHistory();
    void ApplyLimits();

    class Parts;
    std::unique_ptr<Parts> parts;
};

} // namespace kestrane
