#include "chat/ScriptedSend.h"

#include <algorithm>
#include <array>

namespace kestrane {
namespace {

constexpr std::string_view kVerb = "SEND\t";
constexpr std::string_view kEverybody = "*";

struct NamedOutcome {
    ScriptedSend::Outcome outcome;
    std::string_view name;
};

constexpr std::array kOutcomeNames{
    NamedOutcome{ScriptedSend::Outcome::Delivered, "DELIVERED"},
    NamedOutcome{ScriptedSend::Outcome::NoReceipts, "NO-RECEIPTS"},
    NamedOutcome{ScriptedSend::Outcome::NotDelivered, "NOT-DELIVERED"},
    NamedOutcome{ScriptedSend::Outcome::Refused, "REFUSED"}};

struct NamedPrivacy {
    ScriptedSend::Privacy privacy;
    std::string_view name;
};
constexpr std::array kPrivacyNames{NamedPrivacy{ScriptedSend::Privacy::Verified, "verified"},
                                   NamedPrivacy{ScriptedSend::Privacy::Encrypted, "encrypted"},
                                   NamedPrivacy{ScriptedSend::Privacy::Plain, "plain"}};

bool IsControl(char byte) {
    return static_cast<unsigned char>(byte) < 0x20 || byte == '\x7f';
}

bool IsHostWellFormed(std::string_view host) {
    return !host.empty() && host.size() <= ScriptedSend::kMostHostBytes &&
           std::none_of(host.begin(), host.end(), IsControl);
}

bool IsTextWellFormed(std::string_view text) {
    return text.find_first_of(std::string_view("\r\n\0", 3)) == std::string_view::npos;
}

// `message` as one line of at most `most` bytes, never cut inside a UTF-8
// sequence: the reader may print it on a terminal, so no control byte but TAB
// survives.
std::string OneLine(std::string_view message, std::size_t most) {
    std::size_t length = std::min(message.size(), most);
    if (length < message.size()) {
        while (length > 0 && (static_cast<unsigned char>(message[length]) & 0xC0) == 0x80) {
            --length;
        }
    }
    std::string line(message.substr(0, length));
    std::replace_if(
        line.begin(), line.end(), [](char byte) { return byte != '\t' && IsControl(byte); }, ' ');
    return line;
}

} // namespace

std::optional<ScriptedSend> ScriptedSend::ParseRequest(std::string_view line) {
    if (line.size() > kMostRequestBytes || !line.starts_with(kVerb) || !line.ends_with('\n')) {
        return std::nullopt;
    }
    line.remove_prefix(kVerb.size());
    line.remove_suffix(1);
    const std::size_t tab = line.find('\t');
    if (tab == std::string_view::npos) {
        return std::nullopt;
    }
    ScriptedSend request;
    request.toEverybody = line.substr(0, tab) == kEverybody;
    if (!request.toEverybody) {
        request.to = line.substr(0, tab);
    }
    request.text = line.substr(tab + 1);
    if (!request.IsWellFormed()) {
        return std::nullopt;
    }
    return request;
}

std::string ScriptedSend::ComposeRequest() const {
    std::string line(kVerb);
    line += toEverybody ? kEverybody : std::string_view(to);
    line += '\t';
    line += text;
    line += '\n';
    return line;
}

bool ScriptedSend::IsWellFormed() const {
    return (toEverybody || (IsHostWellFormed(to) && to != kEverybody)) && IsTextWellFormed(text) &&
           kVerb.size() + (toEverybody ? 1 : to.size()) + 1 + text.size() + 1 <= kMostRequestBytes;
}

std::string ScriptedSend::ComposeReply(Outcome outcome, std::string_view message) {
    std::string line(OutcomeName(outcome));
    line += '\t';
    line += OneLine(message, kMostReplyBytes - line.size() - 1);
    line += '\n';
    return line;
}

std::optional<std::pair<ScriptedSend::Outcome, std::string>>
ScriptedSend::ParseReply(std::string_view line) {
    const std::size_t tab = line.find('\t');
    if (line.size() > kMostReplyBytes || !line.ends_with('\n') || tab == std::string_view::npos) {
        return std::nullopt;
    }
    for (const NamedOutcome& known : kOutcomeNames) {
        if (known.name == line.substr(0, tab)) {
            const std::string_view message = line.substr(tab + 1, line.size() - tab - 2);
            return std::pair{known.outcome, OneLine(message, message.size())};
        }
    }
    return std::nullopt;
}

std::string_view ScriptedSend::PrivacyName(Privacy privacy) {
    for (const NamedPrivacy& known : kPrivacyNames) {
        if (known.privacy == privacy) {
            return known.name;
        }
    }
    return {};
}

std::optional<ScriptedSend::Privacy> ScriptedSend::TakePrivacy(std::string& message) {
    const std::size_t tab = message.rfind('\t');
    if (tab == std::string::npos) {
        return std::nullopt;
    }
    for (const NamedPrivacy& known : kPrivacyNames) {
        if (std::string_view(message).substr(tab + 1) == known.name) {
            message.erase(tab);
            return known.privacy;
        }
    }
    return std::nullopt;
}

std::string_view ScriptedSend::OutcomeName(Outcome outcome) {
    for (const NamedOutcome& known : kOutcomeNames) {
        if (known.outcome == outcome) {
            return known.name;
        }
    }
    return {};
}

int ScriptedSend::ExitStatus(Outcome outcome) {
    switch (outcome) {
    case Outcome::Delivered:
    case Outcome::NoReceipts:
        return 0;
    case Outcome::NotDelivered:
        return 1;
    case Outcome::Refused:
        break;
    }
    return 2;
}

} // namespace kestrane
