#include "files/FileNotice.h"

#include "files/OfferToken.h"
#include "files/SafeRelativePath.h"
#include "files/TransferText.h"

#include <utility>

namespace kestrane {
namespace {

constexpr std::string_view kVersionPrefix = "FILES/";
constexpr std::string_view kOffer = "OFFER";
constexpr std::string_view kDecline = "DECLINE";
constexpr std::string_view kReceived = "RECEIVED";
constexpr std::string_view kWithdraw = "WITHDRAW";
constexpr std::string_view kFolder = "FOLDER";

// The one line, without its CR LF; nothing when the text is not one line
// ending in CR LF.
std::optional<std::string_view> OneLine(std::string_view text) {
    if (!text.ends_with("\r\n")) {
        return std::nullopt;
    }
    text.remove_suffix(2);
    if (text.find_first_of("\r\n") != std::string_view::npos) {
        return std::nullopt;
    }
    return text;
}

} // namespace

std::optional<FileNotice> FileNotice::Parse(std::string_view text) {
    const auto line = OneLine(text);
    if (!line) {
        return std::nullopt;
    }
    const auto words = TransferText::Words(*line);
    if (words.size() < 3 || !OfferToken::IsToken(words[2])) {
        return std::nullopt;
    }
    FileNotice notice;
    for (int version = 1; version <= kPrivateVersion; ++version) {
        if (words[0] == std::string(kVersionPrefix) + std::to_string(version)) {
            notice.version = version;
        }
    }
    if (words[0] != std::string(kVersionPrefix) + std::to_string(notice.version)) {
        return std::nullopt;
    }
    notice.token = std::string(words[2]);
    for (const auto& [kind, word] : {std::pair{Kind::Decline, kDecline},
                                     {Kind::Received, kReceived},
                                     {Kind::Withdraw, kWithdraw}}) {
        if (words[1] == word) {
            if (words.size() != 3) {
                return std::nullopt;
            }
            notice.kind = kind;
            return notice;
        }
    }
    if (words[1] == kFolder) {
        const auto files = words.size() == 4 ? TransferText::ParseCount(words[3]) : std::nullopt;
        if (!files) {
            return std::nullopt;
        }
        notice.kind = Kind::Folder;
        notice.entries = *files;
        return notice;
    }
    if (words[1] != kOffer || words.size() != 6) {
        return std::nullopt;
    }
    const auto entries = TransferText::ParseCount(words[3]);
    const auto bytes = TransferText::ParseCount(words[4]);
    auto title = TransferText::DecodeWord(words[5]);
    if (!entries || *entries == 0 || !bytes || !title || title->empty() ||
        title->size() > kLongestTitle) {
        return std::nullopt;
    }
    notice.entries = *entries;
    notice.bytes = *bytes;
    notice.title = std::move(*title);
    return notice;
}

std::string FileNotice::Compose() const {
    std::string text = std::string(kVersionPrefix) + std::to_string(version);
    switch (kind) {
    case Kind::Offer:
        text += ' ' + std::string(kOffer) + ' ' + token + ' ' + std::to_string(entries) + ' ' +
                std::to_string(bytes) + ' ' +
                TransferText::EncodeWord(SafeRelativePath::Cut(title, kLongestTitle));
        break;
    case Kind::Decline:
        text += ' ' + std::string(kDecline) + ' ' + token;
        break;
    case Kind::Received:
        text += ' ' + std::string(kReceived) + ' ' + token;
        break;
    case Kind::Withdraw:
        text += ' ' + std::string(kWithdraw) + ' ' + token;
        break;
    case Kind::Folder:
        text += ' ' + std::string(kFolder) + ' ' + token + ' ' + std::to_string(entries);
        break;
    }
    return text + "\r\n";
}

} // namespace kestrane
