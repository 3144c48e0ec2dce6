#include "ui/history/HistoryStore.h"

namespace kestrane {

// Written in full by the next change; this keeps the build whole meanwhile.
class HistoryStore::Worker {};

HistoryStore::HistoryStore(QString, Limits, QObject&, Hooks) : worker(std::make_unique<Worker>()) {}
HistoryStore::~HistoryStore() = default;
void HistoryStore::Open() {}
std::int64_t HistoryStore::Append(HistoryRecord) {
    return 0;
}
void HistoryStore::SetDelivery(std::int64_t, HistoryRecord::Delivery, bool) {}
void HistoryStore::SetDetail(std::int64_t, const QString&) {}
void HistoryStore::SetRead(std::int64_t) {}
void HistoryStore::Clear() {}
void HistoryStore::SetLimits(Limits) {}
bool HistoryStore::Flush(std::chrono::milliseconds) {
    return true;
}
HistoryStore::ReadAccess HistoryStore::Access() const {
    return {};
}
QString HistoryStore::Path() const {
    return {};
}

} // namespace kestrane
