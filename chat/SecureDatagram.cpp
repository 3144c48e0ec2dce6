#include "chat/SecureDatagram.h"

#include "chat/ChatDatagram.h"

#include <algorithm>

namespace kestrane {
namespace {

constexpr std::size_t kIndex = 4;
constexpr std::size_t kKey = 32;
constexpr std::size_t kTag = 16;

// Body sizes of the Noise part (after the indices) by kind: smallest and largest.
struct Sizes {
    std::size_t indices;
    std::size_t least;
    std::size_t most;
};

std::optional<Sizes> SizesOf(std::uint8_t kind) {
    switch (static_cast<SecureKind>(kind)) {
    case SecureKind::Initiation:
        return Sizes{1, kKey, kKey};
    case SecureKind::Response:
        return Sizes{2, kKey + kKey + kTag + kTag, kKey + kKey + kTag + kTag + kSecureMaxHello};
    case SecureKind::Confirmation:
        return Sizes{1, kKey + kTag + kTag, kKey + kTag + kTag + kSecureMaxHello};
    case SecureKind::Transport:
        return Sizes{1, 8 + kTag, kSecureMaxDatagram - kSecureKindOffset - 1 - kIndex};
    }
    return std::nullopt;
}

SessionIndex ReadIndex(std::span<const std::uint8_t> bytes) {
    return static_cast<SessionIndex>(bytes[0]) | static_cast<SessionIndex>(bytes[1]) << 8 |
           static_cast<SessionIndex>(bytes[2]) << 16 | static_cast<SessionIndex>(bytes[3]) << 24;
}

void WriteIndex(std::vector<std::uint8_t>& out, SessionIndex index) {
    for (int shift = 0; shift < 32; shift += 8) {
        out.push_back(static_cast<std::uint8_t>(index >> shift));
    }
}

} // namespace

bool LooksSecure(std::span<const std::uint8_t> datagram) {
    return datagram.size() > kSecureKindOffset && datagram[0] == CHAT_DELIVERY &&
           std::equal(kSecureWord.begin(), kSecureWord.end(), datagram.begin() + CHAT_TEXT_OFFSET);
}

std::optional<SecureDatagram> ParseSecureDatagram(std::span<const std::uint8_t> datagram) {
    if (!LooksSecure(datagram) || datagram.size() > kSecureMaxDatagram) {
        return std::nullopt;
    }
    const std::uint8_t kind = datagram[kSecureKindOffset];
    const auto sizes = SizesOf(kind);
    const auto body = datagram.subspan(kSecureKindOffset + 1);
    if (!sizes || body.size() < sizes->indices * kIndex) {
        return std::nullopt;
    }
    const auto message = body.subspan(sizes->indices * kIndex);
    if (message.size() < sizes->least || message.size() > sizes->most) {
        return std::nullopt;
    }
    SecureDatagram parsed{.kind = static_cast<SecureKind>(kind),
                          .message = {message.begin(), message.end()}};
    if (parsed.kind == SecureKind::Initiation) {
        parsed.sender = ReadIndex(body);
    } else {
        parsed.receiver = ReadIndex(body);
        if (parsed.kind == SecureKind::Response) {
            parsed.sender = ReadIndex(body.subspan(kIndex));
        }
    }
    const bool needsSender =
        parsed.kind == SecureKind::Initiation || parsed.kind == SecureKind::Response;
    const bool needsReceiver = parsed.kind != SecureKind::Initiation;
    if ((needsSender && parsed.sender == 0) || (needsReceiver && parsed.receiver == 0)) {
        return std::nullopt;
    }
    return parsed;
}

std::vector<std::uint8_t> ComposeSecureDatagram(std::string_view name,
                                                const SecureDatagram& datagram) {
    name = name.substr(0, name.find('\0'));
    if (name.size() > CHAT_NAME_WIDTH) {
        name.remove_prefix(name.size() - CHAT_NAME_WIDTH);
    }
    std::vector<std::uint8_t> out;
    out.reserve(kSecureKindOffset + 9 + datagram.message.size());
    out.push_back(CHAT_DELIVERY);
    out.insert(out.end(), CHAT_NAME_WIDTH - name.size(), ' ');
    out.insert(out.end(), name.begin(), name.end());
    out.insert(out.end(), kSecureWord.begin(), kSecureWord.end());
    out.push_back(static_cast<std::uint8_t>(datagram.kind));
    if (datagram.kind != SecureKind::Initiation) {
        WriteIndex(out, datagram.receiver);
    }
    if (datagram.kind == SecureKind::Initiation || datagram.kind == SecureKind::Response) {
        WriteIndex(out, datagram.sender);
    }
    out.insert(out.end(), datagram.message.begin(), datagram.message.end());
    if (!ParseSecureDatagram(out)) {
        return {};
    }
    return out;
}

} // namespace kestrane
