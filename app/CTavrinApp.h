#pragma once

#include <QString>
#include <memory>

class QApplication;

namespace kestrane {

class CTavrinDlgAutoProxyFactory;
class MessageQueue;
class SingleInstanceLock;

/// The application: the single-instance rule, start-up, the automation
/// options and the main window's modal run, which is the program's whole life.
/// Owns the QApplication and the instance lock. Main (UI) thread only.
class CTavrinApp {
public:
    /// The single-instance lock of the program (`kestrane --send` calls its holder).
    static constexpr const char* kLockName = "TavrinMutex";

    /// `lockName` names the single-instance lock that Run takes.
    explicit CTavrinApp(const char* lockName = kLockName);
    ~CTavrinApp();
    CTavrinApp(const CTavrinApp&) = delete;
    CTavrinApp& operator=(const CTavrinApp&) = delete;

    /// Takes the single-instance lock first: when another copy of this user
    /// holds it, that copy is asked to bring its window forward, and the
    /// process ends here with status 1, having shown and sent nothing. Then
    /// makes the QApplication, starts up and runs the main window until it
    /// ends. Returns the process's exit status. The command line has been
    /// checked (StartOptions) before.
    int Run(int argc, char** argv, MessageQueue& queue);
    /// Runs the copy without a window or a display (`kestrane --headless`):
    /// the same single-instance rule (a second start only says so, with
    /// status 1), a core application, the log on the standard output, and a
    /// clean end with the leaving notice on SIGTERM, SIGINT or SIGHUP (status 0).
    int RunHeadless(int argc, char** argv, MessageQueue& queue);
    /// Where the history is kept: the user's data folder.
    static QString HistoryFolder();

    /// False once "Embedding" or "Automation" was given: the program was
    /// started for an automation client, and ends when the last one lets go.
    bool IsUserControl() const { return userControl; }

private:
    /// Start-up after the QApplication exists; the exit status.
    int InitInstance(int argc, char** argv, MessageQueue& queue);
    /// Looks for the automation options on the command line; serves the class
    /// object when one is given, else refreshes the activation file.
    void StartAutomation(int argc, char** argv, CTavrinDlgAutoProxyFactory& classFactory);
    /// Takes the single-instance lock; false when another copy holds it.
    bool TakeLock();

    const char* lockName;
    std::unique_ptr<SingleInstanceLock> instanceLock;
    std::unique_ptr<QApplication> application;
    bool userControl = true;
};

/// The one application object of the program.
extern CTavrinApp theApp;

} // namespace kestrane
