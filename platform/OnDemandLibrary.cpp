#include "platform/OnDemandLibrary.h"

#include <dlfcn.h>

namespace kestrane {

OnDemandLibrary::OnDemandLibrary(const char* soname)
    : handle(dlopen(soname, RTLD_NOW)), complete(handle != nullptr) {}

void* OnDemandLibrary::Symbol(const char* name) const {
    return handle == nullptr ? nullptr : dlsym(handle, name);
}

} // namespace kestrane
