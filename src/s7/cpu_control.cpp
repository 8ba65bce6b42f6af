#include "s7/cpu_control.h"

#include "core/log.h"
#include "s7/s7_pdu.h"

#include <array>
#include <string_view>

namespace {

// PLC stop parameters, offsets from the protocol id:
//
//   10 0x29   11..15 reserved   16 service name length   17.. service name "P_PROGRAM"
constexpr std::size_t stopNameLengthOffset = 16;

// PLC start (a PI service), offsets from the protocol id:
//
//   10 0x28   11..17 reserved   18..19 argument length   20.. arguments ("C " for a cold
//   restart, none for a hot restart)   then the service name length and "P_PROGRAM"
constexpr std::size_t startArgumentLengthOffset = 18;
constexpr std::size_t startArgumentsOffset = 20;

constexpr std::string_view programService = "P_PROGRAM";

// The answer: ack-data with the function as its one parameter byte, or, when the CPU is
// already in the state asked for, an error with a second parameter byte saying so:
//
//   0..6 ISO data frame header   7 0x32   8 type 3   9..12 reserved and reference (echoed)
//   13..14 parameter length 1 (2 with the error)   15..16 data length 0
//   17..18 error class and code   19 function   [20 reason: 07 already in STOP for a stop,
//   02 for a start in RUN]
constexpr std::size_t controlReplySize = 21;
constexpr std::size_t controlReasonOffset = 20;
constexpr std::size_t replyErrorClassOffset = 17;
constexpr HeaderError errorStateUnchanged = {0x84, 0x04};
constexpr std::uint8_t reasonAlreadyStopped = 0x07;
constexpr std::uint8_t reasonAlreadyRunning = 0x02;

// The service name behind its length byte at lengthAt, or an empty view when it does not fit.
std::string_view serviceName(ByteView pdu, std::size_t lengthAt) {
    if (!fits(pdu, lengthAt, 1)) {
        return {};
    }
    const std::size_t length = readU8(pdu, lengthAt);
    if (!fits(pdu, lengthAt + 1, length)) {
        return {};
    }
    return {reinterpret_cast<const char *>(pdu.data() + lengthAt + 1), length};
}

std::string_view startServiceName(ByteView pdu) {
    if (!fits(pdu, startArgumentLengthOffset, 2)) {
        return {};
    }
    return serviceName(pdu, startArgumentsOffset + readU16be(pdu, startArgumentLengthOffset));
}

// A stop or start as answered: the state changed, or the error saying it was so already.
void recordControl(Plc &plc, int slot, bool refused, int faultRule) {
    const auto error = static_cast<std::uint16_t>(
        refused ? errorStateUnchanged.errorClass << 8 | errorStateUnchanged.errorCode : 0);
    recordSlotExchange(plc, slot, TrafficProtocol::s7, TrafficOperation::cpu, faultRule, error);
}

void sendControlReply(Plc &plc, int slot, ByteView pdu, std::uint8_t function, bool refused,
                      std::uint8_t reason) {
    std::array<std::uint8_t, controlReplySize> frame{};
    writeReplyHeader(frame, pdu, refused ? 2 : 1, 0, function, 0);
    std::size_t length = controlReplySize - 1;
    if (refused) {
        frame[replyErrorClassOffset] = errorStateUnchanged.errorClass;
        frame[replyErrorClassOffset + 1] = errorStateUnchanged.errorCode;
        frame[controlReasonOffset] = reason;
        length = controlReplySize;
    }
    sendDataFrame(plc.connections, slot, frame, length, SendFailureLine::plain);
}

const char *jobFunctionName(std::uint8_t function) {
    switch (function) {
    case 0x00:
        return "CPU services";
    case 0x1A:
        return "request download";
    case 0x1B:
        return "download block";
    case 0x1C:
        return "download ended";
    case 0x1D:
        return "start upload";
    case 0x1E:
        return "upload";
    case 0x1F:
        return "end upload";
    case functionPlcStart:
        return "PI service";
    case functionPlcStop:
        return "PLC stop";
    default:
        return "unknown job function";
    }
}

void refuseJob(Plc &plc, int slot, ByteView pdu, std::uint8_t function, int faultRule) {
    logMessage(attributeError, "%s Refusing %s (job function 0x%02X): not available",
               slotPrefix(slot).text(), jobFunctionName(function), function);
    sendHeaderError(plc, slot, pdu, errorNotAvailable, faultRule);
}

void stopCpu(Plc &plc, int slot, ByteView pdu, int faultRule) {
    if (plc.cpu.state == CpuRunState::stop) {
        logMessage(attributeError, "%s Refusing CPU STOP: already in STOP",
                   slotPrefix(slot).text());
        recordControl(plc, slot, true, faultRule);
        sendControlReply(plc, slot, pdu, functionPlcStop, true, reasonAlreadyStopped);
        return;
    }
    plc.cpu.state = CpuRunState::stop;
    logMessage(trafficAttribute(slot), "%s CPU STOP requested", slotPrefix(slot).text());
    recordControl(plc, slot, false, faultRule);
    sendControlReply(plc, slot, pdu, functionPlcStop, false, 0);
}

void startCpu(Plc &plc, int slot, ByteView pdu, int faultRule) {
    if (plc.cpu.state == CpuRunState::run) {
        logMessage(attributeError, "%s Refusing CPU START: already in RUN",
                   slotPrefix(slot).text());
        recordControl(plc, slot, true, faultRule);
        sendControlReply(plc, slot, pdu, functionPlcStart, true, reasonAlreadyRunning);
        return;
    }
    plc.cpu.state = CpuRunState::run;
    logMessage(trafficAttribute(slot), "%s CPU START requested", slotPrefix(slot).text());
    recordControl(plc, slot, false, faultRule);
    sendControlReply(plc, slot, pdu, functionPlcStart, false, 0);
}

} // namespace

void handleControlJob(Plc &plc, int slot, ByteView pdu, std::uint8_t function,
                      const FaultDecision &faults) {
    if (function == functionPlcStop && serviceName(pdu, stopNameLengthOffset) == programService) {
        stopCpu(plc, slot, pdu, faults.rule);
        return;
    }
    if (function == functionPlcStart && startServiceName(pdu) == programService) {
        startCpu(plc, slot, pdu, faults.rule); // hot and cold restart alike
        return;
    }
    refuseJob(plc, slot, pdu, function, faults.rule);
}
