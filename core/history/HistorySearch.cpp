#include "core/history/HistorySearch.h"

#include <QStringList>
#include <algorithm>

namespace kestrane {

QString HistorySearch::MatchQuery(const QString& typed) {
    QStringList terms;
    for (const QString& word : typed.simplified().split(QChar(' '), Qt::SkipEmptyParts)) {
        // The index keeps only letters and digits; a word of neither would
        // be an empty phrase, which the index rejects.
        if (std::none_of(word.begin(), word.end(), [](QChar c) { return c.isLetterOrNumber(); })) {
            continue;
        }
        QString quoted = word;
        quoted.replace(QChar('"'), QStringLiteral("\"\""));
        terms << QChar('"') + quoted + QStringLiteral("\"*");
    }
    return terms.join(QChar(' '));
}

} // namespace kestrane
