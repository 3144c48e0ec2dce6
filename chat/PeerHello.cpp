#include "chat/PeerHello.h"

#include <string_view>

namespace kestrane {
namespace {

constexpr std::string_view kHost = "HOST ";
constexpr std::string_view kFiles = "FILES/3";
constexpr char kHexDigits[] = "0123456789ABCDEF";

int HexValue(char digit) {
    if (digit >= '0' && digit <= '9') {
        return digit - '0';
    }
    if (digit >= 'A' && digit <= 'F') {
        return digit - 'A' + 10;
    }
    if (digit >= 'a' && digit <= 'f') {
        return digit - 'a' + 10;
    }
    return -1;
}

std::optional<std::string> DecodeWord(std::string_view word) {
    std::string bytes;
    for (std::size_t at = 0; at < word.size(); ++at) {
        const auto byte = static_cast<unsigned char>(word[at]);
        if (byte < 0x21 || byte == 0x7F) {
            return std::nullopt;
        }
        if (byte != '%') {
            bytes += word[at];
            continue;
        }
        if (word.size() - at < 3 || HexValue(word[at + 1]) < 0 || HexValue(word[at + 2]) < 0) {
            return std::nullopt;
        }
        bytes += static_cast<char>(HexValue(word[at + 1]) * 16 + HexValue(word[at + 2]));
        at += 2;
    }
    return bytes;
}

} // namespace

std::string PeerHello::Compose() const {
    std::string text(kHost);
    for (const char character : name) {
        const auto byte = static_cast<unsigned char>(character);
        if (byte < 0x21 || byte == 0x7F || byte == '%') {
            text += '%';
            text += kHexDigits[byte >> 4];
            text += kHexDigits[byte & 0x0F];
        } else {
            text += character;
        }
    }
    if (files) {
        text += ' ';
        text += kFiles;
    }
    return text;
}

std::optional<PeerHello> PeerHello::Parse(std::span<const std::uint8_t> payload) {
    const std::string_view text(reinterpret_cast<const char*>(payload.data()), payload.size());
    if (!text.starts_with(kHost)) {
        return std::nullopt;
    }
    std::string_view rest = text.substr(kHost.size());
    const std::size_t space = rest.find(' ');
    auto name = DecodeWord(rest.substr(0, space));
    if (!name || name->empty()) {
        return std::nullopt;
    }
    PeerHello hello{.name = std::move(*name)};
    std::string_view fields = space == std::string_view::npos ? "" : rest.substr(space + 1);
    while (!fields.empty()) {
        const std::size_t end = fields.find(' ');
        hello.files = hello.files || fields.substr(0, end) == kFiles;
        fields = end == std::string_view::npos ? "" : fields.substr(end + 1);
    }
    return hello;
}

} // namespace kestrane
