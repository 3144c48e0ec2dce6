#include "app/CTavrinApp.h"
#include "ui/MessageQueue.h"
#include "ui/QtThreadSanitizerOptions.h"

namespace kestrane {

// Constructed in this order before main runs: the single-instance check comes
// first, so a second copy ends before anything else exists.
CTavrinApp theApp;
MessageQueue messageQueue;

} // namespace kestrane

int main(int argc, char** argv) {
    return kestrane::theApp.Run(argc, argv, kestrane::messageQueue);
}
