#pragma once

namespace kestrane {

inline constexpr int IDP_OLE_INIT_FAILED = 100;
inline constexpr int IDS_ABOUTBOX = 101;
inline constexpr int IDP_SOCKETS_INIT_FAILED = 103;

/// The string with `id` from the program's string table, or "" when there is none.
const char* LoadResourceString(int id);

} // namespace kestrane
