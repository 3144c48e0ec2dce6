#pragma once

#include <QString>
#include <QVariantList>

namespace kestrane {

/// What the person types in the History window's search, as a condition on
/// the history's rows.
class HistorySearch {
public:
    /// A condition on the table `history`, its values bound in order.
    struct Condition {
        QString sql; // empty: every row
        QVariantList values;
    };

    /// Finds the rows whose peer or text holds every word typed, each as any
    /// part of a word and whatever its case. Words of three characters or
    /// more are quoted phrases of the trigram search index (so that quotes,
    /// "AND", "NEAR(", "*", "^" or "col:" typed are words, never syntax);
    /// shorter ones, which that index cannot find, are LIKE patterns with `%`,
    /// `_` and `\` escaped. Empty when nothing but spaces was typed.
    static Condition Where(const QString& typed);
};

} // namespace kestrane
