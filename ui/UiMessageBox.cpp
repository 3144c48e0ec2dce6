#include "ui/UiMessageBox.h"

#include "ui/UiBridge.h"

#include <QCoreApplication>
#include <QMessageBox>
#include <QThread>
#include <cstdio>

namespace kestrane {
namespace {

void ShowBoxNow(const std::string& text, const std::string& caption) {
    QMessageBox box(QMessageBox::Warning, QString::fromStdString(caption),
                    QString::fromStdString(text), QMessageBox::Ok);
    box.setTextFormat(Qt::PlainText);
    box.exec();
}

} // namespace

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

} // namespace kestrane
