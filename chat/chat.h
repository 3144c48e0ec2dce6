#pragma once

// The chat datagram format: layout, type codes, composition and the parsed message.
#include "chat/ChatAction.h"
#include "chat/ChatDatagram.h"
#include "chat/ChatMessage.h"
