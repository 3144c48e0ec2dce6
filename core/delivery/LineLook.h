#pragma once

namespace kestrane {

/// How a line sent from this copy stands, as its mark in the log shows it.
enum class LineLook { Pending, Delivered, NotDelivered, NoReceipts, Partly };

} // namespace kestrane
