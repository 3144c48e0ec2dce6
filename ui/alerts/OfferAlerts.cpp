#include "ui/alerts/OfferAlerts.h"

#include "core/alerts/DesktopNotifications.h"
#include "core/transfers/FileTransfers.h"
#include "ui/alerts/AlertSettings.h"

#include <algorithm>
#include <utility>

namespace kestrane {
namespace {

bool IsWaiting(const FileTransfers& transfers, int offerId) {
    const auto& list = transfers.Transfers();
    return std::any_of(list.begin(), list.end(), [offerId](const auto& transfer) {
        return transfer.id == offerId && transfer.state == FileTransfers::State::Waiting;
    });
}

} // namespace

OfferAlerts::OfferAlerts(DesktopNotifications& desktopNotifications, AlertSettings& alertSettings,
                         std::function<void()> showOffers)
    : notifications(desktopNotifications), settings(alertSettings) {
    connect(&notifications, &DesktopNotifications::OfferAnswered, this, &OfferAlerts::Answer);
    connect(&notifications, &DesktopNotifications::OffersRequested, this, std::move(showOffers));
}

void OfferAlerts::OfferCame(FileTransfers& transfers, bool personLooking) {
    Follow(transfers);
    const bool quiet = personLooking || settings.DoNotDisturb();
    for (const FileTransfers::Transfer& transfer : transfers.Transfers()) {
        if (transfer.id <= newestCome) {
            continue;
        }
        newestCome = transfer.id;
        if (transfer.incoming && transfer.state == FileTransfers::State::Waiting && !quiet) {
            notifications.ShowOffer(transfer.id, transfer.peer, FileTransfers::Describe(transfer));
        }
    }
}

void OfferAlerts::Follow(FileTransfers& transfers) {
    if (followed != &transfers) {
        followed = &transfers;
        connect(&transfers, &FileTransfers::Changed, this, &OfferAlerts::WithdrawAnswered);
    }
}

void OfferAlerts::WithdrawAnswered() {
    for (const int offerId : notifications.OpenOffers()) {
        if (followed == nullptr || !IsWaiting(*followed, offerId)) {
            notifications.WithdrawOffer(offerId);
        }
    }
}

void OfferAlerts::Answer(int offerId, bool accepted) {
    if (followed == nullptr || !IsWaiting(*followed, offerId)) {
        return;
    }
    if (accepted) {
        followed->Accept(offerId, FileTransfers::DefaultFolder());
    } else {
        followed->Decline(offerId);
    }
}

} // namespace kestrane
