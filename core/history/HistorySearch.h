#pragma once

#include <QString>

namespace kestrane {

/// What the person types in the History window's search, as a full-text
/// query over the history's index.
class HistorySearch {
public:
    /// A MATCH expression that finds the rows holding every word typed, each
    /// as the start of a word: every word is quoted (so that quotes, "AND",
    /// "NEAR(", "*", "^" or "col:" typed are words, never syntax) and made a
    /// prefix. Words without a letter or digit are left out. Empty when no
    /// word is left: then nothing is searched and every row shows.
    static QString MatchQuery(const QString& typed);
};

} // namespace kestrane
