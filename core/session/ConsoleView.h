#pragma once

#include "core/session/SessionView.h"

#include <QString>
#include <cstdio>
#include <functional>

namespace kestrane {

/// Shows a copy without a desktop on a stream (its standard output): each
/// line of the log, and each final mark of a sent line, as one line stamped
/// with the local time. Nothing a peer sent can act on the terminal or the
/// journal that reads it: lines are written as TerminalText. UI thread only.
class ConsoleView : public SessionView {
public:
    /// `end` ends the copy (its event loop) with a status.
    ConsoleView(std::FILE* out, std::function<void(int status)> end);

    std::uint64_t Log(const QString& text, Stamp stamp) override;
    void SetMark(std::uint64_t logLine, LineLook look, const QString& words) override;
    bool PersonLooking(const HistoryEntry&) const override { return false; }
    void LineQueued(const HistoryEntry& entry) override;
    void UnreadRestored(int lines) override;
    void OfferArrived() override;
    void NetworkStarted(const std::string& ownName) override;
    void ComeForward() override;
    void EndRequested() override;

private:
    void WriteLine(const QString& line);

    std::FILE* out;
    std::function<void(int status)> end;
    std::uint64_t linesWritten = 0;
};

} // namespace kestrane
