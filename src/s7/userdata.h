// S7 userdata (message type 7) in the real-CPU profiles: reading system status lists, the
// clock, the block lists, and the at-once refusal of every other userdata function.
#pragma once

#include "core/wire.h"

// Answers one userdata PDU (starting at its protocol id 0x32).
void handleUserData(int slot, ByteView pdu);
