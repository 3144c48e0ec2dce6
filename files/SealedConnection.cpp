#include "files/SealedConnection.h"

#include "files/PrivateRequest.h"
#include "files/TransferRequest.h"
#include "port/PortConnection.h"

#include <algorithm>
#include <array>
#include <cstring>

namespace kestrane {
namespace {

constexpr std::size_t kRawChunk = 256 << 10;

std::span<const std::uint8_t> Bytes(std::string_view text) {
    return {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()};
}

bool SendAll(PortConnection& connection, std::span<const std::uint8_t> bytes) {
    while (!bytes.empty()) {
        const int sent = connection.Send(reinterpret_cast<const char*>(bytes.data()),
                                         static_cast<int>(bytes.size()));
        if (sent <= 0) {
            return false;
        }
        bytes = bytes.subspan(static_cast<std::size_t>(sent));
    }
    return true;
}

} // namespace

SealedConnection::SealedConnection(StreamHandshake::Transport halves)
    : transport(std::move(halves)), raw(std::make_unique_for_overwrite<std::uint8_t[]>(kRawChunk)) {
}

std::unique_ptr<SealedConnection>
SealedConnection::Open(PortConnection& connection, const std::string& address,
                       const KeyPair& identity, const PublicKey& sender,
                       std::chrono::milliseconds limit, std::string& error) {
    const auto end = std::chrono::steady_clock::now() + limit;
    StreamHandshake handshake(NoiseRole::Initiator, identity, Bytes(PrivateRequest::kPrologue));
    TransferRequest opening;
    opening.kind = TransferRequest::Kind::Private;
    std::vector<std::uint8_t> out;
    std::array<std::uint8_t, StreamHandshake::kStreamBytes> received{};
    const std::string line = opening.Compose();
    out.assign(line.begin(), line.end());
    const auto first = handshake.Start();
    out.insert(out.end(), first.begin(), first.end());
    while (SendAll(connection, out) && !handshake.Done()) {
        const std::size_t count = ReceiveRaw(connection, end, received);
        const auto answer =
            count == 0 ? std::nullopt : handshake.Feed(std::span(received).first(count));
        if (!answer) {
            break;
        }
        out = *answer;
    }
    if (!handshake.Done()) {
        error = address + " did not complete the private handshake in time: the offer may have "
                          "ended.";
        return nullptr;
    }
    if (*handshake.RemoteStatic() != sender) {
        error = "The computer at " + address + " is not the one that offered the files.";
        return nullptr;
    }
    return std::unique_ptr<SealedConnection>(new SealedConnection(std::move(*handshake.Split())));
}

std::size_t SealedConnection::ReceiveRaw(PortConnection& connection,
                                         std::chrono::steady_clock::time_point end,
                                         std::span<std::uint8_t> into) {
    const auto left = std::max(std::chrono::microseconds(0),
                               std::chrono::duration_cast<std::chrono::microseconds>(
                                   end - std::chrono::steady_clock::now()));
    timeval timeout{static_cast<time_t>(left.count() / 1000000),
                    static_cast<suseconds_t>(left.count() % 1000000)};
    int size = static_cast<int>(into.size());
    return connection.Receive(reinterpret_cast<char*>(into.data()), &size, &timeout) == 0
               ? static_cast<std::size_t>(size)
               : 0;
}

bool SealedConnection::Send(PortConnection& connection, std::string_view bytes) {
    framed.clear();
    return transport.sealer.Seal(Bytes(bytes), framed) && SendAll(connection, framed);
}

int SealedConnection::Receive(PortConnection& connection, char* buffer, int* size,
                              const timeval& timeout) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(timeout.tv_sec) +
                     std::chrono::microseconds(timeout.tv_usec);
    const int capacity = *size;
    *size = 0;
    // A frame comes in pieces: wait for its last within the same time.
    while (openedAt == opened.size()) {
        opened.clear();
        openedAt = 0;
        const std::size_t count = ReceiveRaw(connection, end, {raw.get(), kRawChunk});
        if (count == 0 || !transport.opener.Open({raw.get(), count}, opened)) {
            return -1;
        }
    }
    const auto count =
        std::min<std::size_t>(static_cast<std::size_t>(capacity), opened.size() - openedAt);
    std::memcpy(buffer, opened.data() + openedAt, count);
    openedAt += count;
    *size = static_cast<int>(count);
    return 0;
}

} // namespace kestrane
