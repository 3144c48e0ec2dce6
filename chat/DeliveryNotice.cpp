#include "chat/DeliveryNotice.h"

#include <algorithm>
#include <utility>

namespace kestrane {

namespace {

constexpr std::string_view kProtocol = "DELIVERY/1 ";
constexpr std::size_t kDigestLength = 16;
constexpr std::string_view kSecureField = "DELIVERY/2";

constexpr std::pair<DeliveryNotice::Verb, std::string_view> kVerbs[] = {
    {DeliveryNotice::Verb::Present, "PRESENT"},
    {DeliveryNotice::Verb::Probe, "PROBE"},
    {DeliveryNotice::Verb::Line, "LINE"},
    {DeliveryNotice::Verb::All, "ALL"},
    {DeliveryNotice::Verb::Ack, "ACK"}};

std::string_view VerbName(DeliveryNotice::Verb verb) {
    for (const auto& [known, name] : kVerbs) {
        if (known == verb) {
            return name;
        }
    }
    return {};
}

bool IsLowerHex(char letter) {
    return (letter >= '0' && letter <= '9') || (letter >= 'a' && letter <= 'f');
}

bool IsIdLetter(char letter) {
    return (letter >= '0' && letter <= '9') || (letter >= 'a' && letter <= 'z') ||
           (letter >= 'A' && letter <= 'Z') || letter == '.' || letter == '_' || letter == '-';
}

/// Takes the next field of `rest`, up to a space or the end, and the space with it.
std::string_view NextField(std::string_view& rest) {
    const std::size_t space = rest.find(' ');
    const std::string_view field = rest.substr(0, space);
    rest = space == std::string_view::npos ? std::string_view() : rest.substr(space + 1);
    return field;
}

} // namespace

DeliveryNotice DeliveryNotice::Present(bool secure) {
    DeliveryNotice notice;
    notice.secure = secure;
    return notice;
}

DeliveryNotice DeliveryNotice::Probe() {
    DeliveryNotice notice;
    notice.verb = Verb::Probe;
    return notice;
}

DeliveryNotice DeliveryNotice::Line(std::string id, bool toEverybody, std::string line) {
    DeliveryNotice notice;
    notice.verb = Verb::Line;
    notice.id = std::move(id);
    notice.toEverybody = toEverybody;
    notice.line = std::move(line);
    return notice;
}

DeliveryNotice DeliveryNotice::All(std::string id, std::string_view line) {
    DeliveryNotice notice;
    notice.verb = Verb::All;
    notice.id = std::move(id);
    notice.digest = LineDigest(line);
    return notice;
}

DeliveryNotice DeliveryNotice::Ack(std::string id) {
    DeliveryNotice notice;
    notice.verb = Verb::Ack;
    notice.id = std::move(id);
    return notice;
}

std::optional<DeliveryNotice> DeliveryNotice::Parse(std::string_view text) {
    if (text.substr(0, kProtocol.size()) != kProtocol) {
        return std::nullopt;
    }
    std::string_view rest = text.substr(kProtocol.size());
    const std::string_view verbName = NextField(rest);
    const auto known = std::find_if(std::begin(kVerbs), std::end(kVerbs),
                                    [&](const auto& entry) { return entry.second == verbName; });
    if (known == std::end(kVerbs)) {
        return std::nullopt;
    }
    DeliveryNotice notice;
    notice.verb = known->first;
    if (notice.verb == Verb::Present) {
        while (!rest.empty() && !notice.secure) {
            notice.secure = NextField(rest) == kSecureField;
        }
        return notice;
    }
    if (notice.verb == Verb::Probe) {
        return notice;
    }
    const std::string_view id = NextField(rest);
    if (!IsDeliveryId(id)) {
        return std::nullopt;
    }
    notice.id = id;
    if (notice.verb == Verb::All) {
        const std::string_view digest = NextField(rest);
        if (digest.size() != kDigestLength ||
            !std::all_of(digest.begin(), digest.end(), IsLowerHex)) {
            return std::nullopt;
        }
        notice.digest = digest;
    } else if (notice.verb == Verb::Line) {
        // The line is the rest of the text, spaces and all: the scope must be
        // followed by its separator even when the line is empty.
        const std::size_t space = rest.find(' ');
        const std::string_view scope = rest.substr(0, space);
        if (space == std::string_view::npos || (scope != "ONE" && scope != "ALL")) {
            return std::nullopt;
        }
        notice.toEverybody = scope == "ALL";
        notice.line = rest.substr(space + 1);
    }
    return notice;
}

std::string DeliveryNotice::Compose() const {
    std::string text(kProtocol);
    text += VerbName(verb);
    switch (verb) {
    case Verb::Present:
        if (secure) {
            text += ' ';
            text += kSecureField;
        }
        break;
    case Verb::Probe:
        break;
    case Verb::Line:
        text += ' ' + id + (toEverybody ? " ALL " : " ONE ") + line;
        break;
    case Verb::All:
        text += ' ' + id + ' ' + digest;
        break;
    case Verb::Ack:
        text += ' ' + id;
        break;
    }
    return text;
}

std::string LineDigest(std::string_view line) {
    std::uint64_t hash = 0xcbf29ce484222325ULL;
    for (const char letter : line) {
        hash ^= static_cast<unsigned char>(letter);
        hash *= 0x100000001b3ULL;
    }
    static constexpr char kHex[] = "0123456789abcdef";
    std::string digest(kDigestLength, '0');
    for (std::size_t place = kDigestLength; place-- > 0; hash >>= 4) {
        digest[place] = kHex[hash & 0xf];
    }
    return digest;
}

bool IsDeliveryId(std::string_view id) {
    return !id.empty() && id.size() <= DeliveryNotice::kMostIdLength &&
           std::all_of(id.begin(), id.end(), IsIdLetter);
}

} // namespace kestrane
