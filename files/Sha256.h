#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

struct evp_md_ctx_st;

namespace kestrane {

/// SHA-256 over bytes fed in pieces (OpenSSL, which uses the CPU's SHA
/// instructions where there are any). One thread at a time.
class Sha256 {
public:
    /// Whether the digests can be computed: the library opens at the first
    /// call. A caller checks it before making a Sha256; `error` says why not.
    static bool Usable(std::string& error);

    Sha256();
    ~Sha256();
    /// A copy holds what was added to the original so far.
    Sha256(const Sha256& other);
    Sha256& operator=(const Sha256& other);

    void Add(const void* bytes, std::size_t count);
    void Add(std::string_view bytes) { Add(bytes.data(), bytes.size()); }
    /// The digest of everything added, as 64 lower-case hex digits; the
    /// object starts over afterwards.
    std::string Finish();
    /// The digest of everything added so far; adding goes on.
    std::string Peek() const;

    /// Adds the first `count` bytes of the open file `descriptor` (read from
    /// its start, without moving its offset). False when the file is shorter,
    /// cannot be read, or `stop` was set meanwhile.
    bool AddFile(int descriptor, std::uint64_t count, const std::atomic<bool>* stop = nullptr);
    /// The same for the `count` bytes from `from` on.
    bool AddFilePart(int descriptor, std::uint64_t from, std::uint64_t count,
                     const std::atomic<bool>* stop = nullptr);
    /// The digest of a whole file, or nothing when it cannot be read.
    static std::optional<std::string> OfFile(int descriptor, std::uint64_t size,
                                             const std::atomic<bool>* stop = nullptr);

private:
    struct Free {
        void operator()(evp_md_ctx_st* context) const;
    };
    std::unique_ptr<evp_md_ctx_st, Free> context;
};

} // namespace kestrane
