#pragma once

#include <span>

namespace kestrane {

/// What a control of a dialog template is; the window layer's builder makes
/// the matching widget.
enum class ControlKind {
    ComboBox,
    Edit,
    PushButton,
    StaticText,
    StaticIcon,
};

/// Control styles, as bits of ControlTemplate::styles.
inline constexpr unsigned STYLE_TAB_STOP = 1u << 0;
inline constexpr unsigned STYLE_GROUP = 1u << 1;
inline constexpr unsigned STYLE_DEFAULT_BUTTON = 1u << 2;
inline constexpr unsigned STYLE_MULTI_LINE = 1u << 3;
inline constexpr unsigned STYLE_READ_ONLY = 1u << 4;
inline constexpr unsigned STYLE_VERTICAL_SCROLL = 1u << 5;
inline constexpr unsigned STYLE_AUTO_HORIZONTAL_SCROLL = 1u << 6;
inline constexpr unsigned STYLE_BORDER = 1u << 7;
inline constexpr unsigned STYLE_SORTED = 1u << 8;
inline constexpr unsigned STYLE_DROP_DOWN_LIST = 1u << 9;
inline constexpr unsigned STYLE_NO_PREFIX = 1u << 10;

/// Window styles, as bits of DialogTemplate::styles.
inline constexpr unsigned DIALOG_SYSTEM_MENU = 1u << 0;
inline constexpr unsigned DIALOG_MODAL_FRAME = 1u << 1;
inline constexpr unsigned DIALOG_APP_WINDOW = 1u << 2;
inline constexpr unsigned DIALOG_MINIMIZE_BOX = 1u << 3;

/// A control without an id of its own.
inline constexpr int CONTROL_NO_ID = -1;

/// One control; position and size are in dialog units.
struct ControlTemplate {
    int id;
    ControlKind kind;
    const char* caption; // null for none; for a static icon, the icon's resource id as text
    int x;
    int y;
    int width;
    int height;
    unsigned styles;
};

/// One dialog: window, font and controls in template order, which is the tab order.
struct DialogTemplate {
    int id;
    const char* caption;
    const char* fontFamily;
    int fontPointSize;
    int width; // dialog units
    int height;
    unsigned styles;
    std::span<const ControlTemplate> controls;
};

/// The templates of the program, by id (100, 102, 135); null for an unknown id.
const DialogTemplate* FindDialogTemplate(int id);

inline constexpr int IDD_ABOUTBOX = 100;
inline constexpr int IDD_TAVRIN_DIALOG = 102;
inline constexpr int IDD_MESSAGE_DIALOG = 135;

/// Icon resources.
inline constexpr int IDR_MAINFRAME = 128;
inline constexpr int IDI_BLINK = 134;

} // namespace kestrane
