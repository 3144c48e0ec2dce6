#pragma once

#include <string_view>

namespace kestrane {

/// How far a line that came can be believed to come from the host it names:
/// what the copy knew when the line arrived. Kept with the line in the
/// history, so the values never change meaning.
enum class LineTrust : int {
    Unknown = 0,          // kept before lines carried their trust
    Plain = 1,            // in the clear from a host with no known key, as the original chat sends
    NotAuthenticated = 2, // in the clear under a name whose key is known: anyone could have sent it
    Private = 3,          // encrypted and authenticated by the name's trusted key
    Verified = 4,         // the same, and the person compared that key's code
    NewKey = 5,           // encrypted under a key other than the one the name is known by
};

/// The word that names `trust` where a line's trust is written out
/// ("new-key"); empty for Plain and Unknown, which say nothing, as before.
constexpr std::string_view TrustWord(LineTrust trust) {
    switch (trust) {
    case LineTrust::Verified:
        return "verified";
    case LineTrust::Private:
        return "encrypted";
    case LineTrust::NewKey:
        return "new-key";
    case LineTrust::NotAuthenticated:
        return "not-authenticated";
    case LineTrust::Unknown:
    case LineTrust::Plain:
        break;
    }
    return {};
}

/// Whether a line of `trust` came sealed in a session.
constexpr bool IsSealed(LineTrust trust) {
    return trust == LineTrust::Private || trust == LineTrust::Verified ||
           trust == LineTrust::NewKey;
}

} // namespace kestrane
