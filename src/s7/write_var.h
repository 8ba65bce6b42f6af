#pragma once

#include "core/wire.h"

// Stores the items of a Write Var job and answers with one return code per item, or refuses
// the whole job when its lengths do not add up.
void handleWriteVar(int slot, ByteView pdu, int s7Length);
