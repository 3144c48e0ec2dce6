#pragma once

// Include once, in the file that defines main, in the program itself.
//
// Qt's Wayland plugin leaves libwayland-client's proxies, and QtDBus some of
// its own bookkeeping, to the end of the process instead of freeing them: the
// leak checker would count them in every run on Wayland. Only leaks whose
// allocation goes through those libraries are left out; what Kestrane's own
// code allocates and loses is still reported.
#if defined(__SANITIZE_ADDRESS__)
extern "C" const char* __lsan_default_suppressions() {
    return "leak:libwayland-client.so\nleak:libQt6DBus.so\n";
}
#endif
