#pragma once

#include "security/KeyPair.h"

#include <QTimer>
#include <QWidget>
#include <chrono>
#include <optional>
#include <string>
#include <vector>

class QPushButton;
class QTableWidget;

namespace kestrane {

class PeerKeys;

/// "Known keys": every key kept for a host name, with its state and when it
/// was first and last heard, and Verify..., Forget and Unblock for the row
/// chosen. Forget is the way back for a host whose key was lost and that
/// should be trusted afresh. Reads the keys again every few seconds while
/// shown. All text is plain. Does not own the keys. UI thread only.
class KnownKeysTable : public QWidget {
public:
    static constexpr std::chrono::milliseconds kRefreshEvery{2000};

    KnownKeysTable(PeerKeys& keys, const KeyPair& own, QWidget* parent = nullptr);

    void Refresh();

protected:
    void showEvent(QShowEvent* event) override;
    void hideEvent(QHideEvent* event) override;

private:
    struct Row {
        std::string name;
        PublicKey key{};
        bool trusting = false; // trusted or verified
        bool undecided = false;
        bool blocked = false;
    };
    std::optional<Row> Chosen() const;
    void Follow();

    PeerKeys& keys;
    const KeyPair& own;
    std::vector<Row> rows;
    QTableWidget* table;
    QPushButton* verify;
    QPushButton* forget;
    QPushButton* unblock;
    QTimer refresh;
};

} // namespace kestrane
