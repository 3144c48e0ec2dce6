#pragma once

#include <QObject>
#include <QPointer>
#include <functional>

namespace kestrane {

class AlertSettings;
class DesktopNotifications;
class FileTransfers;

/// A notification for each file offer that comes while the person looks
/// elsewhere, with Accept (into the usual folder) and Decline; clicked, it
/// shows the transfers. It goes when the offer stops waiting, whichever way
/// it was answered, withdrawn or dropped. Owns nothing it is given. UI thread only.
class OfferAlerts : public QObject {
public:
    OfferAlerts(DesktopNotifications& notifications, AlertSettings& settings,
                std::function<void()> showOffers);

    /// An offer came to `transfers`: the offers that came since the last
    /// call are notified, unless the person is looking at the window or Do
    /// not disturb is on.
    void OfferCame(FileTransfers& transfers, bool personLooking);

private:
    void Follow(FileTransfers& transfers);
    /// Withdraws the notifications of offers that no longer wait.
    void WithdrawAnswered();
    void Answer(int offerId, bool accepted);

    DesktopNotifications& notifications;
    AlertSettings& settings;
    QPointer<FileTransfers> followed;
    int newestCome = 0; // the id of the newest offer the last call saw
};

} // namespace kestrane
