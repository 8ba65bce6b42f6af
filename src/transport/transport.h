// RFC 1006 TPKT framing with ISO 8073 COTP class 0: connect, disconnect, data routing.
#pragma once

#include "core/data_frame.h"
#include "core/wire.h"

// Handles one whole frame received on the slot.
void handleFrame(int slot, ByteView frame);
