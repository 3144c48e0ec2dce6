#pragma once

#include <QDialog>
#include <chrono>

namespace kestrane {

class ExtraHosts;
class HeardHosts;

/// The "Network" view: the interfaces in use and their addresses, what was
/// sent where and when, who was heard on which interface, and the diagnosis.
/// Reads the process's BroadcastFanout; refreshes every few seconds while
/// shown. All text is plain. Does not own `heard` or `extraHosts`.
class NetworkView : public QDialog {
public:
    NetworkView(const HeardHosts& heard, ExtraHosts& extraHosts,
                std::chrono::system_clock::time_point started, QWidget* parent = nullptr);

    void Refresh();

private:
    const HeardHosts& heard;
    ExtraHosts& extraHosts;
    std::chrono::system_clock::time_point started;
};

} // namespace kestrane
