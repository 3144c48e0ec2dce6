#include "files/TransferText.h"

#include <charconv>

namespace kestrane {
namespace {

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

bool NeedsEscape(unsigned char byte) {
    return byte < 0x21 || byte == 0x7F || byte == '%';
}

} // namespace

std::string TransferText::EncodeWord(std::string_view bytes) {
    std::string word;
    word.reserve(bytes.size());
    for (const char character : bytes) {
        const auto byte = static_cast<unsigned char>(character);
        if (NeedsEscape(byte)) {
            word += '%';
            word += kHexDigits[byte >> 4];
            word += kHexDigits[byte & 0x0F];
        } else {
            word += character;
        }
    }
    return word;
}

std::optional<std::string> TransferText::DecodeWord(std::string_view word) {
    std::string bytes;
    bytes.reserve(word.size());
    for (std::size_t at = 0; at < word.size(); ++at) {
        if (word[at] != '%') {
            bytes += word[at];
            continue;
        }
        if (at + 2 >= word.size()) {
            return std::nullopt;
        }
        const int high = HexValue(word[at + 1]);
        const int low = HexValue(word[at + 2]);
        if (high < 0 || low < 0) {
            return std::nullopt;
        }
        bytes += static_cast<char>(high * 16 + low);
        at += 2;
    }
    return bytes;
}

std::vector<std::string_view> TransferText::Words(std::string_view line) {
    std::vector<std::string_view> words;
    std::size_t start = 0;
    for (;;) {
        const std::size_t space = line.find(' ', start);
        words.push_back(line.substr(start, space - start));
        if (space == std::string_view::npos) {
            return words;
        }
        start = space + 1;
    }
}

std::optional<std::uint64_t> TransferText::ParseCount(std::string_view word) {
    if (word.empty() || (word.size() > 1 && word[0] == '0')) {
        return std::nullopt;
    }
    std::uint64_t count = 0;
    const auto [end, error] = std::from_chars(word.data(), word.data() + word.size(), count);
    if (error != std::errc() || end != word.data() + word.size()) {
        return std::nullopt;
    }
    return count;
}

bool TransferText::IsDigest(std::string_view word) {
    if (word.size() != 64) {
        return false;
    }
    for (const char digit : word) {
        if (!((digit >= '0' && digit <= '9') || (digit >= 'a' && digit <= 'f'))) {
            return false;
        }
    }
    return true;
}

} // namespace kestrane
