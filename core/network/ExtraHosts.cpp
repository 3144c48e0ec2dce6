#include "core/network/ExtraHosts.h"

#include "core/threads/BoundedLookup.h"
#include "port/BroadcastFanout.h"
#include "port/HostLookup.h"

#include <QPointer>
#include <QSettings>
#include <algorithm>
#include <arpa/inet.h>
#include <chrono>
#include <string>

namespace kestrane {
namespace {

constexpr auto kLookupLimit = std::chrono::seconds(1);
// A laptop's VPN comes and goes; its hosts' addresses with it.
constexpr auto kRefreshInterval = std::chrono::minutes(5);
constexpr auto kStartRetry = std::chrono::milliseconds(250);
constexpr int kMostNameLength = 253;
constexpr int kMostLabelLength = 63;

const QString& SettingsKey() {
    static const QString key = QStringLiteral("network/extraHosts");
    return key;
}

std::optional<ExtraHosts::Entry> Failed(QString* error, const QString& why) {
    if (error != nullptr) {
        *error = why;
    }
    return std::nullopt;
}

// ASCII only: QChar::isDigit and toLower take other scripts' digits and letters.
bool IsDigit(QChar c) {
    return c.unicode() >= '0' && c.unicode() <= '9';
}

bool IsLetter(QChar c) {
    return (c.unicode() >= 'a' && c.unicode() <= 'z') || (c.unicode() >= 'A' && c.unicode() <= 'Z');
}

bool LooksLikeAddress(const QString& text) {
    return std::all_of(text.begin(), text.end(),
                       [](QChar c) { return c == QLatin1Char('.') || IsDigit(c); });
}

std::optional<in_addr_t> DottedToAddress(const QString& text) {
    in_addr numeric{};
    if (inet_pton(AF_INET, text.toLatin1().constData(), &numeric) != 1) {
        return std::nullopt;
    }
    return numeric.s_addr;
}

QString NotAnAddress(const QString& text) {
    return QStringLiteral("\"%1\" is not an IPv4 address: it needs four numbers from 0 to 255 "
                          "with dots between them")
        .arg(text);
}

// Why `address` (host byte order) can be no other host or subnet; empty when it can.
QString AddressProblem(std::uint32_t address, const QString& text) {
    const std::uint32_t first = address >> 24;
    if (first == 0) {
        return QStringLiteral("\"%1\" stands for this machine, not for another host").arg(text);
    }
    if (first == 127) {
        return QStringLiteral("\"%1\" is a loopback address, this machine itself").arg(text);
    }
    if (first >= 224 && first <= 239) {
        return QStringLiteral("\"%1\" is a multicast address").arg(text);
    }
    if (address == 0xFFFFFFFFu) {
        return QStringLiteral("\"%1\" is the broadcast to this network, which goes out anyway")
            .arg(text);
    }
    if (first >= 240) {
        return QStringLiteral("\"%1\" is a reserved address").arg(text);
    }
    return {};
}

std::optional<ExtraHosts::Entry> ParseRange(const QString& text, QString* error) {
    const qsizetype slash = text.indexOf(QLatin1Char('/'));
    const QString base = text.left(slash);
    const QString size = text.mid(slash + 1);
    const std::optional<in_addr_t> address = DottedToAddress(base);
    if (!LooksLikeAddress(base) || !address) {
        return Failed(error, NotAnAddress(base));
    }
    bool number = false;
    const int bits = size.toInt(&number);
    if (!number || !LooksLikeAddress(size) || bits < 8 || bits > 32) {
        return Failed(error, QStringLiteral("the range size after '/' must be a number from 8 "
                                            "to 32, not \"%1\"")
                                 .arg(size));
    }
    const std::uint32_t mask = bits == 32 ? 0xFFFFFFFFu : ~(0xFFFFFFFFu >> bits);
    const std::uint32_t network = ntohl(*address) & mask;
    if (QString problem = AddressProblem(network, text); !problem.isEmpty()) {
        return Failed(error, problem);
    }
    // A whole range is reached through its directed broadcast address.
    return ExtraHosts::Entry{text, htonl(bits == 32 ? network : network | ~mask)};
}

// RFC 1123 host names: labels of letters, digits and '-', separated by dots.
std::optional<ExtraHosts::Entry> ParseName(const QString& text, QString* error) {
    if (text.size() > kMostNameLength) {
        return Failed(
            error,
            QStringLiteral("a host name is at most %1 characters long").arg(kMostNameLength));
    }
    const QString name = text.endsWith(QLatin1Char('.')) ? text.chopped(1) : text;
    for (const QString& label : name.split(QLatin1Char('.'))) {
        if (label.isEmpty()) {
            return Failed(error, QStringLiteral("\"%1\" has an empty part between dots").arg(text));
        }
        if (label.size() > kMostLabelLength) {
            return Failed(error, QStringLiteral("a part of a host name between dots is at most "
                                                "%1 characters long")
                                     .arg(kMostLabelLength));
        }
        for (QChar c : label) {
            const bool allowed = IsDigit(c) || IsLetter(c) || c == QLatin1Char('-');
            if (!allowed) {
                return Failed(error, QStringLiteral("\"%1\" is neither an address nor a host "
                                                    "name: a name holds only letters a-z, "
                                                    "digits, '-' and '.'")
                                         .arg(text));
            }
        }
        if (label.startsWith(QLatin1Char('-')) || label.endsWith(QLatin1Char('-'))) {
            return Failed(error, QStringLiteral("a part of a host name cannot begin or end "
                                                "with '-' (\"%1\")")
                                     .arg(text));
        }
    }
    return ExtraHosts::Entry{text, std::nullopt};
}

std::optional<in_addr_t> AnswerAddress(const std::optional<std::string>& answer) {
    return answer ? DottedToAddress(QString::fromStdString(*answer)) : std::nullopt;
}

bool Ignored(const QString& trimmedLine) {
    return trimmedLine.isEmpty() || trimmedLine.startsWith(QLatin1Char('#'));
}

} // namespace

std::optional<ExtraHosts::Entry> ExtraHosts::Parse(const QString& raw, QString* error) {
    const QString text = raw.trimmed();
    if (text.isEmpty()) {
        return Failed(error, QStringLiteral("the entry is empty"));
    }
    if (std::any_of(text.begin(), text.end(), [](QChar c) { return c.isSpace(); })) {
        return Failed(error,
                      QStringLiteral("\"%1\" has a space in it: write one entry a line").arg(text));
    }
    if (text.contains(QLatin1Char('/'))) {
        return ParseRange(text, error);
    }
    if (LooksLikeAddress(text)) {
        const std::optional<in_addr_t> address = DottedToAddress(text);
        if (!address) {
            return Failed(error, NotAnAddress(text));
        }
        if (QString problem = AddressProblem(ntohl(*address), text); !problem.isEmpty()) {
            return Failed(error, problem);
        }
        return Entry{text, address};
    }
    return ParseName(text, error);
}

ExtraHosts::ExtraHosts(BoundedLookup& lookupRunner, std::function<void()> whenApplied,
                       QObject* parent, LookUp lookUpName)
    : QObject(parent), lookups(lookupRunner),
      lookUp(lookUpName ? std::move(lookUpName)
                        : [](const std::string& name) { return LookUpHostAddress(name.c_str()); }),
      applied(std::move(whenApplied)) {
    refresh.setInterval(kRefreshInterval);
    connect(&refresh, &QTimer::timeout, this, [this] { StartRound(); });
    startLater.setSingleShot(true);
    startLater.setInterval(kStartRetry);
    connect(&startLater, &QTimer::timeout, this, [this] { StartLookups(); });
}

void ExtraHosts::Load() {
    const QSettings settings(QStringLiteral("kestrane"), QStringLiteral("kestrane"));
    Take(settings.value(SettingsKey()).toStringList());
    refresh.start();
    StartRound();
}

QStringList ExtraHosts::Entries() const {
    return entries;
}

std::optional<QString> ExtraHosts::SetEntries(const QStringList& lines) {
    QStringList kept;
    int count = 0;
    for (qsizetype i = 0; i < lines.size(); ++i) {
        const QString line = lines[i].trimmed();
        if (!line.isEmpty()) {
            kept.append(line);
        }
        if (Ignored(line)) {
            continue;
        }
        const QString number = QString::number(i + 1);
        QString error;
        if (!Parse(line, &error)) {
            return QStringLiteral("Line %1: %2").arg(number, error);
        }
        if (++count > kMostEntries) {
            return QStringLiteral("Line %1: at most %2 hosts and ranges can be listed")
                .arg(number, QString::number(kMostEntries));
        }
    }
    QSettings settings(QStringLiteral("kestrane"), QStringLiteral("kestrane"));
    settings.setValue(SettingsKey(), kept);
    settings.sync();
    if (settings.status() != QSettings::NoError) {
        return QStringLiteral("The list could not be saved to %1").arg(settings.fileName());
    }
    Take(kept);
    StartRound();
    return std::nullopt;
}

std::vector<std::pair<QString, QString>> ExtraHosts::Status() const {
    std::vector<std::pair<QString, QString>> status;
    for (const Item& item : items) {
        status.emplace_back(item.entry.text, Now(item));
    }
    return status;
}

QString ExtraHosts::Now(const Item& item) {
    if (!item.problem.isEmpty()) {
        return item.problem;
    }
    if (const std::optional<in_addr_t> address =
            item.entry.address ? item.entry.address : item.found) {
        return QString::fromStdString(DottedAddress(*address));
    }
    if (!item.unusable.isEmpty()) {
        return item.unusable;
    }
    return item.answered ? QStringLiteral("not found") : QStringLiteral("looking up");
}

// Lenient: a list edited by hand may hold bad lines; they are shown and skipped.
void ExtraHosts::Take(const QStringList& lines) {
    entries.clear();
    std::vector<Item> taken;
    for (const QString& raw : lines) {
        const QString line = raw.trimmed();
        if (!line.isEmpty()) {
            entries.append(line);
        }
        if (Ignored(line)) {
            continue;
        }
        Item item{{line, std::nullopt}, {}, std::nullopt, {}, false};
        if (std::optional<Entry> entry = Parse(line, &item.problem)) {
            item.entry = *entry;
        }
        if (static_cast<int>(taken.size()) >= kMostEntries) {
            item.problem = QStringLiteral("skipped: at most %1 entries").arg(kMostEntries);
        }
        // A name keeps its last answer while it is looked up again.
        const auto before = std::find_if(items.begin(), items.end(), [&](const Item& old) {
            return old.entry.text == line && old.problem.isEmpty();
        });
        if (before != items.end() && item.problem.isEmpty()) {
            item.found = before->found;
            item.unusable = before->unusable;
            item.answered = before->answered;
        }
        taken.push_back(item);
    }
    items = std::move(taken);
}

void ExtraHosts::StartRound() {
    ++round;
    toLookUp.clear();
    for (std::size_t i = 0; i < items.size(); ++i) {
        if (items[i].problem.isEmpty() && !items[i].entry.address) {
            toLookUp.push_back(static_cast<int>(i));
        }
    }
    unanswered = static_cast<int>(toLookUp.size());
    if (unanswered == 0) {
        Apply();
        return;
    }
    StartLookups();
}

void ExtraHosts::StartLookups() {
    // `running` counts threads, not answers: one stuck on a dead name server
    // past its limit still holds a slot until the resolver gives up.
    while (!toLookUp.empty() && running->load() < kMostLookups) {
        const int item = toLookUp.front();
        toLookUp.erase(toLookUp.begin());
        running->fetch_add(1);
        std::string name = items[static_cast<std::size_t>(item)].entry.text.toStdString();
        lookups.Start(
            [name = std::move(name), lookUpName = lookUp,
             counter = running]() -> std::optional<std::string> {
                const std::optional<in_addr_t> address = lookUpName(name);
                counter->fetch_sub(1);
                if (!address) {
                    return std::nullopt;
                }
                return DottedAddress(*address);
            },
            kLookupLimit,
            [self = QPointer<ExtraHosts>(this), started = round,
             item](std::optional<std::string> answer) {
                if (self) {
                    self->Answered(started, item, AnswerAddress(answer));
                }
            });
    }
    if (!toLookUp.empty()) {
        startLater.start();
    }
}

void ExtraHosts::Answered(int started, int item, std::optional<in_addr_t> address) {
    if (started != round) {
        return; // the list changed since; its own round answers for it
    }
    Item& answered = items[static_cast<std::size_t>(item)];
    answered.answered = true;
    answered.found = std::nullopt;
    answered.unusable.clear();
    // A name is held to what a typed address is: one that stands for this
    // machine or for every host (the broadcast, which goes out anyway) would
    // send each line to everybody twice, or to nobody.
    if (address) {
        const QString dotted = QString::fromStdString(DottedAddress(*address));
        if (QString problem = AddressProblem(ntohl(*address), dotted); problem.isEmpty()) {
            answered.found = address;
        } else {
            answered.unusable = QStringLiteral("not used: %1").arg(problem);
        }
    }
    if (--unanswered == 0) {
        Apply();
    }
}

void ExtraHosts::Apply() {
    std::vector<in_addr_t> addresses;
    for (const Item& item : items) {
        if (!item.problem.isEmpty()) {
            continue;
        }
        if (std::optional<in_addr_t> address =
                item.entry.address ? item.entry.address : item.found) {
            addresses.push_back(*address);
        }
    }
    std::sort(addresses.begin(), addresses.end());
    addresses.erase(std::unique(addresses.begin(), addresses.end()), addresses.end());
    // Each round ends here; only a change is worth greeting the hosts again.
    if (addresses == appliedAddresses) {
        return;
    }
    appliedAddresses = addresses;
    BroadcastFanout::Process().SetExtraDestinations(std::move(addresses));
    if (applied) {
        applied();
    }
}

} // namespace kestrane
