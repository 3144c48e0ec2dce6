#pragma once

#include "core/session/SessionView.h"

#include <QString>
#include <cstdint>
#include <functional>
#include <memory>

class QMenu;
class QPoint;

namespace kestrane {

enum class LineLook;
enum class LineTrust : int;
class LogControl;
class LogMarks;
class LogText;
class TextBox;

/// The main window's log: its text, the marks and times of its lines, and
/// the control that shows them once the window has made it, with the log's
/// context menu. Owns the marks and the control's writer, not the text or the
/// control. UI thread only.
class LogPane {
public:
    struct Hooks {
        /// "Send again" on a line sent that did not reach everybody.
        std::function<void(std::uint64_t line)> sendAgain;
        /// Adds the window's shared items to the context menu.
        std::function<void(QMenu& menu)> addItems;
        /// "Reply to PC3" on a line that came: the roster chooses its sender.
        std::function<void(const std::string& sender)> replyTo;
    };

    LogPane(LogText& text, Hooks hooks);
    ~LogPane();
    LogPane(const LogPane&) = delete;
    LogPane& operator=(const LogPane&) = delete;

    /// The window made its control: the log, its marks and times show there.
    /// Long lines wrap; the times show beside the lines if the person chose so.
    void Show(TextBox& view);
    TextBox* View() const { return view; }

    /// Appends `text` (line ends included), stamped with the time unless
    /// `stamp` is None; returns the number of the line it begins on.
    std::uint64_t Append(const QString& text, SessionView::Stamp stamp);
    void SetMark(std::uint64_t line, LineLook look, const QString& words);
    void SetTrust(std::uint64_t line, LineTrust trust, const QString& sender);
    /// `line` came from `sender` (its name as on the wire).
    void SetSender(std::uint64_t line, const std::string& sender);
    const LogMarks& Marks() const { return *marks; }

    /// Data exchange with the control, once there is one.
    void Read();
    void Write();

private:
    void ShowMenu(const QPoint& position);

    LogText& text;
    Hooks hooks;
    std::unique_ptr<LogMarks> marks;
    TextBox* view = nullptr;
    std::unique_ptr<LogControl> control;
};

} // namespace kestrane
