// The ISO data frame that carries every S7 and S5 reply: TPKT header (RFC 1006) and a class 0
// COTP DT header (ISO 8073), then the payload.
//
//   offset  0      1      2..3        4    5     6           7..
//         +------+------+-----------+----+-----+-----------+---------+
//         | 0x03 | 0x00 | length BE | LI | DT  | TPDU+EOT  | payload |
//         | vers | res. | whole     | 02 | F0  | 80        |         |
//         +------+------+-----------+----+-----+-----------+---------+
#pragma once

#include "base/bytes.h"
#include "core/connection_table.h"

#include <cstddef>
#include <cstdint>

// TPKT header, in front of every frame in both directions.
inline constexpr std::size_t frameTpktVersionOffset = 0;
inline constexpr std::size_t frameTpktLengthOffset = 2;
inline constexpr std::size_t tpktHeaderSize = 4;
inline constexpr std::uint8_t tpktVersion = 3;

// COTP header behind it: length indicator, then the PDU type.
inline constexpr std::size_t frameCotpLengthOffset = 4;
inline constexpr std::size_t frameCotpTypeOffset = 5;

// The payload of a class 0 data frame (LI 2) starts here; every data frame sent has this header.
inline constexpr std::size_t framePayloadOffset = 7;
inline constexpr std::size_t dataFrameHeaderSize = 7;

// The smallest frame a TPKT header may announce: TPKT header plus a data frame header.
inline constexpr std::size_t smallestFrame = 7;

// How a failed send of a reply is logged: the S7 setup and Write Var replies, the Read Var reply
// (time-stamped, error code in hex) and the S5 replies each have their own line.
enum class SendFailureLine { plain, timestamped, s5 };

// Writes the data frame header; sendDataFrame fills in the length.
void writeDataFrameHeader(ByteBuffer out);

// Writes the TPKT length of the first length bytes of frame, sends them through the one send path
// and logs a failed send. Returns true when the frame was sent (or queued behind earlier bytes).
// On a slot whose connect agreed a TPDU size, a frame longer than it leaves as several DT frames
// (end of transmission only on the last), sent together.
bool sendDataFrame(ConnectionTable &table, int slot, ByteBuffer frame, std::size_t length,
                   SendFailureLine failureLine);
