#pragma once

#include <QString>

namespace kestrane {

/// Which packet filter this machine runs, as far as an unprivileged program
/// can tell, and the command that opens Kestrane's ports in it.
class FirewallProbe {
public:
    enum class Kind { None, Firewalld, Ufw, Nftables, Iptables };

    /// `root` is the file system root to look under ("/" but in tests).
    static Kind Running(const QString& root = QStringLiteral("/"));
    /// The command(s) to open UDP and TCP port 9000, as text for the person to
    /// run; empty for None.
    static QString OpenCommand(Kind kind);
    static QString Name(Kind kind);
};

} // namespace kestrane
