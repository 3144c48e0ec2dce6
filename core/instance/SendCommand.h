#pragma once

#include "chat/ScriptedSend.h"

#include <chrono>
#include <string>

namespace kestrane {

/// `kestrane --send`: hands one line to the copy of this user that holds the
/// single-instance lock, waits for what became of it, prints that and gives
/// the exit status. Touches neither Qt nor the network; blocks its thread.
class SendCommand {
public:
    /// How long the answer may take; the copy gives up on a line before this.
    static constexpr std::chrono::seconds kReplyLimit{60};

    /// Prints the outcome on stdout ("OUTCOME: message"; a refusal and every
    /// failure on stderr) and returns the exit status: ScriptedSend::ExitStatus,
    /// 1 when no answer came within `limit`, 2 when no copy runs.
    static int Run(const ScriptedSend& request, const std::string& lockName,
                   std::chrono::milliseconds limit = kReplyLimit);
};

} // namespace kestrane
