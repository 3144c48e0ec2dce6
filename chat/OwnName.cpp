#include "chat/OwnName.h"

#include "chat/ChatDatagram.h"

#include <netdb.h>
#include <sys/socket.h>
#include <unistd.h>

namespace kestrane {

std::string OwnNameFromCanonical(std::string_view canonicalName) {
    std::string name(canonicalName);
    if (name.size() > static_cast<std::size_t>(CHAT_NAME_WIDTH)) {
        name = name.substr(0, name.find('.'));
    }
    if (name.size() > static_cast<std::size_t>(CHAT_NAME_WIDTH)) {
        name.resize(static_cast<std::size_t>(CHAT_NAME_WIDTH));
    }
    for (char& letter : name) {
        if (letter >= 'a' && letter <= 'z') {
            letter = static_cast<char>(letter - 'a' + 'A');
        }
    }
    return name;
}

std::optional<std::string> LocalHostName() {
    char hostName[256] = {};
    if (gethostname(hostName, sizeof hostName - 1) != 0) {
        return std::nullopt;
    }
    return hostName;
}

std::string CanonicalNameOf(const std::string& hostName) {
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_flags = AI_CANONNAME;
    addrinfo* found = nullptr;
    if (getaddrinfo(hostName.c_str(), nullptr, &hints, &found) != 0 || found == nullptr) {
        return hostName;
    }
    std::string canonical = found->ai_canonname != nullptr ? found->ai_canonname : hostName;
    freeaddrinfo(found);
    return canonical;
}

} // namespace kestrane
