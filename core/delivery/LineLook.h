#pragma once

namespace kestrane {

/// How a line sent from this copy stands, as its mark in the log shows it;
/// or, for a line that came, that it was sent to this host alone.
enum class LineLook { Pending, Delivered, NotDelivered, NoReceipts, Partly, ToYou };

} // namespace kestrane
