#include "s7/write_var.h"

#include "core/connection_table.h"
#include "core/log.h"
#include "memory/data_block_table.h"
#include "s7/s7_pdu.h"

#include <algorithm>
#include <array>
#include <cstring>

namespace {

constexpr std::size_t writeReplyParameterLength = 2;
constexpr std::size_t largestItemCount = 255;

// The reply: the reply header (function 0x05, item count), then one return code byte per item.

// The bytes a data item carries, by its transport size: a bit travels in one whole byte; reals
// and octet strings count bytes; the others count bits.
std::size_t dataItemByteLength(std::uint8_t transportSize, std::size_t length) {
    if (transportSize == transportSizeBit) {
        return (length + 7) / 8;
    }
    if (transportSize == transportSizeReal || transportSize == transportSizeOctetString) {
        return length;
    }
    return length >> 3;
}

std::uint8_t writeItem(ByteView item, ByteView dataItem, int slot, int index) {
    const ItemAddress address = decodeItemAddress(item);
    const std::uint8_t transportSize = readU8(dataItem, dataItemTransportSizeOffset);
    const std::size_t byteLength =
        dataItemByteLength(transportSize, readU16be(dataItem, dataItemLengthOffset));
    const int dbNumber = static_cast<int>(address.dbNumber);
    const int byteOffset = static_cast<int>(address.byteOffset);
    const int count = static_cast<int>(address.elementCount);
    const int dataLength = static_cast<int>(byteLength);
    if (address.dbNumber >= dataBlockCount) {
        logMessage(attributeError, "%s Receiving S7 NO IO data DB%d,%d l=%d",
                   itemPrefix(index, slot).text(), dbNumber, byteOffset, count);
        return returnObjectDoesNotExist;
    }
    if (transportSize != transportSizeByte || byteLength == 0) {
        logMessage(attributeError, "%s Receiving S7 Bad Write data DB%d,%d l=%d dl=%d",
                   itemPrefix(index, slot).text(), dbNumber, byteOffset, count, dataLength);
        return returnDataTypeNotSupported;
    }
    const std::span<std::uint8_t> block =
        acquireDataBlock(byteLength, address.dbNumber, address.byteOffset);
    if (block.empty()) {
        logMessage(attributeError, "%s Receiving S7 Bad Write data DB%d,%d l=%d dl=%d too big !!!",
                   itemPrefix(index, slot).text(), dbNumber, byteOffset, count, dataLength);
        return returnAddressOutOfRange;
    }
    std::memcpy(block.data() + address.byteOffset, dataItem.data() + dataItemHeaderSize,
                byteLength);
    logMessage(writeAttribute(slot), "%s Receiving write S7 data DB%d,%d l=%d",
               itemPrefix(index, slot).text(), dbNumber, byteOffset, count);
    return returnSuccess;
}

// Finds every data item and checks that it lies inside the data the job declares, before
// anything is stored. Returns false when one runs past it.
bool locateDataItems(ByteView declared, std::size_t dataStart, std::size_t itemCount,
                     std::array<std::size_t, largestItemCount> &starts) {
    std::size_t at = dataStart;
    for (std::size_t i = 0; i < itemCount; ++i) {
        if (!fits(declared, at, dataItemHeaderSize)) {
            return false;
        }
        const std::size_t byteLength =
            dataItemByteLength(readU8(declared, at + dataItemTransportSizeOffset),
                               readU16be(declared, at + dataItemLengthOffset));
        if (!fits(declared, at + dataItemHeaderSize, byteLength)) {
            return false;
        }
        starts[i] = at;
        // An odd item is followed by a fill byte; behind the last item it may be left out.
        at += dataItemHeaderSize + byteLength + byteLength % 2;
    }
    return true;
}

} // namespace

void handleWriteVar(int slot, ByteView pdu, int s7Length) {
    if (!fits(pdu, pduItemCountOffset, 1) || readU8(pdu, pduItemCountOffset) == 0) {
        sendRefusal(slot, pdu, functionWriteVar);
        return;
    }
    const std::size_t itemCount = readU8(pdu, pduItemCountOffset);
    const std::size_t parameterLength = readU16be(pdu, pduParameterLengthOffset);
    const std::size_t declaredLength =
        pduHeaderSize + parameterLength + readU16be(pdu, pduDataLengthOffset);
    std::array<std::size_t, largestItemCount> dataItemStarts{};
    if (static_cast<int>(declaredLength) != s7Length ||
        !fits(pdu, pduFirstItemOffset, requestItemSize * itemCount) ||
        !locateDataItems(pdu.first(std::min(pdu.size(), declaredLength)),
                         pduHeaderSize + parameterLength, itemCount, dataItemStarts)) {
        sendRefusal(slot, pdu, functionWriteVar);
        return;
    }
    std::array<std::uint8_t, largestReplyFrame> frame{};
    writeReplyHeader(frame, pdu, writeReplyParameterLength, itemCount, functionWriteVar,
                     static_cast<std::uint8_t>(itemCount));
    for (std::size_t i = 0; i < itemCount; ++i) {
        const ByteView item =
            pdu.subspan(pduFirstItemOffset + requestItemSize * i, requestItemSize);
        frame[replyHeaderSize + i] =
            writeItem(item, pdu.subspan(dataItemStarts[i]), slot, static_cast<int>(i));
    }
    const std::size_t frameLength = replyHeaderSize + itemCount;
    sendDataFrame(slot, frame, frameLength, SendFailureLine::plain);
}
