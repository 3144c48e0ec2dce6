#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace kestrane {

/// The text of a file-transfer datagram (type DATAGRAM_FILES, chat layout):
/// an offer from the sender, a decline or a receipt from the receiver, or a
/// withdrawal of an offer by its sender. One line, CR LF at its end:
///   FILES/1 OFFER <token> <entries> <bytes> <title>
///   FILES/1 DECLINE <token>
///   FILES/1 RECEIVED <token>
///   FILES/1 WITHDRAW <token>
///   FILES/1 FOLDER <token> <files>
/// and the same after FILES/2, and after FILES/3, which only ever travels
/// sealed between hosts whose keys are known (never in a datagram of its own). FOLDER comes before
/// an offer whose title names one folder, and says how many files it holds at any depth. The
/// version an offer names is the newest stream protocol its sender serves; a sender that serves
/// FILES/2 offers in both versions, the newer first, so that a copy knowing only FILES/1 still
/// hears of it.
class FileNotice {
public:
    enum class Kind { Offer, Decline, Received, Withdraw, Folder };

    /// The longest title, decoded: a file name's limit on Linux.
    static constexpr std::size_t kLongestTitle = 255;
    /// The newest version this copy offers in the clear.
    static constexpr int kNewestVersion = 2;
    /// The version of notices sealed in a session: their files are fetched
    /// privately, under the keys of both hosts.
    static constexpr int kPrivateVersion = 3;

    /// Any bytes; nothing when they are not one line ending in CR LF that
    /// holds a notice this version knows.
    static std::optional<FileNotice> Parse(std::string_view text);
    /// The line, CR LF included; a title longer than kLongestTitle is cut
    /// to fit, or the receiver would drop the offer.
    std::string Compose() const;

    Kind kind = Kind::Offer;
    std::string token;         // OfferToken text
    std::uint64_t entries = 0; // offer: files and folders listed; folder: the files
    std::uint64_t bytes = 0;   // offer only: the files' sizes added up
    std::string title;         // offer only: what the person sees, e.g. the first name
    int version = 1;           // FILES/1, FILES/2 or FILES/3
};

} // namespace kestrane
