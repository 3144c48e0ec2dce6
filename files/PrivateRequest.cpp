#include "files/PrivateRequest.h"

#include "files/TransferRequest.h"

#include <utility>

namespace kestrane {
namespace {

std::span<const std::uint8_t> Bytes(std::string_view text) {
    return {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()};
}

} // namespace

PrivateRequest::PrivateRequest(const KeyPair& identity)
    : handshake(NoiseRole::Responder, identity, Bytes(kPrologue)) {}

PrivateRequest::State PrivateRequest::Feed(std::span<const std::uint8_t> bytes,
                                           std::vector<std::uint8_t>& reply) {
    if (state != State::Waiting) {
        return state == State::Ready && !bytes.empty() ? State::Failed : state;
    }
    if (transport) {
        return state = Open(bytes);
    }
    const auto answer = handshake.Feed(bytes);
    if (!answer) {
        return state = State::Failed;
    }
    reply.insert(reply.end(), answer->begin(), answer->end());
    if (!handshake.Done()) {
        return state;
    }
    transport = handshake.Split();
    // The bytes read past the handshake's last frame wait in the opener.
    return state = Open({});
}

PrivateRequest::State PrivateRequest::Open(std::span<const std::uint8_t> bytes) {
    std::vector<std::uint8_t> plaintext;
    if (!transport->opener.Open(bytes, plaintext)) {
        return State::Failed;
    }
    opened.append(plaintext.begin(), plaintext.end());
    const std::size_t end = opened.find('\n');
    if (end == std::string::npos) {
        return opened.size() < TransferRequest::kLongestLine ? State::Waiting : State::Failed;
    }
    if (end >= TransferRequest::kLongestLine) {
        return State::Failed;
    }
    line = opened.substr(0, end);
    opened.erase(0, end + 1);
    return State::Ready;
}

} // namespace kestrane
