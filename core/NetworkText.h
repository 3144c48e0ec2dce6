#pragma once

#include <QByteArray>
#include <QString>
#include <string_view>

namespace kestrane {

/// Received bytes as text: UTF-8 when they are valid UTF-8, otherwise
/// Windows-1252, which is what peers on Windows send. Never fails.
QString DecodeNetworkText(std::string_view bytes);

/// Network text for one line of the window's own text (a log note, a title,
/// a name in a list): control characters, CR and LF included, and the
/// direction overrides that could make it read as something else, become
/// spaces, so a peer can never start a line of its own.
QString OneLineText(const QString& text);

/// Network text for a terminal, a journal or a script reading a copy's output:
/// what OneLineText turns into spaces (control characters, direction
/// controls, line separators) and the bidirectional marks are written as
/// \xHH or \u{HHHH}, and a backslash as two, so the text reads back as sent
/// and can never act on what shows it.
QString TerminalText(const QString& text);

/// A name from the network (a host's) as OneLineText of its decoded bytes.
QString NetworkName(std::string_view bytes);

/// A line without the CR LF that ends it on the wire, if it has one.
QString WithoutLineEnd(const QString& line);

/// The user's text as the bytes that go on the wire (UTF-8).
QByteArray EncodeNetworkText(const QString& text);

} // namespace kestrane
