#include "ui/accessibility/ControlTexts.h"

#include <array>

namespace kestrane {
namespace {

using Kind = ControlKind;

// Buttons are named as they read on the screen, without the shortcut's "&",
// so that what is heard matches what is seen.
constexpr std::array kTexts{
    ControlTexts{IDD_ABOUTBOX, CONTROL_NO_ID, Kind::StaticIcon, "Kestrane icon",
                 "The program's icon"},
    ControlTexts{IDD_ABOUTBOX, CONTROL_NO_ID, Kind::StaticText, nullptr,
                 "The program's name and version"},
    ControlTexts{IDD_ABOUTBOX, 1, Kind::PushButton, "OK", "Closes this box"},

    ControlTexts{IDD_TAVRIN_DIALOG, 1002, Kind::ComboBox, "Send to",
                 "The roster: choose the host the next line goes to, or Broadcast for everybody"},
    ControlTexts{IDD_TAVRIN_DIALOG, 1001, Kind::Edit, "Message line",
                 "Type a line and press Enter to send it to the host chosen in the roster"},
    ControlTexts{IDD_TAVRIN_DIALOG, 7, Kind::PushButton, "Hide",
                 "Hides the window; Kestrane goes on running and tells of new lines"},
    ControlTexts{IDD_TAVRIN_DIALOG, 6, Kind::PushButton, "Send",
                 "Sends the message line to the host chosen in the roster"},
    ControlTexts{IDD_TAVRIN_DIALOG, 57670, Kind::PushButton, "Help", "Opens the manual"},
    ControlTexts{IDD_TAVRIN_DIALOG, 1020, Kind::PushButton, "Send file...",
                 "Offers files to the host chosen in the roster"},
    ControlTexts{IDD_TAVRIN_DIALOG, 1021, Kind::PushButton, "Send folder...",
                 "Offers a folder and all it holds to the host chosen in the roster"},
    ControlTexts{IDD_TAVRIN_DIALOG, 1023, Kind::PushButton, "History...",
                 "Opens the history of the lines sent and received, to read and search"},
    ControlTexts{IDD_TAVRIN_DIALOG, 1022, Kind::PushButton, "Transfers...",
                 "Shows the file transfers and the offers waiting for an answer"},
    ControlTexts{IDD_TAVRIN_DIALOG, 1000, Kind::Edit, "Chat log",
                 "The lines sent and received and what became of them, the newest last"},

    ControlTexts{IDD_MESSAGE_DIALOG, 1009, Kind::Edit, "Reply line",
                 "Type a reply and press Enter to send it to the sender of the line shown"},
    ControlTexts{IDD_MESSAGE_DIALOG, 1013, Kind::PushButton, "Hide",
                 "Closes this dialog; the lines not read stay for later"},
    ControlTexts{IDD_MESSAGE_DIALOG, 1010, Kind::PushButton, "Newer line",
                 "Shows the next newer line"},
    ControlTexts{IDD_MESSAGE_DIALOG, 1011, Kind::PushButton, "Older line",
                 "Shows the next older line"},
    ControlTexts{IDD_MESSAGE_DIALOG, 1012, Kind::PushButton, "Skip",
                 "Counts the line shown as read and shows the next one"},
    ControlTexts{IDD_MESSAGE_DIALOG, 1005, Kind::PushButton, "Reply",
                 "Sends the reply line to the sender of the line shown"},
    ControlTexts{IDD_MESSAGE_DIALOG, 1006, Kind::Edit, "Line", "The text of the line shown"},
    ControlTexts{IDD_MESSAGE_DIALOG, 1008, Kind::StaticText, nullptr, "Who sent the line shown"},
};

} // namespace

const ControlTexts* FindControlTexts(int dialogId, int controlId, ControlKind kind) {
    for (const ControlTexts& texts : kTexts) {
        if (texts.dialogId == dialogId && texts.controlId == controlId && texts.kind == kind) {
            return &texts;
        }
    }
    return nullptr;
}

} // namespace kestrane
