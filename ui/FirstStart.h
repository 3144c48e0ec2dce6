#pragma once

#include <QString>
#include <cstddef>

namespace kestrane {

/// The first start on this account. Behind a notification area the window
/// would never show, and a person trying the program for the first time sees
/// only a new icon; so the first start shows the window once, with a note
/// saying under which name this copy runs and how many hosts it heard. The
/// mark is "window/welcomed" in the settings. UI thread only.
class FirstStart {
public:
    /// True once per account: the first call that finds no mark and can keep
    /// one. Settings that cannot be written never welcome, rather than at
    /// every start.
    static bool Claim();
    /// The note, once the hello has had time for answers.
    static QString Note(const QString& ownName, std::size_t othersHeard);
};

} // namespace kestrane
