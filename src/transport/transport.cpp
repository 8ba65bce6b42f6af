#include "transport/transport.h"

#include "core/data_frame.h"
#include "core/fault_rules.h"
#include "core/log.h"
#include "s5/s5_fetch_write.h"
#include "s7/s7_dispatch.h"
#include "s7/s7_pdu.h"

#include <algorithm>
#include <array>
#include <optional>
#include <string_view>

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

// TPDU sizes as their codes say (size = 2 to the code): a profile's confirm agrees at most
// 1024 bytes, and 128, class 0's default, when the request names none.
constexpr std::uint8_t tpduCodeSmallest = 0x07;
constexpr std::uint8_t tpduCodeLargest = 0x0A;
// A TSAP is echoed as sent; longer ones are refused, which keeps the confirm's LI in a byte.
constexpr std::size_t largestTsap = 32;
// The called TSAP's second byte addresses the CPU: rack in the upper 3 bits, slot in the lower 5.
constexpr std::size_t calledTsapSize = 2;
constexpr std::size_t calledTsapRackSlotOffset = 1;

// Disconnect request, as read: the references must be there to be echoed.
constexpr std::size_t drSourceReferenceOffset = 8;
constexpr std::size_t drDestinationReferenceOffset = 6;
constexpr std::size_t drFixedPartSize = 10;

// Data frame routing, by the payload's first byte.
constexpr std::uint8_t payloadS5 = 0x53; // 'S'
constexpr std::uint8_t payloadS7 = 0x32;

// TIA Portal-era clients (symbolic, "optimized" access) speak S7CommPlus: they address the CPU
// by a called TSAP of text ("SIMATIC-ROOT-HMI", "SIMATIC-ROOT-ES") and send payloads with
// protocol id 0x72. Neither is served; they are told so at once instead of left to time out.
constexpr std::string_view s7CommPlusTsapPrefix = "SIMATIC-";
constexpr std::uint8_t payloadS7CommPlus = 0x72;

constexpr std::size_t connectConfirmSize = 22;
constexpr std::size_t disconnectConfirmSize = 11;

// A DT frame's TPDU number byte; its top bit marks the last frame of a request.
constexpr std::size_t dataTpduNumberOffset = 6;
constexpr std::uint8_t endOfTransmission = 0x80;

enum class FrameKind { disconnectRequest, connectionRequest, data, other };

// The connection request's outcome: connected, or the connection refused.
void recordConnect(Plc &plc, int slot, bool refused, int faultRule) {
    Exchange exchange =
        slotExchange(plc.connections, slot, TrafficProtocol::s7,
                     refused ? TrafficOperation::refused : TrafficOperation::connect);
    exchange.connectionRefused = refused;
    exchange.faultRule = faultRule;
    recordExchange(plc.traffic, exchange);
}

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
void sendConnectConfirm(Plc &plc, int slot, bool refuse) {
    const std::array<std::uint8_t, 2> reference = slotAt(plc.connections, slot).peerReference;
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
    sendReply(plc.connections, slot, frame);
    logMessage(trafficAttribute(slot), "%sSending Connect confirm dref=%d", slotPrefix(slot).text(),
               reference[0] + 256 * reference[1]);
}

// The DC swaps the DR's references: ours go back as the source, the client's as destination.
//
//   0..3  TPKT 03 00 00 0B   4  LI 6   5  DC 0xC0   6..7  DR's source   8..9  DR's destination
//   10  reason 0
void sendDisconnectConfirm(Plc &plc, int slot, ByteView frame) {
    // clang-format off
    const std::array<std::uint8_t, disconnectConfirmSize> reply = {
        0x03, 0x00, 0x00, 0x0B,                                                       // TPKT
        0x06, cotpDisconnectConfirm,                                                  // LI, DC
        readU8(frame, drSourceReferenceOffset), readU8(frame, drSourceReferenceOffset + 1),
        readU8(frame, drDestinationReferenceOffset),
        readU8(frame, drDestinationReferenceOffset + 1),
        0x00};                                                                        // reason
    // clang-format on
    sendReply(plc.connections, slot, reply);
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

// What a profile's confirm needs of the request; each is the first of its kind.
struct ConnectParameters {
    std::optional<std::uint8_t> tpduSizeCode;
    std::optional<ByteView> callingTsap;
    std::optional<ByteView> calledTsap;
};

// Logs every parameter that lies wholly inside both the LI and the frame, in order, and notes
// the values of the TPDU size and the two TSAPs.
ConnectParameters walkConnectParameters(ByteView frame) {
    ConnectParameters found;
    const std::size_t headerEnd = frameCotpTypeOffset + readU8(frame, frameCotpLengthOffset);
    const ByteView header = frame.first(std::min(frame.size(), headerEnd));
    std::size_t codeAt = crFirstParameterOffset;
    while (fits(header, codeAt, 2) && fits(header, codeAt + 2, readU8(header, codeAt + 1))) {
        logConnectParameter(frame, codeAt);
        const std::uint8_t code = readU8(header, codeAt);
        const ByteView value = header.subspan(codeAt + 2, readU8(header, codeAt + 1));
        if (code == parameterTpduSize && !found.tpduSizeCode && value.size() == 1) {
            found.tpduSizeCode = readU8(value, 0);
        } else if (code == parameterCallingTsap && !found.callingTsap) {
            found.callingTsap = value;
        } else if (code == parameterCalledTsap && !found.calledTsap) {
            found.calledTsap = value;
        }
        codeAt += 2 + value.size();
    }
    return found;
}

// The TPDU size code a profile confirms: the client's, within 128 and 1024 bytes.
std::uint8_t agreedTpduCode(const ConnectParameters &parameters) {
    if (!parameters.tpduSizeCode) {
        return tpduCodeSmallest;
    }
    return std::clamp(*parameters.tpduSizeCode, tpduCodeSmallest, tpduCodeLargest);
}

enum class ConnectVerdict { accept, noS7CalledTsap, otherCpu, tsapTooLong };

// A profile answers on its own rack and slots only, and echoes TSAPs of up to 32 bytes.
ConnectVerdict judgeConnect(const ConnectParameters &parameters, const CpuProfile &profile) {
    if (!parameters.calledTsap || parameters.calledTsap->size() != calledTsapSize) {
        return ConnectVerdict::noS7CalledTsap;
    }
    if (parameters.callingTsap && parameters.callingTsap->size() > largestTsap) {
        return ConnectVerdict::tsapTooLong;
    }
    const std::uint8_t rackSlot = readU8(*parameters.calledTsap, calledTsapRackSlotOffset);
    const int rack = rackSlot >> 5;
    const int cpuSlot = rackSlot & 0x1F;
    const bool served = rack == profile.acceptedRack && (cpuSlot == profile.acceptedSlots[0] ||
                                                         cpuSlot == profile.acceptedSlots[1]);
    return served ? ConnectVerdict::accept : ConnectVerdict::otherCpu;
}

// A profile's connection confirm (or, with the type changed to DR, its refusal) echoes what the
// client asked for, the TPDU size within bounds:
//
//   0..3  TPKT 03 00 LL LL     4  LI      5  CC 0xD0 (DR 0x80)
//   6..7  dst ref = client's   8..9  src ref = slot + 1, 0     10  class 0
//   11..13  TPDU size C0 01 code
//   then  C1 len calling TSAP, as sent (when sent)
//   then  C2 len called TSAP, as sent (when sent)
void sendProfileConnectConfirm(Plc &plc, int slot, const ConnectParameters &parameters,
                               bool refuse) {
    const std::array<std::uint8_t, 2> reference = slotAt(plc.connections, slot).peerReference;
    std::array<std::uint8_t, crFixedPartSize + 3 + 2 * (2 + largestTsap)> frame{};
    // clang-format off
    const std::array<std::uint8_t, crFixedPartSize + 3> fixedPart = {
        0x03, 0x00, 0x00, 0x00,                               // TPKT, length below
        0x00,                                                 // LI, below
        refuse ? cotpDisconnectRequest : cotpConnectionConfirm,
        reference[0], reference[1],                           // destination reference
        static_cast<std::uint8_t>(slot + 1), 0x00,            // source reference
        0x00,                                                 // class 0
        parameterTpduSize, 0x01, agreedTpduCode(parameters)}; // TPDU size
    // clang-format on
    std::copy(fixedPart.begin(), fixedPart.end(), frame.begin());
    std::size_t at = fixedPart.size();
    for (const auto &[code, tsap] : {std::pair{parameterCallingTsap, parameters.callingTsap},
                                     std::pair{parameterCalledTsap, parameters.calledTsap}}) {
        if (tsap && tsap->size() <= largestTsap) {
            frame[at] = code;
            frame[at + 1] = static_cast<std::uint8_t>(tsap->size());
            std::copy(tsap->begin(), tsap->end(),
                      frame.begin() + static_cast<std::ptrdiff_t>(at + 2));
            at += 2 + tsap->size();
        }
    }
    writeU16be(frame, frameTpktLengthOffset, at);
    frame[frameCotpLengthOffset] = static_cast<std::uint8_t>(at - frameCotpTypeOffset);
    sendReply(plc.connections, slot, ByteView(frame).first(at));
}

// A profile refuses a connect that does not address its CPU, and agrees a TPDU size for the
// slot's replies otherwise.
void handleProfileConnectionRequest(Plc &plc, int slot, const ConnectParameters &parameters,
                                    int faultRule) {
    const ConnectVerdict verdict = judgeConnect(parameters, *plc.cpu.profile);
    sendProfileConnectConfirm(plc, slot, parameters, verdict != ConnectVerdict::accept);
    ConnectionSlot &connection = slotAt(plc.connections, slot);
    const int reference = connection.peerReference[0] + 256 * connection.peerReference[1];
    switch (verdict) {
    case ConnectVerdict::accept:
        connection.tpduSize = static_cast<std::uint16_t>(1U << agreedTpduCode(parameters));
        connection.joined.count = 0;
        connection.joined.discarding = false;
        logMessage(trafficAttribute(slot), "%sSending Connect confirm dref=%d TPDU %d",
                   slotPrefix(slot).text(), reference, connection.tpduSize);
        recordConnect(plc, slot, false, faultRule);
        return;
    case ConnectVerdict::otherCpu: {
        const std::uint8_t rackSlot = readU8(*parameters.calledTsap, calledTsapRackSlotOffset);
        logMessage(attributeError, "%s Refusing connect to rack %d slot %d dref=%d",
                   slotPrefix(slot).text(), rackSlot >> 5, rackSlot & 0x1F, reference);
        break;
    }
    case ConnectVerdict::noS7CalledTsap:
        logMessage(attributeError, "%s Refusing connect without a 2-byte called TSAP dref=%d",
                   slotPrefix(slot).text(), reference);
        break;
    case ConnectVerdict::tsapTooLong:
        logMessage(attributeError, "%s Refusing connect with a TSAP over %d bytes dref=%d",
                   slotPrefix(slot).text(), static_cast<int>(largestTsap), reference);
        break;
    }
    recordConnect(plc, slot, true, faultRule);
    closeConnection(plc.connections, slot);
}

bool namesS7CommPlus(const ConnectParameters &parameters) {
    if (!parameters.calledTsap) {
        return false;
    }
    const ByteView tsap = *parameters.calledTsap;
    return tsap.size() > s7CommPlusTsapPrefix.size() &&
           std::equal(s7CommPlusTsapPrefix.begin(), s7CommPlusTsapPrefix.end(), tsap.begin());
}

// One line that names the protocol and what to do instead, then the connection closes.
void closeS7CommPlus(Plc &plc, int slot) {
    plc.connections.s7CommPlusRefused += 1;
    logMessage(attributeError,
               "%s S7CommPlus client: not supported; use PUT/GET access and non-optimized blocks",
               slotPrefix(slot).text());
    recordConnect(plc, slot, true, 0);
    closeConnection(plc.connections, slot);
}

void handleConnectionRequest(Plc &plc, int slot, ByteView frame) {
    if (frame.size() < crFixedPartSize) {
        return;
    }
    slotAt(plc.connections, slot).peerReference = {readU8(frame, crSourceReferenceOffset),
                                                   readU8(frame, crSourceReferenceOffset + 1)};
    const ConnectParameters parameters = walkConnectParameters(frame);
    const bool asCpu = answersAsCpu(plc.cpu);
    int faultRule = 0;
    if (faultRulesActive(plc.faults)) {
        const FaultDecision decision = decideFaults(
            plc.faults, {FaultOn::connect, slotAt(plc.connections, slot).ends.clientAddress, {}});
        faultRule = decision.rule;
        if (decision.hasDelivery && decision.delivery == FaultAction::refuse) {
            if (asCpu) {
                sendProfileConnectConfirm(plc, slot, parameters, true);
            } else {
                sendConnectConfirm(plc, slot, true);
            }
            recordConnect(plc, slot, true, faultRule);
            closeConnection(plc.connections, slot);
            return;
        }
        if (applyFaultDelivery(plc.connections, slot, decision)) {
            return;
        }
    }
    if (namesS7CommPlus(parameters)) {
        if (asCpu) {
            sendProfileConnectConfirm(plc, slot, parameters, true);
        } else {
            sendConnectConfirm(plc, slot, true);
        }
        closeS7CommPlus(plc, slot);
        return;
    }
    if (asCpu) {
        handleProfileConnectionRequest(plc, slot, parameters, faultRule);
        return;
    }
    // Bytes beyond the frame read as zero, so a short request is judged as if zero-filled.
    const bool refuse = readU8OrZero(frame, crCalledTsapCodeOffset) == parameterCalledTsap &&
                        (readU8OrZero(frame, crCalledSlotOffset) & 0x0F) != acceptedCpuSlot;
    sendConnectConfirm(plc, slot, refuse);
    recordConnect(plc, slot, refuse, faultRule);
    if (refuse) {
        closeConnection(plc.connections, slot);
    }
}

void handleDisconnectRequest(Plc &plc, int slot, ByteView frame) {
    if (frame.size() < drFixedPartSize) {
        // No references to echo, so no confirm; the client asked to end the connection all the
        // same.
        logMessage(attributeError, "%s Disconnect request of %d bytes, closing without confirm",
                   slotPrefix(slot).text(), static_cast<int>(frame.size()));
        closeConnection(plc.connections, slot);
        return;
    }
    sendDisconnectConfirm(plc, slot, frame);
    closeConnection(plc.connections, slot);
}

void routePayload(Plc &plc, int slot, ByteView payload, int s7Length) {
    const std::uint8_t first = readU8(payload, 0);
    if (first == payloadS5) {
        countRequest(plc.connections, slot, ConnectionKind::s5);
        handleS5Payload(plc, slot, payload);
        return;
    }
    if (first == payloadS7) {
        slotAt(plc.connections, slot).s7Active = 1;
        countRequest(plc.connections, slot, ConnectionKind::s7);
        handleS7Pdu(plc, slot, payload, s7Length);
        return;
    }
    if (first == payloadS7CommPlus) {
        closeS7CommPlus(plc, slot);
    }
}

void routeData(Plc &plc, int slot, ByteView frame) {
    if (frame.size() <= framePayloadOffset) {
        return;
    }
    // The length the client's header implies: the frame less TPKT, LI byte and LI.
    const int s7Length =
        static_cast<int>(frame.size()) - static_cast<int>(readU8(frame, frameCotpLengthOffset)) - 5;
    routePayload(plc, slot, frame.subspan(framePayloadOffset), s7Length);
}

// The most a request joined from several DT frames may hold: the agreed PDU (the profile's
// largest until Setup communication agreed one), and never more than the buffer.
std::size_t joinLimit(Plc &plc, int slot) {
    return std::min(negotiatedPduLength(plc, slot), largestJoinedPdu);
}

// In a profile a request may come in several DT frames: their payloads are joined and the
// whole is handled when the frame with end of transmission arrives. A request that outgrows the
// limit is dropped with one line, and its later frames with it.
void joinData(Plc &plc, int slot, ByteView frame) {
    JoinedRequest &joined = slotAt(plc.connections, slot).joined;
    const bool last = (readU8(frame, dataTpduNumberOffset) & endOfTransmission) != 0;
    if (last && joined.count == 0 && !joined.discarding) {
        routeData(plc, slot, frame); // the usual case: a request in one frame
        return;
    }
    const ByteView payload = frame.subspan(std::min(frame.size(), framePayloadOffset));
    const std::size_t limit = joinLimit(plc, slot);
    if (!joined.discarding && joined.count + payload.size() > limit) {
        logMessage(attributeError, "%s Request in several DT frames exceeds %d bytes, dropped",
                   slotPrefix(slot).text(), static_cast<int>(limit));
        recordExchange(plc.traffic, slotExchange(plc.connections, slot, TrafficProtocol::s7,
                                                 TrafficOperation::refused));
        joined.discarding = true;
        joined.count = 0;
    }
    if (!joined.discarding) {
        std::copy(payload.begin(), payload.end(),
                  joined.bytes.begin() + static_cast<std::ptrdiff_t>(joined.count));
        joined.count += payload.size();
    }
    if (!last) {
        return;
    }
    const ByteView request(joined.bytes.data(), joined.count);
    const bool whole = !joined.discarding && !request.empty();
    joined.count = 0;
    joined.discarding = false;
    if (whole) {
        // The buffer keeps its bytes while they are handled: nothing joins meanwhile.
        routePayload(plc, slot, request, static_cast<int>(request.size()));
    }
}

} // namespace

void handleFrame(Plc &plc, int slot, ByteView frame) {
    if (frame.size() < smallestFrame) {
        return;
    }
    switch (classifyFrame(frame)) {
    case FrameKind::disconnectRequest:
        handleDisconnectRequest(plc, slot, frame);
        return;
    case FrameKind::connectionRequest:
        handleConnectionRequest(plc, slot, frame);
        return;
    case FrameKind::data:
        if (answersAsCpu(plc.cpu)) {
            joinData(plc, slot, frame);
        } else {
            routeData(plc, slot, frame); // classic handles every frame alone
        }
        return;
    case FrameKind::other:
        return;
    }
}
