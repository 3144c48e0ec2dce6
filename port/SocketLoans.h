#pragma once

#include "port/PortTypes.h"

#include <vector>

namespace kestrane {

/// Which sockets of a LISTEN_TCP_KEEP listener's connections are lent to
/// reception copies that wait for, or are in, the receive callback.
///
/// A copy names its connection's socket so that the callback may answer on it.
/// If the connection closed that socket meanwhile, the descriptor number could
/// already belong to a newly accepted connection, and the answer would reach
/// the wrong peer. So a lent socket is only shut down when its connection
/// closes (the peer sees the close at once) and closed when its last copy is
/// returned.
///
/// Not thread-safe: the listener guards it with its lock.
class SocketLoans {
public:
    SocketLoans() = default;
    SocketLoans(const SocketLoans&) = delete;
    SocketLoans& operator=(const SocketLoans&) = delete;
    /// Closes every socket whose close was held back.
    ~SocketLoans();

    /// A copy naming `socket` was made.
    void Lend(PortSocket socket);
    /// A copy naming `socket` was ended; closes the socket when its connection
    /// has closed and no other copy names it.
    void Return(PortSocket socket);
    /// Closes the socket of a closing connection, or, while copies name it,
    /// shuts it down (unless `shutDown` is false: the connection lives on
    /// through another descriptor) and holds its close back.
    void Close(PortSocket socket, bool shutDown = true);
    /// Number of sockets whose close is held back.
    int HeldCount() const;

private:
    struct Loan {
        PortSocket socket;
        int copies;
        bool closed; // its connection has closed; the descriptor is still open
    };
    Loan* Find(PortSocket socket);

    std::vector<Loan> loans; // few entries: one per socket with copies out
};

} // namespace kestrane
