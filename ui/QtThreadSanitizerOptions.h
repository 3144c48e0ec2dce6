#pragma once

// Include once, in the file that defines main, in every program that runs Qt.
//
// Qt is not built with ThreadSanitizer. Its thread pool (which the raster
// engine uses to convert images while widgets paint) synchronises in code TSan
// cannot see, so its hand-offs look like races. Memory calls made from inside
// uninstrumented libraries are therefore not checked; every access that
// Kestrane's own code makes still is. Options from TSAN_OPTIONS come on top.
#if defined(__SANITIZE_THREAD__)
extern "C" const char* __tsan_default_options() {
    return "ignore_noninstrumented_modules=1";
}
#endif
