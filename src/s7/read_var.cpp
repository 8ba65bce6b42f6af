#include "s7/read_var.h"

#include "core/connection_table.h"
#include "core/log.h"
#include "memory/data_block_table.h"
#include "s7/s7_pdu.h"

#include <array>
#include <cstring>

namespace {

// The reply: the reply header (function 0x04, item count), then one data item per request item,
// each starting at an even position of the data section:
//
//   +0 return code   +1 transport size 0x04   +2..3 length in bits   +4.. the bytes   [fill 00]
//
// A failed item is the 4-byte header alone, with length 0.
constexpr std::size_t readReplyParameterLength = 2;
// The data section sits behind the reply header inside one 1024-byte frame.
constexpr std::size_t dataSectionCapacity = largestReplyFrame - replyHeaderSize;

void writeFailedItem(ByteBuffer out, std::size_t at, std::uint8_t returnCode) {
    out[at] = returnCode;
    out[at + 1] = transportSizeByte;
    out[at + 2] = 0;
    out[at + 3] = 0;
}

// Writes one data item at position at of the data section and returns the position behind it.
// room is what the item may take while leaving 4 bytes for each item behind it.
std::size_t readItem(ByteView item, ByteBuffer section, std::size_t at, std::size_t room, int slot,
                     int index) {
    const ItemAddress address = decodeItemAddress(item);
    const int dbNumber = static_cast<int>(address.dbNumber);
    const int byteOffset = static_cast<int>(address.byteOffset);
    const int count = static_cast<int>(address.elementCount);
    if (address.dbNumber >= dataBlockCount) {
        writeFailedItem(section, at, returnObjectDoesNotExist);
        logMessage(attributeError, "%s Sending S7 NO IO data DB%d,%d l=%d", slotPrefix(slot).text(),
                   dbNumber, byteOffset, count);
        return at + dataItemHeaderSize;
    }
    const std::span<const std::uint8_t> block =
        address.elementCount + dataItemHeaderSize > room
            ? std::span<const std::uint8_t>{}
            : acquireDataBlock(address.elementCount, address.dbNumber, address.byteOffset);
    if (block.empty()) {
        writeFailedItem(section, at, returnAddressOutOfRange);
        logMessage(attributeError, "%s Sending S7 NO IO data DB%d,%d l=%d DB too big",
                   slotPrefix(slot).text(), dbNumber, byteOffset, count);
        return at + dataItemHeaderSize;
    }
    section[at] = returnSuccess;
    section[at + 1] = transportSizeByte;
    writeU16be(section, at + 2, (address.elementCount * 8) & 0xFFFF);
    std::memcpy(section.data() + at + dataItemHeaderSize, block.data() + address.byteOffset,
                address.elementCount);
    logMessage(trafficAttribute(slot), "%s Sending S7 data DB%d,%d l=%d",
               itemPrefix(index, slot).text(), dbNumber, byteOffset, count);
    return at + dataItemHeaderSize + address.elementCount;
}

// The room an item may take at position at: what is left of the data section, less a fill byte
// behind an odd item and 4 bytes for each later item, so every later item still gets its
// return code.
std::size_t roomForItem(std::size_t at, std::size_t itemsAfter, std::size_t elementCount) {
    const std::size_t reserved =
        dataItemHeaderSize * itemsAfter + ((itemsAfter > 0 && elementCount % 2 == 1) ? 1 : 0);
    const std::size_t left = dataSectionCapacity - at;
    return reserved <= left ? left - reserved : 0;
}

} // namespace

void handleReadVar(int slot, ByteView pdu) {
    if (!fits(pdu, pduItemCountOffset, 1)) {
        sendRefusal(slot, pdu, functionReadVar);
        return;
    }
    const std::size_t itemCount = readU8(pdu, pduItemCountOffset);
    if (!fits(pdu, pduFirstItemOffset, requestItemSize * itemCount)) {
        sendRefusal(slot, pdu, functionReadVar);
        return;
    }
    std::array<std::uint8_t, largestReplyFrame> frame{};
    const ByteBuffer section = ByteBuffer(frame).subspan(replyHeaderSize);
    std::size_t at = 0;
    for (std::size_t i = 0; i < itemCount; ++i) {
        if (at % 2 == 1) {
            at += 1; // fill byte: every data item starts at an even position
        }
        const ByteView item =
            pdu.subspan(pduFirstItemOffset + requestItemSize * i, requestItemSize);
        const std::size_t room =
            roomForItem(at, itemCount - 1 - i, readU16be(item, itemElementCountOffset));
        at = readItem(item, section, at, room, slot, static_cast<int>(i));
    }
    writeReplyHeader(frame, pdu, readReplyParameterLength, at, functionReadVar,
                     static_cast<std::uint8_t>(itemCount));
    const std::size_t frameLength = replyHeaderSize + at;
    sendDataFrame(slot, frame, frameLength, SendFailureLine::timestamped);
}
