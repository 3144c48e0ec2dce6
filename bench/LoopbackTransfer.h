#pragma once

#include "ui/CTransfersDlg.h"
#include "ui/FileTransfers.h"

#include <QString>
#include <QTemporaryDir>
#include <chrono>
#include <cstdint>

namespace kestrane::bench {

/// A file moving over loopback from one FileTransfers to another, with the
/// transfers dialog on screen: both ends and the progress view live on the UI
/// thread, as the program's own do, so a benchmark can measure what a transfer
/// costs that thread. The file is `mebibytes` random bytes, offered once and
/// accepted at once. UI thread only.
class LoopbackTransfer {
public:
    LoopbackTransfer(int tcpPort, int mebibytes);
    LoopbackTransfer(const LoopbackTransfer&) = delete;
    LoopbackTransfer& operator=(const LoopbackTransfer&) = delete;

    void Start();
    /// Bytes are on their way: the file was read for its digest, offered and
    /// accepted.
    bool IsMoving() const;

    std::uint64_t ArrivedBytes() const { return arrivedBytes; }
    /// From the acceptance to the arrival.
    double Seconds() const;
    /// Why the transfer failed; empty while it has not.
    const QString& Failure() const { return failure; }

private:
    void OnReceiverChanged();

    QTemporaryDir folder;
    QString source;
    QString into;
    FileTransfers sender;
    FileTransfers receiver;
    CTransfersDlg view;
    bool accepted = false;
    std::uint64_t arrivedBytes = 0;
    std::chrono::steady_clock::time_point accepting;
    std::chrono::steady_clock::time_point arrival;
    QString failure;
};

} // namespace kestrane::bench
