#pragma once

#include <QDialog>
#include <QTimer>

class QLabel;
class QListWidget;
class QPlainTextEdit;

namespace kestrane {

class ExtraHosts;

/// A small dialog to edit the extra hosts: one entry a line, checked when
/// saved; a bad line is named and nothing is lost. Does not own `hosts`.
/// UI thread only.
class ExtraHostsDialog : public QDialog {
public:
    explicit ExtraHostsDialog(ExtraHosts& hosts, QWidget* parent = nullptr);

    /// Saves the list and closes, or names the bad line and stays open with
    /// the text as it was typed.
    void accept() override;

private:
    void ShowStatus();

    ExtraHosts& hosts;
    QPlainTextEdit* editor;
    QLabel* problem;
    QListWidget* status;
    QTimer statusRefresh; // names are answered while the dialog is open
};

} // namespace kestrane
