// Job functions besides Read Var, Write Var and setup communication, as a real CPU answers them:
// PLC stop and PLC start move the CPU between RUN and STOP; every other function (upload,
// download, unknown ones) is refused at once.
#pragma once

#include "base/bytes.h"
#include "core/fault_rules.h"
#include "plc/plc.h"

#include <cstdint>

void handleControlJob(Plc &plc, int slot, ByteView pdu, std::uint8_t function,
                      const FaultDecision &faults);
