#pragma once

#include "core/delivery/Recipient.h"

#include <QObject>

class QComboBox;

namespace kestrane {

class HostRoster;

/// The main window's roster box showing the session's hosts, and the
/// recipient the person has chosen in it. Nothing is chosen after the chosen
/// host goes: Qt would choose a neighbour, and a line must never go to a host
/// the person did not choose. Does not own the box or the hosts. UI thread only.
class RosterBox : public QObject {
public:
    RosterBox(QComboBox& box, HostRoster& hosts);

    /// The chosen entry: index -1 for none, 0 for everybody.
    Recipient Chosen() const;
    /// Chooses the host listed as `name` (whole name, any case); false, with
    /// the choice left alone, when none is.
    bool Choose(const std::string& name);

private:
    QComboBox& box;
    HostRoster& hosts;
    bool choiceLost = false; // the chosen host is being unlisted
};

} // namespace kestrane
