#pragma once

namespace kestrane {

/// What the incoming handler does with a received datagram, chosen by its type code.
enum ChatAction : int {
    ACTION_SHOW_TEXT = 1,
    ACTION_GREET = 2,
    ACTION_REMOVE_PEER = 3,
    ACTION_ADD_PEER = 4,
    ACTION_IGNORE = 5,
    ACTION_FILE_NOTICE = 6,
    ACTION_DELIVERY_NOTICE = 7,
};

} // namespace kestrane
