#pragma once

#include "ui/CTransfersDlg.h"
#include "ui/FileTransfers.h"

#include <QString>
#include <QTemporaryDir>
#include <chrono>
#include <cstdint>
#include <set>

namespace kestrane::bench {

/// A file moving over loopback again and again, from one FileTransfers to
/// another, with the transfers dialog on screen: both ends and the progress
/// view live on the UI thread, as the program's own do, so a benchmark can
/// measure what a transfer costs that thread. Each round offers a file of
/// `mebibytes` random bytes, accepts it, and starts again once it arrived.
/// UI thread only.
class LoopbackTransfer {
public:
    LoopbackTransfer(int tcpPort, int mebibytes);
    LoopbackTransfer(const LoopbackTransfer&) = delete;
    LoopbackTransfer& operator=(const LoopbackTransfer&) = delete;

    void Start();
    /// Offers no more rounds; the one under way goes on until destruction.
    void Stop() { stopping = true; }

    std::uint64_t ArrivedBytes() const { return arrivedBytes; }
    double Seconds() const;
    /// Why a round failed; empty while none did.
    const QString& Failure() const { return failure; }

private:
    void OnReceiverChanged();
    void OfferRound();

    QTemporaryDir folder;
    QString source;
    QString into;
    FileTransfers sender;
    FileTransfers receiver;
    CTransfersDlg view;
    std::set<int> accepted; // the receiver's transfers, by id
    std::set<int> counted;
    std::uint64_t arrivedBytes = 0;
    std::chrono::steady_clock::time_point started;
    std::chrono::steady_clock::time_point lastArrival;
    QString failure;
    bool stopping = false;
};

} // namespace kestrane::bench
