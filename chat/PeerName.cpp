#include "chat/PeerName.h"

#include <algorithm>

namespace kestrane {

namespace {

char LowerAscii(char letter) {
    return letter >= 'A' && letter <= 'Z' ? static_cast<char>(letter - 'A' + 'a') : letter;
}

} // namespace

bool IsSamePeerName(std::string_view first, std::string_view second) {
    return std::equal(first.begin(), first.end(), second.begin(), second.end(),
                      [](char a, char b) { return LowerAscii(a) == LowerAscii(b); });
}

bool MayListPeer(std::string_view name, std::string_view ownName) {
    return !name.empty() && name != ownName;
}

} // namespace kestrane
