#pragma once

#include "core/network/NetworkDiagnosis.h"

#include <QDialog>
#include <QTimer>
#include <chrono>

class QLabel;
class QTableWidget;

namespace kestrane {

class ExtraHosts;
class HeardHosts;
class KeyPair;

/// The "Network" view: the interfaces in use and their addresses, what was
/// sent where and when, who was heard on which interface, and the diagnosis.
/// Reads the process's BroadcastFanout; refreshes every few seconds while
/// shown. All text is plain. Does not own `heard` or `extraHosts`. UI thread
/// only.
class NetworkView : public QDialog {
public:
    static constexpr std::chrono::milliseconds kRefreshEvery{2000};

    NetworkView(const HeardHosts& heard, ExtraHosts& extraHosts,
                std::chrono::system_clock::time_point started, QWidget* parent = nullptr);

    /// Reads the interfaces, the sends, the hosts heard and the firewall, and shows them.
    void Refresh();
    /// Shows this computer's key as a short code, above the buttons.
    void ShowOwnKey(const KeyPair& keys);
    /// Shows `section` (which it then owns) above the buttons.
    void AddSection(QWidget* section);
    /// Shows `facts` as they are.
    void Show(const NetworkDiagnosis::Facts& facts);

protected:
    void showEvent(QShowEvent* event) override;
    void hideEvent(QHideEvent* event) override;

private:
    void ShowAddresses(const NetworkDiagnosis::Facts& facts);
    void ShowSends(const NetworkDiagnosis::Facts& facts);
    void ShowHeard(const NetworkDiagnosis::Facts& facts);
    void EditExtraHosts();

    const HeardHosts& heard;
    ExtraHosts& extraHosts;
    std::chrono::system_clock::time_point started;
    QTimer refresh;
    QTableWidget* addresses;
    QTableWidget* sends;
    QTableWidget* hosts;
    QLabel* diagnosis;
};

} // namespace kestrane
