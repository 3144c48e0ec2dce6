#include "ui/LogControl.h"

#include "ui/NetworkText.h"

#include <QPlainTextEdit>
#include <gtest/gtest.h>

namespace kestrane {
namespace {

TEST(LogControlTest, ExtensionsAppendAndReplacementsRewrite) {
    QPlainTextEdit edit;
    edit.setReadOnly(true);
    LogControl control(edit);
    LogText log;
    log += "A : one\r\n";
    control.Write(log);
    log += "B : two\r";
    control.Write(log);
    log += "\nC : three\r\n"; // CR LF split across two writes
    control.Write(log);
    EXPECT_EQ(edit.toPlainText(), "A : one\nB : two\nC : three\n");
    log = QStringLiteral("fresh\r\n");
    control.Write(log);
    EXPECT_EQ(edit.toPlainText(), "fresh\n");
}

TEST(LogControlTest, ReadKeepsTheLogUnlessTheControlChangedBehindIt) {
    QPlainTextEdit edit;
    LogControl control(edit);
    LogText log;
    log += "x\r\n";
    control.Write(log);
    control.Read(log);
    EXPECT_EQ(log.Text(), "x\r\n");
    EXPECT_EQ(log.Replacements(), 0U);
    edit.setPlainText("changed\nhere");
    control.Read(log);
    EXPECT_EQ(log.Text(), "changed\r\nhere");
    log += "\r\nmore";
    control.Write(log);
    EXPECT_EQ(edit.toPlainText(), "changed\nhere\nmore");
}

TEST(NetworkTextTest, Utf8WhenValidOtherwiseWindows1252) {
    EXPECT_EQ(DecodeNetworkText("caf\xc3\xa9"), QString::fromUtf8("caf\u00e9"));
    EXPECT_EQ(DecodeNetworkText("caf\xe9 \x80 \x93"), QString::fromUtf8("caf\u00e9 \u20ac \u201c"));
    EXPECT_EQ(DecodeNetworkText(std::string_view("a\0b", 3)), QStringView(u"a\0b", 3).toString());
    EXPECT_EQ(EncodeNetworkText(QString::fromUtf8("\u20ac")), QByteArray("\xe2\x82\xac"));
}

} // namespace
} // namespace kestrane
