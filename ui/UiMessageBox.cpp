#include "ui/UiMessageBox.h"

#include "core/threads/UiBridge.h"

#include <QApplication>
#include <QCoreApplication>
#include <QDialog>
#include <QMessageBox>
#include <QPushButton>
#include <QThread>
#include <cstdio>
#include <utility>

namespace kestrane {
namespace {

QuestionHook questionHook; // UI thread only

void ShowBoxNow(const std::string& text, const std::string& caption) {
    QMessageBox box(QMessageBox::Warning, QString::fromStdString(caption),
                    QString::fromStdString(text), QMessageBox::Ok);
    box.setTextFormat(Qt::PlainText);
    box.exec();
}

} // namespace

bool AskQuestion(QWidget* parent, const QString& question, const QString& yes, const QString& no) {
    if (questionHook) {
        return questionHook(question);
    }
    QMessageBox box(QMessageBox::Question, QStringLiteral("Kestrane"), question,
                    QMessageBox::NoButton, parent);
    box.setTextFormat(Qt::PlainText);
    QPushButton* yesButton = box.addButton(yes, QMessageBox::AcceptRole);
    QPushButton* noButton = box.addButton(no, QMessageBox::RejectRole);
    box.setDefaultButton(noButton);
    box.setEscapeButton(noButton);
    box.exec();
    return box.clickedButton() == yesButton;
}

QuestionHook SetQuestionHook(QuestionHook hook) {
    return std::exchange(questionHook, std::move(hook));
}

MessageBoxHook MakeUiMessageBoxHook(UiBridge& bridge) {
    return [&bridge](const std::string& text, const std::string& caption) {
        // On the UI thread the box shows at once: waiting for the UI thread
        // there would never end.
        if (QThread::currentThread() == QCoreApplication::instance()->thread()) {
            ShowBoxNow(text, caption);
            return;
        }
        if (!bridge.Call([&] { ShowBoxNow(text, caption); })) {
            std::fprintf(stderr, "%s: %s\n", caption.c_str(), text.c_str());
        }
    };
}

void CloseMenusAndBoxesAbove(const QWidget& window) {
    while (QWidget* popup = QApplication::activePopupWidget()) {
        if (!popup->close()) {
            break;
        }
    }
    while (QWidget* modal = QApplication::activeModalWidget()) {
        auto* dialog = qobject_cast<QDialog*>(modal);
        if (modal == &window || dialog == nullptr) {
            break;
        }
        dialog->reject();
        if (dialog->isVisible()) {
            break;
        }
    }
}

} // namespace kestrane
