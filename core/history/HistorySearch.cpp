#include "core/history/HistorySearch.h"

#include <QStringList>

namespace kestrane {
namespace {

// The trigram index finds no term shorter than this many characters.
constexpr qsizetype kIndexedCharacters = 3;

// The word in every mix of upper and lower case of its letters but the ASCII
// ones, whose case LIKE ignores itself: at most four for two letters.
QStringList CaseForms(const QList<uint>& characters) {
    QStringList forms{QString()};
    for (const char32_t character : characters) {
        QStringList longer;
        for (const QString& form : forms) {
            for (const char32_t variant :
                 {QChar::toLower(character),
                  character < 0x80 ? character : QChar::toUpper(character)}) {
                const QString next = form + QString::fromUcs4(&variant, 1);
                if (!longer.contains(next)) {
                    longer << next;
                }
            }
        }
        forms = longer;
    }
    return forms;
}

} // namespace

HistorySearch::Condition HistorySearch::Where(const QString& typed) {
    Condition where;
    QStringList phrases;
    QStringList conditions;
    for (const QString& word : typed.simplified().split(QChar(' '), Qt::SkipEmptyParts)) {
        const QList<uint> characters = word.toUcs4();
        if (characters.size() >= kIndexedCharacters) {
            QString quoted = word;
            quoted.replace(QChar('"'), QStringLiteral("\"\""));
            phrases << QChar('"') + quoted + QChar('"');
            continue;
        }
        QStringList either;
        for (QString form : CaseForms(characters)) {
            form.replace(QChar('\\'), QStringLiteral("\\\\"))
                .replace(QChar('%'), QStringLiteral("\\%"))
                .replace(QChar('_'), QStringLiteral("\\_"));
            const QString pattern = QChar('%') + form + QChar('%');
            either << QStringLiteral("peer LIKE ? ESCAPE '\\' OR text LIKE ? ESCAPE '\\'");
            where.values << pattern << pattern;
        }
        conditions << QChar('(') + either.join(QStringLiteral(" OR ")) + QChar(')');
    }
    if (!phrases.isEmpty()) {
        conditions.prepend(QStringLiteral(
            "id IN (SELECT rowid FROM history_search WHERE history_search MATCH ?)"));
        where.values.prepend(phrases.join(QChar(' ')));
    }
    where.sql = conditions.join(QStringLiteral(" AND "));
    return where;
}

} // namespace kestrane
