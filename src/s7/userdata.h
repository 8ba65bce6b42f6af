// S7 userdata (message type 7) in the real-CPU profiles: reading system status lists, the
// clock, the block lists, and the at-once refusal of every other userdata function.
#pragma once

#include "base/bytes.h"
#include "core/fault_rules.h"
#include "plc/plc.h"

// Answers one userdata PDU (starting at its protocol id 0x32).
void handleUserData(Plc &plc, int slot, ByteView pdu, const FaultDecision &faults);

// True for a read SZL request (function group CPU, subfunction 1), first part or follow-up.
bool isReadSzlRequest(ByteView pdu);

// Answers a userdata request with the error in its parameters (0x8104: not available), as a CPU
// does for a function it refuses; recorded as refused by the fault rule given (0: none).
void refuseUserData(Plc &plc, int slot, ByteView pdu, std::uint16_t error, int faultRule);
