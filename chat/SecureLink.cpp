#include "chat/SecureLink.h"

#include "chat/ChatSender.h"

#include <optional>
#include <utility>

namespace kestrane {

SecureLink::SecureLink(const KeyPair& identity, std::string ownName, ChatSender& chatSender)
    : sender(chatSender), channel(identity, std::move(ownName)) {}

SecureChannel::Result SecureLink::Receive(const std::string& address,
                                          std::span<const std::uint8_t> datagram) {
    SecureChannel::Result result;
    {
        std::lock_guard guard(lock);
        result = channel.OnDatagram(address, datagram);
    }
    SendAll(result.send);
    result.send.clear();
    return result;
}

bool SecureLink::Initiate(const std::string& address) {
    std::optional<SecureChannel::Outgoing> initiation;
    {
        std::lock_guard guard(lock);
        initiation = channel.Initiate(address);
    }
    if (!initiation) {
        return false;
    }
    SendAll({*initiation});
    return true;
}

SecureLink::Polled SecureLink::Poll() {
    std::vector<SecureChannel::Outgoing> due;
    Polled polled;
    {
        std::lock_guard guard(lock);
        due = channel.Poll();
        polled.underWay = channel.InitiatorPendings() + channel.ResponderPendings() > 0;
        polled.unfinished = channel.TakeUnfinished();
    }
    SendAll(due);
    return polled;
}

bool SecureLink::Send(SessionIndex index, std::span<const std::uint8_t> plaintext) {
    std::optional<SecureChannel::Outgoing> sealed;
    {
        std::lock_guard guard(lock);
        sealed = channel.Seal(index, plaintext);
    }
    if (!sealed) {
        return false;
    }
    SendAll({*sealed});
    return true;
}

void SecureLink::Broadcast(std::span<const SessionIndex> indices,
                           std::span<const std::uint8_t> plaintext) {
    std::vector<SecureChannel::Outgoing> bundles;
    {
        std::lock_guard guard(lock);
        bundles = channel.SealBundle(indices, plaintext);
    }
    SendAll(bundles);
}

std::vector<std::string> SecureLink::DueForRekey(std::span<const SessionIndex> indices) const {
    std::lock_guard guard(lock);
    return channel.DueForRekey(indices);
}

bool SecureLink::Alive(SessionIndex index) const {
    std::lock_guard guard(lock);
    return channel.Has(index);
}

void SecureLink::Close(SessionIndex index) {
    std::lock_guard guard(lock);
    channel.Close(index);
}

void SecureLink::SendAll(const std::vector<SecureChannel::Outgoing>& datagrams) {
    for (const SecureChannel::Outgoing& datagram : datagrams) {
        // The sender's broadcast goes where broadcasts go (loopback in tests).
        sender.SendSecure(datagram.address == SecureChannel::kBroadcastAddress
                              ? std::string_view()
                              : std::string_view(datagram.address),
                          datagram.datagram);
    }
}

} // namespace kestrane
