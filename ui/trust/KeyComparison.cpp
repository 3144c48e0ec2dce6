#include "ui/trust/KeyComparison.h"

#include "core/NetworkText.h"
#include "core/identity/PeerKeys.h"
#include "ui/trust/VerifyDialog.h"

namespace kestrane {

void KeyComparison::Open(QWidget& parent, PeerKeys& keys, const KeyPair& own,
                         const std::string& host, const PublicKey& key, bool newKey) {
    auto* dialog = new VerifyDialog(NetworkName(host), own.Public(), key, newKey, &parent);
    dialog->setAttribute(Qt::WA_DeleteOnClose);
    // The keys outlive every window that shows them.
    QObject::connect(dialog, &VerifyDialog::Matched, dialog, [&keys, host, key, newKey] {
        if (newKey) {
            keys.Accept(host, key);
        }
        keys.Verify(host, key);
    });
    QObject::connect(dialog, &VerifyDialog::BlockRequested, dialog,
                     [&keys, host, key] { keys.Block(host, key); });
    dialog->open();
}

} // namespace kestrane
