#include "core/identity/IdentityFile.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <algorithm>
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

QByteArray FileText(const KeyPair& keys) {
    const Secret32& secret = keys.Private();
    const QByteArray raw(reinterpret_cast<const char*>(secret.Data()),
                         static_cast<qsizetype>(Secret32::kSize));
    return QByteArray(IdentityFile::kHeader) + '\n' + raw.toHex() + '\n';
}

// Writes `text` to `path` whole, or not at all: a new file of mode 0600 beside
// it, flushed, then renamed over it.
bool WriteWhole(const QString& path, const QByteArray& text) {
    const QByteArray temporary = QFile::encodeName(path + QStringLiteral(".new"));
    ::unlink(temporary.constData());
    const int descriptor =
        ::open(temporary.constData(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (descriptor < 0) {
        return false;
    }
    const bool written = ::write(descriptor, text.constData(),
                                 static_cast<std::size_t>(text.size())) == text.size() &&
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

} // namespace

std::optional<IdentityFile::Loaded> IdentityFile::Load(const QString& folder) {
    std::optional<KeyPair> made;
    if (folder.isEmpty()) {
        made = KeyPair::Generate();
        return made ? std::optional(Loaded{std::move(*made), {}}) : std::nullopt;
    }
    const QString path = QDir(folder).filePath(QString::fromLatin1(kFileName));
    bool damaged = false;
    if (std::optional<KeyPair> kept = Read(path, damaged)) {
        return Loaded{std::move(*kept), {}};
    }
    made = KeyPair::Generate();
    if (!made) {
        return std::nullopt;
    }
    QString note;
    if (damaged) {
        const QString aside =
            path + QStringLiteral(".damaged-") +
            QDateTime::currentDateTime().toString(QStringLiteral("yyyyMMdd-HHmmss"));
        if (!QFile::rename(path, aside)) {
            return Loaded{std::move(*made),
                          QStringLiteral("The identity key file %1 is damaged and cannot be moved "
                                         "aside: this run uses an identity of its own.")
                              .arg(path)};
        }
        note = QStringLiteral("The identity key file was damaged: it was moved to %1 and a new "
                              "identity made. Other hosts will see a new key for this computer.")
                   .arg(aside);
    }
    if (const QString trouble = Keep(folder, *made); !trouble.isEmpty()) {
        note = trouble;
    }
    return Loaded{std::move(*made), note};
}

std::optional<KeyPair> IdentityFile::Read(const QString& path, bool& damaged) {
    QFile file(path);
    if (!file.exists()) {
        return std::nullopt;
    }
    // Only its user may read the key: a file that others could read is narrowed.
    if (file.permissions() & (QFileDevice::ReadGroup | QFileDevice::ReadOther |
                              QFileDevice::WriteGroup | QFileDevice::WriteOther)) {
        file.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner);
    }
    if (!file.open(QIODevice::ReadOnly)) {
        return std::nullopt; // unreadable is not damaged: it is left alone
    }
    const QByteArray text = file.read(kMostBytes + 1);
    const QList<QByteArray> lines = text.split('\n');
    damaged = true;
    if (text.size() > kMostBytes || lines.size() != 3 || lines[0] != kHeader ||
        !lines[2].isEmpty() || lines[1].size() != 2 * KeyPair::kKeySize ||
        !std::all_of(lines[1].begin(), lines[1].end(),
                     [](char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'); })) {
        return std::nullopt;
    }
    const QByteArray raw = QByteArray::fromHex(lines[1]);
    std::optional<KeyPair> keys =
        KeyPair::FromPrivate({reinterpret_cast<const std::uint8_t*>(raw.constData()),
                              static_cast<std::size_t>(raw.size())});
    damaged = !keys;
    return keys;
}

QString IdentityFile::Keep(const QString& folder, const KeyPair& keys) {
    // A folder made here is its user's alone; its parents are made as usual.
    const QString parent = QFileInfo(folder).absolutePath();
    const bool ready =
        QFileInfo::exists(folder) || ((QFileInfo::exists(parent) || QDir().mkpath(parent)) &&
                                      ::mkdir(QFile::encodeName(folder).constData(), 0700) == 0);
    if (!ready ||
        !WriteWhole(QDir(folder).filePath(QString::fromLatin1(kFileName)), FileText(keys))) {
        return QStringLiteral("The identity key cannot be kept in %1 (%2): this run uses an "
                              "identity of its own, and other hosts will see a new key at the "
                              "next start.")
            .arg(folder, SystemReason());
    }
    return {};
}

} // namespace kestrane
