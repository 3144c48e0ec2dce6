#include "chat/ChatSender.h"

#include "platform/MessageBox.h"
#include "port/HostLookup.h"
#include "port/PortConnection.h"

#include <array>

namespace kestrane {

ChatSender::ChatSender(PortConnection* sharedConnection, int targetPort,
                       const char* broadcastTarget)
    : connection(sharedConnection), port(targetPort), broadcastHost(broadcastTarget) {}

void ChatSender::PublishOwnName(std::string name) {
    if (ownNamePublished.load(std::memory_order_acquire)) {
        return;
    }
    ownName = std::move(name);
    ownNamePublished.store(true, std::memory_order_release);
}

std::string_view ChatSender::OwnName() const {
    if (!ownNamePublished.load(std::memory_order_acquire)) {
        return {};
    }
    return ownName;
}

SendResult ChatSender::SendHello(bool reportFailure) {
    return ComposeAndSend(broadcastHost, CHAT_HELLO, CHAT_HELLO_TEXT, reportFailure);
}

SendResult ChatSender::SendHelloOn(unsigned interfaceIndex) {
    if (broadcastHost != nullptr) {
        return SendHello(); // the tests' stand-in for broadcasts has no interfaces
    }
    return ComposeAndSend(nullptr, CHAT_HELLO, CHAT_HELLO_TEXT, false, interfaceIndex);
}

SendResult ChatSender::AnswerHello() {
    return ComposeAndSend(broadcastHost, CHAT_ONLINE, CHAT_ONLINE_TEXT);
}

SendResult ChatSender::BroadcastText(std::string_view line) {
    return ComposeAndSend(broadcastHost, CHAT_TEXT, line);
}

SendResult ChatSender::SendText(std::string_view address, std::string_view line) {
    if (!IsDottedAddress(address)) {
        return SendResult::Unreachable;
    }
    return ComposeAndSend(std::string(address).c_str(), CHAT_TEXT, line);
}

SendResult ChatSender::SendFileNotice(std::string_view address, std::string_view text) {
    if (!IsDottedAddress(address)) {
        return SendResult::Unreachable;
    }
    return ComposeAndSend(std::string(address).c_str(), CHAT_FILES, text);
}

SendResult ChatSender::SendDeliveryNotice(std::string_view address, std::string_view text) {
    if (address.empty()) {
        return ComposeAndSend(broadcastHost, CHAT_DELIVERY, text, false);
    }
    if (!IsDottedAddress(address)) {
        return SendResult::Unreachable;
    }
    return ComposeAndSend(std::string(address).c_str(), CHAT_DELIVERY, text, false);
}

SendResult ChatSender::SendSecure(std::string_view address,
                                  std::span<const std::uint8_t> datagram) {
    if (datagram.empty() || datagram.size() > static_cast<std::size_t>(CHAT_MAX_DATAGRAM)) {
        return SendResult::TooLong;
    }
    const std::string host(address);
    if (!address.empty() && !IsDottedAddress(address)) {
        return SendResult::Unreachable;
    }
    return AimAndSend(address.empty() ? broadcastHost : host.c_str(),
                      reinterpret_cast<const char*>(datagram.data()),
                      static_cast<int>(datagram.size()), false, 0);
}

SendResult ChatSender::SendReply(std::string_view address, std::string_view text) {
    return SendText(address, text);
}

SendResult ChatSender::SendLeaving(bool reportFailure) {
    return ComposeAndSend(broadcastHost, CHAT_LEAVING, CHAT_LEAVING_TEXT, reportFailure);
}

int ChatSender::LongestText() const {
    return CHAT_MAX_DATAGRAM - CHAT_TEXT_OFFSET;
}

SendResult ChatSender::ComposeAndSend(const char* host, std::uint8_t type, std::string_view text,
                                      bool reportFailure, unsigned interfaceIndex) {
    if (connection == nullptr) {
        return SendResult::NoConnection;
    }
    if (OwnName().empty()) {
        return SendResult::NoName;
    }
    std::array<char, CHAT_MAX_DATAGRAM> datagram;
    int count = ComposeDatagram(datagram, type, OwnName(), text);
    if (count < 0) {
        return SendResult::TooLong;
    }
    return AimAndSend(host, datagram.data(), count, reportFailure, interfaceIndex);
}

SendResult ChatSender::AimAndSend(const char* host, const char* datagram, int count,
                                  bool reportFailure, unsigned interfaceIndex) {
    if (connection == nullptr) {
        return SendResult::NoConnection;
    }
    bool sent;
    {
        std::lock_guard guard(sendLock);
        connection->OpenDatagram(host, port);
        sent = interfaceIndex != 0 ? connection->TrySendDatagramOn(interfaceIndex, datagram, count)
                                   : connection->TrySendDatagram(datagram, count);
    }
    if (!sent) {
        if (reportFailure) {
            ShowMessageBox("IPORT Error.", "sendto");
        }
        return SendResult::Failed;
    }
    return SendResult::Sent;
}

} // namespace kestrane
