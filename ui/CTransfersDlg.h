#pragma once

#include "core/transfers/FileTransfers.h"

#include <QDialog>
#include <QTimer>
#include <chrono>
#include <cstdint>
#include <functional>
#include <map>

class QBoxLayout;
class QPushButton;
class QTableWidget;
class QUrl;

namespace kestrane {

/// The transfers at a glance: every transfer's size, bytes, rate and time
/// left, one row each, and below the list the buttons that act on the row
/// chosen: Accept, "Accept into..." and Decline for an offer waiting for an
/// answer, Cancel for one under way, Open and "Show in folder" for one that
/// arrived; "Clear finished" forgets the ended ones. With nothing chosen, the
/// newest waiting offer is. No button is a default one: Enter answers no
/// offer. A window of its own, not modal. UI thread only.
class CTransfersDlg : public QDialog {
    Q_OBJECT

public:
    using OpenUrl = std::function<void(const QUrl&)>;

    /// `openUrl` opens arrived files and their folders; default: the desktop's handler.
    explicit CTransfersDlg(FileTransfers& transfers, OpenUrl openUrl = {},
                           QWidget* parent = nullptr);

    /// True when nothing runs that quitting would cut off, or when the person,
    /// asked over `parent`, chooses to quit anyway.
    static bool MayQuit(const FileTransfers& transfers, QWidget* parent);

private:
    /// Lists every transfer again (a transfer came or changed state).
    void Rebuild();
    /// Updates the figures of the transfers under way.
    void Refresh();
    /// The transfer of the chosen row; null when none is chosen.
    const FileTransfers::Transfer* Chosen() const;
    /// A button of the bar below the list that acts on the chosen transfer.
    QPushButton* AddButton(QBoxLayout& bar, const char* name, const QString& text,
                           std::function<void(const FileTransfers::Transfer&)> action);
    /// Enables the buttons that apply to the chosen transfer.
    void UpdateButtons();
    void AcceptInto(int id);

    struct Sample {
        std::uint64_t bytes = 0;
        std::chrono::steady_clock::time_point at;
        double rate = 0; // bytes a second, smoothed
    };

    FileTransfers& transfers;
    OpenUrl openUrl;
    QTableWidget* table = nullptr;
    QPushButton* acceptButton = nullptr;
    QPushButton* acceptIntoButton = nullptr;
    QPushButton* declineButton = nullptr;
    QPushButton* cancelButton = nullptr;
    QPushButton* openButton = nullptr;
    QPushButton* showFolderButton = nullptr;
    QPushButton* clearButton = nullptr;
    QTimer refresh;
    std::map<int, Sample> samples;
    int newestListed = 0; // the id of the newest transfer the list has shown
};

} // namespace kestrane
