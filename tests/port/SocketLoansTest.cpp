#include "port/SocketLoans.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

namespace kestrane {
namespace {

bool IsOpen(int descriptor) {
    return fcntl(descriptor, F_GETFD) != -1;
}

/// A connected pair; the test owns `far`, the loans may close `near`.
struct SocketPair {
    SocketPair() { socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends); }
    ~SocketPair() { ::close(ends[1]); }
    int ends[2] = {-1, -1};
    int Near() const { return ends[0]; }
    int Far() const { return ends[1]; }
};

bool PeerSeesClose(int far) {
    char byte;
    return ::recv(far, &byte, 1, MSG_DONTWAIT) == 0;
}

TEST(SocketLoans, LentSocketIsShutDownAndClosedWithItsLastReturn) {
    SocketPair pair;
    SocketLoans loans;
    loans.Lend(pair.Near());
    loans.Lend(pair.Near());
    loans.Close(pair.Near());
    EXPECT_TRUE(IsOpen(pair.Near()));
    EXPECT_TRUE(PeerSeesClose(pair.Far())) << "the peer must see the close at once";
    EXPECT_EQ(loans.HeldCount(), 1);

    loans.Return(pair.Near());
    EXPECT_TRUE(IsOpen(pair.Near()));
    loans.Return(pair.Near());
    EXPECT_FALSE(IsOpen(pair.Near()));
    EXPECT_EQ(loans.HeldCount(), 0);
}

TEST(SocketLoans, OnlyClosedConnectionsSocketsAreEverClosed) {
    SocketPair open;
    SocketPair unlent;
    {
        SocketLoans loans;
        loans.Lend(open.Near());
        loans.Return(open.Near());
        loans.Lend(open.Near());
        loans.Close(unlent.Near());
        EXPECT_FALSE(IsOpen(unlent.Near())) << "a socket that is not lent closes at once";
    }
    EXPECT_TRUE(IsOpen(open.Near()));
    ::close(open.Near());
}

TEST(SocketLoans, DestructionClosesHeldSockets) {
    SocketPair pair;
    {
        SocketLoans loans;
        loans.Lend(pair.Near());
        loans.Close(pair.Near());
    }
    EXPECT_FALSE(IsOpen(pair.Near()));
}

} // namespace
} // namespace kestrane
