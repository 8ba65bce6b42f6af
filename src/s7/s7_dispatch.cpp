#include "s7/s7_dispatch.h"

#include "core/log.h"
#include "s7/cpu_control.h"
#include "s7/read_var.h"
#include "s7/s7_faults.h"
#include "s7/s7_pdu.h"
#include "s7/userdata.h"
#include "s7/write_var.h"

#include <algorithm>
#include <array>

namespace {

constexpr std::size_t setupReplySize = 27;
constexpr std::size_t setupParameterLength = 8;
constexpr std::size_t setupParallelJobsCallingOffset = 21;
constexpr std::size_t setupParallelJobsCalledOffset = 23;
constexpr std::size_t setupPduLengthOffset = 25;
constexpr std::size_t offeredParallelJobs = 1;
constexpr std::size_t offeredPduLength = 480;

void sendSetupCommResponse(Plc &plc, int slot, ByteView pdu, const FaultDecision &faults) {
    std::array<std::uint8_t, setupReplySize> frame{};
    writeReplyHeader(frame, pdu, setupParameterLength, 0, functionSetupCommunication, 0);
    writeU16be(frame, setupParallelJobsCallingOffset, offeredParallelJobs);
    writeU16be(frame, setupParallelJobsCalledOffset, offeredParallelJobs);
    writeU16be(frame, setupPduLengthOffset, offeredPduLength);
    recordSlotExchange(plc, slot, TrafficProtocol::s7, TrafficOperation::setup, faults.rule);
    if (sendDataFrame(plc.connections, slot, frame, frame.size(), SendFailureLine::plain)) {
        logMessage(trafficAttribute(slot), "%s Sending S7 PDU Response", slotPrefix(slot).text());
    }
}

// As a real CPU, the offer is what both sides can do: the smaller of the asked and the
// profile's PDU length and parallel jobs, each way. No S7 CPU works with a PDU below 240 bytes,
// so a smaller ask gets 240, and a job count below 1 gets 1. The agreed PDU bounds every later
// job and reply on the connection. The request's parameters, offsets from the protocol id:
//
//   10 0xF0   11 reserved   12..13 parallel jobs calling   14..15 parallel jobs called
//   16..17 PDU length
constexpr std::size_t setupAskedCallingOffset = 12;
constexpr std::size_t setupAskedCalledOffset = 14;
constexpr std::size_t setupAskedPduOffset = 16;
constexpr std::size_t smallestPduLength = 240;

void setupCommunicationAsCpu(Plc &plc, int slot, ByteView pdu, const FaultDecision &faults) {
    if (!fits(pdu, setupAskedPduOffset, 2)) {
        logMessage(attributeError, "%s Refusing setup communication: malformed job",
                   slotPrefix(slot).text());
        sendHeaderError(plc, slot, pdu, errorNotAvailable, faults.rule);
        return;
    }
    const CpuProfile &profile = *plc.cpu.profile;
    const auto agreedJobs = [&profile](std::size_t asked) {
        return std::clamp<std::size_t>(asked, 1, profile.maxParallelJobs);
    };
    const std::size_t calling = agreedJobs(readU16be(pdu, setupAskedCallingOffset));
    const std::size_t called = agreedJobs(readU16be(pdu, setupAskedCalledOffset));
    const std::size_t pduLength = std::min<std::size_t>(
        std::max<std::size_t>(readU16be(pdu, setupAskedPduOffset), smallestPduLength),
        profile.maxPduLength);
    std::array<std::uint8_t, setupReplySize> frame{};
    writeReplyHeader(frame, pdu, setupParameterLength, 0, functionSetupCommunication, 0);
    writeU16be(frame, setupParallelJobsCallingOffset, calling);
    writeU16be(frame, setupParallelJobsCalledOffset, called);
    writeU16be(frame, setupPduLengthOffset, pduLength);
    slotAt(plc.connections, slot).pduLength = static_cast<std::uint16_t>(pduLength);
    recordSlotExchange(plc, slot, TrafficProtocol::s7, TrafficOperation::setup, faults.rule);
    if (sendDataFrame(plc.connections, slot, frame, frame.size(), SendFailureLine::plain)) {
        logMessage(trafficAttribute(slot), "%s Sending S7 PDU Response (PDU %d, jobs %d/%d)",
                   slotPrefix(slot).text(), static_cast<int>(pduLength), static_cast<int>(calling),
                   static_cast<int>(called));
    }
}

// A PDU refused as a whole; error is the answer's header error, 0 when none was sent.
void recordRefused(Plc &plc, int slot, int faultRule, std::uint16_t error = 0) {
    recordSlotExchange(plc, slot, TrafficProtocol::s7, TrafficOperation::refused, faultRule, error);
}

// A real CPU refuses a job larger than the agreed PDU whatever it asks, and answers every
// function; classic leaves unknown functions unanswered.
void handleJob(Plc &plc, int slot, ByteView pdu, int s7Length, const FaultDecision &faults) {
    const bool asCpu = answersAsCpu(plc.cpu);
    // A job whose header ends before the function code names function 0.
    const std::uint8_t function = readU8OrZero(pdu, pduFunctionOffset);
    const std::size_t limit = negotiatedPduLength(plc, slot);
    if (asCpu && pdu.size() > limit) {
        logMessage(attributeError, "%s Refusing a job of %d bytes: exceeds the PDU of %d",
                   slotPrefix(slot).text(), static_cast<int>(pdu.size()), static_cast<int>(limit));
        sendHeaderError(plc, slot, pdu, errorExceedsPdu, faults.rule);
        return;
    }
    switch (function) {
    case functionReadVar:
        handleReadVar(plc, slot, pdu, faults);
        return;
    case functionWriteVar:
        handleWriteVar(plc, slot, pdu, s7Length, faults);
        return;
    case functionSetupCommunication:
        if (asCpu) {
            setupCommunicationAsCpu(plc, slot, pdu, faults);
        } else {
            sendSetupCommResponse(plc, slot, pdu, faults);
        }
        return;
    default:
        if (asCpu) {
            handleControlJob(plc, slot, pdu, function, faults);
        } else {
            logMessage(attributeError, "%s Unknown command %d", slotPrefix(slot).text(), function);
            recordRefused(plc, slot, faults.rule);
        }
        return;
    }
}

} // namespace

void sendRefusal(Plc &plc, int slot, ByteView pdu, std::uint8_t function) {
    std::array<std::uint8_t, replyHeaderSize> frame{};
    writeReplyHeader(frame, pdu, 2, 0, function, readU8OrZero(pdu, pduItemCountOffset));
    frame[replyMessageTypeOffset] = messageTypeAck;
    writeU16be(frame, frameTpktLengthOffset, frame.size());
    sendReply(plc.connections, slot, frame); // a failed send of the refusal is not logged
    logMessage(attributeError, "Sending NAK");
    recordRefused(plc, slot, 0);
}

void sendHeaderError(Plc &plc, int slot, ByteView pdu, HeaderError error, int faultRule) {
    constexpr std::size_t headerErrorFrameSize = 19;
    constexpr std::size_t errorClassOffset = 17;
    std::array<std::uint8_t, headerErrorFrameSize> frame{};
    writeS7ReplyStart(frame, pdu, messageTypeAck, 0, 0);
    frame[errorClassOffset] = error.errorClass;
    frame[errorClassOffset + 1] = error.errorCode;
    recordRefused(plc, slot, faultRule,
                  static_cast<std::uint16_t>(error.errorClass << 8 | error.errorCode));
    sendDataFrame(plc.connections, slot, frame, frame.size(), SendFailureLine::plain);
}

std::size_t negotiatedPduLength(Plc &plc, int slot) {
    const std::uint16_t agreed = slotAt(plc.connections, slot).pduLength;
    return agreed != 0 ? agreed : plc.cpu.profile->maxPduLength;
}

void handleS7Pdu(Plc &plc, int slot, ByteView pdu, int s7Length) {
    if (pdu.size() < pduHeaderSize) {
        // Too short for an S7 header: nothing to answer.
        logMessage(attributeError, "%s Unknown packet type %d", slotPrefix(slot).text(),
                   readU8OrZero(pdu, pduMessageTypeOffset));
        recordRefused(plc, slot, 0);
        return;
    }
    const std::uint8_t messageType = readU8(pdu, pduMessageTypeOffset);
    FaultDecision faults{};
    if (messageType == messageTypeJob) {
        if (!applyS7Faults(plc, slot, pdu, faults)) {
            handleJob(plc, slot, pdu, s7Length, faults);
        }
        return;
    }
    if (messageType == messageTypeUserData && answersAsCpu(plc.cpu)) {
        if (!applyS7Faults(plc, slot, pdu, faults)) {
            handleUserData(plc, slot, pdu, faults);
        }
        return;
    }
    if (messageType == messageTypeAck || messageType == messageTypeAckData ||
        messageType == messageTypeUserData) {
        logMessage(attributeError, "%s received data msg ht=%d cmd=%d", slotPrefix(slot).text(),
                   messageType, readU8OrZero(pdu, pduFunctionOffset));
        recordRefused(plc, slot, 0);
        return;
    }
    logMessage(attributeError, "%s Unknown packet type %d", slotPrefix(slot).text(), messageType);
    recordRefused(plc, slot, 0);
}
