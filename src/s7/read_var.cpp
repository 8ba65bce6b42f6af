#include "s7/read_var.h"

#include "core/log.h"
#include "s7/item_access.h"
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
// The item count is one byte.
constexpr std::size_t classicItemLimit = 255;

void writeFailedItem(ByteBuffer out, std::size_t at, std::uint8_t returnCode) {
    out[at] = returnCode;
    out[at + 1] = transportSizeByte;
    out[at + 2] = 0;
    out[at + 3] = 0;
}

// Writes one data item at position at of the data section and returns the position behind it.
// room is what the item may take while leaving 4 bytes for each item behind it. noted gets the
// item as served: its code, and its bytes in the section.
std::size_t readItem(Plc &plc, const FaultDecision &faults, ByteView item, ByteBuffer section,
                     std::size_t at, std::size_t room, int slot, int index, TrafficItem &noted) {
    const ItemAddress address = decodeItemAddress(item);
    const int dbNumber = static_cast<int>(address.dbNumber);
    const int byteOffset = static_cast<int>(address.byteOffset);
    const int count = static_cast<int>(address.elementCount);
    noted = {MemoryArea::dataBlock,
             static_cast<std::uint16_t>(address.dbNumber),
             static_cast<std::uint32_t>(address.byteOffset),
             -1,
             static_cast<std::uint32_t>(address.elementCount),
             returnSuccess,
             false,
             {},
             true};
    if (const std::uint8_t code = faultItemCode(faults, static_cast<std::size_t>(index));
        code != 0) {
        noted.code = code;
        writeFailedItem(section, at, code);
        logMessage(attributeError, "%s Sending S7 NO IO data DB%d,%d l=%d (fault, code %02X)",
                   slotPrefix(slot).text(), dbNumber, byteOffset, count, code);
        return at + dataItemHeaderSize;
    }
    if (address.dbNumber >= dataBlockCount) {
        noted.code = returnObjectDoesNotExist;
        writeFailedItem(section, at, returnObjectDoesNotExist);
        logMessage(attributeError, "%s Sending S7 NO IO data DB%d,%d l=%d", slotPrefix(slot).text(),
                   dbNumber, byteOffset, count);
        return at + dataItemHeaderSize;
    }
    const std::span<const std::uint8_t> block =
        address.elementCount + dataItemHeaderSize > room
            ? std::span<const std::uint8_t>{}
            : acquireDataBlock(plc.memory.blocks, address.elementCount, address.dbNumber,
                               address.byteOffset);
    if (block.empty()) {
        noted.code = returnAddressOutOfRange;
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
    noted.ok = true;
    noted.data = ByteView(section).subspan(at + dataItemHeaderSize, address.elementCount);
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

// ---------------------------------------------------------------------------------------------
// As a real CPU. The reply: the reply header (function 0x04, item count), then one data item
// per request item:
//
//   +0 return code FF   +1 transport size by element type   +2..3 length (bits or bytes)
//   +4.. the bytes   [fill 00 when the length in bytes is odd and another item follows]
//
// A failed item is exactly EC 00 00 00. The reply is sized before any memory is touched; one
// that would not fit the agreed PDU is refused as a whole.
// A job is at most the largest PDU a profile agrees (larger ones are refused before they get
// here), which holds this many items.
constexpr std::size_t largestItemCount = (largestJoinedPdu - pduFirstItemOffset) / requestItemSize;

struct ReadPlan {
    std::array<ItemPlan, largestItemCount> items;
    std::size_t dataLength; // of the reply's data section
};

std::size_t replyDataBytes(const ItemPlan &plan) {
    return plan.returnCode == returnSuccess ? plan.byteCount : 0;
}

void planReply(Plc &plc, const FaultDecision &faults, ByteView pdu, std::size_t itemCount,
               ReadPlan &plan) {
    std::size_t length = 0;
    for (std::size_t i = 0; i < itemCount; ++i) {
        ItemPlan item = planItem(
            plc.memory, pdu.subspan(pduFirstItemOffset + requestItemSize * i, requestItemSize),
            AccessDirection::read);
        plan.items[i] = item;
        if (const std::uint8_t code = faultItemCode(faults, i); code != 0) {
            plan.items[i].returnCode = code; // nothing of the item is read
            item.returnCode = code;
        }
        length += dataItemHeaderSize + replyDataBytes(item);
        if (i + 1 < itemCount && replyDataBytes(item) % 2 == 1) {
            length += 1;
        }
    }
    plan.dataLength = length;
}

std::span<const std::uint8_t> sourceBytes(Memory &memory, const ItemPlan &plan) {
    if (plan.target == ItemTarget::dataBlock) {
        return acquireDataBlock(memory.blocks, plan.byteCount, plan.dbNumber, plan.byteOffset);
    }
    return processArea(memory.areas, plan.area);
}

// Writes one data item at position at of the data section and returns the position behind it
// (fill byte included). noted gets the item as served.
std::size_t writeReadItem(Memory &memory, ItemPlan plan, ByteView item, ByteBuffer section,
                          std::size_t at, bool last, int slot, int index, TrafficItem &noted) {
    const std::span<const std::uint8_t> source = plan.returnCode == returnSuccess
                                                     ? sourceBytes(memory, plan)
                                                     : std::span<const std::uint8_t>{};
    if (plan.returnCode == returnSuccess && source.empty()) {
        plan.returnCode = returnAddressOutOfRange; // the heap could not grow the block
    }
    const ItemName name = itemName(item);
    const int count = static_cast<int>(readU16be(item, itemElementCountOffset));
    noted = {plan.area,
             static_cast<std::uint16_t>(plan.dbNumber),
             static_cast<std::uint32_t>(plan.byteOffset),
             static_cast<std::int8_t>(plan.bit),
             static_cast<std::uint32_t>(plan.bit >= 0 ? 1 : plan.byteCount),
             plan.returnCode,
             plan.returnCode == returnSuccess,
             {},
             plan.areaKnown};
    if (plan.returnCode != returnSuccess) {
        section[at] = plan.returnCode; // EC 00 00 00
        logMessage(attributeError, "%s Sending S7 NO IO data %s l=%d (code %02X)",
                   itemPrefix(index, slot).text(), name.text(), count, plan.returnCode);
        return at + dataItemHeaderSize;
    }
    section[at] = returnSuccess;
    section[at + 1] = plan.replyTransportSize;
    writeU16be(section, at + 2, dataLengthField(plan.replyTransportSize, plan.byteCount));
    if (plan.bit >= 0) {
        section[at + dataItemHeaderSize] =
            static_cast<std::uint8_t>((source[plan.byteOffset] >> plan.bit) & 1);
    } else {
        std::memcpy(section.data() + at + dataItemHeaderSize, source.data() + plan.byteOffset,
                    plan.byteCount);
    }
    noted.data = ByteView(section).subspan(at + dataItemHeaderSize, plan.byteCount);
    logMessage(trafficAttribute(slot), "%s Sending S7 data %s l=%d", itemPrefix(index, slot).text(),
               name.text(), count);
    const std::size_t behind = at + dataItemHeaderSize + plan.byteCount;
    return behind + (!last && plan.byteCount % 2 == 1 ? 1 : 0);
}

void readVarAsCpu(Plc &plc, int slot, ByteView pdu, const FaultDecision &faults) {
    const std::size_t itemCount = readU8OrZero(pdu, pduItemCountOffset);
    bool wellFormed = itemCount > 0 && itemCount <= largestItemCount &&
                      fits(pdu, pduFirstItemOffset, requestItemSize * itemCount);
    for (std::size_t i = 0; wellFormed && i < itemCount; ++i) {
        wellFormed = isAnyPointerItem(
            pdu.subspan(pduFirstItemOffset + requestItemSize * i, requestItemSize));
    }
    if (!wellFormed) {
        logMessage(attributeError, "%s Refusing Read Var: malformed job", slotPrefix(slot).text());
        sendHeaderError(plc, slot, pdu, errorNotAvailable, faults.rule);
        return;
    }
    // Filled by planReply for the items there are: zeroing every plan would cost every read.
    ReadPlan plan; // NOLINT(cppcoreguidelines-pro-type-member-init)
    planReply(plc, faults, pdu, itemCount, plan);
    const std::size_t replyLength = ackDataHeaderSize + readReplyParameterLength + plan.dataLength;
    const std::size_t limit = negotiatedPduLength(plc, slot);
    if (replyLength > limit || replyHeaderSize + plan.dataLength > largestReplyFrame) {
        logMessage(attributeError, "%s Refusing Read Var: reply of %d bytes exceeds the PDU of %d",
                   slotPrefix(slot).text(), static_cast<int>(replyLength), static_cast<int>(limit));
        sendHeaderError(plc, slot, pdu, errorExceedsPdu, faults.rule);
        return;
    }
    std::array<std::uint8_t, largestReplyFrame> frame{};
    const ByteBuffer section = ByteBuffer(frame).subspan(replyHeaderSize);
    std::array<TrafficItem, largestItemCount> noted{};
    std::size_t at = 0;
    for (std::size_t i = 0; i < itemCount; ++i) {
        const ByteView item =
            pdu.subspan(pduFirstItemOffset + requestItemSize * i, requestItemSize);
        at = writeReadItem(plc.memory, plan.items[i], item, section, at, i + 1 == itemCount, slot,
                           static_cast<int>(i), noted[i]);
    }
    writeReplyHeader(frame, pdu, readReplyParameterLength, at, functionReadVar,
                     static_cast<std::uint8_t>(itemCount));
    recordSlotExchange(plc, slot, TrafficProtocol::s7, TrafficOperation::read, faults.rule, 0,
                       std::span(noted).first(itemCount));
    sendDataFrame(plc.connections, slot, frame, replyHeaderSize + at, SendFailureLine::timestamped);
}

} // namespace

void handleReadVar(Plc &plc, int slot, ByteView pdu, const FaultDecision &faults) {
    if (answersAsCpu(plc.cpu)) {
        readVarAsCpu(plc, slot, pdu, faults);
        return;
    }
    if (!fits(pdu, pduItemCountOffset, 1)) {
        sendRefusal(plc, slot, pdu, functionReadVar);
        return;
    }
    const std::size_t itemCount = readU8(pdu, pduItemCountOffset);
    if (!fits(pdu, pduFirstItemOffset, requestItemSize * itemCount)) {
        sendRefusal(plc, slot, pdu, functionReadVar);
        return;
    }
    std::array<std::uint8_t, largestReplyFrame> frame{};
    const ByteBuffer section = ByteBuffer(frame).subspan(replyHeaderSize);
    std::array<TrafficItem, classicItemLimit> noted{};
    std::size_t at = 0;
    for (std::size_t i = 0; i < itemCount; ++i) {
        if (at % 2 == 1) {
            at += 1; // fill byte: every data item starts at an even position
        }
        const ByteView item =
            pdu.subspan(pduFirstItemOffset + requestItemSize * i, requestItemSize);
        const std::size_t room =
            roomForItem(at, itemCount - 1 - i, readU16be(item, itemElementCountOffset));
        at = readItem(plc, faults, item, section, at, room, slot, static_cast<int>(i), noted[i]);
    }
    writeReplyHeader(frame, pdu, readReplyParameterLength, at, functionReadVar,
                     static_cast<std::uint8_t>(itemCount));
    recordSlotExchange(plc, slot, TrafficProtocol::s7, TrafficOperation::read, faults.rule, 0,
                       std::span(noted).first(itemCount));
    const std::size_t frameLength = replyHeaderSize + at;
    sendDataFrame(plc.connections, slot, frame, frameLength, SendFailureLine::timestamped);
}
