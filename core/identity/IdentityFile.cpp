#include "core/identity/IdentityFile.h"

#include "core/identity/PrivateFile.h"

#include <QDir>
#include <algorithm>

namespace kestrane {
namespace {

QByteArray FileText(const KeyPair& keys) {
    const Secret32& secret = keys.Private();
    const QByteArray raw(reinterpret_cast<const char*>(secret.Data()),
                         static_cast<qsizetype>(Secret32::kSize));
    return QByteArray(IdentityFile::kHeader) + '\n' + raw.toHex() + '\n';
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
        const std::optional<QString> aside = PrivateFile::MoveAside(path);
        if (!aside) {
            return Loaded{std::move(*made),
                          QStringLiteral("The identity key file %1 is damaged and cannot be moved "
                                         "aside: this run uses an identity of its own.")
                              .arg(path)};
        }
        note = QStringLiteral("The identity key file was damaged: it was moved to %1 and a new "
                              "identity made. Other hosts will see a new key for this computer.")
                   .arg(*aside);
    }
    if (const QString trouble = Keep(folder, *made); !trouble.isEmpty()) {
        note = trouble;
    }
    return Loaded{std::move(*made), note};
}

std::optional<KeyPair> IdentityFile::Read(const QString& path, bool& damaged) {
    const std::optional<QByteArray> read = PrivateFile::Read(path, kMostBytes);
    if (!read) {
        return std::nullopt; // missing, or unreadable: left alone
    }
    const QByteArray& text = *read;
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
    const QString reason =
        PrivateFile::Write(folder, QString::fromLatin1(kFileName), FileText(keys));
    return reason.isEmpty() ? QString()
                            : QStringLiteral("The identity key cannot be kept in %1 (%2): this run "
                                             "uses an identity of its own, and other hosts will "
                                             "see a new key at the next start.")
                                  .arg(folder, reason);
}

} // namespace kestrane
