// The file-transfer texts a peer sends, each as it arrives: a notice, a
// request line, a reply line, and manifest lines in both versions, checked
// one after another as a receiver does. A text that parses must compose to
// one that parses the same.
#include "files/FileManifest.h"
#include "files/FileNotice.h"
#include "files/TransferRequest.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

namespace {

void Check(bool holds) {
    if (!holds) {
        std::abort();
    }
}

void Lines(std::string_view text, int version) {
    kestrane::FileManifest manifest;
    while (!text.empty()) {
        const std::size_t end = text.find('\n');
        const std::string_view line = text.substr(0, end);
        if (auto entry = kestrane::FileManifest::ParseEntry(line, version)) {
            const std::string again = kestrane::FileManifest::Line(*entry, version);
            Check(kestrane::FileManifest::ParseEntry(
                      std::string_view(again).substr(0, again.size() - 1), version) == *entry);
            manifest.Add(std::move(*entry), line.size() + 1);
        }
        text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
    }
    Check(manifest.entries.size() <= kestrane::FileManifest::kMostEntries);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view input(reinterpret_cast<const char*>(data), size);
    if (const auto notice = kestrane::FileNotice::Parse(input)) {
        const auto again = kestrane::FileNotice::Parse(notice->Compose());
        Check(again && again->kind == notice->kind && again->token == notice->token &&
              again->version == notice->version && again->title == notice->title);
    }
    const std::string_view firstLine = input.substr(0, input.find('\n'));
    if (const auto request = kestrane::TransferRequest::Parse(firstLine)) {
        const std::string line = request->Compose();
        const auto again =
            kestrane::TransferRequest::Parse(std::string_view(line).substr(0, line.size() - 1));
        Check(again && again->kind == request->kind && again->token == request->token &&
              again->index == request->index && again->offset == request->offset);
    }
    if (const auto reply = kestrane::TransferReply::Parse(firstLine)) {
        Check(reply->Compose().ends_with('\n'));
    }
    Lines(input, 1);
    Lines(input, 2);
    return 0;
}
