#pragma once

#include <QDialog>
#include <QTimer>
#include <chrono>
#include <cstdint>
#include <map>

class QTableWidget;

namespace kestrane {

class FileTransfers;

/// The transfers at a glance: offers waiting for an answer, with Accept,
/// "Accept into..." and Decline, and every transfer's bytes, rate and time
/// left, with Cancel. A window of its own, not modal. UI thread only.
class CTransfersDlg : public QDialog {
    Q_OBJECT

public:
    explicit CTransfersDlg(FileTransfers& transfers, QWidget* parent = nullptr);

private:
    /// Lists every transfer again (a transfer came or changed state).
    void Rebuild();
    /// Updates the figures of the transfers under way.
    void Refresh();
    void AddButtons(int row, int id, bool waiting, bool active);
    void AcceptInto(int id);

    struct Sample {
        std::uint64_t bytes = 0;
        std::chrono::steady_clock::time_point at;
        double rate = 0; // bytes a second, smoothed
    };

    FileTransfers& transfers;
    QTableWidget* table = nullptr;
    QTimer refresh;
    std::map<int, Sample> samples;
};

} // namespace kestrane
