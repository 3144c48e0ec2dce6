#include "app/CTavrinApp.h"
#include "ui/MessageQueue.h"
#include "ui/QtThreadSanitizerOptions.h"

#include <malloc.h>

namespace kestrane {

// Constructed in this order before main runs: the single-instance check comes
// first, so a second copy ends before anything else exists.
CTavrinApp theApp;
MessageQueue messageQueue;

} // namespace kestrane

int main(int argc, char** argv) {
    // The log holds megabytes of text, which Qt now and then copies whole. With
    // a fixed threshold such buffers are mapped on their own and unmapped when
    // freed; glibc's sliding one would carve them from the heap after the first
    // was freed, and the holes they leave stay resident for as long as a copy runs.
    mallopt(M_MMAP_THRESHOLD, 256 * 1024);
    return kestrane::theApp.Run(argc, argv, kestrane::messageQueue);
}
