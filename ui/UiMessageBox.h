#pragma once

#include "platform/MessageBox.h"

#include <QString>
#include <functional>

class QWidget;

namespace kestrane {

class UiBridge;

/// The message-box hook the application installs: boxes from code below the
/// window layer show as a plain-text QMessageBox on the UI thread. A caller on
/// another thread waits until the box is dismissed; once `bridge` is closed
/// (the main window is gone) the text goes to stderr instead and nobody waits.
/// `bridge` must outlive the hook's installation.
MessageBoxHook MakeUiMessageBoxHook(UiBridge& bridge);

/// Asks `question` in a plain-text modal box over `parent` with the answers
/// `yes` and `no`; true for `yes`. Esc, closing the box, or the box ended
/// from outside (end of session) answer `no`. UI thread only.
bool AskQuestion(QWidget* parent, const QString& question, const QString& yes, const QString& no);

/// Answers questions in place of the person (tests): true for `yes`.
using QuestionHook = std::function<bool(const QString& question)>;
/// Installs `hook` (or removes it, when empty) and returns the previous one. UI thread only.
QuestionHook SetQuestionHook(QuestionHook hook);

/// Closes the program's open menus and the modal dialogs stacked above
/// `window` (their answer: none), as an end of session must. Each returns
/// from its event loop only when that loop next runs. UI thread only.
void CloseMenusAndBoxesAbove(const QWidget& window);

} // namespace kestrane
