#pragma once

#include <QString>
#include <cstdint>

namespace kestrane {

/// The chat log's text (lines end in CR LF). It grows by appending; any other
/// change replaces it whole and is counted, so the log control can tell an
/// extension, which it shows by appending the tail, from a new text, without
/// comparing the two. UI thread only.
class LogText {
public:
    LogText& operator+=(const QString& more);
    LogText& operator+=(const char* more) { return *this += QString::fromUtf8(more); }
    /// Replaces the whole text.
    LogText& operator=(const QString& replacement);

    const QString& Text() const { return text; }
    qsizetype Size() const { return text.size(); }
    /// How many times the text was replaced rather than extended.
    std::uint64_t Replacements() const { return replacements; }

private:
    QString text;
    std::uint64_t replacements = 0;
};

} // namespace kestrane
