#pragma once

#include "core/transfers/FileTransfers.h"
#include "ui/CTransfersDlg.h"

#include <QString>
#include <QStringList>
#include <QTemporaryDir>
#include <chrono>
#include <cstdint>
#include <set>

namespace kestrane::bench {

/// Files moving over loopback from one FileTransfers to another, with the
/// transfers dialog on screen: both ends and the progress view live on the UI
/// thread, as the program's own do, so a benchmark can measure what transfers
/// cost that thread. Each of `offers` files is `mebibytes` random bytes,
/// offered on its own; all are offered at once and accepted at once. UI thread
/// only.
class LoopbackTransfer {
public:
    LoopbackTransfer(int tcpPort, int mebibytes, int offers = 2);
    LoopbackTransfer(const LoopbackTransfer&) = delete;
    LoopbackTransfer& operator=(const LoopbackTransfer&) = delete;

    void Start();
    /// Bytes are on their way: a file was offered and accepted.
    bool IsMoving() const;

    /// The bytes of all files, once every one arrived; 0 before.
    std::uint64_t ArrivedBytes() const { return arrivedBytes; }
    int Offers() const { return static_cast<int>(sources.size()); }
    /// From the first acceptance to the last arrival.
    double Seconds() const;
    /// Why the transfer failed; empty while it has not.
    const QString& Failure() const { return failure; }

private:
    void OnReceiverChanged();

    QTemporaryDir folder;
    QStringList sources;
    QString into;
    FileTransfers sender;
    FileTransfers receiver;
    CTransfersDlg view;
    std::set<int> accepted; // by transfer id
    std::set<int> arrived;
    std::uint64_t arrivingBytes = 0; // of those arrived so far
    std::uint64_t arrivedBytes = 0;
    std::chrono::steady_clock::time_point accepting;
    std::chrono::steady_clock::time_point arrival;
    QString failure;
};

} // namespace kestrane::bench
