// Option matching over an arbitrary command line. The input is the option
// word, a NUL, then the command-line text; every option is taken out in turn.
#include "app/CommandLine.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view input(reinterpret_cast<const char*>(data), size);
    const std::size_t split = input.find('\0');
    const std::string_view word = input.substr(0, split);
    const std::string_view text =
        split == std::string_view::npos ? std::string_view() : input.substr(split + 1);

    kestrane::CommandLine commandLine{std::string(text)};
    for (std::string_view option : {word, std::string_view("Embedding"),
                                    std::string_view("Automation"), std::string_view("")}) {
        std::size_t before = commandLine.Text().size();
        // Each find removes the marker and the word, so the loop ends.
        while (commandLine.FindOption(option)) {
            if (commandLine.Text().size() + 1 + option.size() != before) {
                std::abort();
            }
            before = commandLine.Text().size();
        }
    }
    return 0;
}
