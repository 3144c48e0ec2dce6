#pragma once

#include <QFile>
#include <QProcess>
#include <QProcessEnvironment>
#include <QRandomGenerator>
#include <QStringList>
#include <QTemporaryDir>
#include <QTest>

namespace kestrane::test {

/// dunst on `bus`, with markup, on an Xvfb display of its own; each
/// notification it shows or updates is noted as "id|summary|body".
struct Dunst {
    QTemporaryDir folder;
    QProcess display, dunst;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();

    static void Write(const QString& path, const QString& text) {
        QFile file(path);
        file.open(QIODevice::WriteOnly);
        file.write(text.toUtf8());
    }
    bool Start(const QString& bus) {
        const QString script = folder.filePath("seen.sh"), rc = folder.filePath("dunstrc");
        Write(script, QStringLiteral("#!/bin/sh\nprintf '%s|%s|%s\\036' \"$DUNST_ID\" "
                                     "\"$DUNST_SUMMARY\" \"$DUNST_BODY\" >>%1\n")
                          .arg(folder.filePath("seen")));
        QFile(script).setPermissions(QFile::ReadOwner | QFile::ExeOwner);
        Write(rc, QStringLiteral("[global]\nmarkup = full\n[seen]\nscript = %1\n").arg(script));
        // A display number that no Xvfb of another namespace holds: its lock file is shared.
        for (int number = QRandomGenerator::global()->bounded(100, 900); number < 1000;
             number += 7) {
            if (QFile::exists(QStringLiteral("/tmp/.X%1-lock").arg(number)) ||
                QFile::exists(QStringLiteral("/tmp/.X11-unix/X%1").arg(number))) {
                continue;
            }
            display.start("Xvfb", {QStringLiteral(":%1").arg(number), "-nolisten", "tcp"});
            if (QTest::qWaitFor(
                    [&] { return QFile::exists(QStringLiteral("/tmp/.X11-unix/X%1").arg(number)); },
                    5000)) {
                environment.insert("DISPLAY", QStringLiteral(":%1").arg(number));
                break;
            }
            display.kill(), display.waitForFinished();
        }
        environment.insert("DBUS_SESSION_BUS_ADDRESS", bus);
        dunst.setProcessEnvironment(environment);
        dunst.start("dunst", {"-config", rc});
        return dunst.waitForStarted() && environment.contains("DISPLAY");
    }
    ~Dunst() {
        for (QProcess* process : {&dunst, &display}) {
            process->terminate(), process->waitForFinished();
        }
    }
    QStringList Seen() const {
        QFile log(folder.filePath("seen"));
        return !log.open(QIODevice::ReadOnly)
                   ? QStringList()
                   : QString::fromUtf8(log.readAll()).split(QChar(036), Qt::SkipEmptyParts);
    }
    int Count() { // shown on the screen; dunst keeps none waiting by default
        QProcess control;
        control.setProcessEnvironment(environment);
        control.start("dunstctl", {"count", "displayed"});
        control.waitForFinished();
        return control.readAllStandardOutput().trimmed().toInt();
    }
};

} // namespace kestrane::test
