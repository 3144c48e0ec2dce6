#include "app/StartOptions.h"

#include "app/CommandLine.h"
#include "res/Version.h"

#include <array>
#include <cstdio>
#include <string_view>

namespace kestrane {
namespace {

constexpr std::string_view kUsage =
    "Usage: kestrane [-Embedding | -Automation] [--mute | --unmute]\n"
    "                [--do-not-disturb | --allow-notifications]\n"
    "       kestrane --send HOST TEXT...\n"
    "       kestrane --send --broadcast TEXT...\n"
    "       kestrane --headless\n"
    "       kestrane --history [--since WHEN]\n"
    "Serverless chat for one local network: broadcasts on UDP port 9000 as it starts.\n"
    "\n"
    "  -Embedding, -Automation  start for an automation client on the D-Bus session bus\n"
    "                           (also after \"/\"; any word that begins with one counts)\n"
    "  --send HOST TEXT...      have the running copy send TEXT (the words joined by\n"
    "                           spaces) to HOST, a host name or IPv4 address, or with\n"
    "                           --broadcast to everybody; prints what became of it and\n"
    "                           exits 0 when delivered, 1 when not, 2 on bad use or\n"
    "                           when no copy runs\n"
    "  --headless               run without a window or a display: the log goes to\n"
    "                           the standard output; ends on SIGTERM or SIGINT\n"
    "  --history [--since WHEN] print the lines kept in the history, oldest first,\n"
    "                           one a line, tab-separated: time, in or out, host,\n"
    "                           address, state, text; WHEN is an ISO 8601 date or\n"
    "                           date and time, or an age such as 30m, 12h or 7d\n"
    "  --mute, --unmute         no tones when a line arrives, or tones again; kept\n"
    "  --do-not-disturb         no notifications when a line arrives; kept\n"
    "  --allow-notifications    notifications again; kept\n"
    "  -h, --help               print this and exit\n"
    "  -v, --version            print the version and exit\n"
    "\n"
    "Qt's own options (-platform, -display, -style, -session, ...) are passed to Qt.\n"
    "See kestrane(1).\n";

struct QtOption {
    std::string_view name;
    bool takesValue;
};

// The options QGuiApplication and QApplication take out of the command line.
constexpr std::array kQtOptions{
    QtOption{"platform", true},        QtOption{"platformpluginpath", true},
    QtOption{"platformtheme", true},   QtOption{"plugin", true},
    QtOption{"qwindowgeometry", true}, QtOption{"qwindowicon", true},
    QtOption{"qwindowtitle", true},    QtOption{"session", true},
    QtOption{"display", true},         QtOption{"geometry", true},
    QtOption{"style", true},           QtOption{"stylesheet", true},
    QtOption{"qmljsdebugger", false},  QtOption{"reverse", false},
    QtOption{"widgetcount", false}};

// Qt's option named by `argument` ("-name", "--name" or "-name=value"), if any.
const QtOption* FindQtOption(std::string_view argument) {
    argument.remove_prefix(argument.starts_with("--") ? 2 : 1);
    const std::string_view name = argument.substr(0, argument.find('='));
    for (const QtOption& option : kQtOptions) {
        if (option.name == name) {
            return &option;
        }
    }
    return nullptr;
}

bool HoldsAutomationSwitch(const std::string& argument) {
    CommandLine line(argument);
    return line.FindOption("Embedding") || line.FindOption("Automation");
}

} // namespace

StartOptions::StartOptions(int argc, char** argv) {
    Read(std::vector<std::string>(argv + (argc > 0 ? 1 : 0), argv + argc));
}

StartOptions::StartOptions(const std::vector<std::string>& arguments) {
    Read(arguments);
}

void StartOptions::Read(const std::vector<std::string>& arguments) {
    std::string text;
    for (const std::string& argument : arguments) {
        text += (text.empty() ? "" : " ") + argument;
    }
    // The designed order: "Embedding" first, "Automation" only without it.
    CommandLine line(text);
    forAutomation = line.FindOption("Embedding") || line.FindOption("Automation");

    for (std::size_t index = 0; index < arguments.size(); ++index) {
        const std::string& argument = arguments[index];
        if (argument == "-h" || argument == "--help") {
            request = Request::Help;
            return;
        }
        if (argument == "-v" || argument == "--version") {
            request = Request::Version;
            return;
        }
        if (argument == "--send") {
            ReadSend(arguments.begin() + static_cast<std::ptrdiff_t>(index) + 1, arguments.end());
            return;
        }
        if (argument == "--history") {
            ReadHistory(arguments.begin() + static_cast<std::ptrdiff_t>(index) + 1,
                        arguments.end());
            return;
        }
        if (argument == "--headless") {
            headless = true;
            continue;
        }
        if (argument == "--mute" || argument == "--unmute") {
            muted = argument == "--mute";
            continue;
        }
        if (argument == "--do-not-disturb" || argument == "--allow-notifications") {
            doNotDisturb = argument == "--do-not-disturb";
            continue;
        }
        if (!argument.starts_with('-') || HoldsAutomationSwitch(argument)) {
            continue;
        }
        const QtOption* qtOption = FindQtOption(argument);
        if (qtOption == nullptr) {
            request = Request::Unknown;
            unknownOption = argument;
            return;
        }
        if (qtOption->takesValue && argument.find('=') == std::string::npos) {
            ++index; // its value, whatever it looks like
        }
    }
}

void StartOptions::ReadSend(std::vector<std::string>::const_iterator next,
                            std::vector<std::string>::const_iterator end) {
    request = Request::BadSend;
    if (next == end) {
        complaint = "--send needs a host, or --broadcast, and the text";
        return;
    }
    sendRequest.toEverybody = *next == "--broadcast";
    if (!sendRequest.toEverybody) {
        sendRequest.to = *next;
    }
    if (++next == end) {
        complaint = std::string("--send needs the text after ") +
                    (sendRequest.toEverybody ? "--broadcast" : "the host");
        return;
    }
    for (bool first = true; next != end; ++next, first = false) {
        sendRequest.text += (first ? "" : " ") + *next;
    }
    if (!sendRequest.toEverybody &&
        (sendRequest.to.empty() || sendRequest.to.starts_with('-') || sendRequest.to == "*")) {
        complaint = "--send needs a host name or address, or --broadcast, before the text";
    } else if (sendRequest.text.find_first_of(std::string_view("\r\n\0", 3)) != std::string::npos) {
        complaint = "the text must be one line";
    } else if (!sendRequest.IsWellFormed()) {
        complaint =
            "the host name or the text is too long, or the host name holds a control character";
    } else {
        request = Request::Send;
    }
}

void StartOptions::ReadHistory(std::vector<std::string>::const_iterator next,
                               std::vector<std::string>::const_iterator end) {
    request = Request::BadHistory;
    if (next != end && *next == "--since") {
        if (++next == end || next->empty()) {
            complaint = "--since needs a time: an ISO 8601 date or date and time, or an age";
            return;
        }
        since = *next++;
    }
    if (next != end) {
        complaint = "--history takes only --since WHEN, not '" + *next + "'";
        return;
    }
    request = Request::History;
}

int StartOptions::Answer() const {
    switch (request) {
    case Request::Help:
        std::fputs(kUsage.data(), stdout);
        return 0;
    case Request::Version:
        std::fputs("kestrane " KESTRANE_VERSION "\n", stdout);
        return 0;
    case Request::Unknown:
        std::fprintf(stderr, "kestrane: unknown option '%s'\nTry 'kestrane --help'.\n",
                     unknownOption.c_str());
        return 2;
    case Request::BadSend:
        std::fprintf(stderr,
                     "kestrane: %s\nUsage: kestrane --send HOST TEXT... | --send --broadcast "
                     "TEXT...\n",
                     complaint.c_str());
        return 2;
    case Request::BadHistory:
        std::fprintf(stderr, "kestrane: %s\nUsage: kestrane --history [--since WHEN]\n",
                     complaint.c_str());
        return 2;
    case Request::Run:
    case Request::Send:
    case Request::History:
        break;
    }
    return 0;
}

} // namespace kestrane
