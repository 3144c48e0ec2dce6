#pragma once

namespace kestrane {

/// What the main window knows of an automation object that holds it alive:
/// that it can be told to forget the window. The automation object derives
/// from it and attaches itself to the window. UI thread only.
class AutoProxyLink {
public:
    /// The window is going away; the object must no longer refer to it.
    virtual void DetachDialog() = 0;
    virtual ~AutoProxyLink() = default;
};

} // namespace kestrane
