#include "s5/s5_fetch_write.h"

#include "core/connection_table.h"
#include "core/log.h"
#include "memory/data_block_table.h"
#include "transport/transport.h"

#include <array>

namespace {

// Request, offsets from the letter 'S'.
constexpr std::size_t requestDbNumberOffset = 9;
constexpr std::size_t requestStartOffset = 10;
constexpr std::size_t requestLengthOffset = 12;
constexpr std::size_t requestHeaderSize = 16;
constexpr std::size_t requestFirstWordOffset = 16;

// Reply, offsets from the start of the frame.
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

S5Request decodeRequest(ByteView request) {
    return {readU8(request, requestDbNumberOffset), readU16be(request, requestStartOffset),
            readU16be(request, requestLengthOffset)};
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

// Words s .. s + n - 1 lie inside the block.
bool insideBlock(const S5Request &request, std::span<const std::uint8_t> block) {
    return 2 * (request.start + request.length) <= block.size();
}

const char *fetchRefusalReason(const S5Request &decoded, std::span<const std::uint8_t> block) {
    if (block.empty()) {
        return "no memory for the block";
    }
    if (decoded.length > largestFetch) {
        return "more than 244 words";
    }
    if (!insideBlock(decoded, block)) {
        return "beyond the end of the block";
    }
    return nullptr;
}

const char *writeRefusalReason(ByteView request, const S5Request &decoded,
                               std::span<const std::uint8_t> block) {
    if (block.empty()) {
        return "no memory for the block";
    }
    if (!fits(request, requestFirstWordOffset, 2 * decoded.length)) {
        return "fewer words than announced";
    }
    if (!insideBlock(decoded, block)) {
        return "beyond the end of the block";
    }
    return nullptr;
}

void reportSendError(const ReplyResult &sent) {
    if (sent.failed) {
        logMessage(attributeSlot0, "Socket error sending DT %d", sent.errorCode);
    }
}

// A request whose fixed header is cut short: answered as refused, with what fields are there.
bool refuseShortRequest(int slot, ByteView request, std::uint8_t opCode, const char *line) {
    if (request.size() >= requestHeaderSize) {
        return false;
    }
    std::array<std::uint8_t, replyHeaderSize> frame{};
    writeS5ReplyHeader(frame, opCode);
    frame[replyErrorOffset] = s5ErrorAreaTooSmall;
    // The same echo as a full request's reply, from whichever of those bytes did arrive.
    if (opCode == opCodeFetchReply) {
        frame[replyEchoOffset] = readU8OrZero(request, requestStartOffset + 1);
        frame[replyEchoOffset + 1] = readU8OrZero(request, requestLengthOffset);
        frame[replyEchoOffset + 2] = readU8OrZero(request, requestLengthOffset + 1);
    } else {
        frame[replyEchoOffset] = readU8OrZero(request, requestLengthOffset);
    }
    finishDataFrame(frame, frame.size());
    reportSendError(sendReply(slot, frame));
    const platform::LocalTime now = platform::localTime();
    logMessage(attributeError, "%02d:%02d:%02d-[%d] %s DB:%d:%d l=%d refused: request too short",
               now.hour, now.minute, now.second, slot, line, readU8OrZero(request, 9),
               (readU8OrZero(request, 10) << 8) | readU8OrZero(request, 11),
               (readU8OrZero(request, 12) << 8) | readU8OrZero(request, 13));
    return true;
}

} // namespace

void handleS5Fetch(int slot, ByteView request) {
    if (refuseShortRequest(slot, request, opCodeFetchReply, "Sending S5 data")) {
        return;
    }
    const S5Request decoded = decodeRequest(request);
    const std::span<const std::uint8_t> block =
        ensureDataBlock(static_cast<std::size_t>(decoded.dbNumber));
    const char *refusal = fetchRefusalReason(decoded, block);

    std::array<std::uint8_t, fetchFrameCapacity> frame{};
    writeS5ReplyHeader(frame, opCodeFetchReply);
    // The reply echoes the low byte of the start and both bytes of the length.
    frame[replyEchoOffset] = readU8(request, requestStartOffset + 1);
    frame[replyEchoOffset + 1] = readU8(request, requestLengthOffset);
    frame[replyEchoOffset + 2] = readU8(request, requestLengthOffset + 1);
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
    finishDataFrame(frame, frameLength);
    reportSendError(sendReply(slot, ByteView(frame).first(frameLength)));

    const platform::LocalTime now = platform::localTime();
    const int start = static_cast<int>(decoded.start);
    const int length = static_cast<int>(decoded.length);
    if (refusal != nullptr) {
        logMessage(attributeError, "%02d:%02d:%02d-[%d] Sending S5 data DB:%d:%d l=%d refused: %s",
                   now.hour, now.minute, now.second, slot, decoded.dbNumber, start, length,
                   refusal);
        return;
    }
    logMessage(trafficAttribute(slot), "%02d:%02d:%02d-[%d] Sending S5 data DB:%d:%d l=%d",
               now.hour, now.minute, now.second, slot, decoded.dbNumber, start, length);
}

void handleS5Write(int slot, ByteView request) {
    if (refuseShortRequest(slot, request, opCodeWriteAck, "Sending S5 write ack")) {
        return;
    }
    const S5Request decoded = decodeRequest(request);
    const std::span<std::uint8_t> block =
        ensureDataBlock(static_cast<std::size_t>(decoded.dbNumber));
    // Decided before the acknowledgement leaves: a refused write stores nothing.
    const char *refusal = writeRefusalReason(request, decoded, block);

    std::array<std::uint8_t, replyHeaderSize> frame{};
    writeS5ReplyHeader(frame, opCodeWriteAck);
    frame[replyEchoOffset] = readU8(request, requestLengthOffset);
    if (refusal != nullptr) {
        frame[replyErrorOffset] = s5ErrorAreaTooSmall;
    }
    finishDataFrame(frame, frame.size());
    reportSendError(sendReply(slot, frame));

    const platform::LocalTime now = platform::localTime();
    const int start = static_cast<int>(decoded.start);
    const int length = static_cast<int>(decoded.length);
    if (refusal != nullptr) {
        logMessage(attributeError,
                   "%02d:%02d:%02d-[%d] Sending S5 write ack DB:%d:%d l=%d refused: %s", now.hour,
                   now.minute, now.second, slot, decoded.dbNumber, start, length, refusal);
        return;
    }
    for (std::size_t i = 0; i < decoded.length; ++i) {
        const std::size_t word = decoded.start + i;
        block[2 * word] = readU8(request, requestFirstWordOffset + 2 * i + 1);
        block[2 * word + 1] = readU8(request, requestFirstWordOffset + 2 * i);
    }
    logMessage(trafficAttribute(slot), "%02d:%02d:%02d-[%d] Sending S5 write ack DB:%d:%d l=%d",
               now.hour, now.minute, now.second, slot, decoded.dbNumber, start, length);
}
