#include "files/SafeRelativePath.h"

#include <cstdint>

namespace kestrane {
namespace {

// The length of the UTF-8 sequence at `text`, or 0 when it is not valid UTF-8
// (overlong forms, surrogates and code points past U+10FFFF included) or is
// a control character (C0, DEL, C1).
std::size_t CharacterLength(std::string_view text) {
    const auto lead = static_cast<unsigned char>(text[0]);
    if (lead < 0x20 || lead == 0x7F) {
        return 0;
    }
    if (lead < 0x80) {
        return 1;
    }
    const std::size_t length = lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : lead >= 0xC0 ? 2 : 0;
    if (length == 0 || lead > 0xF4 || text.size() < length) {
        return 0;
    }
    std::uint32_t point = lead & (0x7F >> length);
    for (std::size_t at = 1; at < length; ++at) {
        const auto next = static_cast<unsigned char>(text[at]);
        if ((next & 0xC0) != 0x80) {
            return 0;
        }
        point = (point << 6) | (next & 0x3F);
    }
    static constexpr std::uint32_t kSmallest[] = {0, 0, 0x80, 0x800, 0x10000};
    const bool valid = point >= kSmallest[length] && point <= 0x10FFFF &&
                       !(point >= 0xD800 && point <= 0xDFFF) && !(point >= 0x80 && point <= 0x9F);
    return valid ? length : 0;
}

} // namespace

std::optional<std::string> SafeRelativePath::Problem(std::string_view path) {
    if (path.empty()) {
        return "it is empty";
    }
    if (path.size() > kLongestPath) {
        return "it is longer than " + std::to_string(kLongestPath) + " bytes";
    }
    if (path.front() == '/') {
        return "it is an absolute path";
    }
    std::size_t start = 0;
    for (;;) {
        const std::size_t slash = path.find('/', start);
        if (auto problem = PartProblem(path.substr(start, slash - start))) {
            return problem;
        }
        if (slash == std::string_view::npos) {
            return std::nullopt;
        }
        start = slash + 1;
    }
}

std::optional<std::string> SafeRelativePath::PartProblem(std::string_view part) {
    if (part.empty()) {
        return "it has an empty name between two slashes or at its end";
    }
    if (part == "." || part == "..") {
        return "it names \"" + std::string(part) + "\", which leads out of its folder";
    }
    if (part.size() > kLongestPart) {
        return "a name in it is longer than " + std::to_string(kLongestPart) + " bytes";
    }
    for (std::size_t at = 0; at < part.size();) {
        if (part[at] == '\\') {
            return "it holds a backslash, a folder separator elsewhere";
        }
        const std::size_t length = CharacterLength(part.substr(at));
        if (length == 0) {
            return "it holds a control character or bytes that are not UTF-8";
        }
        at += length;
    }
    return std::nullopt;
}

std::string SafeRelativePath::Printable(std::string_view path) {
    std::string printable;
    for (std::size_t at = 0; at < path.size();) {
        const std::size_t length = path[at] == '/' ? 1 : CharacterLength(path.substr(at));
        printable += length == 0 ? std::string_view("?") : path.substr(at, length);
        at += length == 0 ? 1 : length;
    }
    return printable;
}

std::string SafeRelativePath::Quoted(std::string_view path) {
    // Appended piece by piece: GCC 12 warns wrongly (-Wrestrict) about "\"" + string.
    std::string quoted(1, '"');
    quoted += Printable(path);
    quoted += '"';
    return quoted;
}

std::string_view SafeRelativePath::Cut(std::string_view text, std::size_t most) {
    if (text.size() <= most) {
        return text;
    }
    // Step back over continuation bytes (10xxxxxx) to where a character starts.
    while (most > 0 && (static_cast<unsigned char>(text[most]) & 0xC0) == 0x80) {
        --most;
    }
    return text.substr(0, most);
}

} // namespace kestrane
