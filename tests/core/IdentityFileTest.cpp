#include "core/identity/IdentityFile.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <gtest/gtest.h>
#include <sys/stat.h>

namespace kestrane::test {
namespace {

int ModeOf(const QString& path) {
    struct stat status {};
    return ::stat(QFile::encodeName(path).constData(), &status) == 0 ? status.st_mode & 0777 : -1;
}

void Write(const QString& path, const QByteArray& text, QFileDevice::Permissions permissions) {
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.write(text);
    file.setPermissions(permissions);
}

} // namespace

TEST(IdentityFileTest, MadeOnceKeptPrivateAndKeptAcrossStarts) {
    QTemporaryDir top;
    const QString folder = top.filePath("data/kestrane");
    const auto first = IdentityFile::Load(folder);
    ASSERT_TRUE(first);
    EXPECT_TRUE(first->note.isEmpty());
    const QString path = folder + "/identity.key";
    EXPECT_EQ(ModeOf(folder), 0700);
    EXPECT_EQ(ModeOf(path), 0600);
    // A file others may read is narrowed, and still holds the same identity.
    QFile(path).setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner |
                               QFileDevice::ReadOther);
    const auto again = IdentityFile::Load(folder);
    ASSERT_TRUE(again);
    EXPECT_EQ(again->keys.Public(), first->keys.Public());
    EXPECT_EQ(ModeOf(path), 0600);
    // No folder: an identity for the run.
    EXPECT_NE(IdentityFile::Load({})->keys.Public(), first->keys.Public());
}

TEST(IdentityFileTest, ADamagedFileIsMovedAsideWithANoteAndANewIdentityMade) {
    const QByteArray good = QByteArray("Kestrane identity 1\n") + QByteArray(64, 'a') + '\n';
    const QByteArray damaged[] = {
        "",
        QByteArray("Kestrane identity 2\n") + QByteArray(64, 'a') + '\n',
        QByteArray("Kestrane identity 1\n") + QByteArray(63, 'a') + '\n',
        QByteArray("Kestrane identity 1\n") + QByteArray(64, 'A') + '\n',
        good + "more\n",
        good.left(good.size() - 1),
    };
    for (const QByteArray& text : damaged) {
        SCOPED_TRACE(text.toStdString());
        QTemporaryDir folder;
        Write(folder.filePath("identity.key"), text, QFileDevice::ReadOwner);
        const auto loaded = IdentityFile::Load(folder.path());
        ASSERT_TRUE(loaded);
        EXPECT_TRUE(loaded->note.startsWith("The identity key file was damaged: it was moved to "))
            << loaded->note.toStdString();
        const QStringList aside = QDir(folder.path()).entryList({"identity.key.damaged-*"});
        ASSERT_EQ(aside.size(), 1);
        QFile kept(folder.filePath(aside[0]));
        ASSERT_TRUE(kept.open(QIODevice::ReadOnly));
        EXPECT_EQ(kept.readAll(), text); // never deleted, never changed
        EXPECT_EQ(IdentityFile::Load(folder.path())->keys.Public(), loaded->keys.Public());
    }
    // The good file, for contrast, is read as it is.
    QTemporaryDir folder;
    Write(folder.filePath("identity.key"), good, QFileDevice::ReadOwner);
    EXPECT_TRUE(IdentityFile::Load(folder.path())->note.isEmpty());
}

TEST(IdentityFileTest, WhereNoFileCanBeKeptTheIdentityLastsForTheRunWithANote) {
    const auto loaded = IdentityFile::Load("/dev/null/kestrane");
    ASSERT_TRUE(loaded);
    EXPECT_TRUE(loaded->note.startsWith("The identity key cannot be kept in /dev/null/kestrane ("))
        << loaded->note.toStdString();
}

} // namespace kestrane::test
