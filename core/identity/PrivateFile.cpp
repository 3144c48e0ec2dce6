#include "core/identity/PrivateFile.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace kestrane {
namespace {

QString SystemReason() {
    return QString::fromLocal8Bit(std::strerror(errno));
}

bool WriteWhole(const QString& path, const QByteArray& text) {
    const QByteArray temporary = QFile::encodeName(path + QStringLiteral(".new"));
    ::unlink(temporary.constData());
    const int descriptor =
        ::open(temporary.constData(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (descriptor < 0) {
        return false;
    }
    const auto size = static_cast<std::size_t>(text.size());
    const bool written =
        ::write(descriptor, text.constData(), size) == static_cast<ssize_t>(size) &&
        ::fsync(descriptor) == 0;
    ::close(descriptor);
    if (!written || ::rename(temporary.constData(), QFile::encodeName(path).constData()) != 0) {
        const int error = errno;
        ::unlink(temporary.constData());
        errno = error;
        return false;
    }
    return true;
}

// A folder made here is its user's alone; its parents are made as usual.
bool MakeFolder(const QString& folder) {
    if (QFileInfo(folder).isDir()) {
        return true;
    }
    const QString parent = QFileInfo(folder).absolutePath();
    if (!QFileInfo::exists(parent) && !QDir().mkpath(parent)) {
        return false;
    }
    // The history's writer thread may make the folder at the same moment.
    return ::mkdir(QFile::encodeName(folder).constData(), 0700) == 0 ||
           (errno == EEXIST && QFileInfo(folder).isDir());
}

} // namespace

std::optional<QByteArray> PrivateFile::Read(const QString& path, qint64 most) {
    QFile file(path);
    if (!file.exists()) {
        return std::nullopt;
    }
    if (file.permissions() & (QFileDevice::ReadGroup | QFileDevice::ReadOther |
                              QFileDevice::WriteGroup | QFileDevice::WriteOther)) {
        file.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner);
    }
    if (!file.open(QIODevice::ReadOnly)) {
        return std::nullopt;
    }
    return file.read(most + 1);
}

QString PrivateFile::Write(const QString& folder, const QString& name, const QByteArray& text) {
    if (!MakeFolder(folder) || !WriteWhole(QDir(folder).filePath(name), text)) {
        return SystemReason();
    }
    return {};
}

std::optional<QString> PrivateFile::MoveAside(const QString& path) {
    const QString aside = path + QStringLiteral(".damaged-") +
                          QDateTime::currentDateTime().toString(QStringLiteral("yyyyMMdd-HHmmss"));
    return QFile::rename(path, aside) ? std::optional(aside) : std::nullopt;
}

} // namespace kestrane
