#include "ui/network/ExtraHosts.h"

#include "ui/BoundedLookup.h"

namespace kestrane {

std::optional<ExtraHosts::Entry> ExtraHosts::Parse(const QString& text, QString* error) {
    Q_UNUSED(text);
    if (error != nullptr) {
        *error = QStringLiteral("not written yet");
    }
    return std::nullopt;
}

ExtraHosts::ExtraHosts(BoundedLookup& lookupRunner, std::function<void()> whenApplied,
                       QObject* parent)
    : QObject(parent), lookups(lookupRunner), applied(std::move(whenApplied)) {}

void ExtraHosts::Load() {}

QStringList ExtraHosts::Entries() const {
    return entries;
}

std::optional<QString> ExtraHosts::SetEntries(const QStringList& lines) {
    Q_UNUSED(lines);
    return QStringLiteral("not written yet");
}

std::vector<std::pair<QString, QString>> ExtraHosts::Status() const {
    return {};
}

} // namespace kestrane
