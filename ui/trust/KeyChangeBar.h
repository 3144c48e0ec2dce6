#pragma once

#include <QDate>
#include <QFrame>
#include <QString>

class QLabel;
class QPushButton;

namespace kestrane {

/// The warning above the log while a host's changed key waits for the
/// person's decision: what happened, what it can mean, and Compare, Accept
/// and Block. It only shows and reports the choice; the owner decides.
/// Hidden until Show. UI thread only.
class KeyChangeBar : public QFrame {
    Q_OBJECT

public:
    /// One host's changed key, as the bar tells it.
    struct Change {
        QString name;          // a peer's text, always shown as plain text
        QDate since;           // when the old key was first heard
        bool verified = false; // the old key was verified
        int more = 0;          // further new keys waiting besides this one
    };

    explicit KeyChangeBar(QWidget* parent = nullptr);

    /// Shows `change`, replacing whatever the bar showed.
    void Show(const Change& change);
    /// Hides the bar.
    void Clear();
    /// The text shown, headline then explanation, as a screen reader gets it.
    QString Text() const;

signals:
    // The person's choice for `name`, the name last shown.
    void CompareRequested(const QString& name);
    void AcceptRequested(const QString& name);
    void BlockRequested(const QString& name);

private:
    static QString Explanation(const Change& change);
    QPushButton* AddButton(const char* objectName, const QString& text,
                           const QString& accessibleName);

    QString name;
    QLabel* headline;
    QLabel* explanation;
    QPushButton* compare;
    QPushButton* accept;
    QPushButton* block;
};

} // namespace kestrane
