#include "res/StringTable.h"

namespace kestrane {

const char* LoadResourceString(int id) {
    switch (id) {
    case IDP_OLE_INIT_FAILED:
        return "OLE initialization failed.  Make sure that the OLE libraries are the correct "
               "version.";
    case IDS_ABOUTBOX:
        return "&About Kestrane...";
    case IDP_SOCKETS_INIT_FAILED:
        return "Windows sockets initialization failed.";
    default:
        return "";
    }
}

} // namespace kestrane
