#include "core/identity/KnownKeysFile.h"

#include "core/identity/PrivateFile.h"

#include <QDir>
#include <QList>
#include <algorithm>
#include <array>
#include <optional>

namespace kestrane {
namespace {

using State = KnownKeys::State;

constexpr std::array<std::pair<State, const char*>, 4> kStates = {{{State::Trusted, "trusted"},
                                                                   {State::Verified, "verified"},
                                                                   {State::New, "new"},
                                                                   {State::Blocked, "blocked"}}};

bool IsLowerHex(const QByteArray& word) {
    return word.size() % 2 == 0 && std::ranges::all_of(word, [](char c) {
               return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f');
           });
}

std::optional<std::int64_t> Seconds(const QByteArray& word) {
    bool number = false;
    const qlonglong value = word.toLongLong(&number);
    return number && value >= 0 && !word.startsWith('+') ? std::optional<std::int64_t>(value)
                                                         : std::nullopt;
}

// One key's line, or nothing when it says anything but a key.
std::optional<KnownKeys::Entry> ParseLine(const QByteArray& line) {
    const QList<QByteArray> words = line.split(' ');
    if (words.size() != 5) {
        return std::nullopt;
    }
    const auto state =
        std::ranges::find_if(kStates, [&](const auto& known) { return words[0] == known.second; });
    const std::optional<std::int64_t> first = Seconds(words[2]);
    const std::optional<std::int64_t> last = Seconds(words[3]);
    if (state == kStates.end() || words[1].size() != 2 * KeyPair::kKeySize ||
        !IsLowerHex(words[1]) || !first || !last || !IsLowerHex(words[4])) {
        return std::nullopt;
    }
    KnownKeys::Key key{state->first, {}, *first, *last};
    const QByteArray raw = QByteArray::fromHex(words[1]);
    std::copy(raw.begin(), raw.end(), key.key.begin());
    return KnownKeys::Entry{QByteArray::fromHex(words[4]).toStdString(), {key}};
}

} // namespace

KnownKeysFile::Loaded KnownKeysFile::Load(const QString& folder) {
    Loaded loaded;
    if (folder.isEmpty()) {
        return loaded;
    }
    const QString path = QDir(folder).filePath(QString::fromLatin1(kFileName));
    const std::optional<QByteArray> text = PrivateFile::Read(path, kMostBytes);
    if (!text) {
        return loaded;
    }
    QList<QByteArray> lines = text->split('\n');
    bool damaged = text->size() > kMostBytes || lines.size() < 2 || lines.front() != kHeader ||
                   !lines.back().isEmpty();
    std::vector<KnownKeys::Entry> entries;
    for (qsizetype at = 1; !damaged && at + 1 < lines.size(); ++at) {
        std::optional<KnownKeys::Entry> entry = ParseLine(lines[at]);
        damaged = !entry;
        if (entry) {
            entries.push_back(std::move(*entry));
        }
    }
    if (damaged) {
        const std::optional<QString> aside = PrivateFile::MoveAside(path);
        loaded.note = QStringLiteral("The file of known keys %1 is damaged%2. The keys of other "
                                     "hosts will be learnt again, and until then a changed key "
                                     "cannot be noticed.")
                          .arg(path, aside ? QStringLiteral(": it was moved to ") + *aside
                                           : QStringLiteral(" and cannot be moved aside"));
        return loaded;
    }
    for (KnownKeys::Entry& entry : entries) {
        loaded.keys.Restore(std::move(entry));
    }
    return loaded;
}

QString KnownKeysFile::Save(const QString& folder, const KnownKeys& keys) {
    QByteArray text = QByteArray(kHeader) + '\n';
    for (const auto& [byName, entry] : keys.Entries()) {
        const QByteArray name = QByteArray::fromStdString(entry.name).toHex();
        for (const KnownKeys::Key& key : entry.keys) {
            const auto state = std::ranges::find_if(
                kStates, [&](const auto& known) { return known.first == key.state; });
            text += QByteArray(state->second) + ' ' +
                    QByteArray(reinterpret_cast<const char*>(key.key.data()),
                               static_cast<qsizetype>(key.key.size()))
                        .toHex() +
                    ' ' + QByteArray::number(key.firstHeard) + ' ' +
                    QByteArray::number(key.lastHeard) + ' ' + name + '\n';
        }
    }
    return PrivateFile::Write(folder, QString::fromLatin1(kFileName), text);
}

} // namespace kestrane
