#include "transport/transport.h"

#include "core/connection_table.h"
#include "core/log.h"
#include "s5/s5_fetch_write.h"
#include "s7/s7_dispatch.h"

#include <array>

std::uint8_t peerReference[2][2] = {};

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

// Data frame routing.
constexpr std::size_t dtS5OpCodeOffset = framePayloadOffset + 5;
constexpr std::uint8_t payloadS5 = 0x53; // 'S'
constexpr std::uint8_t payloadS7 = 0x32;
constexpr std::uint8_t s5OpFetch = 5;
constexpr std::uint8_t s5OpWrite = 3;

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

void sendConnectConfirm(int slot, bool refuse) {
    const auto index = static_cast<std::size_t>(slot);
    // TPKT, LI 17, type, references, class 0, then TPDU size 512 and the two fixed TSAPs.
    std::array<std::uint8_t, connectConfirmSize> frame = {0x03,
                                                          0x00,
                                                          0x00,
                                                          0x16,
                                                          0x11,
                                                          cotpConnectionConfirm,
                                                          peerReference[index][0],
                                                          peerReference[index][1],
                                                          static_cast<std::uint8_t>(slot + 1),
                                                          0x00,
                                                          0x00,
                                                          0xC0,
                                                          0x01,
                                                          0x09,
                                                          0xC1,
                                                          0x02,
                                                          0x4B,
                                                          0x54,
                                                          0xC1,
                                                          0x02,
                                                          0x03,
                                                          0x02};
    if (refuse) {
        frame[frameCotpTypeOffset] = cotpDisconnectRequest;
    }
    sendReply(slot, frame);
    const platform::LocalTime now = platform::localTime();
    logMessage(trafficAttribute(slot), "%02d:%02d:%02d-[%d]Sending Connect confirm dref=%d",
               now.hour, now.minute, now.second, slot,
               peerReference[index][0] + 256 * peerReference[index][1]);
}

// The DC swaps the DR's references: ours go back as the source, the client's as destination.
void sendDisconnectConfirm(int slot, ByteView frame) {
    const std::array<std::uint8_t, disconnectConfirmSize> reply = {
        0x03,
        0x00,
        0x00,
        0x0B,
        0x06,
        cotpDisconnectConfirm,
        readU8(frame, drSourceReferenceOffset),
        readU8(frame, drSourceReferenceOffset + 1),
        readU8(frame, drDestinationReferenceOffset),
        readU8(frame, drDestinationReferenceOffset + 1),
        0x00};
    sendReply(slot, reply);
    const platform::LocalTime now = platform::localTime();
    logMessage(trafficAttribute(slot), "%02d:%02d:%02d-[%d] Sending DisConnect confirm", now.hour,
               now.minute, now.second, slot);
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
    const auto index = static_cast<std::size_t>(slot);
    peerReference[index][0] = readU8(frame, crSourceReferenceOffset);
    peerReference[index][1] = readU8(frame, crSourceReferenceOffset + 1);
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
        if (!fits(frame, dtS5OpCodeOffset, 1)) {
            return;
        }
        const std::uint8_t opCode = readU8(frame, dtS5OpCodeOffset);
        if (opCode == s5OpFetch) {
            handleS5Fetch(slot, payload);
        } else if (opCode == s5OpWrite) {
            handleS5Write(slot, payload);
        }
        return;
    }
    if (first == payloadS7) {
        connectionTable.slots[static_cast<std::size_t>(slot)].s7Active = 1;
        // The length the client's header implies: the frame less TPKT, LI byte and LI.
        const int s7Length = static_cast<int>(frame.size()) -
                             static_cast<int>(readU8(frame, frameCotpLengthOffset)) - 5;
        handleS7Pdu(slot, payload, s7Length);
    }
}

} // namespace

void writeDataFrameHeader(ByteBuffer out) {
    out[0] = tpktVersion;
    out[1] = 0x00;
    out[2] = 0x00;
    out[3] = 0x00;
    out[4] = 0x02; // LI
    out[5] = 0xF0; // DT
    out[6] = 0x80; // TPDU 0, end of transmission
}

void finishDataFrame(ByteBuffer out, std::size_t frameLength) {
    writeU16be(out, frameTpktLengthOffset, frameLength);
}

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
