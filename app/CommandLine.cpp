#include "app/CommandLine.h"

namespace kestrane {

CommandLine::CommandLine(std::string line) : text(std::move(line)) {}

CommandLine::CommandLine(int argc, char** argv) {
    for (int index = 1; index < argc; ++index) {
        if (index > 1) {
            text += ' ';
        }
        text += argv[index];
    }
}

bool CommandLine::FindOption(std::string_view word) {
    for (std::size_t position = 0; position < text.size(); ++position) {
        if (text[position] != '-' && text[position] != '/') {
            continue;
        }
        if (std::string_view(text).substr(position + 1, word.size()) == word) {
            text.erase(position, word.size() + 1);
            return true;
        }
    }
    return false;
}

} // namespace kestrane
