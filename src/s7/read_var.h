#pragma once

#include "base/bytes.h"
#include "core/fault_rules.h"
#include "plc/plc.h"

// Answers a Read Var job: one data item per request item, from the PLC's memory; faults gives
// the codes fault rules put on its items.
void handleReadVar(Plc &plc, int slot, ByteView pdu, const FaultDecision &faults);
