#pragma once

#include "base/bytes.h"
#include "core/fault_rules.h"
#include "plc/plc.h"

// Stores the items of a Write Var job into the PLC's memory and answers with one return code per
// item, or refuses the whole job when its lengths do not add up; faults gives the codes fault
// rules put on its items.
void handleWriteVar(Plc &plc, int slot, ByteView pdu, int s7Length, const FaultDecision &faults);
