#include "s5/s5_fetch_write.h"

#include "core/data_frame.h"
#include "core/fault_rules.h"
#include "core/log.h"

#include <array>

namespace {

// Request, offsets from the letter 'S':
//
//   0..1 "S5"  2 0x10  3 0x01  4 0x03  5 op code (5 fetch, 3 write)  6..8 area, block type
//   9 DB number   10..11 start word BE   12..13 word count BE   14..15 0xFF 0x02
//   16.. words to write (write only), big-endian
constexpr std::size_t requestOpCodeOffset = 5;
constexpr std::size_t requestDbNumberOffset = 9;
constexpr std::size_t requestStartOffset = 10;
constexpr std::size_t requestLengthOffset = 12;
constexpr std::size_t requestHeaderSize = 16;
constexpr std::size_t requestFirstWordOffset = 16;

constexpr std::uint8_t opCodeFetch = 5;
constexpr std::uint8_t opCodeWrite = 3;

// Reply, offsets from the start of the frame:
//
//   0..6   ISO data frame header
//   7..8   "S5"        9 0x10   10 0x01   11 0x03   12 op code (6 fetch reply, 4 write ack)
//   13..14 08 00       15 error byte (0 served, 0x03 refused)   16..17 FF 07
//   18..20 fetch: start low byte, length high and low byte; write ack: length high byte
//   21..22 00 00       23.. fetched words, big-endian
constexpr std::size_t replyHeaderSize = 23;
constexpr std::size_t replyErrorOffset = 15;
constexpr std::size_t replyEchoOffset = 18;
constexpr std::size_t replyFirstWordOffset = 23;
constexpr std::uint8_t opCodeFetchReply = 0x06;
constexpr std::uint8_t opCodeWriteAck = 0x04;

constexpr std::size_t fetchFrameCapacity = 512;
constexpr std::size_t largestFetch = (fetchFrameCapacity - replyHeaderSize) / 2; // 244 words

struct S5Request {
    int dbNumber;
    std::size_t start;  // in words
    std::size_t length; // in words
};

// Fields beyond a request cut short read as zero; such a request is refused anyway.
S5Request decodeRequest(ByteView request) {
    const auto field = [&](std::size_t at) {
        return static_cast<std::size_t>(readU8OrZero(request, at) << 8 |
                                        readU8OrZero(request, at + 1));
    };
    return {readU8OrZero(request, requestDbNumberOffset), field(requestStartOffset),
            field(requestLengthOffset)};
}

// The reply header both replies share; they differ in the op code and the echoed bytes.
void writeS5ReplyHeader(ByteBuffer out, std::uint8_t opCode) {
    writeDataFrameHeader(out);
    const std::array<std::uint8_t, 11> header = {'S',  '5',  0x10, 0x01, 0x03, opCode,
                                                 0x08, 0x00, 0x00, 0xFF, 0x07};
    for (std::size_t i = 0; i < header.size(); ++i) {
        out[framePayloadOffset + i] = header[i];
    }
}

// The block the request addresses, or none when its fixed header is cut short (such a request
// is refused without touching the table).
std::span<std::uint8_t> blockFor(DataBlockTable &blocks, ByteView request,
                                 const S5Request &decoded) {
    if (request.size() < requestHeaderSize) {
        return {};
    }
    return ensureDataBlock(blocks, static_cast<std::size_t>(decoded.dbNumber));
}

// Why a block could not be had: the declared blocks are fixed and this is none of them, or the
// heap could not supply it.
const char *emptyBlockReason(const DataBlockTable &blocks, const S5Request &decoded) {
    return dataBlockServed(blocks, static_cast<std::size_t>(decoded.dbNumber))
               ? "no memory for the block"
               : "no such block";
}

// Words s .. s + n - 1 lie inside the block.
bool insideBlock(const S5Request &request, std::span<const std::uint8_t> block) {
    return 2 * (request.start + request.length) <= block.size();
}

const char *fetchRefusalReason(const DataBlockTable &blocks, ByteView request,
                               const S5Request &decoded, std::span<const std::uint8_t> block) {
    if (request.size() < requestHeaderSize) {
        return "request too short";
    }
    if (block.empty()) {
        return emptyBlockReason(blocks, decoded);
    }
    if (decoded.length > largestFetch) {
        return "more than 244 words";
    }
    if (!insideBlock(decoded, block)) {
        return "beyond the end of the block";
    }
    return nullptr;
}

const char *writeRefusalReason(const DataBlockTable &blocks, ByteView request,
                               const S5Request &decoded, std::span<const std::uint8_t> block) {
    if (request.size() < requestHeaderSize) {
        return "request too short";
    }
    if (block.empty()) {
        return emptyBlockReason(blocks, decoded);
    }
    if (!fits(request, requestFirstWordOffset, 2 * decoded.length)) {
        return "fewer words than announced";
    }
    if (!insideBlock(decoded, block)) {
        return "beyond the end of the block";
    }
    return nullptr;
}

// A fetch or write as answered: S5 has no item codes, only the reply's error byte, so a refused
// request carries that as its error and its item the code 0.
void recordS5(Plc &plc, int slot, TrafficOperation operation, const S5Request &decoded,
              ByteView bytes, bool refused, int faultRule) {
    const TrafficItem item{MemoryArea::dataBlock,
                           static_cast<std::uint16_t>(decoded.dbNumber),
                           static_cast<std::uint32_t>(2 * decoded.start),
                           -1,
                           static_cast<std::uint32_t>(2 * decoded.length),
                           refused ? std::uint8_t{0} : std::uint8_t{0xFF},
                           !refused,
                           bytes,
                           true};
    recordSlotExchange(plc, slot, TrafficProtocol::s5, operation, faultRule,
                       refused ? s5ErrorAreaTooSmall : 0, std::span(&item, 1));
}

// The request's line: in the slot's colour when served, in 70 with the reason when refused.
void logOutcome(int slot, const char *what, const S5Request &decoded, const char *refusal) {
    const int start = static_cast<int>(decoded.start);
    const int length = static_cast<int>(decoded.length);
    if (refusal != nullptr) {
        logMessage(attributeError, "%s %s DB:%d:%d l=%d refused: %s", slotPrefix(slot).text(), what,
                   decoded.dbNumber, start, length, refusal);
        return;
    }
    logMessage(trafficAttribute(slot), "%s %s DB:%d:%d l=%d", slotPrefix(slot).text(), what,
               decoded.dbNumber, start, length);
}

void handleS5Fetch(Plc &plc, int slot, ByteView request, const char *faultRefusal, int faultRule) {
    DataBlockTable &blocks = plc.memory.blocks;
    const S5Request decoded = decodeRequest(request);
    const std::span<const std::uint8_t> block = blockFor(blocks, request, decoded);
    const char *refusal = faultRefusal != nullptr
                              ? faultRefusal
                              : fetchRefusalReason(blocks, request, decoded, block);

    std::array<std::uint8_t, fetchFrameCapacity> frame{};
    writeS5ReplyHeader(frame, opCodeFetchReply);
    // The reply echoes the low byte of the start and both bytes of the length.
    frame[replyEchoOffset] = readU8OrZero(request, requestStartOffset + 1);
    frame[replyEchoOffset + 1] = readU8OrZero(request, requestLengthOffset);
    frame[replyEchoOffset + 2] = readU8OrZero(request, requestLengthOffset + 1);
    std::size_t frameLength = replyHeaderSize;
    if (refusal != nullptr) {
        frame[replyErrorOffset] = s5ErrorAreaTooSmall;
    } else {
        // Words are held least significant byte first in the block, big-endian on the wire.
        for (std::size_t i = 0; i < decoded.length; ++i) {
            const std::size_t word = decoded.start + i;
            frame[replyFirstWordOffset + 2 * i] = block[2 * word + 1];
            frame[replyFirstWordOffset + 2 * i + 1] = block[2 * word];
        }
        frameLength += 2 * decoded.length;
    }
    // The record shows the bytes as they lie in the block, as the write journal does.
    recordS5(plc, slot, TrafficOperation::read, decoded,
             refusal == nullptr ? block.subspan(2 * decoded.start, 2 * decoded.length) : ByteView{},
             refusal != nullptr, faultRule);
    sendDataFrame(plc.connections, slot, frame, frameLength, SendFailureLine::s5);
    logOutcome(slot, "Sending S5 data", decoded, refusal);
}

void handleS5Write(Plc &plc, int slot, ByteView request, const char *faultRefusal, int faultRule) {
    DataBlockTable &blocks = plc.memory.blocks;
    const S5Request decoded = decodeRequest(request);
    const std::span<std::uint8_t> block = blockFor(blocks, request, decoded);
    // Decided before the acknowledgement leaves: a refused write stores nothing.
    const char *refusal = faultRefusal != nullptr
                              ? faultRefusal
                              : writeRefusalReason(blocks, request, decoded, block);

    std::array<std::uint8_t, replyHeaderSize> frame{};
    writeS5ReplyHeader(frame, opCodeWriteAck);
    frame[replyEchoOffset] = readU8OrZero(request, requestLengthOffset);
    if (refusal != nullptr) {
        frame[replyErrorOffset] = s5ErrorAreaTooSmall;
    }
    sendDataFrame(plc.connections, slot, frame, frame.size(), SendFailureLine::s5);

    if (refusal == nullptr) {
        for (std::size_t i = 0; i < decoded.length; ++i) {
            const std::size_t word = decoded.start + i;
            block[2 * word] = readU8(request, requestFirstWordOffset + 2 * i + 1);
            block[2 * word + 1] = readU8(request, requestFirstWordOffset + 2 * i);
        }
        markClientWrite(plc.memory, MemoryArea::dataBlock,
                        static_cast<std::size_t>(decoded.dbNumber), 2 * decoded.start,
                        2 * decoded.length);
    }
    // The journal shows the bytes as they now lie in the block.
    recordS5(plc, slot, TrafficOperation::write, decoded,
             refusal == nullptr ? block.subspan(2 * decoded.start, 2 * decoded.length) : ByteView{},
             refusal != nullptr, faultRule);
    logOutcome(slot, "Sending S5 write ack", decoded, refusal);
}

// The fault rules for a fetch (a read) or a write of DB words. S5 has one error for a request, so
// an item code or a header error refuses it. Returns true when the request is done with.
bool applyS5Faults(Plc &plc, int slot, ByteView request, bool fetch, const char *&refusal,
                   int &faultRule) {
    const S5Request decoded = decodeRequest(request);
    const auto byteAt = [](std::size_t word) { return static_cast<std::uint32_t>(2 * word); };
    const std::array<FaultItem, 1> items = {
        {{MemoryArea::dataBlock, static_cast<std::uint16_t>(decoded.dbNumber),
          byteAt(decoded.start), byteAt(decoded.start + decoded.length)}}};
    const FaultDecision decision =
        decideFaults(plc.faults, {fetch ? FaultOn::read : FaultOn::write,
                                  slotAt(plc.connections, slot).ends.clientAddress, items});
    faultRule = decision.rule;
    if (applyFaultDelivery(plc.connections, slot, decision)) {
        return true;
    }
    if (decision.headerError != 0 || decision.itemCodes[0] != 0) {
        refusal = "refused by a fault rule";
    }
    return false;
}

} // namespace

void handleS5Payload(Plc &plc, int slot, ByteView payload) {
    const std::uint8_t opCode = readU8OrZero(payload, requestOpCodeOffset);
    const char *faultRefusal = nullptr;
    int faultRule = 0;
    if ((opCode == opCodeFetch || opCode == opCodeWrite) && faultRulesActive(plc.faults) &&
        applyS5Faults(plc, slot, payload, opCode == opCodeFetch, faultRefusal, faultRule)) {
        return;
    }
    switch (opCode) {
    case opCodeFetch:
        handleS5Fetch(plc, slot, payload, faultRefusal, faultRule);
        return;
    case opCodeWrite:
        handleS5Write(plc, slot, payload, faultRefusal, faultRule);
        return;
    default:
        // Other op codes (and requests too short to have one) are not served: left unanswered.
        recordExchange(plc.traffic, slotExchange(plc.connections, slot, TrafficProtocol::s5,
                                                 TrafficOperation::refused));
        return;
    }
}
