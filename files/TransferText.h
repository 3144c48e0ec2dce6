#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace kestrane {

/// The word encoding of the file-transfer texts: a name or title travels as one
/// space-free word, every byte below 0x21, 0x7F and '%' written as %XX (upper
/// case hex); other bytes, UTF-8 included, pass as they are.
class TransferText {
public:
    static std::string EncodeWord(std::string_view bytes);
    /// Nothing for a malformed escape.
    static std::optional<std::string> DecodeWord(std::string_view word);
    /// The words of a line, split at single spaces; empty words are kept, so a
    /// double space makes the line malformed where the caller counts words.
    static std::vector<std::string_view> Words(std::string_view line);
    /// A decimal count without sign or leading zeros (except "0"), at most 2^64-1.
    static std::optional<std::uint64_t> ParseCount(std::string_view word);
    /// 64 lower-case hex digits.
    static bool IsDigest(std::string_view word);
};

} // namespace kestrane
