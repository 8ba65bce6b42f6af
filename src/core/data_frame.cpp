#include "core/data_frame.h"

#include "core/log.h"

#include <algorithm>
#include <array>

void writeDataFrameHeader(ByteBuffer out) {
    // clang-format off
    out[0] = tpktVersion; out[1] = 0x00; // version, reserved
    out[2] = 0x00;        out[3] = 0x00; // length, written when the frame is sent
    out[4] = 0x02;                       // LI
    out[5] = 0xF0;                       // DT
    out[6] = 0x80;                       // TPDU 0, end of transmission
    // clang-format on
}

namespace {

constexpr std::size_t frameTpduNumberOffset = 6;
constexpr std::uint8_t endOfTransmission = 0x80;

// A reply longer than the slot's TPDU size, as several DT frames back to back in one buffer:
//
//   +0..3 TPKT 03 00 LL LL   +4 LI 02   +5 DT F0   +6 00 (80 on the last)   +7.. up to TPDU - 3
//                                                                               payload bytes
//
// Returns the bytes written, or 0 when they would not fit.
std::size_t splitDataFrame(ByteView payload, std::size_t tpduSize,
                           std::span<std::uint8_t, largestSplitReply> out) {
    const std::size_t perPiece = tpduSize - (dataFrameHeaderSize - tpktHeaderSize);
    const std::size_t pieces = (payload.size() + perPiece - 1) / perPiece;
    if (payload.size() + pieces * dataFrameHeaderSize > out.size()) {
        return 0;
    }
    std::size_t at = 0;
    for (std::size_t piece = 0; piece < pieces; ++piece) {
        const ByteView part = payload.subspan(piece * perPiece)
                                  .first(std::min(perPiece, payload.size() - piece * perPiece));
        const ByteBuffer frame = ByteBuffer(out).subspan(at, dataFrameHeaderSize + part.size());
        writeDataFrameHeader(frame);
        writeU16be(frame, frameTpktLengthOffset, frame.size());
        frame[frameTpduNumberOffset] = piece + 1 == pieces ? endOfTransmission : std::uint8_t{0};
        std::copy(part.begin(), part.end(), frame.begin() + framePayloadOffset);
        at += frame.size();
    }
    return at;
}

} // namespace

bool sendDataFrame(ConnectionTable &table, int slot, ByteBuffer frame, std::size_t length,
                   SendFailureLine failureLine) {
    writeU16be(frame, frameTpktLengthOffset, length);
    const std::size_t tpduSize = slotAt(table, slot).tpduSize;
    ReplyResult sent{false, 0};
    if (tpduSize == 0 || length <= tpktHeaderSize + tpduSize) {
        sent = sendReply(table, slot, ByteView(frame).first(length));
    } else {
        std::array<std::uint8_t, largestSplitReply> pieces{};
        const std::size_t split = splitDataFrame(
            ByteView(frame).first(length).subspan(framePayloadOffset), tpduSize, pieces);
        if (split == 0) {
            logMessage(attributeError, "%s Reply of %d bytes is too large to split, dropped",
                       slotPrefix(slot).text(), static_cast<int>(length));
            return false;
        }
        sent = sendReply(table, slot, ByteView(pieces).first(split));
    }
    if (!sent.failed) {
        return true;
    }
    switch (failureLine) {
    case SendFailureLine::plain:
        logMessage(attributeError, "Socket error sending DT %d", sent.errorCode);
        break;
    case SendFailureLine::timestamped:
        logMessage(attributeError, "%s Socket error sending DT 0x%08X", slotPrefix(slot).text(),
                   static_cast<unsigned>(sent.errorCode));
        break;
    case SendFailureLine::s5:
        logMessage(attributeSlot0, "Socket error sending DT %d", sent.errorCode);
        break;
    }
    return false;
}
