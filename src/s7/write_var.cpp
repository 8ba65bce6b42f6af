#include "s7/write_var.h"

#include "core/log.h"
#include "s7/item_access.h"
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

std::uint8_t writeItem(Plc &plc, const FaultDecision &faults, ByteView item, ByteView dataItem,
                       int slot, int index, TrafficItem &noted) {
    const ItemAddress address = decodeItemAddress(item);
    const std::uint8_t transportSize = readU8(dataItem, dataItemTransportSizeOffset);
    const std::size_t byteLength =
        dataItemByteLength(transportSize, readU16be(dataItem, dataItemLengthOffset));
    noted = {MemoryArea::dataBlock,
             static_cast<std::uint16_t>(address.dbNumber),
             static_cast<std::uint32_t>(address.byteOffset),
             -1,
             static_cast<std::uint32_t>(byteLength),
             returnSuccess,
             false,
             {},
             true};
    const int dbNumber = static_cast<int>(address.dbNumber);
    const int byteOffset = static_cast<int>(address.byteOffset);
    const int count = static_cast<int>(address.elementCount);
    const int dataLength = static_cast<int>(byteLength);
    if (const std::uint8_t code = faultItemCode(faults, static_cast<std::size_t>(index));
        code != 0) {
        logMessage(attributeError, "%s Receiving S7 NO IO data DB%d,%d l=%d (fault, code %02X)",
                   itemPrefix(index, slot).text(), dbNumber, byteOffset, count, code);
        return code;
    }
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
        acquireDataBlock(plc.memory.blocks, byteLength, address.dbNumber, address.byteOffset);
    if (block.empty()) {
        logMessage(attributeError, "%s Receiving S7 Bad Write data DB%d,%d l=%d dl=%d too big !!!",
                   itemPrefix(index, slot).text(), dbNumber, byteOffset, count, dataLength);
        return returnAddressOutOfRange;
    }
    std::memcpy(block.data() + address.byteOffset, dataItem.data() + dataItemHeaderSize,
                byteLength);
    markClientWrite(plc.memory, MemoryArea::dataBlock, address.dbNumber, address.byteOffset,
                    byteLength);
    noted.ok = true;
    noted.data = dataItem.subspan(dataItemHeaderSize, byteLength);
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

// ---------------------------------------------------------------------------------------------
// As a real CPU. The job's data section holds one data item per request item:
//
//   +0 reserved 00   +1 transport size   +2..3 length (bits or bytes)   +4.. the bytes
//   [fill byte when the bytes are odd and another item follows]
//
// The items must fill the data section exactly: a client that leaves out a fill byte between
// items gets the whole job refused, as from a real CPU; one fill byte behind an odd last item is
// tolerated. The data section is checked as a whole before anything is stored.

// Finds every data item inside data; false when they do not add up to its length.
bool locateCpuDataItems(ByteView data, std::size_t itemCount,
                        std::array<std::size_t, largestItemCount> &starts) {
    std::size_t at = 0;
    bool lastOdd = false;
    for (std::size_t i = 0; i < itemCount; ++i) {
        if (!fits(data, at, dataItemHeaderSize)) {
            return false;
        }
        const std::size_t byteLength = dataItemBytes(readU8(data, at + dataItemTransportSizeOffset),
                                                     readU16be(data, at + dataItemLengthOffset));
        if (!fits(data, at + dataItemHeaderSize, byteLength)) {
            return false;
        }
        starts[i] = at;
        at += dataItemHeaderSize + byteLength;
        lastOdd = byteLength % 2 == 1;
        if (i + 1 < itemCount && lastOdd) {
            at += 1; // the fill byte in front of the next item
        }
    }
    return at == data.size() || (lastOdd && at + 1 == data.size());
}

std::span<std::uint8_t> targetBytes(Memory &memory, const ItemPlan &plan) {
    if (plan.target == ItemTarget::dataBlock) {
        return acquireDataBlock(memory.blocks, plan.byteCount, plan.dbNumber, plan.byteOffset);
    }
    return processArea(memory.areas, plan.area);
}

void markTargetChanged(Memory &memory, const ItemPlan &plan) {
    const bool dataBlock = plan.target == ItemTarget::dataBlock;
    markClientWrite(memory, dataBlock ? MemoryArea::dataBlock : plan.area,
                    dataBlock ? plan.dbNumber : 0, plan.byteOffset,
                    plan.bit >= 0 ? 1 : plan.byteCount);
}

// Stores one item whose request and data agree; returns its return code.
std::uint8_t storeItem(Memory &memory, const ItemPlan &plan, ByteView dataItem) {
    const std::span<std::uint8_t> target = targetBytes(memory, plan);
    if (target.empty()) {
        return returnAddressOutOfRange; // the heap could not grow the block
    }
    const std::uint8_t *bytes = dataItem.data() + dataItemHeaderSize;
    if (plan.bit >= 0) {
        // A bit item sets or clears that one bit; its neighbours keep their values.
        const auto mask = static_cast<std::uint8_t>(1u << plan.bit);
        std::uint8_t &byte = target[plan.byteOffset];
        byte = (bytes[0] & 1) != 0 ? static_cast<std::uint8_t>(byte | mask)
                                   : static_cast<std::uint8_t>(byte & ~mask);
        markTargetChanged(memory, plan);
        return returnSuccess;
    }
    std::memcpy(target.data() + plan.byteOffset, bytes, plan.byteCount);
    markTargetChanged(memory, plan);
    return returnSuccess;
}

void writeVarAsCpu(Plc &plc, int slot, ByteView pdu, const FaultDecision &faults) {
    const std::size_t itemCount = readU8OrZero(pdu, pduItemCountOffset);
    const std::size_t parameterLength = readU16be(pdu, pduParameterLengthOffset);
    const std::size_t dataStart = pduHeaderSize + parameterLength;
    const std::size_t dataLength = readU16be(pdu, pduDataLengthOffset);
    bool wellFormed = itemCount > 0 && parameterLength == 2 + requestItemSize * itemCount &&
                      dataStart + dataLength == pdu.size();
    for (std::size_t i = 0; wellFormed && i < itemCount; ++i) {
        wellFormed = isAnyPointerItem(
            pdu.subspan(pduFirstItemOffset + requestItemSize * i, requestItemSize));
    }
    if (!wellFormed) {
        logMessage(attributeError, "%s Refusing Write Var: malformed job", slotPrefix(slot).text());
        sendHeaderError(plc, slot, pdu, errorNotAvailable, faults.rule);
        return;
    }
    const ByteView data = pdu.subspan(dataStart, dataLength);
    std::array<std::size_t, largestItemCount> dataItemStarts{};
    if (!locateCpuDataItems(data, itemCount, dataItemStarts)) {
        logMessage(attributeError, "%s Refusing Write Var: data items do not add up to %d bytes",
                   slotPrefix(slot).text(), static_cast<int>(dataLength));
        sendHeaderError(plc, slot, pdu, errorNotAvailable, faults.rule);
        return;
    }
    std::array<std::uint8_t, largestReplyFrame> frame{};
    writeReplyHeader(frame, pdu, writeReplyParameterLength, itemCount, functionWriteVar,
                     static_cast<std::uint8_t>(itemCount));
    std::array<TrafficItem, largestItemCount> noted{};
    for (std::size_t i = 0; i < itemCount; ++i) {
        const ByteView item =
            pdu.subspan(pduFirstItemOffset + requestItemSize * i, requestItemSize);
        const ByteView dataItem = data.subspan(dataItemStarts[i]);
        const ItemPlan plan = planItem(plc.memory, item, AccessDirection::write);
        std::uint8_t code = plan.returnCode;
        if (const std::uint8_t faultCode = faultItemCode(faults, i); faultCode != 0) {
            code = faultCode; // nothing of the item is stored
        }
        if (code == returnSuccess) {
            code = checkWriteData(plan, readU8(dataItem, dataItemTransportSizeOffset),
                                  readU16be(dataItem, dataItemLengthOffset));
        }
        if (code == returnSuccess) {
            code = storeItem(plc.memory, plan, dataItem);
        }
        frame[replyHeaderSize + i] = code;
        const std::size_t noteSize = plan.bit >= 0 ? 1 : plan.byteCount;
        noted[i] = {plan.area,
                    static_cast<std::uint16_t>(plan.dbNumber),
                    static_cast<std::uint32_t>(plan.byteOffset),
                    static_cast<std::int8_t>(plan.bit),
                    static_cast<std::uint32_t>(noteSize),
                    code,
                    code == returnSuccess,
                    code == returnSuccess ? dataItem.subspan(dataItemHeaderSize, noteSize)
                                          : ByteView{},
                    plan.areaKnown};
        const ItemName name = itemName(item);
        const int count = readU16be(item, itemElementCountOffset);
        if (code == returnSuccess) {
            logMessage(writeAttribute(slot), "%s Receiving write S7 data %s l=%d",
                       itemPrefix(static_cast<int>(i), slot).text(), name.text(), count);
        } else {
            logMessage(attributeError, "%s Receiving S7 NO IO data %s l=%d (code %02X)",
                       itemPrefix(static_cast<int>(i), slot).text(), name.text(), count, code);
        }
    }
    recordSlotExchange(plc, slot, TrafficProtocol::s7, TrafficOperation::write, faults.rule, 0,
                       std::span(noted).first(itemCount));
    sendDataFrame(plc.connections, slot, frame, replyHeaderSize + itemCount,
                  SendFailureLine::plain);
}

} // namespace

void handleWriteVar(Plc &plc, int slot, ByteView pdu, int s7Length, const FaultDecision &faults) {
    if (answersAsCpu(plc.cpu)) {
        writeVarAsCpu(plc, slot, pdu, faults);
        return;
    }
    if (!fits(pdu, pduItemCountOffset, 1) || readU8(pdu, pduItemCountOffset) == 0) {
        sendRefusal(plc, slot, pdu, functionWriteVar);
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
        sendRefusal(plc, slot, pdu, functionWriteVar);
        return;
    }
    std::array<std::uint8_t, largestReplyFrame> frame{};
    writeReplyHeader(frame, pdu, writeReplyParameterLength, itemCount, functionWriteVar,
                     static_cast<std::uint8_t>(itemCount));
    std::array<TrafficItem, largestItemCount> noted{};
    for (std::size_t i = 0; i < itemCount; ++i) {
        const ByteView item =
            pdu.subspan(pduFirstItemOffset + requestItemSize * i, requestItemSize);
        frame[replyHeaderSize + i] = writeItem(plc, faults, item, pdu.subspan(dataItemStarts[i]),
                                               slot, static_cast<int>(i), noted[i]);
        noted[i].code = frame[replyHeaderSize + i];
    }
    recordSlotExchange(plc, slot, TrafficProtocol::s7, TrafficOperation::write, faults.rule, 0,
                       std::span(noted).first(itemCount));
    const std::size_t frameLength = replyHeaderSize + itemCount;
    sendDataFrame(plc.connections, slot, frame, frameLength, SendFailureLine::plain);
}
