#pragma once

#include "core/threads/UiBridge.h"

#include <QObject>
#include <chrono>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

namespace kestrane {

/// Runs resolver calls, which may wait on a dead name server for many seconds,
/// off the UI thread and bounds how long the UI waits for them. Lives on the
/// UI thread, which alone calls Start and receives the answers.
class BoundedLookup : public QObject {
public:
    using Lookup = std::function<std::optional<std::string>()>;
    using Answer = std::function<void(std::optional<std::string> answer)>;

    explicit BoundedLookup(QObject* parent = nullptr);
    /// Answers nothing more; lookups still running end unseen.
    ~BoundedLookup() override;
    BoundedLookup(const BoundedLookup&) = delete;
    BoundedLookup& operator=(const BoundedLookup&) = delete;

    /// Runs `lookup` on a thread of its own and calls `answer` once, on the UI
    /// thread: with what the lookup gave, or with nothing when it gave nothing
    /// within `limit`. A lookup that outlives its limit ends unseen, and
    /// nothing ever waits for it, not even the end of the program.
    void Start(Lookup lookup, std::chrono::milliseconds limit, Answer answer);
    /// Lookups whose answer has not been given yet.
    int Waiting() const { return static_cast<int>(answers.size()); }

private:
    // Shared with the lookup threads: the object to hand answers to, while it lives.
    struct Owner {
        std::mutex lock;
        BoundedLookup* lookup = nullptr; // guarded by lock
    };

    void Finish(int request, std::optional<std::string> answer);

    std::shared_ptr<Owner> owner;
    // Answers come through it rather than Qt's event queue, whose hand-off
    // ThreadSanitizer cannot see; it closes with this object.
    UiBridge bridge;
    std::map<int, Answer> answers; // UI thread only
    int nextRequest = 0;
};

} // namespace kestrane
