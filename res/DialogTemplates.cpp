#include "res/DialogTemplate.h"
#include "res/Version.h"

#include <array>

namespace kestrane {
namespace {

constexpr unsigned kLineEdit = STYLE_TAB_STOP | STYLE_BORDER | STYLE_AUTO_HORIZONTAL_SCROLL;
constexpr unsigned kTextBox = STYLE_TAB_STOP | STYLE_BORDER | STYLE_MULTI_LINE | STYLE_READ_ONLY |
                              STYLE_VERTICAL_SCROLL | STYLE_AUTO_HORIZONTAL_SCROLL;

constexpr std::array kAboutControls{
    ControlTemplate{CONTROL_NO_ID, ControlKind::StaticIcon, "128", 11, 13, 20, 20, 0},
    ControlTemplate{CONTROL_NO_ID, ControlKind::StaticText, "Kestrane Version " KESTRANE_VERSION,
                    40, 12, 119, 8, STYLE_NO_PREFIX},
    ControlTemplate{1, ControlKind::PushButton, "OK", 178, 7, 50, 14,
                    STYLE_TAB_STOP | STYLE_GROUP | STYLE_DEFAULT_BUTTON},
};

constexpr std::array kMainControls{
    ControlTemplate{1002, ControlKind::ComboBox, nullptr, 7, 162, 245, 76,
                    STYLE_TAB_STOP | STYLE_DROP_DOWN_LIST | STYLE_SORTED | STYLE_VERTICAL_SCROLL},
    ControlTemplate{1001, ControlKind::Edit, nullptr, 7, 179, 244, 13, kLineEdit},
    ControlTemplate{7, ControlKind::PushButton, "&Hide", 257, 178, 49, 14, STYLE_TAB_STOP},
    ControlTemplate{6, ControlKind::PushButton, "&Send", 256, 161, 23, 14,
                    STYLE_TAB_STOP | STYLE_DEFAULT_BUTTON},
    ControlTemplate{57670, ControlKind::PushButton, "H&elp", 283, 161, 23, 14, STYLE_TAB_STOP},
    ControlTemplate{1020, ControlKind::PushButton, "Send &file...", 7, 197, 70, 14, STYLE_TAB_STOP},
    ControlTemplate{1021, ControlKind::PushButton, "Send f&older...", 81, 197, 70, 14,
                    STYLE_TAB_STOP},
    ControlTemplate{1023, ControlKind::PushButton, "H&istory...", 158, 197, 70, 14, STYLE_TAB_STOP},
    ControlTemplate{1022, ControlKind::PushButton, "&Transfers...", 236, 197, 70, 14,
                    STYLE_TAB_STOP},
    ControlTemplate{1000, ControlKind::Edit, nullptr, 7, 7, 299, 150, kTextBox},
};

constexpr std::array kMessageControls{
    ControlTemplate{1009, ControlKind::Edit, nullptr, 7, 80, 301, 12, kLineEdit},
    ControlTemplate{1013, ControlKind::PushButton, "Hide", 314, 96, 50, 14, STYLE_TAB_STOP},
    ControlTemplate{1010, ControlKind::PushButton, "<<", 7, 96, 75, 14, STYLE_TAB_STOP},
    ControlTemplate{1011, ControlKind::PushButton, ">>", 88, 96, 75, 14, STYLE_TAB_STOP},
    ControlTemplate{1012, ControlKind::PushButton, "Skip", 169, 96, 75, 14, STYLE_TAB_STOP},
    ControlTemplate{1005, ControlKind::PushButton, "Reply", 314, 80, 50, 14,
                    STYLE_TAB_STOP | STYLE_DEFAULT_BUTTON},
    ControlTemplate{1006, ControlKind::Edit, nullptr, 7, 17, 357, 56, kTextBox},
    ControlTemplate{1008, ControlKind::StaticText, "Got message from: ", 7, 7, 357, 10,
                    STYLE_GROUP},
};

constexpr std::array kTemplates{
    DialogTemplate{IDD_ABOUTBOX, "About Kestrane", "Tahoma", 10, 235, 55,
                   DIALOG_SYSTEM_MENU | DIALOG_MODAL_FRAME, kAboutControls},
    DialogTemplate{IDD_TAVRIN_DIALOG, "Kestrane", "Courier New", 10, 313, 217,
                   DIALOG_SYSTEM_MENU | DIALOG_MODAL_FRAME | DIALOG_APP_WINDOW |
                       DIALOG_MINIMIZE_BOX,
                   kMainControls},
    DialogTemplate{IDD_MESSAGE_DIALOG, "Got message from", "Tahoma", 10, 371, 117,
                   DIALOG_SYSTEM_MENU | DIALOG_MODAL_FRAME, kMessageControls},
};

} // namespace

const DialogTemplate* FindDialogTemplate(int id) {
    for (const DialogTemplate& dialog : kTemplates) {
        if (dialog.id == id) {
            return &dialog;
        }
    }
    return nullptr;
}

} // namespace kestrane
