#include "transport/transport.h"

#include "core/connection_table.h"
#include "core/log.h"
#include "s5/s5_fetch_write.h"
#include "s7/s7_dispatch.h"

#include <array>

namespace {

// COTP PDU types, in the upper four bits of the type byte.
constexpr std::uint8_t cotpTypeDisconnectRequest = 0x8;
constexpr std::uint8_t cotpTypeConnectionRequest = 0xE;
constexpr std::uint8_t cotpTypeData = 0xF;

constexpr std::uint8_t cotpConnectionConfirm = 0xD0;
constexpr std::uint8_t cotpDisconnectRequest = 0x80;
constexpr std::uint8_t cotpDisconnectConfirm = 0xC0;

// Connection request, as read.
constexpr std::size_t crSourceReferenceOffset = 8;
constexpr std::size_t crFixedPartSize = 11; // TPKT, LI, type, both references, class
constexpr std::size_t crFirstParameterOffset = 11;
// Acceptance test on fixed positions: with the calling TSAP first, byte 15 is the called
// TSAP's code and byte 18 the second byte of its value (rack and slot of the addressed CPU).
constexpr std::size_t crCalledTsapCodeOffset = 15;
constexpr std::size_t crCalledSlotOffset = 18;
constexpr std::uint8_t acceptedCpuSlot = 2;

// Parameter codes that are logged.
constexpr std::uint8_t parameterTpduSize = 0xC0;
constexpr std::uint8_t parameterCallingTsap = 0xC1;
constexpr std::uint8_t parameterCalledTsap = 0xC2;

// Disconnect request, as read: the references must be there to be echoed.
constexpr std::size_t drSourceReferenceOffset = 8;
constexpr std::size_t drDestinationReferenceOffset = 6;
constexpr std::size_t drFixedPartSize = 10;

// Data frame routing, by the payload's first byte.
constexpr std::uint8_t payloadS5 = 0x53; // 'S'
constexpr std::uint8_t payloadS7 = 0x32;

constexpr std::size_t connectConfirmSize = 22;
constexpr std::size_t disconnectConfirmSize = 11;

enum class FrameKind { disconnectRequest, connectionRequest, data, other };

FrameKind classifyFrame(ByteView frame) {
    const auto type = static_cast<std::uint8_t>(readU8(frame, frameCotpTypeOffset) >> 4);
    if (type == cotpTypeDisconnectRequest) {
        return FrameKind::disconnectRequest;
    }
    if (type == cotpTypeConnectionRequest) {
        return FrameKind::connectionRequest;
    }
    if (type == cotpTypeData) {
        return FrameKind::data;
    }
    return FrameKind::other;
}

// Connection confirm (or, with the type changed to DR, the refusal), always 22 bytes:
//
//   0..3  TPKT 03 00 00 16     4  LI 0x11      5  CC 0xD0 (DR 0x80)
//   6..7  dst ref = client's   8..9  src ref = slot + 1, 0     10  class 0
//   11..13  TPDU size 512 (C0 01 09)
//   14..17  calling TSAP "KT" (C1 02 4B 54)    18..21  called TSAP 03 02 (C1 02 03 02)
void sendConnectConfirm(int slot, bool refuse) {
    const std::array<std::uint8_t, 2> reference = slotAt(slot).peerReference;
    // clang-format off
    const std::array<std::uint8_t, connectConfirmSize> frame = {
        0x03, 0x00, 0x00, 0x16,                               // TPKT
        0x11, refuse ? cotpDisconnectRequest : cotpConnectionConfirm,
        reference[0], reference[1],                           // destination reference
        static_cast<std::uint8_t>(slot + 1), 0x00,            // source reference
        0x00,                                                 // class 0
        0xC0, 0x01, 0x09,                                     // TPDU size 512
        0xC1, 0x02, 0x4B, 0x54,                               // calling TSAP
        0xC1, 0x02, 0x03, 0x02};                              // called TSAP
    // clang-format on
    sendReply(slot, frame);
    logMessage(trafficAttribute(slot), "%sSending Connect confirm dref=%d", slotPrefix(slot).text(),
               reference[0] + 256 * reference[1]);
}

// The DC swaps the DR's references: ours go back as the source, the client's as destination.
//
//   0..3  TPKT 03 00 00 0B   4  LI 6   5  DC 0xC0   6..7  DR's source   8..9  DR's destination
//   10  reason 0
void sendDisconnectConfirm(int slot, ByteView frame) {
    // clang-format off
    const std::array<std::uint8_t, disconnectConfirmSize> reply = {
        0x03, 0x00, 0x00, 0x0B,                                                       // TPKT
        0x06, cotpDisconnectConfirm,                                                  // LI, DC
        readU8(frame, drSourceReferenceOffset), readU8(frame, drSourceReferenceOffset + 1),
        readU8(frame, drDestinationReferenceOffset),
        readU8(frame, drDestinationReferenceOffset + 1),
        0x00};                                                                        // reason
    // clang-format on
    sendReply(slot, reply);
    logMessage(trafficAttribute(slot), "%s Sending DisConnect confirm", slotPrefix(slot).text());
}

void logConnectParameter(ByteView frame, std::size_t codeAt) {
    const std::uint8_t code = readU8(frame, codeAt);
    // The value bytes are shown whatever the parameter's length says; absent ones as zero.
    const std::uint8_t first = readU8OrZero(frame, codeAt + 2);
    const std::uint8_t second = readU8OrZero(frame, codeAt + 3);
    if (code == parameterTpduSize) {
        logMessage(attributeConnectParameter, "TPDU Size = %X", first);
    } else if (code == parameterCallingTsap) {
        logMessage(attributeConnectParameter, "Calling TSAP = %X,%X", first, second);
    } else if (code == parameterCalledTsap) {
        logMessage(attributeConnectParameter, "Called TSAP = %X,%X", first, second);
    }
}

// Logs every parameter that lies wholly inside both the LI and the frame, in order.
void walkConnectParameters(ByteView frame) {
    const int lengthIndicator = readU8(frame, frameCotpLengthOffset);
    std::size_t codeAt = crFirstParameterOffset;
    if (!fits(frame, codeAt, 2)) {
        return;
    }
    std::size_t valueLength = readU8(frame, codeAt + 1);
    // Header bytes left behind the current parameter: the fixed part takes 6 bytes after the
    // LI byte, and the parameter 2 + its length.
    int rest = lengthIndicator - static_cast<int>(valueLength) - 8;
    while (rest >= 0 && fits(frame, codeAt + 2, valueLength)) {
        logConnectParameter(frame, codeAt);
        const std::size_t nextCodeAt = codeAt + 2 + valueLength;
        if (!fits(frame, nextCodeAt, 2)) {
            return;
        }
        codeAt = nextCodeAt;
        valueLength = readU8(frame, codeAt + 1);
        rest -= 2 + static_cast<int>(valueLength);
    }
}

void handleConnectionRequest(int slot, ByteView frame) {
    if (frame.size() < crFixedPartSize) {
        return;
    }
    slotAt(slot).peerReference = {readU8(frame, crSourceReferenceOffset),
                                  readU8(frame, crSourceReferenceOffset + 1)};
    walkConnectParameters(frame);
    // Bytes beyond the frame read as zero, so a short request is judged as if zero-filled.
    const bool refuse = readU8OrZero(frame, crCalledTsapCodeOffset) == parameterCalledTsap &&
                        (readU8OrZero(frame, crCalledSlotOffset) & 0x0F) != acceptedCpuSlot;
    sendConnectConfirm(slot, refuse);
    if (refuse) {
        closeConnection(slot);
    }
}

void handleDisconnectRequest(int slot, ByteView frame) {
    if (frame.size() < drFixedPartSize) {
        // No references to echo, so no confirm; the client asked to end the connection all the
        // same.
        logMessage(attributeError, "%s Disconnect request of %d bytes, closing without confirm",
                   slotPrefix(slot).text(), static_cast<int>(frame.size()));
        closeConnection(slot);
        return;
    }
    sendDisconnectConfirm(slot, frame);
    closeConnection(slot);
}

void routeData(int slot, ByteView frame) {
    if (frame.size() <= framePayloadOffset) {
        return;
    }
    const ByteView payload = frame.subspan(framePayloadOffset);
    const std::uint8_t first = readU8(frame, framePayloadOffset);
    if (first == payloadS5) {
        handleS5Payload(slot, payload);
        return;
    }
    if (first == payloadS7) {
        slotAt(slot).s7Active = 1;
        // The length the client's header implies: the frame less TPKT, LI byte and LI.
        const int s7Length = static_cast<int>(frame.size()) -
                             static_cast<int>(readU8(frame, frameCotpLengthOffset)) - 5;
        handleS7Pdu(slot, payload, s7Length);
    }
}

} // namespace

void handleFrame(int slot, ByteView frame) {
    if (frame.size() < smallestFrame) {
        return;
    }
    switch (classifyFrame(frame)) {
    case FrameKind::disconnectRequest:
        handleDisconnectRequest(slot, frame);
        return;
    case FrameKind::connectionRequest:
        handleConnectionRequest(slot, frame);
        return;
    case FrameKind::data:
        routeData(slot, frame);
        return;
    case FrameKind::other:
        return;
    }
}
