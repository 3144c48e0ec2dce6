#pragma once

namespace kestrane {

/// A shared library opened when first needed instead of linked: a linked one
/// costs every process its relocations and symbol tables at start, though it
/// may serve only now and then. Once opened it stays for the process's life.
class OnDemandLibrary {
public:
    /// Opens `soname` (as a package names it, "libcrypto.so.3").
    explicit OnDemandLibrary(const char* soname);

    /// Sets `function` to the library's function `name`, or to null.
    template <typename Function> void Find(const char* name, Function& function) {
        function = reinterpret_cast<Function>(Symbol(name));
        complete = complete && function != nullptr;
    }
    /// Whether the library opened and every function asked for was found;
    /// dlerror() says why not.
    bool Complete() const { return complete; }

private:
    void* Symbol(const char* name) const;

    void* handle;
    bool complete;
};

} // namespace kestrane
