#include "res/DialogTemplate.h"

#include "res/StringTable.h"
#include "ui/CAboutDlg.h"
#include "ui/DialogBuilder.h"
#include "ui/DialogUnits.h"

#include <QComboBox>
#include <QDialog>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <gtest/gtest.h>
#include <string>
#include <vector>

namespace kestrane {
namespace {

std::vector<int> Ids(const DialogTemplate& dialog) {
    std::vector<int> ids;
    for (const ControlTemplate& control : dialog.controls) {
        ids.push_back(control.id);
    }
    return ids;
}

// Walks the focus chain from the first control, as Tab does.
std::vector<QString> TabOrder(QDialog& dialog, QWidget* first) {
    std::vector<QString> names{first->objectName()};
    for (QWidget* widget = first->nextInFocusChain(); widget != first;
         widget = widget->nextInFocusChain()) {
        if (widget->focusPolicy() & Qt::TabFocus && widget->parentWidget() == &dialog) {
            names.push_back(widget->objectName());
        }
    }
    return names;
}

TEST(DialogTemplateTest, TemplatesHoldTheirControlsInTabOrder) {
    ASSERT_NE(FindDialogTemplate(IDD_TAVRIN_DIALOG), nullptr);
    ASSERT_NE(FindDialogTemplate(IDD_MESSAGE_DIALOG), nullptr);
    ASSERT_NE(FindDialogTemplate(IDD_ABOUTBOX), nullptr);
    EXPECT_EQ(FindDialogTemplate(101), nullptr);
    EXPECT_EQ(Ids(*FindDialogTemplate(IDD_TAVRIN_DIALOG)),
              (std::vector<int>{1002, 1001, 7, 6, 57670, 1000}));
    EXPECT_EQ(Ids(*FindDialogTemplate(IDD_MESSAGE_DIALOG)),
              (std::vector<int>{1009, 1013, 1010, 1011, 1012, 1005, 1006, 1008}));
    EXPECT_EQ(Ids(*FindDialogTemplate(IDD_ABOUTBOX)),
              (std::vector<int>{CONTROL_NO_ID, CONTROL_NO_ID, 1}));
}

TEST(DialogTemplateTest, MainWindowIsBuiltWithCaptionsDefaultButtonAndTabOrder) {
    QDialog dialog;
    const QList<QWidget*> controls =
        DialogBuilder::Build(dialog, *FindDialogTemplate(IDD_TAVRIN_DIALOG));
    ASSERT_EQ(controls.size(), 6);
    EXPECT_EQ(dialog.windowTitle(), "Kestrane");
    EXPECT_TRUE(qobject_cast<QComboBox*>(controls[0]) != nullptr);
    EXPECT_TRUE(qobject_cast<QLineEdit*>(controls[1]) != nullptr);
    auto* log = qobject_cast<QPlainTextEdit*>(controls[5]);
    ASSERT_NE(log, nullptr);
    EXPECT_TRUE(log->isReadOnly());
    EXPECT_EQ(log->lineWrapMode(), QPlainTextEdit::NoWrap);
    EXPECT_EQ(qobject_cast<QPushButton*>(controls[2])->text(), "&Hide");
    EXPECT_EQ(qobject_cast<QPushButton*>(controls[3])->text(), "&Send");
    EXPECT_EQ(qobject_cast<QPushButton*>(controls[4])->text(), "H&elp");
    EXPECT_TRUE(qobject_cast<QPushButton*>(controls[3])->isDefault());
    EXPECT_FALSE(qobject_cast<QPushButton*>(controls[2])->isDefault());
    EXPECT_EQ(TabOrder(dialog, controls[0]),
              (std::vector<QString>{"1002", "1001", "7", "6", "57670", "1000"}));
}

TEST(DialogTemplateTest, MessageDialogLabelIsPlainTextAndReplyIsDefault) {
    QDialog dialog;
    const QList<QWidget*> controls =
        DialogBuilder::Build(dialog, *FindDialogTemplate(IDD_MESSAGE_DIALOG));
    EXPECT_EQ(dialog.windowTitle(), "Got message from");
    auto* label = qobject_cast<QLabel*>(controls[7]);
    ASSERT_NE(label, nullptr);
    EXPECT_EQ(label->textFormat(), Qt::PlainText);
    EXPECT_EQ(label->text(), "Got message from: ");
    EXPECT_EQ(label->focusPolicy(), Qt::NoFocus);
    EXPECT_TRUE(qobject_cast<QPushButton*>(controls[5])->isDefault());
    EXPECT_EQ(TabOrder(dialog, controls[0]).front(), "1009");
}

TEST(DialogTemplateTest, DialogUnitsScaleByQuarterWidthAndEighthHeightRounded) {
    const DialogUnits units(7, 16);
    EXPECT_EQ(units.ToPixelsX(4), 7);
    EXPECT_EQ(units.ToPixelsX(313), 548); // 547.75
    EXPECT_EQ(units.ToPixelsX(2), 4);     // 3.5 rounds up
    EXPECT_EQ(units.ToPixelsY(199), 398);
    EXPECT_EQ(units.ToPixelsY(13), 26);
    EXPECT_EQ(units.ToPixels(7, 162, 245, 76), QRect(12, 324, 429, 152));
}

TEST(DialogTemplateTest, ControlsArePlacedInDialogUnitsOfTheDialogFont) {
    QDialog dialog;
    const QList<QWidget*> controls =
        DialogBuilder::Build(dialog, *FindDialogTemplate(IDD_TAVRIN_DIALOG));
    const DialogUnits units(dialog.font());
    EXPECT_EQ(dialog.size(), QSize(units.ToPixelsX(313), units.ToPixelsY(199)));
    EXPECT_EQ(controls[5]->geometry(), units.ToPixels(7, 7, 299, 150));
    EXPECT_EQ(controls[3]->geometry(), units.ToPixels(256, 161, 23, 14));
    EXPECT_EQ(dialog.font().pointSize(), 10);
}

TEST(DialogTemplateTest, StringTableAndAboutBox) {
    EXPECT_STREQ(LoadResourceString(IDS_ABOUTBOX), "&About Kestrane...");
    EXPECT_STREQ(LoadResourceString(IDP_SOCKETS_INIT_FAILED),
                 "Windows sockets initialization failed.");
    EXPECT_STREQ(LoadResourceString(IDP_OLE_INIT_FAILED),
                 "OLE initialization failed.  Make sure that the OLE libraries are the correct "
                 "version.");
    EXPECT_STREQ(LoadResourceString(57344), "");
    CAboutDlg about;
    EXPECT_EQ(about.windowTitle(), "About Kestrane");
    auto* ok = about.findChild<QPushButton*>("1");
    ASSERT_NE(ok, nullptr);
    EXPECT_TRUE(ok->isDefault());
    const QList<QLabel*> labels = about.findChildren<QLabel*>();
    ASSERT_EQ(labels.size(), 2);
    EXPECT_FALSE(labels[0]->pixmap().isNull());
    EXPECT_EQ(labels[1]->text(), "Kestrane Version 1.0");
}

} // namespace
} // namespace kestrane
