#pragma once

#include <QIcon>
#include <QPixmap>

namespace kestrane {

/// The program's icons (128: white tick on a dark-blue disc; 134: the disc
/// alone), as PNG resources drawn from their SVGs beforehand: Qt's SVG module
/// would cost every copy its memory for five small images. UI thread only.
class ResourceIcons {
public:
    /// The icon `iconId` at `size` x `size` pixels: 128 at 16, 32, 48 and 64,
    /// 134 at 16. A null pixmap for any other id or size.
    static QPixmap Render(int iconId, int size);
    /// Icon 128 at the sizes a window manager asks for.
    static QIcon WindowIcon();
};

} // namespace kestrane
