#include "core/instance/SendCommand.h"

#include "platform/SingleInstanceLock.h"

#include <cerrno>
#include <cstdio>
#include <optional>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace kestrane {
namespace {

using Clock = std::chrono::steady_clock;

bool WriteAll(int descriptor, const std::string& bytes) {
    std::size_t sent = 0;
    while (sent < bytes.size()) {
        // The copy may end meanwhile: no SIGPIPE.
        const ssize_t count =
            ::send(descriptor, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
        if (count < 0 && errno != EINTR) {
            return false;
        }
        sent += count > 0 ? static_cast<std::size_t>(count) : 0;
    }
    return true;
}

// The reply line, LF included, or nothing when the copy closed the call, sent
// too much without a line end, or did not answer by `deadline`.
std::optional<std::string> ReadReply(int descriptor, Clock::time_point deadline) {
    std::string received;
    while (received.find('\n') == std::string::npos) {
        const auto left =
            std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
        pollfd wait{.fd = descriptor, .events = POLLIN, .revents = 0};
        const int ready = left > 0 ? ::poll(&wait, 1, static_cast<int>(left)) : 0;
        if (ready < 0 && errno == EINTR) {
            continue;
        }
        if (ready <= 0) {
            return std::nullopt;
        }
        char buffer[ScriptedSend::kMostReplyBytes];
        const ssize_t count = ::recv(descriptor, buffer, sizeof buffer, 0);
        if (count < 0 && errno == EINTR) {
            continue;
        }
        if (count <= 0 ||
            received.size() + static_cast<std::size_t>(count) > ScriptedSend::kMostReplyBytes) {
            return std::nullopt;
        }
        received.append(buffer, static_cast<std::size_t>(count));
    }
    received.resize(received.find('\n') + 1);
    return received;
}

} // namespace

int SendCommand::Run(const ScriptedSend& request, const std::string& lockName,
                     std::chrono::milliseconds limit) {
    const Clock::time_point deadline = Clock::now() + limit;
    const int call = SingleInstanceLock::CallHolder(lockName);
    if (call < 0) {
        std::fputs("kestrane: No Kestrane runs for this user: start it first.\n", stderr);
        return 2;
    }
    const bool written = WriteAll(call, request.ComposeRequest());
    const std::optional<std::string> line =
        written ? ReadReply(call, deadline) : std::optional<std::string>();
    ::close(call);
    const auto reply = line ? ScriptedSend::ParseReply(*line) : std::nullopt;
    if (!reply) {
        std::fputs(written && line ? "kestrane: the running copy gave an answer this program "
                                     "does not understand; the line may have been sent.\n"
                                   : "kestrane: no answer from the running copy; the line may "
                                     "not have been delivered.\n",
                   stderr);
        return 1;
    }
    auto [outcome, message] = *reply;
    std::string shown(ScriptedSend::OutcomeName(outcome));
    if (const std::optional<ScriptedSend::Privacy> privacy = ScriptedSend::TakePrivacy(message)) {
        shown += *privacy == ScriptedSend::Privacy::Verified    ? " (verified)"
                 : *privacy == ScriptedSend::Privacy::Encrypted ? " (encrypted, not verified)"
                                                                : " (not encrypted)";
    }
    shown += (message.empty() ? "" : ": " + message) + "\n";
    if (outcome == ScriptedSend::Outcome::Refused) {
        std::fputs(("kestrane: " + shown).c_str(), stderr);
    } else {
        std::fputs(shown.c_str(), stdout);
    }
    return ScriptedSend::ExitStatus(outcome);
}

} // namespace kestrane
