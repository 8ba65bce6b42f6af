// RFC 1006 TPKT framing with ISO 8073 COTP class 0: connect, disconnect, data routing.
#pragma once

#include "base/bytes.h"
#include "plc/plc.h"

// Handles one whole frame received on the PLC's slot.
void handleFrame(Plc &plc, int slot, ByteView frame);
