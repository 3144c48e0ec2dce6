#include "chat/DeliveryNotice.h"

#include "chat/SecureDatagram.h"
#include "security/Digest.h"

#include <algorithm>
#include <utility>

namespace kestrane {

namespace {

constexpr std::string_view kProtocol = "DELIVERY/1 ";
constexpr std::string_view kFileProtocol = "FILES/3 ";
constexpr std::string_view kSecureField = "DELIVERY/2";

// What differs between the clear notices and those inside secure datagrams.
struct Grammar {
    std::size_t digestLength;
    bool inner; // BYE and FILE exist only inside
};
constexpr Grammar kClear{16, false};
constexpr Grammar kInner{64, true};

constexpr std::pair<DeliveryNotice::Verb, std::string_view> kVerbs[] = {
    {DeliveryNotice::Verb::Present, "PRESENT"}, {DeliveryNotice::Verb::Probe, "PROBE"},
    {DeliveryNotice::Verb::Line, "LINE"},       {DeliveryNotice::Verb::All, "ALL"},
    {DeliveryNotice::Verb::Ack, "ACK"},         {DeliveryNotice::Verb::Bye, "BYE"},
    {DeliveryNotice::Verb::File, "FILE"}};

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

std::optional<DeliveryNotice::Verb> VerbNamed(std::string_view name, const Grammar& grammar) {
    const auto known = std::find_if(std::begin(kVerbs), std::end(kVerbs),
                                    [&](const auto& entry) { return entry.second == name; });
    if (known == std::end(kVerbs)) {
        return std::nullopt;
    }
    const bool innerOnly =
        known->first == DeliveryNotice::Verb::Bye || known->first == DeliveryNotice::Verb::File;
    if (innerOnly && !grammar.inner) {
        return std::nullopt;
    }
    return known->first;
}

bool ParseDigest(DeliveryNotice& notice, std::string_view& rest, const Grammar& grammar) {
    const std::string_view digest = NextField(rest);
    if (digest.size() != grammar.digestLength ||
        !std::all_of(digest.begin(), digest.end(), IsLowerHex)) {
        return false;
    }
    notice.digest = digest;
    return true;
}

// The line is the rest of the text, spaces and all: the scope must be followed
// by its separator even when the line is empty.
bool ParseLine(DeliveryNotice& notice, std::string_view rest) {
    const std::size_t space = rest.find(' ');
    const std::string_view scope = rest.substr(0, space);
    if (space == std::string_view::npos || (scope != "ONE" && scope != "ALL")) {
        return false;
    }
    notice.toEverybody = scope == "ALL";
    notice.line = rest.substr(space + 1);
    return true;
}

// The fields after the verb of those that name a line: LINE, ALL and ACK.
bool ParseIdFields(DeliveryNotice& notice, std::string_view rest, const Grammar& grammar) {
    const std::string_view id = NextField(rest);
    if (!IsDeliveryId(id)) {
        return false;
    }
    notice.id = id;
    switch (notice.verb) {
    case DeliveryNotice::Verb::All:
        return ParseDigest(notice, rest, grammar);
    case DeliveryNotice::Verb::Line:
        return ParseLine(notice, rest);
    default:
        return true;
    }
}

// The text after the protocol word (none inside), in either grammar.
std::optional<DeliveryNotice> ParseVerb(std::string_view rest, const Grammar& grammar) {
    const auto verb = VerbNamed(NextField(rest), grammar);
    if (!verb) {
        return std::nullopt;
    }
    DeliveryNotice notice;
    notice.verb = *verb;
    bool wellFormed = true;
    switch (notice.verb) {
    case DeliveryNotice::Verb::Present:
        while (!rest.empty() && !notice.secure) {
            notice.secure = NextField(rest) == kSecureField;
        }
        break;
    case DeliveryNotice::Verb::Probe:
    case DeliveryNotice::Verb::Bye:
        break;
    case DeliveryNotice::Verb::File:
        wellFormed = rest.starts_with(kFileProtocol);
        notice.file = rest;
        break;
    case DeliveryNotice::Verb::Line:
    case DeliveryNotice::Verb::All:
    case DeliveryNotice::Verb::Ack:
        wellFormed = ParseIdFields(notice, rest, grammar);
        break;
    }
    return wellFormed ? std::optional(std::move(notice)) : std::nullopt;
}

std::string ComposeVerb(const DeliveryNotice& notice) {
    std::string text(VerbName(notice.verb));
    switch (notice.verb) {
    case DeliveryNotice::Verb::Present:
        if (notice.secure) {
            text += ' ';
            text += kSecureField;
        }
        break;
    case DeliveryNotice::Verb::Probe:
    case DeliveryNotice::Verb::Bye:
        break;
    case DeliveryNotice::Verb::Line:
        text += ' ' + notice.id + (notice.toEverybody ? " ALL " : " ONE ") + notice.line;
        break;
    case DeliveryNotice::Verb::All:
        text += ' ' + notice.id + ' ' + notice.digest;
        break;
    case DeliveryNotice::Verb::Ack:
        text += ' ' + notice.id;
        break;
    case DeliveryNotice::Verb::File:
        text += ' ' + notice.file;
        break;
    }
    return text;
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

DeliveryNotice DeliveryNotice::InnerAll(std::string id, std::string_view line) {
    DeliveryNotice notice;
    notice.verb = Verb::All;
    notice.id = std::move(id);
    notice.digest = InnerDigest(line);
    return notice;
}

DeliveryNotice DeliveryNotice::Bye() {
    DeliveryNotice notice;
    notice.verb = Verb::Bye;
    return notice;
}

DeliveryNotice DeliveryNotice::File(std::string fileNotice) {
    DeliveryNotice notice;
    notice.verb = Verb::File;
    notice.file = std::move(fileNotice);
    return notice;
}

std::optional<DeliveryNotice> DeliveryNotice::Parse(std::string_view text) {
    if (text.substr(0, kProtocol.size()) != kProtocol) {
        return std::nullopt;
    }
    return ParseVerb(text.substr(kProtocol.size()), kClear);
}

std::string DeliveryNotice::Compose() const {
    return std::string(kProtocol) + ComposeVerb(*this);
}

std::optional<DeliveryNotice> DeliveryNotice::ParseInner(std::string_view text) {
    if (text.size() > kSecureMaxPlaintext || text.find('\0') != std::string_view::npos) {
        return std::nullopt;
    }
    return ParseVerb(text, kInner);
}

std::string DeliveryNotice::ComposeInner() const {
    return ComposeVerb(*this);
}

std::string InnerDigest(std::string_view line) {
    return Sha256Hex(line);
}

std::string LineDigest(std::string_view line) {
    std::uint64_t hash = 0xcbf29ce484222325ULL;
    for (const char letter : line) {
        hash ^= static_cast<unsigned char>(letter);
        hash *= 0x100000001b3ULL;
    }
    static constexpr char kHex[] = "0123456789abcdef";
    std::string digest(kClear.digestLength, '0');
    for (std::size_t place = kClear.digestLength; place-- > 0; hash >>= 4) {
        digest[place] = kHex[hash & 0xf];
    }
    return digest;
}

bool IsDeliveryId(std::string_view id) {
    return !id.empty() && id.size() <= DeliveryNotice::kMostIdLength &&
           std::all_of(id.begin(), id.end(), IsIdLetter);
}

} // namespace kestrane
