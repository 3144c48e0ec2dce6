#include "core/NetworkText.h"

#include <QList>
#include <QStringDecoder>
#include <array>

namespace kestrane {
namespace {

// Windows-1252 differs from Latin-1 only in 0x80..0x9F; the five unassigned
// codes map to the C1 controls of the same value, as Windows itself does.
constexpr std::array<char16_t, 32> kWindows1252High{
    0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
    0x2039, 0x0152, 0x008D, 0x017D, 0x008F, 0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
    0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178};

QString DecodeWindows1252(std::string_view bytes) {
    QString text;
    text.reserve(static_cast<qsizetype>(bytes.size()));
    for (const char byte : bytes) {
        const auto code = static_cast<unsigned char>(byte);
        const char16_t unit = (code >= 0x80 && code < 0xA0) ? kWindows1252High[code - 0x80]
                                                            : static_cast<char16_t>(code);
        text.append(QChar(unit));
    }
    return text;
}

} // namespace

QString DecodeNetworkText(std::string_view bytes) {
    QStringDecoder utf8(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
    QString text = utf8.decode(QByteArrayView(bytes.data(), static_cast<qsizetype>(bytes.size())));
    if (!utf8.hasError()) {
        return text;
    }
    return DecodeWindows1252(bytes);
}

QString OneLineText(const QString& text) {
    QString line = text;
    for (QChar& character : line) {
        const char16_t unit = character.unicode();
        const bool directionControl =
            (unit >= 0x202A && unit <= 0x202E) || (unit >= 0x2066 && unit <= 0x2069);
        const bool lineSeparator = unit == 0x2028 || unit == 0x2029;
        if (character.category() == QChar::Other_Control || directionControl || lineSeparator) {
            character = QLatin1Char(' ');
        }
    }
    return line;
}

QString TerminalText(const QString& text) {
    QString escaped;
    escaped.reserve(text.size());
    for (const char32_t c : text.toUcs4()) {
        const bool acts = QChar::category(c) == QChar::Other_Control ||
                          (c >= 0x202A && c <= 0x202E) || (c >= 0x2066 && c <= 0x2069) ||
                          c == 0x2028 || c == 0x2029 || c == 0x200E || c == 0x200F || c == 0x061C;
        if (c == U'\\') {
            escaped += QStringLiteral("\\\\");
        } else if (acts && c < 0x100) {
            escaped += QStringLiteral("\\x%1").arg(static_cast<uint>(c), 2, 16, QLatin1Char('0'));
        } else if (acts) {
            escaped += QStringLiteral("\\u{%1}").arg(static_cast<uint>(c), 4, 16, QLatin1Char('0'));
        } else {
            escaped += QString::fromUcs4(&c, 1);
        }
    }
    return escaped;
}

QString NetworkName(std::string_view bytes) {
    return OneLineText(DecodeNetworkText(bytes));
}

QString WithoutLineEnd(const QString& line) {
    return line.endsWith(QStringLiteral("\r\n")) ? line.chopped(2) : line;
}

QByteArray EncodeNetworkText(const QString& text) {
    return text.toUtf8();
}

} // namespace kestrane
