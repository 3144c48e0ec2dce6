#pragma once

#include <string>

namespace kestrane::test {

/// A plain blocking TCP socket on 127.0.0.1 for talking to the code under
/// test: either a connected stream or a listening one. Owns its descriptor.
class LoopbackStream {
public:
    /// Connects to 127.0.0.1:`port`; Descriptor() is -1 when that failed.
    static LoopbackStream ConnectTo(int port);
    /// Listens on 127.0.0.1 on a port the system picks.
    static LoopbackStream Listening();

    explicit LoopbackStream(int descriptor = -1);
    LoopbackStream(LoopbackStream&& other) noexcept;
    LoopbackStream& operator=(LoopbackStream&& other) noexcept;
    ~LoopbackStream();

    int Descriptor() const { return descriptor; }
    bool IsOpen() const { return descriptor >= 0; }
    /// The local port (of a listening stream: the one to connect to).
    int Port() const;

    /// Waits up to `milliseconds` for one connection; a closed stream on time-out.
    LoopbackStream Accept(int milliseconds) const;
    /// Sends all of `bytes`; true when they went out.
    bool Send(const std::string& bytes) const;
    /// Reads until `count` bytes came or `milliseconds` passed; what came.
    std::string Receive(std::size_t count, int milliseconds) const;
    /// True when the peer closes (or resets) the stream within `milliseconds`.
    bool WaitForClose(int milliseconds) const;
    void Close();

private:
    int descriptor = -1;
};

} // namespace kestrane::test
