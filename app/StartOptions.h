#pragma once

#include <string>
#include <vector>

namespace kestrane {

/// What the command line asks of a start, decided before anything else
/// exists: run (for the user or for an automation client), print the usage
/// or the version, or refuse an option nobody knows.
///
/// The automation switches ("Embedding", "Automation") are matched on the
/// whole line as CommandLine does, and an argument that holds one is never
/// unknown. Qt's own options (-platform NAME, -display NAME, -style NAME, ...)
/// are left to Qt. Any other argument that starts with "-" is unknown; other
/// words are ignored, as they always were.
class StartOptions {
public:
    enum class Request { Run, Help, Version, Unknown };

    StartOptions(int argc, char** argv);
    explicit StartOptions(const std::vector<std::string>& arguments);

    Request GetRequest() const { return request; }
    /// True when an automation switch was given: the start is for an
    /// automation client, not for the user.
    bool ForAutomation() const { return forAutomation; }
    /// The first unknown option, when GetRequest() is Unknown.
    const std::string& UnknownOption() const { return unknownOption; }

    /// Prints the usage, the version or the complaint about an unknown
    /// option; returns the exit status (0, or 2 for an unknown option).
    /// Not for Request::Run.
    int Answer() const;

private:
    void Read(const std::vector<std::string>& arguments);

    Request request = Request::Run;
    bool forAutomation = false;
    std::string unknownOption;
};

} // namespace kestrane
