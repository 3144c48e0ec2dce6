#pragma once

#include <QByteArray>
#include <QString>
#include <string_view>

namespace kestrane {

/// Received bytes as text: UTF-8 when they are valid UTF-8, otherwise
/// Windows-1252, which is what peers on Windows send. Never fails.
QString DecodeNetworkText(std::string_view bytes);

/// The user's text as the bytes that go on the wire (UTF-8).
QByteArray EncodeNetworkText(const QString& text);

} // namespace kestrane
