#include "s7/userdata.h"

#include "core/data_frame.h"
#include "core/log.h"
#include "s7/s7_pdu.h"
#include "s7/szl.h"

#include <algorithm>
#include <array>

namespace {

// A userdata request, offsets from the protocol id:
//
//   0 0x32   1 7   2..3 reserved   4..5 reference   6..7 parameter length   8..9 data length
//   parameters  10..12 00 01 12   13 length of what follows (4; 8 in a follow-up request)
//               14 method (0x11; 0x12 in a follow-up request)   15 type (high nibble, 4 for a
//               request) and function group (low nibble)   16 subfunction   17 sequence number
//               [18 data unit reference   19 last data unit   20..21 error]
//   data        0 return code   1 transport size   2..3 length   4.. payload
constexpr std::size_t requestFollowingLengthOffset = 13;
constexpr std::size_t requestTypeGroupOffset = 15;
constexpr std::size_t requestSubfunctionOffset = 16;
constexpr std::size_t shortestRequestParameters = 8;
constexpr std::uint8_t followUpFollowingLength = 8;
constexpr std::uint8_t typeRequest = 0x4;
constexpr std::uint8_t typeResponse = 0x8;

// The reply, offsets from the start of the frame:
//
//   0..6   ISO data frame header
//   7..16  S7 header: 0x32, 7, reserved and reference echoed, parameter length 12, data length
//   17..28 parameters: 00 01 12, 0x08, 0x12, 0x80 | group, subfunction, sequence number,
//          data unit reference, last data unit (0 last, 1 more follows), error (2 bytes)
//   29..32 data header: return code, transport size, length of the payload
//   33..   payload
constexpr std::size_t replyUserdataParameterLength = 12;
constexpr std::size_t replyParameterOffset = 17;
constexpr std::size_t replyTypeGroupOffset = 22;
constexpr std::size_t replySubfunctionOffset = 23;
constexpr std::size_t replySequenceOffset = 24;
constexpr std::size_t replyDataUnitOffset = 25;
constexpr std::size_t replyLastDataUnitOffset = 26;
constexpr std::size_t replyErrorOffset = 27;
constexpr std::size_t replyReturnCodeOffset = 29;
constexpr std::size_t replyTransportSizeOffset = 30;
constexpr std::size_t replyDataLengthFieldOffset = 31;
constexpr std::size_t replyPayloadOffset = 33;
// What a reply adds to its payload inside the PDU: S7 header, parameters, data header.
constexpr std::size_t replyPduOverhead = replyPayloadOffset - replyProtocolIdOffset;

constexpr std::uint8_t groupBlock = 0x3;
constexpr std::uint8_t groupCpu = 0x4;
constexpr std::uint8_t groupClock = 0x7;
constexpr std::uint8_t subfunctionListBlocks = 0x01;
constexpr std::uint8_t subfunctionListBlocksOfType = 0x02;
constexpr std::uint8_t subfunctionReadSzl = 0x01;
constexpr std::uint8_t subfunctionReadClock = 0x01;
constexpr std::uint8_t subfunctionSetClock = 0x02;

constexpr std::uint16_t errorNone = 0x0000;
constexpr std::uint16_t errorFunctionNotAvailable = 0x8104;
constexpr std::uint16_t errorSzlIdNotAvailable = 0xD401;
constexpr std::uint16_t errorSzlIndexWrong = 0xD402;
constexpr std::uint8_t transportSizeNull = 0x00;

// The read SZL request's data: 4..5 SZL ID, 6..7 index. The first two bytes are FF 09 from most
// clients and 0A 00 from python-snap7; neither is checked.
constexpr std::size_t szlRequestIdOffset = 4;
constexpr std::size_t szlRequestIndexOffset = 6;
// The first part of an SZL answer starts with ID, index, record length and record count.
constexpr std::size_t szlAnswerHeaderSize = 8;

// The set clock request's data: 4 reserved, 5 century, 6..13 the BCD date and time. The clock
// read answer has the same 10-byte payload.
constexpr std::size_t clockPayloadSize = 10;
constexpr std::size_t clockRequestTimeOffset = 6;
constexpr std::size_t clockCenturyOffset = 1;
constexpr std::size_t clockTimeOffset = 2;

// Block types as the block services name them (ASCII '0' in front in the requests and lists).
struct BlockType {
    std::uint8_t code;
    const char *name;
};
// clang-format off
constexpr std::array<BlockType, 7> blockTypes = {{
    {0x38, "OB"}, {0x45, "FB"}, {0x43, "FC"}, {0x41, "DB"}, {0x42, "SDB"}, {0x44, "SFC"},
    {0x46, "SFB"},
}};
// clang-format on
constexpr std::uint8_t blockTypeDb = 0x41;
constexpr std::uint8_t blockTypePrefix = 0x30;
// List blocks of type, request data: FF 09 00 02 30 type.
constexpr std::size_t blockTypeRequestOffset = 5;
// A list of blocks of one type: per block its number, flags and language (0x05: a DB).
constexpr std::size_t blockListEntrySize = 4;
constexpr std::uint8_t dataBlockFlags = 0x22;
constexpr std::uint8_t languageDataBlock = 0x05;
// Block numbers start at 1 on a CPU; DB0 (where classic serves every area) is never listed.
constexpr std::size_t firstListedDataBlock = 1;

// What a request was answered with, for the traffic record: the operation, and the error in the
// answer's parameters (0: none).
struct Answer {
    TrafficOperation operation;
    std::uint16_t error;
};

// Payload bytes one reply may carry on the slot's connection.
std::size_t payloadRoom(Plc &plc, int slot) {
    const std::size_t pduLength = negotiatedPduLength(plc, slot);
    const std::size_t inPdu = pduLength > replyPduOverhead ? pduLength - replyPduOverhead : 0;
    return std::min(inPdu, largestReplyFrame - replyPayloadOffset);
}

using ReplyFrame = std::array<std::uint8_t, largestReplyFrame>;

struct ReplyFields {
    std::uint8_t group;
    std::uint8_t subfunction;
    std::uint8_t sequence;
    std::uint8_t dataUnit;
    bool moreFollows;
    std::uint16_t error;
    std::uint8_t returnCode;
    std::uint8_t transportSize;
};

// Fills everything before the payload and sends the frame with payloadLength payload bytes.
void sendUserdataReply(Plc &plc, int slot, ByteView pdu, ReplyFrame &frame,
                       const ReplyFields &fields, std::size_t payloadLength) {
    writeS7ReplyStart(frame, pdu, messageTypeUserData, replyUserdataParameterLength,
                      replyPayloadOffset - replyReturnCodeOffset + payloadLength);
    frame[replyParameterOffset] = 0x00;
    frame[replyParameterOffset + 1] = 0x01;
    frame[replyParameterOffset + 2] = 0x12;
    frame[replyParameterOffset + 3] = followUpFollowingLength;
    frame[replyParameterOffset + 4] = 0x12;
    frame[replyTypeGroupOffset] = static_cast<std::uint8_t>((typeResponse << 4) | fields.group);
    frame[replySubfunctionOffset] = fields.subfunction;
    frame[replySequenceOffset] = fields.sequence;
    frame[replyDataUnitOffset] = fields.dataUnit;
    frame[replyLastDataUnitOffset] = fields.moreFollows ? 0x01 : 0x00;
    writeU16be(frame, replyErrorOffset, fields.error);
    frame[replyReturnCodeOffset] = fields.returnCode;
    frame[replyTransportSizeOffset] = fields.transportSize;
    writeU16be(frame, replyDataLengthFieldOffset, payloadLength);
    sendDataFrame(plc.connections, slot, frame, replyPayloadOffset + payloadLength,
                  SendFailureLine::plain);
}

// An error answer: the error in the parameters, data 0A 00 00 00.
void sendUserdataError(Plc &plc, int slot, ByteView pdu, std::uint8_t group,
                       std::uint8_t subfunction, std::uint16_t error) {
    ReplyFrame frame{};
    const ReplyFields fields{.group = group,
                             .subfunction = subfunction,
                             .sequence = slotAt(plc.connections, slot).userdata.sequence,
                             .dataUnit = 0,
                             .moreFollows = false,
                             .error = error,
                             .returnCode = returnObjectDoesNotExist,
                             .transportSize = transportSizeNull};
    sendUserdataReply(plc, slot, pdu, frame, fields, 0);
}

Answer refuseFunction(Plc &plc, int slot, ByteView pdu, std::uint8_t group,
                      std::uint8_t subfunction) {
    sendUserdataError(plc, slot, pdu, group, subfunction, errorFunctionNotAvailable);
    logMessage(attributeError, "%s Userdata function not available (group %d, subfunction %d)",
               slotPrefix(slot).text(), group, subfunction);
    return {TrafficOperation::refused, errorFunctionNotAvailable};
}

// The reply fields of a successful answer, or of one part of it. The parts of an answer in
// several parts carry its sequence number as their data unit reference; a single answer has 0.
ReplyFields answerFields(Plc &plc, int slot, std::uint8_t group, std::uint8_t subfunction,
                         bool severalParts, bool moreFollows) {
    const std::uint8_t sequence = slotAt(plc.connections, slot).userdata.sequence;
    return {.group = group,
            .subfunction = subfunction,
            .sequence = sequence,
            .dataUnit = severalParts ? sequence : std::uint8_t{0},
            .moreFollows = moreFollows,
            .error = errorNone,
            .returnCode = returnSuccess,
            .transportSize = transportSizeOctetString};
}

// Remembers where the next part of the answer starts, or forgets the answer after its last part.
void keepContinuation(Plc &plc, int slot, bool moreFollows, std::uint8_t group,
                      std::uint8_t subfunction, std::uint16_t listId, std::uint16_t listIndex,
                      std::size_t next) {
    UserdataState &state = slotAt(plc.connections, slot).userdata;
    state.continuationOpen = moreFollows;
    state.group = group;
    state.subfunction = subfunction;
    state.listId = listId;
    state.listIndex = listIndex;
    state.next = static_cast<std::uint16_t>(next);
}

// The part of an SZL answer that starts at record firstRecord. The first part starts with the
// list header (ID, index, record length, record count of the whole list); every part holds as many
// whole records as the PDU takes.
void sendSzlPart(Plc &plc, int slot, ByteView pdu, std::uint16_t id, std::uint16_t index,
                 const SzlList &list, std::size_t firstRecord, bool firstPart) {
    const std::size_t headerSize = firstPart ? szlAnswerHeaderSize : 0;
    const std::size_t room = payloadRoom(plc, slot);
    const std::size_t recordRoom = room > headerSize ? room - headerSize : 0;
    // A PDU too small for one record (below 74 bytes, which no client negotiates) still gets one
    // record a part, so the answer comes to an end.
    const std::size_t fitting = std::max<std::size_t>(recordRoom / list.recordLength, 1);
    const std::size_t remaining = list.recordCount - firstRecord;
    const std::size_t count = std::min(fitting, remaining);
    const bool moreFollows = count < remaining;

    ReplyFrame frame{};
    std::size_t at = replyPayloadOffset;
    if (firstPart) {
        writeU16be(frame, at, id);
        writeU16be(frame, at + 2, index);
        writeU16be(frame, at + 4, list.recordLength);
        writeU16be(frame, at + 6, list.recordCount);
        at += szlAnswerHeaderSize;
    }
    for (std::size_t i = 0; i < count; ++i) {
        writeSzlRecord(plc.cpu, id, firstRecord + i, frame, at);
        at += list.recordLength;
    }
    keepContinuation(plc, slot, moreFollows, groupCpu, subfunctionReadSzl, id, index,
                     firstRecord + count);
    sendUserdataReply(plc, slot, pdu, frame,
                      answerFields(plc, slot, groupCpu, subfunctionReadSzl,
                                   moreFollows || !firstPart, moreFollows),
                      at - replyPayloadOffset);
    if (firstPart) {
        logMessage(trafficAttribute(slot), "%s Sending SZL 0x%04X/%d (%d record%s)",
                   slotPrefix(slot).text(), id, index, list.recordCount,
                   list.recordCount == 1 ? "" : "s");
    } else {
        logMessage(trafficAttribute(slot), "%s Sending SZL 0x%04X/%d continued (%d record%s)",
                   slotPrefix(slot).text(), id, index, static_cast<int>(count),
                   count == 1 ? "" : "s");
    }
}

Answer readSzl(Plc &plc, int slot, ByteView pdu, ByteView data) {
    if (!fits(data, szlRequestIndexOffset, 2)) {
        return refuseFunction(plc, slot, pdu, groupCpu, subfunctionReadSzl);
    }
    const std::uint16_t id = readU16be(data, szlRequestIdOffset);
    const std::uint16_t index = readU16be(data, szlRequestIndexOffset);
    const SzlList list = findSzlList(id, index);
    switch (list.status) {
    case SzlStatus::unknownId:
        sendUserdataError(plc, slot, pdu, groupCpu, subfunctionReadSzl, errorSzlIdNotAvailable);
        logMessage(attributeError, "%s SZL 0x%04X not available", slotPrefix(slot).text(), id);
        return {TrafficOperation::szl, errorSzlIdNotAvailable};
    case SzlStatus::wrongIndex:
        sendUserdataError(plc, slot, pdu, groupCpu, subfunctionReadSzl, errorSzlIndexWrong);
        logMessage(attributeError, "%s SZL 0x%04X has no index %d", slotPrefix(slot).text(), id,
                   index);
        return {TrafficOperation::szl, errorSzlIndexWrong};
    case SzlStatus::found:
        sendSzlPart(plc, slot, pdu, id, index, list, 0, true);
        return {TrafficOperation::szl, errorNone};
    }
    return {TrafficOperation::szl, errorNone};
}

const char *blockTypeName(std::uint8_t code) {
    for (const BlockType &type : blockTypes) {
        if (type.code == code) {
            return type.name;
        }
    }
    return "?";
}

std::size_t countListedDataBlocks(const DataBlockTable &blocks) {
    std::size_t count = 0;
    for (std::size_t number = nextExistingDataBlock(blocks, firstListedDataBlock);
         number < dataBlockCount; number = nextExistingDataBlock(blocks, number + 1)) {
        ++count;
    }
    return count;
}

// The count of blocks of each type, 28 bytes: per type 0x30, the type, the count (2 bytes).
// Only data blocks exist.
Answer listBlocks(Plc &plc, int slot, ByteView pdu) {
    ReplyFrame frame{};
    std::size_t at = replyPayloadOffset;
    for (const BlockType &type : blockTypes) {
        frame[at] = blockTypePrefix;
        frame[at + 1] = type.code;
        writeU16be(frame, at + 2,
                   type.code == blockTypeDb ? countListedDataBlocks(plc.memory.blocks) : 0);
        at += 4;
    }
    sendUserdataReply(plc, slot, pdu, frame,
                      answerFields(plc, slot, groupBlock, subfunctionListBlocks, false, false),
                      at - replyPayloadOffset);
    logMessage(trafficAttribute(slot), "%s Sending block list", slotPrefix(slot).text());
    return {TrafficOperation::blocks, errorNone};
}

// The part of a list of blocks of one type that starts at block number `from`: per block its
// number (2 bytes), flags and language. Only data blocks exist; the other types list nothing.
void sendBlockListPart(Plc &plc, int slot, ByteView pdu, std::uint8_t type, std::size_t from,
                       bool firstPart) {
    const std::size_t fitting =
        std::max<std::size_t>(payloadRoom(plc, slot) / blockListEntrySize, 1);
    ReplyFrame frame{};
    std::size_t at = replyPayloadOffset;
    std::size_t count = 0;
    std::size_t number =
        type == blockTypeDb ? nextExistingDataBlock(plc.memory.blocks, from) : dataBlockCount;
    while (number < dataBlockCount && count < fitting) {
        writeU16be(frame, at, number);
        frame[at + 2] = dataBlockFlags;
        frame[at + 3] = languageDataBlock;
        at += blockListEntrySize;
        ++count;
        number = nextExistingDataBlock(plc.memory.blocks, number + 1);
    }
    const bool moreFollows = number < dataBlockCount;
    keepContinuation(plc, slot, moreFollows, groupBlock, subfunctionListBlocksOfType, type, 0,
                     number);
    sendUserdataReply(plc, slot, pdu, frame,
                      answerFields(plc, slot, groupBlock, subfunctionListBlocksOfType,
                                   moreFollows || !firstPart, moreFollows),
                      at - replyPayloadOffset);
    logMessage(trafficAttribute(slot), "%s Sending block list of type %s%s (%d blocks)",
               slotPrefix(slot).text(), blockTypeName(type), firstPart ? "" : " continued",
               static_cast<int>(count));
}

Answer listBlocksOfType(Plc &plc, int slot, ByteView pdu, ByteView data) {
    if (!fits(data, blockTypeRequestOffset, 1)) {
        return refuseFunction(plc, slot, pdu, groupBlock, subfunctionListBlocksOfType);
    }
    sendBlockListPart(plc, slot, pdu, readU8(data, blockTypeRequestOffset), firstListedDataBlock,
                      true);
    return {TrafficOperation::blocks, errorNone};
}

// Clock answer payload: reserved 0, century (BCD 19 or 20), the BCD date and time.
Answer readClock(Plc &plc, int slot, ByteView pdu) {
    const PlcDateTime now = plcClockNow(plc.cpu.clock);
    ReplyFrame frame{};
    frame[replyPayloadOffset + clockCenturyOffset] = now.year < 2000 ? 0x19 : 0x20;
    writeBcdDateTime(frame, replyPayloadOffset + clockTimeOffset, now);
    sendUserdataReply(plc, slot, pdu, frame,
                      answerFields(plc, slot, groupClock, subfunctionReadClock, false, false),
                      clockPayloadSize);
    logMessage(trafficAttribute(slot), "%s Sending clock", slotPrefix(slot).text());
    return {TrafficOperation::clock, errorNone};
}

// A set clock is confirmed with data 0A 00 00 00 and no error. A time that does not decode is
// refused like a missing function.
Answer setClock(Plc &plc, int slot, ByteView pdu, ByteView data) {
    PlcDateTime time{};
    if (!fits(data, clockRequestTimeOffset, bcdDateTimeSize) ||
        !readBcdDateTime(data, clockRequestTimeOffset, time)) {
        return refuseFunction(plc, slot, pdu, groupClock, subfunctionSetClock);
    }
    setPlcClock(plc.cpu.clock, time);
    ReplyFrame frame{};
    ReplyFields fields = answerFields(plc, slot, groupClock, subfunctionSetClock, false, false);
    fields.returnCode = returnObjectDoesNotExist;
    fields.transportSize = transportSizeNull;
    sendUserdataReply(plc, slot, pdu, frame, fields, 0);
    logMessage(trafficAttribute(slot), "%s Clock set to %04d-%02d-%02d %02d:%02d:%02d.%03d",
               slotPrefix(slot).text(), time.year, time.month, time.day, time.hour, time.minute,
               time.second, time.millisecond);
    return {TrafficOperation::clock, errorNone};
}

// The request for the next part of an open answer.
Answer continueAnswer(Plc &plc, int slot, ByteView pdu, std::uint8_t group,
                      std::uint8_t subfunction) {
    const UserdataState &state = slotAt(plc.connections, slot).userdata;
    if (!state.continuationOpen || state.group != group || state.subfunction != subfunction) {
        return refuseFunction(plc, slot, pdu, group, subfunction);
    }
    if (group == groupCpu) {
        sendSzlPart(plc, slot, pdu, state.listId, state.listIndex,
                    findSzlList(state.listId, state.listIndex), state.next, false);
        return {TrafficOperation::szl, errorNone};
    }
    sendBlockListPart(plc, slot, pdu, static_cast<std::uint8_t>(state.listId), state.next, false);
    return {TrafficOperation::blocks, errorNone};
}

// The data part behind the parameters, as far as it arrived.
ByteView dataOf(ByteView pdu) {
    const std::size_t offset = pduHeaderSize + readU16be(pdu, pduParameterLengthOffset);
    if (offset > pdu.size()) {
        return {};
    }
    return pdu.subspan(
        offset, std::min<std::size_t>(pdu.size() - offset, readU16be(pdu, pduDataLengthOffset)));
}

// The function a request names, answered.
Answer answerRequest(Plc &plc, int slot, ByteView pdu, std::uint8_t group, std::uint8_t subfunction,
                     bool followUp) {
    if (followUp) {
        return continueAnswer(plc, slot, pdu, group, subfunction);
    }
    const ByteView data = dataOf(pdu);
    if (group == groupCpu && subfunction == subfunctionReadSzl) {
        return readSzl(plc, slot, pdu, data);
    }
    if (group == groupClock && subfunction == subfunctionReadClock) {
        return readClock(plc, slot, pdu);
    }
    if (group == groupClock && subfunction == subfunctionSetClock) {
        return setClock(plc, slot, pdu, data);
    }
    if (group == groupBlock && subfunction == subfunctionListBlocks) {
        return listBlocks(plc, slot, pdu);
    }
    if (group == groupBlock && subfunction == subfunctionListBlocksOfType) {
        return listBlocksOfType(plc, slot, pdu, data);
    }
    return refuseFunction(plc, slot, pdu, group, subfunction);
}

void recordAnswer(Plc &plc, int slot, const Answer &answer, int faultRule) {
    recordSlotExchange(plc, slot, TrafficProtocol::s7, answer.operation, faultRule, answer.error);
}

std::uint8_t nextSequence(std::uint8_t sequence) {
    return static_cast<std::uint8_t>(sequence == 0xFF ? 1 : sequence + 1);
}

} // namespace

bool isReadSzlRequest(ByteView pdu) {
    return (readU8OrZero(pdu, requestTypeGroupOffset) & 0x0F) == groupCpu &&
           readU8OrZero(pdu, requestSubfunctionOffset) == subfunctionReadSzl;
}

void refuseUserData(Plc &plc, int slot, ByteView pdu, std::uint16_t error, int faultRule) {
    UserdataState &state = slotAt(plc.connections, slot).userdata;
    state.continuationOpen = false;
    state.sequence = nextSequence(state.sequence);
    sendUserdataError(plc, slot, pdu,
                      static_cast<std::uint8_t>(readU8OrZero(pdu, requestTypeGroupOffset) & 0x0F),
                      readU8OrZero(pdu, requestSubfunctionOffset), error);
    recordAnswer(plc, slot, {TrafficOperation::refused, error}, faultRule);
}

void handleUserData(Plc &plc, int slot, ByteView pdu, const FaultDecision &faults) {
    UserdataState &state = slotAt(plc.connections, slot).userdata;
    const std::uint8_t typeGroup = readU8OrZero(pdu, requestTypeGroupOffset);
    const auto group = static_cast<std::uint8_t>(typeGroup & 0x0F);
    const std::uint8_t subfunction = readU8OrZero(pdu, requestSubfunctionOffset);
    const bool followUp =
        readU8OrZero(pdu, requestFollowingLengthOffset) == followUpFollowingLength;
    if (!followUp) {
        // A new request ends any answer still open and gets a sequence number of its own.
        state.continuationOpen = false;
        state.sequence = nextSequence(state.sequence);
    }
    const Answer answer =
        !fits(pdu, pduHeaderSize, shortestRequestParameters) || (typeGroup >> 4) != typeRequest
            ? refuseFunction(plc, slot, pdu, group, subfunction)
            : answerRequest(plc, slot, pdu, group, subfunction, followUp);
    recordAnswer(plc, slot, answer, faults.rule);
}
