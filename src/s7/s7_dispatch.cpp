#include "s7/s7_dispatch.h"

#include "core/connection_table.h"
#include "core/log.h"
#include "s7/read_var.h"
#include "s7/s7_pdu.h"
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

// The offer is fixed: nothing the client proposed is read.
void sendSetupCommResponse(int slot, ByteView pdu) {
    std::array<std::uint8_t, setupReplySize> frame{};
    writeReplyHeader(frame, pdu, setupParameterLength, 0, functionSetupCommunication, 0);
    writeU16be(frame, setupParallelJobsCallingOffset, offeredParallelJobs);
    writeU16be(frame, setupParallelJobsCalledOffset, offeredParallelJobs);
    writeU16be(frame, setupPduLengthOffset, offeredPduLength);
    finishDataFrame(frame, frame.size());
    const ReplyResult sent = sendReply(slot, frame);
    if (sent.failed) {
        logMessage(attributeError, "Socket error sending DT %d", sent.errorCode);
        return;
    }
    const platform::LocalTime now = platform::localTime();
    logMessage(trafficAttribute(slot), "%02d:%02d:%02d-[%d] Sending S7 PDU Response", now.hour,
               now.minute, now.second, slot);
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
    default: {
        const platform::LocalTime now = platform::localTime();
        logMessage(attributeError, "%02d:%02d:%02d-[%d] Unknown command %d", now.hour, now.minute,
                   now.second, slot, function);
        return;
    }
    }
}

} // namespace

void sendRefusal(int slot, ByteView pdu, std::uint8_t function) {
    std::array<std::uint8_t, replyHeaderSize> frame{};
    writeReplyHeader(frame, pdu, 2, 0, function, readU8OrZero(pdu, pduItemCountOffset));
    frame[replyMessageTypeOffset] = messageTypeAck;
    finishDataFrame(frame, frame.size());
    sendReply(slot, frame);
    logMessage(attributeError, "Sending NAK");
}

void handleS7Pdu(int slot, ByteView pdu, int s7Length) {
    if (pdu.size() < pduHeaderSize) {
        // Too short for an S7 header: nothing to answer.
        const platform::LocalTime now = platform::localTime();
        logMessage(attributeError, "%02d:%02d:%02d-[%d] Unknown packet type %d", now.hour,
                   now.minute, now.second, slot, readU8OrZero(pdu, pduMessageTypeOffset));
        return;
    }
    const std::uint8_t messageType = readU8(pdu, pduMessageTypeOffset);
    if (messageType == messageTypeJob) {
        handleJob(slot, pdu, s7Length);
        return;
    }
    const platform::LocalTime now = platform::localTime();
    if (messageType == messageTypeAck || messageType == messageTypeAckData ||
        messageType == messageTypeUserData) {
        logMessage(attributeError, "%02d:%02d:%02d-[%d] received data msg ht=%d cmd=%d", now.hour,
                   now.minute, now.second, slot, messageType, readU8OrZero(pdu, pduFunctionOffset));
        return;
    }
    logMessage(attributeError, "%02d:%02d:%02d-[%d] Unknown packet type %d", now.hour, now.minute,
               now.second, slot, messageType);
}
