#pragma once

// Include once, in the file that defines main, in every program that runs Qt.
//
// Qt is not built with ThreadSanitizer. Its thread pool (which the raster
// engine uses to convert images while widgets paint) synchronises in code TSan
// cannot see, so its hand-offs look like races. Memory calls made from inside
// uninstrumented libraries are therefore not checked; every access that
// Kestrane's own code makes still is. Options from TSAN_OPTIONS come on top.
//
// A functor posted to another thread's event loop (QMetaObject::invokeMethod
// with a lambda, queued) is made on one thread and run on the other; Qt's
// event queue orders the two under its own mutex, which TSan cannot see, so
// the run looks like a race with the making. Those reports are suppressed.
#if defined(__SANITIZE_THREAD__)
extern "C" const char* __tsan_default_options() {
    return "ignore_noninstrumented_modules=1";
}
extern "C" const char* __tsan_default_suppressions() {
    return "race:QtPrivate::QFunctorSlotObject\n";
}
#endif
