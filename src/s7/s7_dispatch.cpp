#include "s7/s7_dispatch.h"

#include "core/connection_table.h"
#include "core/log.h"
#include "s7/cpu_profile.h"
#include "s7/read_var.h"
#include "s7/s7_pdu.h"
#include "s7/userdata.h"
#include "s7/write_var.h"

#include <array>

namespace {

constexpr std::size_t setupReplySize = 27;
constexpr std::size_t setupParameterLength = 8;
constexpr std::size_t setupParallelJobsCallingOffset = 21;
constexpr std::size_t setupParallelJobsCalledOffset = 23;
constexpr std::size_t setupPduLengthOffset = 25;
constexpr std::size_t offeredParallelJobs = 1;
constexpr std::size_t offeredPduLength = 480;

// The offer is fixed: nothing the client proposed is read. The reply, 27 bytes:
//
//   0..20 reply header (19 function 0xF0, 20 reserved 0)
//   21..22 parallel jobs calling   23..24 parallel jobs called   25..26 PDU length
void sendSetupCommResponse(int slot, ByteView pdu) {
    std::array<std::uint8_t, setupReplySize> frame{};
    writeReplyHeader(frame, pdu, setupParameterLength, 0, functionSetupCommunication, 0);
    writeU16be(frame, setupParallelJobsCallingOffset, offeredParallelJobs);
    writeU16be(frame, setupParallelJobsCalledOffset, offeredParallelJobs);
    writeU16be(frame, setupPduLengthOffset, offeredPduLength);
    if (sendDataFrame(slot, frame, frame.size(), SendFailureLine::plain)) {
        logMessage(trafficAttribute(slot), "%s Sending S7 PDU Response", slotPrefix(slot).text());
    }
}

void handleJob(int slot, ByteView pdu, int s7Length) {
    // A job whose header ends before the function code names function 0.
    const std::uint8_t function = readU8OrZero(pdu, pduFunctionOffset);
    switch (function) {
    case functionReadVar:
        handleReadVar(slot, pdu);
        return;
    case functionWriteVar:
        handleWriteVar(slot, pdu, s7Length);
        return;
    case functionSetupCommunication:
        sendSetupCommResponse(slot, pdu);
        return;
    default:
        logMessage(attributeError, "%s Unknown command %d", slotPrefix(slot).text(), function);
        return;
    }
}

} // namespace

void sendRefusal(int slot, ByteView pdu, std::uint8_t function) {
    std::array<std::uint8_t, replyHeaderSize> frame{};
    writeReplyHeader(frame, pdu, 2, 0, function, readU8OrZero(pdu, pduItemCountOffset));
    frame[replyMessageTypeOffset] = messageTypeAck;
    writeU16be(frame, frameTpktLengthOffset, frame.size());
    sendReply(slot, frame); // a failed send of the refusal is not logged
    logMessage(attributeError, "Sending NAK");
}

void handleS7Pdu(int slot, ByteView pdu, int s7Length) {
    if (pdu.size() < pduHeaderSize) {
        // Too short for an S7 header: nothing to answer.
        logMessage(attributeError, "%s Unknown packet type %d", slotPrefix(slot).text(),
                   readU8OrZero(pdu, pduMessageTypeOffset));
        return;
    }
    const std::uint8_t messageType = readU8(pdu, pduMessageTypeOffset);
    if (messageType == messageTypeJob) {
        handleJob(slot, pdu, s7Length);
        return;
    }
    if (messageType == messageTypeUserData &&
        activeCpuProfile().behaviour == CpuBehaviour::realCpu) {
        handleUserData(slot, pdu);
        return;
    }
    if (messageType == messageTypeAck || messageType == messageTypeAckData ||
        messageType == messageTypeUserData) {
        logMessage(attributeError, "%s received data msg ht=%d cmd=%d", slotPrefix(slot).text(),
                   messageType, readU8OrZero(pdu, pduFunctionOffset));
        return;
    }
    logMessage(attributeError, "%s Unknown packet type %d", slotPrefix(slot).text(), messageType);
}
