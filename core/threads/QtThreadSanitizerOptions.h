#pragma once

// Include once, in the file that defines main, in every program that runs Qt.
//
// Qt is not built with ThreadSanitizer. Its thread pool (which the raster
// engine uses to convert images while widgets paint) synchronises in code TSan
// cannot see, so its hand-offs look like races. Memory calls made from inside
// uninstrumented libraries are therefore not checked; every access that
// Kestrane's own code makes still is. Options from TSAN_OPTIONS come on top.
//
// Nothing is suppressed. A functor queued to another thread's event loop
// (QMetaObject::invokeMethod with a lambda, or a queued connection to one) is
// made on one thread and run on the other, ordered by a mutex inside Qt that
// TSan cannot see, so it would be reported as a race: calls between threads go
// through a UiBridge instead, whose lock TSan sees.
//
// QProcess starts its children with vfork: the child shares the parent's
// memory until it execs, so TSan's note that a forked child is running lands
// in the parent, which TSan would then end at its next new thread (a program
// that asked xdg-mime something, or a test that started a helper). The child
// starts no thread before it execs.
#if defined(__SANITIZE_THREAD__)
extern "C" const char* __tsan_default_options() {
    return "ignore_noninstrumented_modules=1:die_after_fork=0";
}
#endif
