#include "chat/PeerAddressBook.h"

#include "chat/PeerName.h"

namespace kestrane {

std::optional<std::string> PeerAddressBook::Note(std::string_view name, std::string_view address) {
    if (address.empty()) {
        return std::nullopt;
    }
    auto [entry, added] = addresses.try_emplace(PeerNameKey(name), address);
    if (added || entry->second == address) {
        return std::nullopt;
    }
    std::string before = std::move(entry->second);
    entry->second = address;
    return before;
}

std::optional<std::string> PeerAddressBook::AddressOf(std::string_view name) const {
    const auto entry = addresses.find(PeerNameKey(name));
    if (entry == addresses.end()) {
        return std::nullopt;
    }
    return entry->second;
}

void PeerAddressBook::Forget(std::string_view name) {
    addresses.erase(PeerNameKey(name));
}

} // namespace kestrane
