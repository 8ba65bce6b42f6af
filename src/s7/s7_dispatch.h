// S7 PDUs inside ISO data frames: dispatch by message type and function, communication setup.
#pragma once

#include "base/bytes.h"
#include "plc/plc.h"

// Handles one S7 PDU (starting at its protocol id 0x32). s7Length is the length the frame's
// COTP header implies; Write Var checks its own length fields against it.
void handleS7Pdu(Plc &plc, int slot, ByteView pdu, int s7Length);
