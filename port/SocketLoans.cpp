#include "port/SocketLoans.h"

#include <algorithm>
#include <sys/socket.h>
#include <unistd.h>

namespace kestrane {

SocketLoans::~SocketLoans() {
    for (const Loan& loan : loans) {
        if (loan.closed) {
            ::close(loan.socket);
        }
    }
}

SocketLoans::Loan* SocketLoans::Find(PortSocket socket) {
    auto found = std::find_if(loans.begin(), loans.end(),
                              [socket](const Loan& loan) { return loan.socket == socket; });
    return found == loans.end() ? nullptr : &*found;
}

void SocketLoans::Lend(PortSocket socket) {
    if (Loan* loan = Find(socket)) {
        ++loan->copies;
    } else {
        loans.push_back(Loan{socket, 1, false});
    }
}

void SocketLoans::Return(PortSocket socket) {
    Loan* loan = Find(socket);
    if (loan == nullptr || --loan->copies > 0) {
        return;
    }
    if (loan->closed) {
        ::close(loan->socket);
    }
    *loan = loans.back();
    loans.pop_back();
}

void SocketLoans::Close(PortSocket socket, bool shutDown) {
    if (socket == PORT_NO_SOCKET) {
        return;
    }
    if (Loan* loan = Find(socket)) {
        if (shutDown) {
            ::shutdown(socket, SHUT_RDWR);
        }
        loan->closed = true;
        return;
    }
    ::close(socket);
}

int SocketLoans::HeldCount() const {
    return static_cast<int>(
        std::count_if(loans.begin(), loans.end(), [](const Loan& loan) { return loan.closed; }));
}

} // namespace kestrane
