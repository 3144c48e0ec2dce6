#include "chat/ComeForwardRequest.h"

#include <algorithm>

namespace kestrane {
namespace {

// The token ends up in an environment variable and a Wayland request: no
// spaces, control bytes or bytes outside ASCII that either could mangle.
bool IsTokenWellFormed(std::string_view token) {
    return !token.empty() && token.size() <= ComeForwardRequest::kMostTokenBytes &&
           std::all_of(token.begin(), token.end(),
                       [](char byte) { return byte > ' ' && byte < '\x7f'; });
}

} // namespace

std::optional<ComeForwardRequest> ComeForwardRequest::Parse(std::string_view line) {
    if (!line.starts_with(kVerb) || !line.ends_with('\n')) {
        return std::nullopt;
    }
    const std::string_view token = line.substr(kVerb.size(), line.size() - kVerb.size() - 1);
    if (!IsTokenWellFormed(token)) {
        return std::nullopt;
    }
    return ComeForwardRequest{.activationToken = std::string(token)};
}

std::string ComeForwardRequest::Compose() const {
    if (!IsTokenWellFormed(activationToken)) {
        return {};
    }
    return std::string(kVerb) + activationToken + '\n';
}

} // namespace kestrane
