#pragma once

#include <atomic>
#include <string>
#include <thread>

namespace kestrane::bench {

/// Stands in for everybody on the LAN of a LoopbackWindow: a socket bound to
/// 127.0.0.1 on the window's port, more specific than the window's listener
/// (bound to all addresses), so it takes whatever the window "broadcasts".
/// A thread of its own reads it into a large buffer, so it drops nothing while
/// the window works, and counts the datagrams that equal `wanted`.
/// Owns its socket and its thread; the counters are safe to read from any thread.
class DatagramTap {
public:
    DatagramTap(int port, std::string wanted);
    ~DatagramTap();
    DatagramTap(const DatagramTap&) = delete;
    DatagramTap& operator=(const DatagramTap&) = delete;

    /// Datagrams equal to `wanted` so far.
    long Matches() const { return matches.load(); }
    /// Every datagram so far.
    long Total() const { return total.load(); }

private:
    void Run();

    const std::string wanted;
    int descriptor = -1;
    std::atomic<bool> stopping{false};
    std::atomic<long> matches{0};
    std::atomic<long> total{0};
    std::thread reader;
};

} // namespace kestrane::bench
