#pragma once

#include <QObject>

class QSocketNotifier;

namespace kestrane {

/// Turns SIGTERM, SIGINT and SIGHUP into a Qt signal on the UI thread. The
/// handler only writes the signal number into a pipe; everything else happens
/// when the event loop reads it. A SIGHUP that the starter ignored stays
/// ignored. One object per process; made and destroyed on the UI thread.
class SignalWatcher : public QObject {
    Q_OBJECT

public:
    /// Installs the handlers, so a signal that comes before any event loop
    /// runs waits in the pipe instead of ending the process. Main thread,
    /// before other threads start; calling again does nothing.
    static void CatchSignals();

    /// Catches the signals if that has not happened yet and reports them.
    explicit SignalWatcher(QObject* parent = nullptr);
    /// Puts back what the signals did before and closes the pipe.
    ~SignalWatcher() override;
    SignalWatcher(const SignalWatcher&) = delete;
    SignalWatcher& operator=(const SignalWatcher&) = delete;

signals:
    void TerminationRequested(int signalNumber);

private:
    static void Handle(int signalNumber);
    void ReadPipe();

    QSocketNotifier* notifier = nullptr;
};

} // namespace kestrane
