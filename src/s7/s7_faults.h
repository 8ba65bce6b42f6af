// The fault rules applied to S7 requests: jobs (Read Var, Write Var, setup communication and the
// others) and userdata.
#pragma once

#include "core/wire.h"

#include <cstddef>
#include <cstdint>

// Decides the rules for one S7 request and acts on what fired: a header error answers it, no
// reply leaves it unanswered, close drops the connection, a delay holds its reply back. Returns
// true when the request is done with; false when the caller serves it, with faultItemCode giving
// the codes faults put on its items until endS7Faults.
bool applyS7Faults(int slot, ByteView pdu);

// The return code a fault gives item i of the request being served, or 0: served as usual.
std::uint8_t faultItemCode(std::size_t item);

void endS7Faults();
