#include "platform/MessageBox.h"
#include "tests/support/LoopbackSocket.h"
#include "tests/support/RecordingToneSink.h"
#include "tests/ui/LoopbackDialog.h"
#include "ui/CMessageDlg.h"
#include "ui/CTavrinDlg.h"
#include "ui/MessageQueue.h"
#include "ui/TrayIcon.h"
#include "ui/UiBridge.h"

#include <QComboBox>
#include <QLabel>
#include <QPlainTextEdit>
#include <QTest>
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <memory>
#include <ostream>
#include <string>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

QT_BEGIN_NAMESPACE
// Defined with the widget tests' main.
void PrintTo(const QString& text, std::ostream* out);
QT_END_NAMESPACE

namespace kestrane::test {
namespace {

using namespace std::string_literals;

// What a hostile peer may put on the wire, each part aimed at a way text can
// turn into more than text on screen.
const std::string kBold = "<b>bold</b>";
const std::string kImage = "<img src=\"http://192.0.2.1/x.png\">";
const std::string kLink = "<a href=\"file:///etc/passwd\">click</a>";
const std::string kControls = "bell\a back\b esc\x1b[31m del\x7f";
const std::string kBadUtf8 = "bad\xc3\x28\xff\xfe";

/// Type, the name right-aligned in its 32-character field, then the text.
std::string Datagram(char type, const std::string& field, const std::string& text) {
    return std::string(1, type) + std::string(32 - field.size(), ' ') + field + text;
}

class AvailableTray : public TrayIcon {
public:
    bool IsAvailable() const override { return true; }
};

class HostileInputTest : public testing::Test {
protected:
    void SetUp() override {
        previousHook = SetMessageBoxHook([](const std::string&, const std::string&) {});
        dialog = std::make_unique<LoopbackDialog>(queue, tones, tray, *bridge, port);
        dialog->timer.stop();
        dialog->show();
        dialog->OnTimer(); // into the tray, so lines blink the icon
    }
    void TearDown() override {
        dialog.reset();
        SetMessageBoxHook(previousHook);
    }

    void Send(const std::string& bytes) const { SendToWindow(port, bytes); }

    QString Log() const { return dialog->findChild<QPlainTextEdit*>("1000")->toPlainText(); }
    QStringList Roster() const {
        QStringList names;
        for (int index = 0; index < dialog->roster->count(); ++index) {
            names << dialog->roster->itemText(index);
        }
        return names;
    }

    int port = FreeUdpPort();
    MessageQueue queue;
    RecordingToneSink tones;
    AvailableTray tray;
    std::unique_ptr<UiBridge> bridge = std::make_unique<UiBridge>();
    MessageBoxHook previousHook;
    std::unique_ptr<LoopbackDialog> dialog;
};

TEST_F(HostileInputTest, MarkupAndControlsShowAsTheyCameEverywhere) {
    const std::string name = "<b>" + std::string("X\a\x1b") + "</b>";
    const std::string line = kBold + kImage + kLink + kControls + "\r\n";
    Send(Datagram(4, name, line));
    ASSERT_TRUE(QTest::qWaitFor([&] { return queue.Size() == 1; }));
    QTest::qWait(50);

    const QString shownName = QString::fromStdString(name);
    const QString shownLine = QString::fromStdString(line);
    EXPECT_TRUE(Log().contains(shownName + " : " + QString::fromStdString(kBold + kImage + kLink)));
    EXPECT_TRUE(Roster().contains(shownName));

    queue.current = 0;
    CMessageDlg box(queue, tones,
                    [](const HistoryEntry&, const QString&) { return SendResult::Sent; });
    auto* label = box.findChild<QLabel*>("1008");
    ASSERT_NE(label, nullptr);
    EXPECT_EQ(label->textFormat(), Qt::PlainText);
    EXPECT_EQ(label->text(), shownName);
    EXPECT_EQ(box.windowTitle(), "Message from " + shownName);
    EXPECT_EQ(box.findChild<QPlainTextEdit*>()->toPlainText(), ">" + shownLine.chopped(2) + "\n");
    EXPECT_EQ(tray.Icon().toolTip(), TRAY_TIP);
}

TEST_F(HostileInputTest, OddNamesAndBytesNeitherCrashNorListNonsense) {
    // A NUL ends the name; what follows it in the field is not part of it.
    Send(Datagram(4, "ab\0<i>hidden</i>"s, "after a NUL name\r\n"));
    // Thirty-two spaces are no name: the line shows, the roster stays as it is.
    Send(Datagram(4, std::string(32, ' '), "from nobody\r\n"));
    // Invalid UTF-8 shows as Windows-1252 rather than replacement marks.
    Send(Datagram(4, kBadUtf8, kBadUtf8 + "\r\n"));
    // The longest line the listener passes on, NUL in the middle of the text.
    std::string longest(4063, 'L');
    longest[2000] = '\0';
    Send(Datagram(4, "LONG", longest));
    Send(Datagram(1, "<a href=x>h</a>", "ILIVE"));
    ASSERT_TRUE(QTest::qWaitFor([&] { return Roster().size() == 5; }));

    EXPECT_TRUE(Log().contains("ab : after a NUL name"));
    EXPECT_TRUE(Log().contains("\n : from nobody"));
    EXPECT_TRUE(Log().contains(QStringLiteral("bad\u00c3(\u00ff\u00fe")));
    EXPECT_TRUE(Log().contains("LONG : " + QString(2000, 'L')));
    EXPECT_FALSE(Log().contains(QString(2001, 'L')));
    EXPECT_FALSE(Log().contains("hidden"));
    EXPECT_EQ(Roster().mid(1), (QStringList{"<a href=x>h</a>", "ab",
                                            QStringLiteral("bad\u00c3(\u00ff\u00fe"), "LONG"}));
    EXPECT_EQ(queue.Size(), 4);
    EXPECT_EQ(tray.Icon().toolTip(), TRAY_TIP);
}

} // namespace
} // namespace kestrane::test
