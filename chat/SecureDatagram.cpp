#include "chat/SecureDatagram.h"

#include "chat/ChatDatagram.h"

#include <algorithm>

namespace kestrane {
namespace {

constexpr std::size_t kIndex = 4;
constexpr std::size_t kKey = 32;
constexpr std::size_t kTag = 16;
constexpr std::size_t kCounter = 8;
/// An entry's index, length and counter.
constexpr std::size_t kEntryHead = kIndex + 2 + kCounter;
/// The name field, the word, the kind and the count.
constexpr std::size_t kBundleHead = kSecureKindOffset + 2;

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
        return Sizes{1, kCounter + kTag, kSecureMaxDatagram - kSecureKindOffset - 1 - kIndex};
    case SecureKind::Bundle:
        break; // entries of their own sizes
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

std::optional<SecureDatagram> ParseBundle(std::span<const std::uint8_t> body) {
    const std::size_t count = body.empty() ? 0 : body[0];
    if (count == 0 || count > kBundleMostEntries) {
        return std::nullopt;
    }
    SecureDatagram bundle{.kind = SecureKind::Bundle};
    bundle.entries.reserve(count);
    auto rest = body.subspan(1);
    for (std::size_t entry = 0; entry < count; ++entry) {
        if (rest.size() < kEntryHead) {
            return std::nullopt;
        }
        const SessionIndex receiver = ReadIndex(rest);
        const std::size_t length = rest[kIndex] | std::size_t{rest[kIndex + 1]} << 8;
        if (receiver == 0 || length < kBundleLeastCiphertext || length > kBundleMostCiphertext ||
            rest.size() < kEntryHead + length) {
            return std::nullopt;
        }
        const auto message = rest.subspan(kIndex + 2, kCounter + length);
        bundle.entries.push_back({receiver, {message.begin(), message.end()}});
        rest = rest.subspan(kEntryHead + length);
    }
    if (!rest.empty()) {
        return std::nullopt; // the entries must fill the datagram
    }
    return bundle;
}

std::optional<SecureDatagram> ParseSingle(std::uint8_t kind, std::span<const std::uint8_t> body) {
    const auto sizes = SizesOf(kind);
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

// False when an entry cannot be written as it would be read.
bool WriteEntries(std::vector<std::uint8_t>& out, const std::vector<BundleEntry>& entries) {
    if (entries.size() > kBundleMostEntries) {
        return false;
    }
    out.push_back(static_cast<std::uint8_t>(entries.size()));
    for (const BundleEntry& entry : entries) {
        if (entry.message.size() < kCounter ||
            entry.message.size() - kCounter > kBundleMostCiphertext) {
            return false;
        }
        const std::size_t length = entry.message.size() - kCounter;
        WriteIndex(out, entry.receiver);
        out.push_back(static_cast<std::uint8_t>(length));
        out.push_back(static_cast<std::uint8_t>(length >> 8));
        out.insert(out.end(), entry.message.begin(), entry.message.end());
    }
    return true;
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
    const auto body = datagram.subspan(kSecureKindOffset + 1);
    return kind == static_cast<std::uint8_t>(SecureKind::Bundle) ? ParseBundle(body)
                                                                 : ParseSingle(kind, body);
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
    if (datagram.kind == SecureKind::Bundle) {
        return WriteEntries(out, datagram.entries) && ParseSecureDatagram(out)
                   ? out
                   : std::vector<std::uint8_t>();
    }
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

std::vector<std::vector<std::uint8_t>> ComposeBundles(std::string_view name,
                                                      std::span<const BundleEntry> entries) {
    std::vector<std::vector<std::uint8_t>> bundles;
    SecureDatagram bundle{.kind = SecureKind::Bundle};
    std::size_t size = kBundleHead;
    const auto flush = [&] {
        bundles.push_back(ComposeSecureDatagram(name, bundle));
        bundle.entries.clear();
        size = kBundleHead;
        return !bundles.back().empty();
    };
    for (const BundleEntry& entry : entries) {
        const std::size_t entrySize = kIndex + 2 + entry.message.size();
        const bool full =
            size + entrySize > kSecureMaxDatagram || bundle.entries.size() == kBundleMostEntries;
        if (!bundle.entries.empty() && full && !flush()) {
            return {};
        }
        bundle.entries.push_back(entry);
        size += entrySize;
    }
    if (!bundle.entries.empty() && !flush()) {
        return {};
    }
    return bundles;
}

} // namespace kestrane
