#pragma once

#include <QString>
#include <cstdint>

namespace kestrane {

/// The chat log's text. Lines end in CR LF; a lone CR or LF ends one too, as
/// the control shows it. The text grows by appending and keeps its last
/// kKeptLines lines: once kTrimBatch more have come, the oldest go in one batch
/// and a note at the top says so. Any other change replaces it whole and is
/// counted, so the log control can tell an extension, which it shows by
/// removing what was trimmed and appending the tail, from a new text, without
/// comparing the two. UI thread only.
class LogText {
public:
    static constexpr qsizetype kKeptLines = 10000;
    static constexpr qsizetype kTrimBatch = 1000;

    /// What trimming has taken from the front since the last replacement.
    struct Trimmed {
        qsizetype note = 0;           // characters of the note at the top; 0 before the first trim
        std::uint64_t characters = 0; // removed from below the note, in all
        std::uint64_t lineBreaks = 0; // line ends in those: CR LF, a lone CR or a lone LF
    };

    LogText& operator+=(const QString& more);
    LogText& operator+=(const char* more) { return *this += QString::fromUtf8(more); }
    /// Replaces the whole text.
    LogText& operator=(const QString& replacement);

    const QString& Text() const { return text; }
    qsizetype Size() const { return text.size(); }
    /// How many times the text was replaced rather than extended.
    std::uint64_t Replacements() const { return replacements; }
    const Trimmed& Trim() const { return trimmed; }
    /// The number of the line that text appended next begins: line ends
    /// appended since the last replacement, trimmed ones included. It names
    /// that line for good, whatever is trimmed later, until a replacement.
    std::uint64_t NextLineNumber() const {
        return trimmed.lineBreaks + static_cast<std::uint64_t>(lines);
    }

private:
    void TrimFront();

    QString text;
    std::uint64_t replacements = 0;
    qsizetype lines = 0; // line ends below the note, as the control shows them
    Trimmed trimmed;
};

} // namespace kestrane
