#pragma once

#include "port/PortTypes.h"

namespace kestrane {

/// Counts one start of the socket layer: 0 (Linux sockets need no start-up).
/// Call once before making the first object.
int PortStartup();
/// Undoes one PortStartup. A listener's destruction calls it once as well.
void PortCleanup();
/// Number of starts not yet cleaned up.
int PortStartupCount();

/// Makes a UDP sender aimed at `host` (broadcast when null), or a TCP client
/// connected to it. TCP with a data callback starts the reader thread.
/// 0 and the object in *out; or -1 with *out untouched.
int CreatePortConnection(const char* host, int port, int mode, PortNotifyCallback dataCallback,
                         PortNotifyCallback exceptionCallback, PortConnection** out);

/// Makes a running listener on `port` (all local addresses) in `mode`.
/// 0 and the listener in *out; or -1 with *out untouched.
int CreatePortListener(int mode, int port, PortReceiveCallback receiveCallback,
                       PortAcceptCallback acceptCallback, PortNotifyCallback disconnectCallback,
                       PortListener** out);

void ReleasePortConnection(PortConnection* connection);
void ReleasePortListener(PortListener* listener);

} // namespace kestrane
