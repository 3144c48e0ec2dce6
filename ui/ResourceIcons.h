#pragma once

#include <QIcon>
#include <QPixmap>

namespace kestrane {

/// The program's icons (128: white tick on a dark-blue disc; 134: the disc
/// alone), drawn from their SVG resources. UI thread only.
class ResourceIcons {
public:
    /// The icon `iconId` drawn at `size` x `size` pixels; a null pixmap for an unknown id.
    static QPixmap Render(int iconId, int size);
    /// Icon 128 at the sizes a window manager asks for.
    static QIcon WindowIcon();
};

} // namespace kestrane
