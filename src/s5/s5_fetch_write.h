// S5 fetch and write requests ("S5" payloads) on the same connections as S7.
#pragma once

#include "base/bytes.h"
#include "plc/plc.h"

#include <cstdint>

// The error byte of a refused request: the requested area is too small for the request
// (beyond the block's end, more words than one reply holds, or fewer words than announced).
inline constexpr std::uint8_t s5ErrorAreaTooSmall = 0x03;

// Serves an "S5" payload by its op code (fetch or write; others are ignored) from the PLC's data
// blocks. payload is the data frame's payload, from the letter 'S' to the end of the frame.
void handleS5Payload(Plc &plc, int slot, ByteView payload);
