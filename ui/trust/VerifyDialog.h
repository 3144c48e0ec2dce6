#pragma once

#include "security/KeyPair.h"

#include <QDialog>

class QLabel;
class QPushButton;
class QVBoxLayout;

namespace kestrane {

/// Shows the safety code of this copy's key and a peer's key, and both
/// fingerprints, for two people to compare side by side or by voice. It only
/// shows and reports the person's answer; the owner decides what follows.
/// UI thread only.
class VerifyDialog : public QDialog {
    Q_OBJECT

public:
    /// Compares `own` with `peer`, the key heard under `name` (a peer's text,
    /// always shown as plain text). `newKey`: `peer` is a changed key not yet
    /// decided, so a match also accepts it.
    VerifyDialog(const QString& name, const PublicKey& own, const PublicKey& peer, bool newKey,
                 QWidget* parent = nullptr);

signals:
    /// The person said the codes match; the dialog then closes as accepted.
    void Matched();
    /// The person found the codes differ and asked to block the key; the
    /// dialog then closes as rejected.
    void BlockRequested();

private:
    void AddCode(const QString& name, const PublicKey& own, const PublicKey& peer);
    void AddButtons(bool newKey);
    void AddDiffer(const QString& name);

    QVBoxLayout* column;
    QWidget* differ = nullptr; // the explanation and Block, shown on "They differ"
    QPushButton* block = nullptr;
};

} // namespace kestrane
