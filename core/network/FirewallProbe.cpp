#include "core/network/FirewallProbe.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <algorithm>

namespace kestrane {

namespace {

QByteArray ReadSmall(const QString& path) {
    QFile file(path);
    // Bounded: files under /proc and /etc/ufw are small, a fake one may not be.
    return file.open(QIODevice::ReadOnly) ? file.read(1 << 20) : QByteArray();
}

// /run/firewalld outlives a stopped firewalld until the next boot, so only its
// process tells that it runs. The daemon is a script: the kernel names the
// process after the script, so its comm is "firewalld" whatever interprets it.
bool FirewalldRuns(const QDir& root) {
    const QDir proc(root.filePath(QStringLiteral("proc")));
    const QStringList entries = proc.entryList(QDir::Dirs | QDir::NoDotAndDotDot);
    static const QRegularExpression kPid(QStringLiteral("^[0-9]+$"));
    for (const QString& entry : entries) {
        if (kPid.match(entry).hasMatch() &&
            ReadSmall(proc.filePath(entry + QStringLiteral("/comm"))).trimmed() == "firewalld") {
            return true;
        }
    }
    return false;
}

bool UfwEnabled(const QDir& root) {
    static const QRegularExpression kEnabled(QStringLiteral("^\\s*ENABLED\\s*=\\s*\"?yes\"?\\s*$"),
                                             QRegularExpression::MultilineOption |
                                                 QRegularExpression::CaseInsensitiveOption);
    const QString conf =
        QString::fromUtf8(ReadSmall(root.filePath(QStringLiteral("etc/ufw/ufw.conf"))));
    return kEnabled.match(conf).hasMatch();
}

bool ModuleLoaded(const QDir& root, const QByteArray& module) {
    const QList<QByteArray> lines =
        ReadSmall(root.filePath(QStringLiteral("proc/modules"))).split('\n');
    return std::any_of(lines.begin(), lines.end(),
                       [&](const QByteArray& line) { return line.startsWith(module + ' '); });
}

// iptables-nft and container engines load nf_tables too, so the module alone
// does not mean that someone keeps an nftables rule set: the enabled service
// (its link in some target's .wants folder) does.
bool NftablesServiceEnabled(const QDir& root) {
    const QDir units(root.filePath(QStringLiteral("etc/systemd/system")));
    const QStringList wants =
        units.entryList({QStringLiteral("*.wants")}, QDir::Dirs | QDir::NoDotAndDotDot);
    return std::any_of(wants.begin(), wants.end(), [&](const QString& folder) {
        return QFileInfo(units.filePath(folder + QStringLiteral("/nftables.service"))).isFile();
    });
}

} // namespace

FirewallProbe::Kind FirewallProbe::Running(const QString& root) {
    const QDir top(root);
    if (FirewalldRuns(top)) {
        return Kind::Firewalld;
    }
    if (UfwEnabled(top)) {
        return Kind::Ufw;
    }
    if (ModuleLoaded(top, "nf_tables") && NftablesServiceEnabled(top)) {
        return Kind::Nftables;
    }
    if (ModuleLoaded(top, "ip_tables")) {
        return Kind::Iptables;
    }
    return Kind::None;
}

QString FirewallProbe::OpenCommand(Kind kind) {
    switch (kind) {
    case Kind::Firewalld:
        return QStringLiteral("sudo firewall-cmd --permanent --add-service=kestrane && "
                              "sudo firewall-cmd --reload");
    case Kind::Ufw:
        return QStringLiteral("sudo ufw allow Kestrane");
    // Inserted, not added: a rule after the chain's own reject would never match.
    case Kind::Nftables:
        return QStringLiteral("sudo nft insert rule inet filter input udp dport 9000 accept\n"
                              "sudo nft insert rule inet filter input tcp dport 9000 accept");
    case Kind::Iptables:
        return QStringLiteral("sudo iptables -I INPUT -p udp --dport 9000 -j ACCEPT\n"
                              "sudo iptables -I INPUT -p tcp --dport 9000 -j ACCEPT");
    case Kind::None:
        break;
    }
    return {};
}

QString FirewallProbe::Name(Kind kind) {
    switch (kind) {
    case Kind::Firewalld:
        return QStringLiteral("firewalld");
    case Kind::Ufw:
        return QStringLiteral("ufw");
    case Kind::Nftables:
        return QStringLiteral("nftables");
    case Kind::Iptables:
        return QStringLiteral("iptables");
    case Kind::None:
        break;
    }
    return {};
}

} // namespace kestrane
