// Frames the load client sends and the replies it expects, as plain byte builders. Every
// builder appends to a caller-owned vector so the request loop reuses its buffers.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace bench {

inline constexpr std::size_t tpktHeaderSize = 4;     // 03 00 LL LL
inline constexpr std::size_t cotpDataHeaderSize = 3; // 02 F0 80
inline constexpr std::size_t s7Start = tpktHeaderSize + cotpDataHeaderSize;
inline constexpr std::size_t s7JobHeaderSize = 10;
inline constexpr std::size_t s7AckHeaderSize = 12; // the job header plus error class and code
inline constexpr std::size_t itemAddressSize = 12;
inline constexpr std::size_t dataItemHeaderSize = 4;
inline constexpr std::size_t pduReferenceOffset = s7Start + 4; // the same in jobs and replies
inline constexpr std::uint8_t tpktVersion = 0x03;
inline constexpr std::uint8_t returnCodeSuccess = 0xFF;
inline constexpr std::uint16_t defaultPduSize = 480; // what snap7 asks for
inline constexpr std::uint8_t defaultSlot = 2;       // classic and S7-300 answer here
inline constexpr std::uint8_t largestSlot = 31;      // the slot is the TSAP's low 5 bits

// One Read Var / Write Var item: a byte range of a data block.
struct Item {
    std::uint16_t dbNumber;
    std::uint16_t byteOffset;
    std::uint16_t byteCount;
};

// The 22-byte connection request for rack 0 and the slot given (0-31): calling TSAP 01 00,
// called TSAP 01 slot, TPDU size 1024.
void appendConnectionRequest(std::vector<std::uint8_t> &out, std::uint8_t slot = defaultSlot);

// Setup communication asking for one parallel job each way and a PDU of pduSize bytes.
void appendSetupCommunicationJob(std::vector<std::uint8_t> &out, std::uint16_t pduReference,
                                 std::uint16_t pduSize = defaultPduSize);

void appendReadVarJob(std::vector<std::uint8_t> &out, std::uint16_t pduReference,
                      std::span<const Item> items);

// data holds every item's bytes back to back, in item order.
void appendWriteVarJob(std::vector<std::uint8_t> &out, std::uint16_t pduReference,
                       std::span<const Item> items, std::span<const std::uint8_t> data);

// The exact reply a server gives to appendReadVarJob when the blocks hold data.
void appendReadVarReply(std::vector<std::uint8_t> &out, std::uint16_t pduReference,
                        std::span<const Item> items, std::span<const std::uint8_t> data);

// The exact reply to a Write Var job whose items were all stored.
void appendWriteVarReply(std::vector<std::uint8_t> &out, std::uint16_t pduReference,
                         std::size_t itemCount);

// The baseline's ping-pong peer does no protocol work: a job sent to it carries the size of the
// reply it should answer with in the S7 header's reserved word.
inline constexpr std::size_t baselineReplySizeOffset = s7Start + 2;
void markBaselineReply(std::span<std::uint8_t> job, std::size_t replySize);

// Overwrites the PDU reference of a built job or reply.
void setPduReference(std::span<std::uint8_t> frame, std::uint16_t pduReference);

// Bytes a job or reply occupies of the negotiated PDU (everything after the COTP header).
inline std::size_t pduBytes(std::span<const std::uint8_t> frame) {
    return frame.size() < s7Start ? 0 : frame.size() - s7Start;
}

// The whole frame length a TPKT header announces, or 0 when the header is not TPKT.
std::size_t tpktLength(std::span<const std::uint8_t> header);

// A byte pattern that differs between seeds and along the buffer, so a stale or shifted block
// never matches.
void fillPattern(std::span<std::uint8_t> out, std::uint32_t seed);

struct SetupReply {
    bool valid;
    std::uint16_t pduSize;
};

// Checks a Setup communication reply to the given reference and takes the agreed PDU size.
SetupReply parseSetupReply(std::span<const std::uint8_t> frame, std::uint16_t pduReference);

// True for a connection confirm (COTP CC).
bool isConnectionConfirm(std::span<const std::uint8_t> frame);

} // namespace bench
