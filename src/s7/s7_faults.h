// The fault rules applied to S7 requests: jobs (Read Var, Write Var, setup communication and the
// others) and userdata.
#pragma once

#include "base/bytes.h"
#include "core/fault_rules.h"
#include "plc/plc.h"

// Decides the PLC's rules for one S7 request into decision and acts on what fired: a header
// error answers it, no reply leaves it unanswered, close drops the connection, a delay holds its
// reply back. Returns true when the request is done with; false when the caller serves it, with
// decision's item codes for its items.
bool applyS7Faults(Plc &plc, int slot, ByteView pdu, FaultDecision &decision);
