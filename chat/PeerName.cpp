#include "chat/PeerName.h"

#include <algorithm>

namespace kestrane {

namespace {

char LowerAscii(char letter) {
    return letter >= 'A' && letter <= 'Z' ? static_cast<char>(letter - 'A' + 'a') : letter;
}

/// Sort key of one byte: its class (symbol, digit, letter), then the byte itself.
int OrderKey(char letter) {
    const auto byte = static_cast<unsigned char>(LowerAscii(letter));
    int kind = 0;
    if (byte >= '0' && byte <= '9') {
        kind = 1;
    } else if ((byte >= 'a' && byte <= 'z') || byte >= 0x80) {
        kind = 2;
    }
    return kind * 256 + byte;
}

} // namespace

bool PeerNameLess(std::string_view first, std::string_view second) {
    return std::lexicographical_compare(first.begin(), first.end(), second.begin(), second.end(),
                                        [](char a, char b) { return OrderKey(a) < OrderKey(b); });
}

bool IsSamePeerName(std::string_view first, std::string_view second) {
    return std::equal(first.begin(), first.end(), second.begin(), second.end(),
                      [](char a, char b) { return LowerAscii(a) == LowerAscii(b); });
}

std::string PeerNameKey(std::string_view name) {
    std::string key(name);
    std::transform(key.begin(), key.end(), key.begin(), LowerAscii);
    return key;
}

bool MayListPeer(std::string_view name, std::string_view ownName) {
    return !name.empty() && name != ownName;
}

} // namespace kestrane
