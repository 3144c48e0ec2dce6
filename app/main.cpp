#include "app/CTavrinApp.h"
#include "app/HistoryCommand.h"
#include "app/StartOptions.h"
#include "core/instance/SendCommand.h"
#include "core/threads/QtLeakSanitizerOptions.h"
#include "core/threads/QtThreadSanitizerOptions.h"
#include "core/unread/MessageQueue.h"
#include "ui/alerts/AlertSettings.h"

#include <malloc.h>

namespace kestrane {

// Constructed before main runs; neither does anything yet. main checks the
// command line, then Run takes the single-instance lock before anything else.
CTavrinApp theApp;
MessageQueue messageQueue;

} // namespace kestrane

int main(int argc, char** argv) {
    // --help, --version, --send, --history and unknown options are answered
    // before the lock is taken or the network is touched.
    using Request = kestrane::StartOptions::Request;
    const kestrane::StartOptions options(argc, argv);
    switch (options.GetRequest()) {
    case Request::Run:
        break;
    case Request::Send:
        return kestrane::SendCommand::Run(options.SendRequest(), kestrane::CTavrinApp::kLockName);
    case Request::History:
        return kestrane::HistoryCommand::Run(argc, argv, options.Since());
    default:
        return options.Answer();
    }
    // Kept before the lock is tried: a copy that runs reads them again when
    // this start brings it forward.
    if (options.Muted()) {
        kestrane::AlertSettings::StoreMuted(*options.Muted());
    }
    if (options.DoNotDisturb()) {
        kestrane::AlertSettings::StoreDoNotDisturb(*options.DoNotDisturb());
    }
    // The log holds megabytes of text, which Qt now and then copies whole. With
    // a fixed threshold such buffers are mapped on their own and unmapped when
    // freed; glibc's sliding one would carve them from the heap after the first
    // was freed, and the holes they leave stay resident for as long as a copy runs.
    mallopt(M_MMAP_THRESHOLD, 256 * 1024);
    return options.Headless() ? kestrane::theApp.RunHeadless(argc, argv, kestrane::messageQueue)
                              : kestrane::theApp.Run(argc, argv, kestrane::messageQueue);
}
