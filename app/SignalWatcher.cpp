#include "app/SignalWatcher.h"

#include <QSocketNotifier>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <iterator>
#include <unistd.h>

namespace kestrane {
namespace {

// Read by the signal handler: a lock-free atomic is safe there.
std::atomic<int> writeDescriptor{-1};
int readDescriptor = -1; // main thread only
static_assert(std::atomic<int>::is_always_lock_free);

constexpr int kWatchedSignals[] = {SIGTERM, SIGINT, SIGHUP};
// What each watched signal did before, put back at the end. Main thread only.
struct sigaction previousActions[std::size(kWatchedSignals)] = {};

void SetHandler(int signalNumber, void (*handler)(int), struct sigaction* previous) {
    struct sigaction action = {};
    action.sa_handler = handler;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    sigaction(signalNumber, &action, previous);
}

// A hangup that the starter ignored ("nohup kestrane &") stays ignored, so the
// program outlives the terminal it was started from.
bool InheritedIgnore(int signalNumber) {
    struct sigaction current = {};
    return signalNumber == SIGHUP && sigaction(signalNumber, nullptr, &current) == 0 &&
           current.sa_handler == SIG_IGN;
}

} // namespace

void SignalWatcher::CatchSignals() {
    if (readDescriptor >= 0) {
        return;
    }
    int descriptors[2] = {-1, -1};
    if (pipe2(descriptors, O_CLOEXEC | O_NONBLOCK) != 0) {
        return;
    }
    readDescriptor = descriptors[0];
    writeDescriptor.store(descriptors[1]);
    for (std::size_t index = 0; index < std::size(kWatchedSignals); ++index) {
        const int signalNumber = kWatchedSignals[index];
        if (InheritedIgnore(signalNumber)) {
            sigaction(signalNumber, nullptr, &previousActions[index]);
            continue;
        }
        SetHandler(signalNumber, &SignalWatcher::Handle, &previousActions[index]);
    }
}

SignalWatcher::SignalWatcher(QObject* parent) : QObject(parent) {
    CatchSignals();
    if (readDescriptor < 0) {
        return;
    }
    notifier = new QSocketNotifier(readDescriptor, QSocketNotifier::Read, this);
    connect(notifier, &QSocketNotifier::activated, this, &SignalWatcher::ReadPipe);
}

SignalWatcher::~SignalWatcher() {
    if (readDescriptor < 0) {
        return;
    }
    for (std::size_t index = 0; index < std::size(kWatchedSignals); ++index) {
        sigaction(kWatchedSignals[index], &previousActions[index], nullptr);
    }
    delete notifier;
    close(writeDescriptor.exchange(-1));
    close(readDescriptor);
    readDescriptor = -1;
}

void SignalWatcher::Handle(int signalNumber) {
    const int savedErrno = errno;
    const int descriptor = writeDescriptor.load();
    if (descriptor >= 0) {
        const auto byte = static_cast<unsigned char>(signalNumber);
        // A full pipe already holds a wake-up; nothing is lost by dropping this one.
        [[maybe_unused]] const ssize_t written = write(descriptor, &byte, 1);
    }
    errno = savedErrno;
}

void SignalWatcher::ReadPipe() {
    unsigned char byte = 0;
    ssize_t count = 0;
    int last = 0;
    while ((count = read(readDescriptor, &byte, 1)) == 1 || (count < 0 && errno == EINTR)) {
        if (count == 1) {
            last = byte;
        }
    }
    if (last != 0) {
        emit TerminationRequested(last);
    }
}

} // namespace kestrane
