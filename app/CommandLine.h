#pragma once

#include <string>
#include <string_view>

namespace kestrane {

/// The program's command line as one text (arguments joined by spaces), from
/// which options are taken out as they are found. Options are words after "/"
/// or "-", matched case-sensitively over the word's length only, so a longer
/// word that begins with the option matches too.
class CommandLine {
public:
    explicit CommandLine(std::string text);
    CommandLine(int argc, char** argv);

    /// Scans from the start; at the first "/" or "-" followed by `word`, removes
    /// the marker and the word and returns true. False when there is none.
    bool FindOption(std::string_view word);

    const std::string& Text() const { return text; }

private:
    std::string text;
};

} // namespace kestrane
