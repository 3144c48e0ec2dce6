#include "app/ActivationFile.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QList>
#include <QSaveFile>
#include <QStandardPaths>
#include <algorithm>

namespace kestrane {
namespace {

const QByteArray kSectionHeader = "[D-BUS Service]";

bool IsSectionHeader(const QByteArray& line) {
    return line.trimmed().startsWith('[');
}

bool HasKey(const QByteArray& line, const QByteArray& key) {
    const qsizetype equals = line.indexOf('=');
    return equals > 0 && line.left(equals).trimmed() == key;
}

bool IsPlainPathCharacter(QChar character) {
    return character.isLetterOrNumber() || QStringLiteral("/._+-").contains(character);
}

} // namespace

QString ActivationFile::DefaultPath() {
    const QString dataHome = QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation);
    return dataHome + QStringLiteral("/dbus-1/services/") + QLatin1String(kServiceName) +
           QStringLiteral(".service");
}

QByteArray ActivationFile::ExecValue(const QString& programPath) {
    // The bus splits Exec like a shell, but its file reader treats a backslash
    // as an escape of its own: double quotes are the one quoting both agree on.
    for (const QChar character : QStringLiteral("\"\\\r\n")) {
        if (programPath.contains(character)) {
            return {};
        }
    }
    QByteArray command = programPath.toUtf8();
    if (!std::all_of(programPath.begin(), programPath.end(), IsPlainPathCharacter)) {
        command = '"' + command + '"';
    }
    return command + " -Automation";
}

QByteArray ActivationFile::Refreshed(const QByteArray& current, const QByteArray& execValue) {
    QList<QByteArray> lines = current.split('\n');
    if (current.isEmpty() || current.endsWith('\n')) {
        lines.removeLast();
    }
    const auto found = std::find_if(lines.begin(), lines.end(), [](const QByteArray& line) {
        return line.trimmed() == kSectionHeader;
    });
    qsizetype header = found - lines.begin();
    if (found == lines.end()) {
        header = 0;
        lines.insert(header, kSectionHeader);
    }
    qsizetype end = header + 1;
    while (end < lines.size() && !IsSectionHeader(lines[end])) {
        ++end;
    }
    const auto section = lines.begin() + header + 1;
    const bool hasName = std::any_of(section, lines.begin() + end,
                                     [](const QByteArray& line) { return HasKey(line, "Name"); });
    if (!hasName) {
        lines.insert(header + 1, QByteArray("Name=") + kServiceName);
        ++end;
    }
    const QByteArray execLine = "Exec=" + execValue;
    qsizetype exec = -1;
    for (qsizetype index = header + 1; index < end; ++index) {
        if (!HasKey(lines[index], "Exec")) {
            continue;
        }
        if (exec < 0) {
            exec = index;
            lines[index] = execLine;
        } else {
            // A second Exec would make the bus refuse the whole file.
            lines.removeAt(index--);
            --end;
        }
    }
    if (exec < 0) {
        lines.insert(end, execLine);
    }
    return lines.join('\n') + '\n';
}

bool ActivationFile::Refresh(const QString& filePath, const QString& programPath) {
    const QByteArray execValue = ExecValue(programPath);
    if (execValue.isEmpty() || !QDir().mkpath(QFileInfo(filePath).path())) {
        return false;
    }
    QByteArray current;
    QFile existing(filePath);
    if (existing.exists()) {
        if (!existing.open(QIODevice::ReadOnly)) {
            return false;
        }
        current = existing.readAll();
    }
    QSaveFile file(filePath);
    if (!file.open(QIODevice::WriteOnly)) {
        return false;
    }
    file.write(Refreshed(current, execValue));
    return file.commit();
}

} // namespace kestrane
