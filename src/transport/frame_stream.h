// Cuts the frames out of a connection's TCP byte stream by their TPKT headers.
#pragma once

#include "base/bytes.h"
#include "plc/plc.h"

// Handles every whole frame in bytes just received on the slot, in order, and keeps the start
// of an incomplete frame for the next receive. Frames behind a reply that could not be sent
// completely are kept too, and handled once it has gone.
void deliverReceivedBytes(Plc &plc, int slot, ByteView received);

// Handles frames kept back on the slot while its replies were pending.
void deliverHeldFrames(Plc &plc, int slot);

// How many bytes the next receive on the slot may take.
std::size_t receiveRoom(Plc &plc, int slot);
