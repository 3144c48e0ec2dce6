#include "tests/support/PrivateNetwork.h"
#include "ui/QtThreadSanitizerOptions.h"

#include <QApplication>
#include <QString>
#include <cstdlib>
#include <gtest/gtest.h>
#include <ostream>

QT_BEGIN_NAMESPACE
// Failures print text rather than bytes.
void PrintTo(const QString& text, std::ostream* out) {
    *out << '"' << text.toStdString() << '"';
}
QT_END_NAMESPACE

int main(int argc, char** argv) {
    // A test that broadcasts by mistake reaches nobody.
    kestrane::test::EnterPrivateNetwork();
    // Widget tests need no display; test discovery at build time has none.
    setenv("QT_QPA_PLATFORM", "offscreen", 0);
    QApplication application(argc, argv);
    QApplication::setQuitOnLastWindowClosed(false);
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
