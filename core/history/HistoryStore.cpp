#include "core/history/HistoryStore.h"

#include "core/history/HistoryQueue.h"
#include "core/history/HistoryWriter.h"
#include "core/threads/UiBridge.h"

#include <QDir>
#include <QThread>
#include <atomic>
#include <mutex>
#include <unistd.h>

namespace kestrane {
namespace {

// How long the destructor waits for what is queued to be written.
constexpr std::chrono::seconds kLastFlush{3};

std::atomic<int> storesMade{0};

} // namespace

// The worker thread and what the UI thread shares with it. The writer lives
// on the thread; the queue and the reader's access are shared under locks.
// Calls go both ways through bridges rather than Qt's event queue, whose
// hand-off ThreadSanitizer cannot see: to the writer through one that lives
// on the thread with it, back to the hooks through one on the context's
// thread. That one goes with the store, after the thread, and calls still
// queued for it with it, so no hook runs after the store is destroyed.
class HistoryStore::Worker {
public:
    Worker(QString place, Limits limits, QObject& context, Hooks hooks) : folder(std::move(place)) {
        hookBridge.moveToThread(context.thread());
        const int number = ++storesMade;
        const QString unique = QStringLiteral("%1-%2").arg(::getpid()).arg(number);
        writer = new HistoryWriter(
            queue,
            {this->folder, QStringLiteral("kestrane-history-writer-") + unique,
             QStringLiteral("file:kestrane-history-%1?mode=memory&cache=shared").arg(unique)},
            limits, Posted(std::make_shared<const Hooks>(std::move(hooks))));
        // A child of the writer: moves to the thread with it (its notifier
        // registers there once the thread's loop runs) and is deleted with it.
        writerBridge = new UiBridge(writer);
        writer->moveToThread(&thread);
        QObject::connect(&thread, &QThread::finished, writer, &QObject::deleteLater);
        thread.setObjectName(QStringLiteral("history"));
        thread.start();
    }

    ~Worker() {
        // Before anything waits on the writer: a writer waiting to hand a hook
        // over (a full queue, see UiBridge::Post) is let go at once.
        hookBridge.Close();
        if (openAsked) {
            Flush(kLastFlush);
        }
        writerBridge->Call([writer = writer] { writer->Stop(); });
        thread.quit();
        thread.wait();
    }

    void Run(std::function<void(HistoryWriter&)> call) {
        writerBridge->Post([writer = writer, call = std::move(call)] { call(*writer); });
    }

    void Push(HistoryChange change) {
        if (queue.Push(std::move(change))) {
            Run([](HistoryWriter& target) { target.Wake(); });
        }
    }

    bool Flush(std::chrono::milliseconds limit) {
        Run([](HistoryWriter& target) { target.Write(); });
        return queue.WaitWritten(limit);
    }

    const QString folder;
    HistoryQueue queue;
    bool openAsked = false;
    mutable std::mutex accessLock;
    ReadAccess access; // guarded by accessLock

private:
    // The writer's hooks: the store's own, called on the hook bridge's
    // thread; the reader's access kept at once.
    HistoryWriter::Hooks Posted(std::shared_ptr<const Hooks> own) {
        auto post = [bridge = &hookBridge, hooks = std::move(own)](auto call) {
            bridge->Post([hooks, call = std::move(call)] { call(*hooks); });
        };
        return {
            [post](Restored restored) {
                post([restored = std::move(restored)](const Hooks& given) {
                    if (given.opened) {
                        given.opened(restored);
                    }
                });
            },
            [post](const QString& note) {
                post([note](const Hooks& given) {
                    if (given.problem) {
                        given.problem(note);
                    }
                });
            },
            [post] {
                post([](const Hooks& given) {
                    if (given.written) {
                        given.written();
                    }
                });
            },
            [this](const ReadAccess& now) {
                std::lock_guard guard(accessLock);
                access = now;
            },
        };
    }

    UiBridge hookBridge; // on the context's thread; outlives the thread
    QThread thread;
    HistoryWriter* writer;  // deleted on its thread when the thread ends
    UiBridge* writerBridge; // on the writer's thread; the writer's child
};

HistoryStore::HistoryStore(QString folder, Limits limits, QObject& context, Hooks hooks)
    : worker(std::make_unique<Worker>(std::move(folder), limits, context, std::move(hooks))) {}

HistoryStore::~HistoryStore() = default;

void HistoryStore::Open() {
    worker->openAsked = true;
    worker->Run([](HistoryWriter& target) { target.Open(); });
}

std::int64_t HistoryStore::Append(HistoryRecord record) {
    record.id = worker->queue.NextId();
    const auto id = record.id;
    worker->Push({HistoryChange::Type::Append, 0, std::move(record), {}});
    return id;
}

void HistoryStore::SetDelivery(std::int64_t id, HistoryRecord::Delivery delivery, bool inOutbox) {
    HistoryRecord record;
    record.id = id;
    record.delivery = delivery;
    record.inOutbox = inOutbox;
    worker->Push({HistoryChange::Type::Delivery, 0, std::move(record), {}});
}

void HistoryStore::SetDetail(std::int64_t id, const QString& detail) {
    HistoryRecord record;
    record.id = id;
    record.detail = detail;
    worker->Push({HistoryChange::Type::Detail, 0, std::move(record), {}});
}

void HistoryStore::SetRead(std::int64_t id) {
    HistoryRecord record;
    record.id = id;
    worker->Push({HistoryChange::Type::Read, 0, std::move(record), {}});
}

void HistoryStore::Clear() {
    worker->Push({HistoryChange::Type::Clear, 0, {}, {}});
}

void HistoryStore::SetLimits(Limits limits) {
    worker->Push({HistoryChange::Type::Limits, 0, {}, limits});
}

bool HistoryStore::Flush(std::chrono::milliseconds limit) {
    return worker->Flush(limit);
}

HistoryStore::ReadAccess HistoryStore::Access() const {
    std::lock_guard guard(worker->accessLock);
    return worker->access;
}

QString HistoryStore::Path() const {
    return QDir(worker->folder).filePath(QString::fromLatin1(kFileName));
}

} // namespace kestrane
