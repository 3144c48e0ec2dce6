#include "files/TransferRequest.h"

#include "files/OfferToken.h"
#include "files/TransferText.h"

namespace kestrane {

namespace {

constexpr std::string_view kSession = "FILES/2";
constexpr std::string_view kPrivate = "FILES/3";

} // namespace

std::optional<TransferRequest> TransferRequest::Parse(std::string_view line) {
    auto words = TransferText::Words(line);
    if (line == kPrivate) {
        TransferRequest opening;
        opening.kind = Kind::Private;
        return opening;
    }
    if (line.size() >= kLongestLine || words.size() < 2) {
        return std::nullopt;
    }
    TransferRequest request;
    // A GET names its token only outside a session.
    const bool tokenless = words[0] == "GET" && words.size() == 4;
    if (!tokenless) {
        if (!OfferToken::IsToken(words[1])) {
            return std::nullopt;
        }
        request.token = std::string(words[1]);
        words.erase(words.begin() + 1);
    }
    if (words.size() == 1 && !tokenless) {
        if (words[0] == "LIST" || words[0] == kSession || words[0] == kPrivate) {
            request.kind = words[0] == "LIST"     ? Kind::List
                           : words[0] == kSession ? Kind::Session
                                                  : Kind::Private;
            return request;
        }
    }
    if (words[0] != "GET" || words.size() != 4 || !TransferText::IsDigest(words[3])) {
        return std::nullopt;
    }
    const auto index = TransferText::ParseCount(words[1]);
    const auto offset = TransferText::ParseCount(words[2]);
    if (!index || !offset) {
        return std::nullopt;
    }
    request.kind = Kind::Get;
    request.index = *index;
    request.offset = *offset;
    request.heldDigest = std::string(words[3]);
    return request;
}

std::string TransferRequest::Compose() const {
    switch (kind) {
    case Kind::List:
        return "LIST " + token + '\n';
    case Kind::Session:
        return std::string(kSession) + ' ' + token + '\n';
    case Kind::Private:
        return std::string(kPrivate) + (token.empty() ? "" : " " + token) + '\n';
    case Kind::Get:
        break;
    }
    return "GET " + (token.empty() ? "" : token + ' ') + std::to_string(index) + ' ' +
           std::to_string(offset) + ' ' + heldDigest + '\n';
}

std::optional<TransferReply> TransferReply::Parse(std::string_view line) {
    TransferReply reply;
    if (line.size() >= kLongestLine) {
        return std::nullopt;
    }
    if (line.starts_with("ERR ")) {
        reply.text = std::string(line.substr(4));
        return reply;
    }
    const auto words = TransferText::Words(line);
    if (words.size() == 2 && words[0] == "SHA" && TransferText::IsDigest(words[1])) {
        reply.kind = Kind::Digest;
        reply.text = std::string(words[1]);
        return reply;
    }
    const auto count = words.size() == 2 ? TransferText::ParseCount(words[1]) : std::nullopt;
    if (!count || (words[0] != "OK" && words[0] != "FROM")) {
        return std::nullopt;
    }
    reply.kind = words[0] == "OK" ? Kind::Ok : Kind::From;
    reply.count = *count;
    return reply;
}

std::string TransferReply::Compose() const {
    switch (kind) {
    case Kind::Ok:
        return "OK " + std::to_string(count) + '\n';
    case Kind::From:
        return "FROM " + std::to_string(count) + '\n';
    case Kind::Digest:
        return "SHA " + text + '\n';
    case Kind::Error:
        break;
    }
    // The text is the sender's own; a line end inside would cut the reply.
    std::string shown = text.substr(0, kLongestLine - 6);
    for (char& character : shown) {
        if (static_cast<unsigned char>(character) < 0x20) {
            character = ' ';
        }
    }
    return "ERR " + shown + '\n';
}

} // namespace kestrane
