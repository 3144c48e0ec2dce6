#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace kestrane {

/// The rule a name from the network must meet before anything is made under
/// it: a relative path of '/'-separated parts, each a name Linux can hold
/// (1 to 255 bytes) that is not "." or "..", in valid UTF-8 without control
/// characters or backslashes, and 4,096 bytes at most in all. So it can only
/// ever name something inside the folder it is placed in.
class SafeRelativePath {
public:
    static constexpr std::size_t kLongestPart = 255;
    static constexpr std::size_t kLongestPath = 4096;

    /// Nothing when `path` is safe, else what is wrong with it, for the person.
    static std::optional<std::string> Problem(std::string_view path);
    /// The path with its parts' control characters shown as "?", for messages.
    static std::string Printable(std::string_view path);
    /// Printable(path) in double quotes.
    static std::string Quoted(std::string_view path);
    /// The start of `text`, at most `most` bytes, never cut inside a UTF-8
    /// character.
    static std::string_view Cut(std::string_view text, std::size_t most);

private:
    static std::optional<std::string> PartProblem(std::string_view part);
};

} // namespace kestrane
