// The S7 header as read from a job, and the header that starts every S7 reply.
#pragma once

#include "base/bytes.h"
#include "core/data_frame.h"
#include "plc/plc.h"

#include <cstddef>
#include <cstdint>

// Job header, offsets from the protocol id:
//
//   0 0x32   1 message type   2..3 reserved   4..5 reference   6..7 parameter length
//   8..9 data length   | parameters: 10 function  11 item count  12.. items
//
// A request item (S7ANY address), 12 bytes:
//
//   0 0x12  1 0x0A  2 syntax 0x10  3 transport size  4..5 element count  6..7 DB number
//   8 area  9..11 bit address (byte offset << 3 | bit)
inline constexpr std::size_t pduMessageTypeOffset = 1;
inline constexpr std::size_t pduReservedOffset = 2;  // 2 bytes, echoed
inline constexpr std::size_t pduReferenceOffset = 4; // 2 bytes, echoed
inline constexpr std::size_t pduParameterLengthOffset = 6;
inline constexpr std::size_t pduDataLengthOffset = 8;
inline constexpr std::size_t pduHeaderSize = 10;
inline constexpr std::size_t pduFunctionOffset = 10;
inline constexpr std::size_t pduItemCountOffset = 11;
inline constexpr std::size_t pduFirstItemOffset = 12;

// A request item: an S7ANY address of a range of bytes.
inline constexpr std::size_t requestItemSize = 12;
inline constexpr std::size_t itemElementCountOffset = 4;
inline constexpr std::size_t itemDbNumberOffset = 6;
inline constexpr std::size_t itemAddressOffset = 9; // 3 bytes, in bits

inline constexpr std::uint8_t messageTypeJob = 1;
inline constexpr std::uint8_t messageTypeAck = 2;
inline constexpr std::uint8_t messageTypeAckData = 3;
inline constexpr std::uint8_t messageTypeUserData = 7;

inline constexpr std::uint8_t functionReadVar = 0x04;
inline constexpr std::uint8_t functionWriteVar = 0x05;
inline constexpr std::uint8_t functionSetupCommunication = 0xF0;
inline constexpr std::uint8_t functionPlcStart = 0x28; // a PI service; P_PROGRAM starts the CPU
inline constexpr std::uint8_t functionPlcStop = 0x29;

// Reply header, offsets from the start of the frame:
//
//   0..6 ISO data frame header   7 0x32   8 message type (3 ack-data, 2 ack)
//   9..10 reserved (echoed)   11..12 reference (echoed)   13..14 parameter length
//   15..16 data length   17..18 error class and code   19 function   20 item count
inline constexpr std::size_t replyProtocolIdOffset = 7;
inline constexpr std::size_t replyMessageTypeOffset = 8;
inline constexpr std::size_t replyReservedOffset = 9;
inline constexpr std::size_t replyParameterLengthOffset = 13;
inline constexpr std::size_t replyDataLengthOffset = 15;
inline constexpr std::size_t replyFunctionOffset = 19;
inline constexpr std::size_t replyItemCountOffset = 20;
inline constexpr std::size_t replyHeaderSize = 21;

inline constexpr std::uint8_t s7ProtocolId = 0x32;

// Item return codes.
inline constexpr std::uint8_t returnSuccess = 0xFF;
inline constexpr std::uint8_t returnObjectDoesNotExist = 0x0A;
inline constexpr std::uint8_t returnAddressOutOfRange = 0x05;
inline constexpr std::uint8_t returnDataTypeNotSupported = 0x15; // the classic write refusal
inline constexpr std::uint8_t returnTypeNotSupported = 0x06;
inline constexpr std::uint8_t returnTypeInconsistent = 0x07;

// A data item, in a reply or a Write Var job: return code, transport size, length, the bytes.
inline constexpr std::size_t dataItemReturnCodeOffset = 0;
inline constexpr std::size_t dataItemTransportSizeOffset = 1;
inline constexpr std::size_t dataItemLengthOffset = 2;
inline constexpr std::size_t dataItemHeaderSize = 4;

// Data item transport sizes. Byte, word and double word (0x04) and integers (0x05) count their
// length in bits; bits (0x03) count one bit per item; reals (0x07) and octet strings (0x09)
// count bytes.
inline constexpr std::uint8_t transportSizeBit = 0x03;
inline constexpr std::uint8_t transportSizeByte = 0x04;
inline constexpr std::uint8_t transportSizeInteger = 0x05;
inline constexpr std::uint8_t transportSizeReal = 0x07;
inline constexpr std::uint8_t transportSizeOctetString = 0x09;

// Fills what every S7 reply starts with: the ISO data frame header, the protocol id, the message
// type, the job's reserved bytes and reference, the parameter and data lengths. The TPKT length
// is left for sendDataFrame.
inline void writeS7ReplyStart(ByteBuffer out, ByteView pdu, std::uint8_t messageType,
                              std::size_t parameterLength, std::size_t dataLength) {
    writeDataFrameHeader(out);
    out[replyProtocolIdOffset] = s7ProtocolId;
    out[replyMessageTypeOffset] = messageType;
    for (std::size_t i = 0; i < 4; ++i) {
        out[replyReservedOffset + i] = readU8OrZero(pdu, pduReservedOffset + i);
    }
    writeU16be(out, replyParameterLengthOffset, parameterLength);
    writeU16be(out, replyDataLengthOffset, dataLength);
}

// Fills the 21-byte ack-data reply header: the start above, then function and item count.
inline void writeReplyHeader(ByteBuffer out, ByteView pdu, std::size_t parameterLength,
                             std::size_t dataLength, std::uint8_t function,
                             std::uint8_t itemCount) {
    writeS7ReplyStart(out, pdu, messageTypeAckData, parameterLength, dataLength);
    out[replyFunctionOffset] = function;
    out[replyItemCountOffset] = itemCount;
}

// A request item's address: the byte offset is the bit address shifted right by 3, kept to
// 16 bits; the bit number is dropped.
struct ItemAddress {
    std::size_t elementCount;
    std::size_t dbNumber;
    std::size_t byteOffset;
};

inline ItemAddress decodeItemAddress(ByteView item) {
    const std::size_t bitAddress = readU24be(item, itemAddressOffset);
    return {readU16be(item, itemElementCountOffset), readU16be(item, itemDbNumberOffset),
            (bitAddress >> 3) & 0xFFFF};
}

// The 21-byte refusal of a whole job: message type ack, no data. Logged and recorded as
// refused.
void sendRefusal(Plc &plc, int slot, ByteView pdu, std::uint8_t function);

// Header errors: a job refused as a whole, as a real CPU refuses it.
struct HeaderError {
    std::uint8_t errorClass;
    std::uint8_t errorCode;
};
inline constexpr HeaderError errorNotAvailable = {0x81, 0x04}; // also a malformed job
inline constexpr HeaderError errorExceedsPdu = {0x85, 0x00};

// Sends the header error as an ack (message type 2) with neither parameters nor data:
//
//   0..6 ISO data frame header   7 0x32   8 type 2   9..10 reserved (echoed)
//   11..12 reference (echoed)   13..14 parameter length 0   15..16 data length 0
//   17 error class   18 error code
//
// Recorded as refused with the error, and the fault rule that asked for it (0: none); the caller
// logs why.
void sendHeaderError(Plc &plc, int slot, ByteView pdu, HeaderError error, int faultRule);

// The PDU length agreed in the slot's setup communication; the profile's largest until then.
std::size_t negotiatedPduLength(Plc &plc, int slot);

// The header of an ack-data S7 PDU: the job header's ten bytes, then error class and code.
inline constexpr std::size_t ackDataHeaderSize = 12;
