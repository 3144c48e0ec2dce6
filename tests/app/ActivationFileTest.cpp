#include "app/ActivationFile.h"

#include <QFile>
#include <QTemporaryDir>
#include <gtest/gtest.h>

namespace kestrane {
namespace {

const QByteArray kExec = "/opt/kestrane/bin/kestrane -Automation";

TEST(ActivationFileTest, ExecIsAlwaysRewrittenWhileLinesTheUserChangedStay) {
    const QByteArray current = "# kept\n"
                               "[D-BUS Service]\n"
                               "Name=Tavrin.Application.Custom\n"
                               "Exec=/old/place/kestrane -Automation\n"
                               "User=someone\n"
                               "Exec=/second/one\n"
                               "[Other]\n"
                               "Exec=untouched\n";
    EXPECT_EQ(ActivationFile::Refreshed(current, kExec),
              "# kept\n"
              "[D-BUS Service]\n"
              "Name=Tavrin.Application.Custom\n"
              "Exec=/opt/kestrane/bin/kestrane -Automation\n"
              "User=someone\n"
              "[Other]\n"
              "Exec=untouched\n");
}

TEST(ActivationFileTest, MissingHeaderAndNameAreAdded) {
    EXPECT_EQ(ActivationFile::Refreshed("SystemdService=x.service", kExec),
              "[D-BUS Service]\n"
              "Name=Tavrin.Application\n"
              "SystemdService=x.service\n"
              "Exec=/opt/kestrane/bin/kestrane -Automation\n");
}

TEST(ActivationFileTest, ProgramPathIsQuotedOnlyWhenItMustBe) {
    EXPECT_EQ(ActivationFile::ExecValue("/usr/bin/kestrane"), "/usr/bin/kestrane -Automation");
    EXPECT_EQ(ActivationFile::ExecValue("/home/a b/it's $HOME/kestrane"),
              "\"/home/a b/it's $HOME/kestrane\" -Automation");
    // The bus could not read these back as they are: nothing is written.
    for (const char* path : {"/tmp/a\"b/kestrane", "/tmp/a\\b/kestrane", "/tmp/a\nExec=x/k"}) {
        EXPECT_EQ(ActivationFile::ExecValue(QString::fromUtf8(path)), QByteArray()) << path;
    }
}

TEST(ActivationFileTest, RefreshMakesANewFileRewritesItAndLeavesItAloneOnFailure) {
    QTemporaryDir directory;
    ASSERT_TRUE(directory.isValid());
    const QString path = directory.filePath("dbus-1/services/Tavrin.Application.service");
    ASSERT_TRUE(ActivationFile::Refresh(path, "/first/kestrane"));
    ASSERT_TRUE(ActivationFile::Refresh(path, "/second/kestrane"));
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    EXPECT_EQ(file.readAll(), "[D-BUS Service]\n"
                              "Name=Tavrin.Application\n"
                              "Exec=/second/kestrane -Automation\n");
    file.close();

    EXPECT_FALSE(ActivationFile::Refresh(path, "/bad\"path/kestrane"));
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    EXPECT_TRUE(file.readAll().contains("Exec=/second/kestrane -Automation\n"));
}

} // namespace
} // namespace kestrane
