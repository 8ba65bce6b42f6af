#pragma once

#include "core/wire.h"

// Answers a Read Var job: one data item per request item, from the data blocks.
void handleReadVar(int slot, ByteView pdu);
