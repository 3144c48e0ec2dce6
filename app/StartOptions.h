#pragma once

#include "chat/ScriptedSend.h"

#include <optional>
#include <string>
#include <vector>

namespace kestrane {

/// What the command line asks of a start, decided before anything else
/// exists: run (for the user, for an automation client, or without a desktop:
/// --headless), print the usage or the version, hand a line to the running
/// copy (--send), print the history (--history [--since WHEN]), or refuse an
/// option nobody knows or a --send or --history without what it needs.
///
/// "--send HOST TEXT..." and "--send --broadcast TEXT..." take every argument
/// after them: TEXT is the rest joined by single spaces, and may be "" but not
/// missing; CR, LF and NUL in it are refused, as is a line too long to hand over.
///
/// The automation switches ("Embedding", "Automation") are matched on the
/// whole line as CommandLine does, and an argument that holds one is never
/// unknown. Qt's own options (-platform NAME, -display NAME, -style NAME, ...)
/// are left to Qt. Any other argument that starts with "-" is unknown; other
/// words are ignored, as they always were.
class StartOptions {
public:
    enum class Request { Run, Help, Version, Send, BadSend, History, BadHistory, Unknown };

    StartOptions(int argc, char** argv);
    explicit StartOptions(const std::vector<std::string>& arguments);

    Request GetRequest() const { return request; }
    /// True when an automation switch was given: the start is for an
    /// automation client, not for the user.
    bool ForAutomation() const { return forAutomation; }
    /// True when --headless was given: the copy runs without a window.
    bool Headless() const { return headless; }
    /// What --history --since gave; empty for the whole history.
    const std::string& Since() const { return since; }
    /// The first unknown option, when GetRequest() is Unknown.
    const std::string& UnknownOption() const { return unknownOption; }
    /// The line to hand over, when GetRequest() is Send.
    const ScriptedSend& SendRequest() const { return sendRequest; }
    /// --mute (true) or --unmute (false), the last one given; nothing without either.
    std::optional<bool> Muted() const { return muted; }
    /// --do-not-disturb (true) or --allow-notifications (false), the last one given.
    std::optional<bool> DoNotDisturb() const { return doNotDisturb; }
    /// What is wrong with --send or --history, when GetRequest() is BadSend or BadHistory.
    const std::string& Complaint() const { return complaint; }

    /// Prints the usage, the version or the complaint about an unknown
    /// option or a bad --send or --history; returns the exit status (0, or 2
    /// for a complaint). Not for Request::Run, Send or History.
    int Answer() const;

private:
    void Read(const std::vector<std::string>& arguments);
    /// Reads what follows "--send".
    void ReadSend(std::vector<std::string>::const_iterator next,
                  std::vector<std::string>::const_iterator end);
    /// Reads what follows "--history".
    void ReadHistory(std::vector<std::string>::const_iterator next,
                     std::vector<std::string>::const_iterator end);

    Request request = Request::Run;
    bool forAutomation = false;
    bool headless = false;
    std::string since;
    std::optional<bool> muted;
    std::optional<bool> doNotDisturb;
    std::string unknownOption;
    ScriptedSend sendRequest;
    std::string complaint;
};

} // namespace kestrane
