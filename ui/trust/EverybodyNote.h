#pragma once

#include <QObject>
#include <QPointer>
#include <functional>

class QComboBox;
class QLabel;
class QMenu;
class QWidget;

namespace kestrane {

class WindowStretch;

/// "Only Kestrane hosts": the checkable item in the main window's menus that
/// sends lines to everybody only sealed, to each Kestrane host whose key is
/// known, and, while the broadcast entry is chosen with it on, the note under
/// the log saying who will see such a line. Sending reads the setting itself
/// (EverybodySetting); this only shows it and lets the person change it. Owned
/// by the window (Qt parent). UI thread only.
class EverybodyNote : public QObject {
public:
    /// `privateHosts` counts the hosts present that can take a line privately.
    EverybodyNote(QWidget& window, std::function<int()> privateHosts);

    /// The window's controls exist: the note goes under the log `stretch`
    /// grows, and follows the broadcast entry of `roster`.
    void Attach(WindowStretch& stretch, QComboBox& roster);
    /// Adds the checkable "Only Kestrane hosts" item to `menu`.
    void AddItem(QMenu& menu);
    /// Shows or hides the note, with the count of hosts as it is now.
    void Update();
    /// What the note says with `hosts` private hosts present.
    static QString Text(int hosts);

private:
    QWidget& window;
    std::function<int()> privateHosts;
    WindowStretch* stretch = nullptr;
    QPointer<QComboBox> roster;
    QPointer<QLabel> note;
};

} // namespace kestrane
