#include "chat/ChatDatagram.h"

#include <algorithm>
#include <climits>
#include <cstddef>

namespace kestrane {
namespace {

// "%s" stops at a NUL; views may carry one, so cut them the same way.
std::string_view AsCString(std::string_view view) {
    return view.substr(0, view.find('\0'));
}

} // namespace

int ComposeDatagram(std::span<char> buffer, std::uint8_t type, std::string_view name,
                    std::string_view text) {
    name = AsCString(name);
    text = AsCString(text);
    const std::size_t padding = name.size() < CHAT_NAME_WIDTH ? CHAT_NAME_WIDTH - name.size() : 0;
    const std::size_t length = 1 + padding + name.size() + text.size();
    if (length > buffer.size() || length > INT_MAX) {
        return -1;
    }
    auto out = buffer.begin();
    *out++ = static_cast<char>(type);
    out = std::fill_n(out, padding, ' ');
    out = std::copy(name.begin(), name.end(), out);
    std::copy(text.begin(), text.end(), out);
    return static_cast<int>(length);
}

int ComposeHello(std::span<char> buffer, std::string_view name) {
    return ComposeDatagram(buffer, CHAT_HELLO, name, CHAT_HELLO_TEXT);
}

int ComposeOnline(std::span<char> buffer, std::string_view name) {
    return ComposeDatagram(buffer, CHAT_ONLINE, name, CHAT_ONLINE_TEXT);
}

int ComposeText(std::span<char> buffer, std::string_view name, std::string_view text) {
    return ComposeDatagram(buffer, CHAT_TEXT, name, text);
}

int ComposeLeaving(std::span<char> buffer, std::string_view name) {
    return ComposeDatagram(buffer, CHAT_LEAVING, name, CHAT_LEAVING_TEXT);
}

} // namespace kestrane
