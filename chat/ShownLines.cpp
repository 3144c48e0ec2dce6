#include "chat/ShownLines.h"

#include <algorithm>

namespace kestrane {

namespace {

/// An id holds no space, so the first space ends it and the sender's bytes
/// follow unchanged, whatever they are.
std::string IdKey(std::string_view sender, std::string_view id) {
    std::string key(id);
    key += ' ';
    key += sender;
    return key;
}

} // namespace

void ShownLines::NotePlainLine(std::string_view sender, std::string_view line,
                               Clock::time_point now) {
    plainLines.push_back({std::string(sender), LineDigest(line), now});
    if (plainLines.size() > kMostPlainLines) {
        plainLines.pop_front();
    }
}

ShownLines::Verdict ShownLines::Take(std::string_view sender, const DeliveryNotice& notice,
                                     Clock::time_point now) {
    using Verb = DeliveryNotice::Verb;
    // Other verbs carry no line: nothing to show and nothing to acknowledge.
    if (notice.verb != Verb::Line && notice.verb != Verb::All) {
        return Verdict::Wait;
    }
    if (Seen(sender, notice.id)) {
        return Verdict::AckOnly;
    }
    // Only a line to everybody can have come as a plain broadcast too.
    const bool claimed =
        notice.verb == Verb::All
            ? ClaimPlainLine(sender, notice.digest, now)
            : notice.toEverybody && ClaimPlainLine(sender, LineDigest(notice.line), now);
    if (notice.verb == Verb::All && !claimed) {
        return Verdict::Wait;
    }
    Remember(sender, notice.id);
    return claimed ? Verdict::AckOnly : Verdict::Show;
}

bool ShownLines::ClaimPlainLine(std::string_view sender, std::string_view digest,
                                Clock::time_point now) {
    while (!plainLines.empty() && now - plainLines.front().shown > kPlainLineLife) {
        plainLines.pop_front();
    }
    const auto found =
        std::find_if(plainLines.begin(), plainLines.end(), [&](const PlainLine& plain) {
            return !plain.claimed && plain.digest == digest && plain.sender == sender;
        });
    if (found == plainLines.end()) {
        return false;
    }
    found->claimed = true;
    return true;
}

bool ShownLines::Seen(std::string_view sender, std::string_view id) const {
    return idSet.count(IdKey(sender, id)) > 0;
}

void ShownLines::Remember(std::string_view sender, std::string_view id) {
    std::string key = IdKey(sender, id);
    if (!idSet.insert(key).second) {
        return;
    }
    ids.push_back(std::move(key));
    if (ids.size() > kMostIds) {
        idSet.erase(ids.front());
        ids.pop_front();
    }
}

} // namespace kestrane
