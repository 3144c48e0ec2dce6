#pragma once

#include <string>

namespace kestrane {

/// Who a line or an offer from the main window goes to, taken from the roster
/// when the person acts. A value.
struct Recipient {
    int index = -1;      // in the roster; 0 is everybody
    std::string name;    // the host's name as it came on the wire
    std::string address; // where it last spoke from; empty when never heard
};

} // namespace kestrane
