// RFC 1006 TPKT framing with ISO 8073 COTP class 0: connect, disconnect, data routing.
#pragma once

#include "transport/wire.h"

#include <cstddef>
#include <cstdint>

// TPKT header, in front of every frame in both directions.
inline constexpr std::size_t frameTpktVersionOffset = 0;
inline constexpr std::size_t frameTpktLengthOffset = 2;
inline constexpr std::size_t tpktHeaderSize = 4;
inline constexpr std::uint8_t tpktVersion = 3;

// COTP header behind it.
inline constexpr std::size_t frameCotpLengthOffset = 4;
inline constexpr std::size_t frameCotpTypeOffset = 5;
// The payload of a class 0 data frame (LI 2) starts here.
inline constexpr std::size_t framePayloadOffset = 7;

// The smallest frame a TPKT header may announce: TPKT header plus a data frame header.
inline constexpr std::size_t smallestFrame = 7;

// Every data frame sent starts with 03 00 LL LL 02 F0 80.
inline constexpr std::size_t dataFrameHeaderSize = 7;

// Writes the ISO data frame header; the length is filled in by finishDataFrame.
void writeDataFrameHeader(ByteBuffer out);

// Writes the TPKT length, last, once the frame is complete.
void finishDataFrame(ByteBuffer out, std::size_t frameLength);

// Handles one whole frame received on the slot.
void handleFrame(int slot, ByteView frame);

// The client's source reference from its latest connection request, per slot.
extern std::uint8_t peerReference[2][2];
