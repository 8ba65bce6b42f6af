#include "s7/item_access.h"

#include "base/text.h"
#include "s7/s7_pdu.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <cstring>
#include <string_view>

namespace {

// A request item (S7ANY), 12 bytes:
//
//   0 0x12  1 0x0A  2 syntax 0x10  3 transport size  4..5 element count  6..7 DB number
//   8 area  9..11 address: byte << 3 | bit, or the element number of a timer or counter
constexpr std::size_t itemSpecTypeOffset = 0;
constexpr std::size_t itemSpecLengthOffset = 1;
constexpr std::size_t itemSyntaxOffset = 2;
constexpr std::size_t itemTransportSizeOffset = 3;
constexpr std::size_t itemAreaOffset = 8;
constexpr std::uint8_t variableSpecification = 0x12;
constexpr std::uint8_t anyPointerLength = 0x0A;
constexpr std::uint8_t syntaxAnyPointer = 0x10;

constexpr std::uint8_t requestBit = 0x01;
constexpr std::uint8_t requestCounter = 0x1C;
constexpr std::uint8_t requestTimer = 0x1D;

constexpr std::uint8_t areaPeriphery = 0x80;
constexpr std::uint8_t areaInputs = 0x81;
constexpr std::uint8_t areaOutputs = 0x82;
constexpr std::uint8_t areaFlags = 0x83;
constexpr std::uint8_t areaDataBlock = 0x84;
constexpr std::uint8_t areaInstanceDataBlock = 0x85;
constexpr std::uint8_t areaCounters = 0x1C;
constexpr std::uint8_t areaTimers = 0x1D;

// clang-format off
constexpr std::array<ElementType, 10> elementTypes = {{
    // request TS             bytes  reply TS
    {requestBit,              1,     transportSizeBit},
    {0x02 /* BYTE */,         1,     transportSizeByte},
    {0x03 /* CHAR */,         1,     transportSizeOctetString},
    {0x04 /* WORD */,         2,     transportSizeByte},
    {0x05 /* INT */,          2,     transportSizeInteger},
    {0x06 /* DWORD */,        4,     transportSizeByte},
    {0x07 /* DINT */,         4,     transportSizeInteger},
    {0x08 /* REAL */,         4,     transportSizeReal},
    {requestCounter,          2,     transportSizeOctetString},
    {requestTimer,            2,     transportSizeOctetString},
}};
// clang-format on

bool countsBits(std::uint8_t dataTransportSize) {
    return dataTransportSize == transportSizeBit || dataTransportSize == transportSizeByte ||
           dataTransportSize == transportSizeInteger;
}

std::size_t readAddress(ByteView item) {
    return readU24be(item, itemAddressOffset);
}

struct AreaChoice {
    bool known;
    ItemTarget target;
    MemoryArea area;
};

AreaChoice chooseArea(std::uint8_t code, AccessDirection direction) {
    switch (code) {
    case areaPeriphery:
        return {true, ItemTarget::processArea,
                direction == AccessDirection::read ? MemoryArea::inputs : MemoryArea::outputs};
    case areaInputs:
        return {true, ItemTarget::processArea, MemoryArea::inputs};
    case areaOutputs:
        return {true, ItemTarget::processArea, MemoryArea::outputs};
    case areaFlags:
        return {true, ItemTarget::processArea, MemoryArea::flags};
    case areaTimers:
        return {true, ItemTarget::processArea, MemoryArea::timers};
    case areaCounters:
        return {true, ItemTarget::processArea, MemoryArea::counters};
    case areaDataBlock:
    case areaInstanceDataBlock:
        return {true, ItemTarget::dataBlock, MemoryArea::dataBlock};
    default:
        return {false, ItemTarget::none, MemoryArea::inputs};
    }
}

bool isTimerOrCounterType(std::uint8_t transportSize) {
    return transportSize == requestTimer || transportSize == requestCounter;
}

// Timers answer only to the timer type and counters only to the counter type; the other areas
// to neither. A real S7-300 answers 05 to a timer read as bytes.
bool typeFitsArea(std::uint8_t transportSize, std::uint8_t areaCode) {
    if (areaCode == areaTimers) {
        return transportSize == requestTimer;
    }
    if (areaCode == areaCounters) {
        return transportSize == requestCounter;
    }
    return !isTimerOrCounterType(transportSize);
}

const char *itemAreaLetter(std::uint8_t code) {
    switch (code) {
    case areaPeriphery:
        return "P";
    case areaInputs:
        return "I";
    case areaOutputs:
        return "Q";
    default:
        return "M";
    }
}

// Writes an item's name without printf: a name is made for every item of every job, and one
// snprintf costs more instructions than the rest of the item's planning.
class NameBuilder {
public:
    NameBuilder(char *at, char *end) : at_(at), end_(end) {}

    void text(std::string_view part) {
        const std::size_t count = std::min(part.size(), static_cast<std::size_t>(end_ - at_));
        std::memcpy(at_, part.data(), count);
        at_ += count;
    }

    void number(std::size_t value) { at_ = std::to_chars(at_, end_, value).ptr; }

    void hexByte(std::uint8_t value) {
        const std::array<char, 2> pair = hexDigits(value);
        text({pair.data(), pair.size()});
    }

private:
    char *at_;
    char *end_; // one before the terminating NUL
};

} // namespace

const ElementType *findElementType(std::uint8_t requestTransportSize) {
    for (const ElementType &type : elementTypes) {
        if (type.requestTransportSize == requestTransportSize) {
            return &type;
        }
    }
    return nullptr;
}

std::size_t dataLengthField(std::uint8_t dataTransportSize, std::size_t byteCount) {
    if (dataTransportSize == transportSizeBit) {
        return 1;
    }
    return countsBits(dataTransportSize) ? byteCount * 8 : byteCount;
}

std::size_t dataItemBytes(std::uint8_t dataTransportSize, std::size_t lengthField) {
    return countsBits(dataTransportSize) ? (lengthField + 7) / 8 : lengthField;
}

bool isAnyPointerItem(ByteView item) {
    return fits(item, 0, requestItemSize) &&
           readU8(item, itemSpecTypeOffset) == variableSpecification &&
           readU8(item, itemSpecLengthOffset) == anyPointerLength &&
           readU8(item, itemSyntaxOffset) == syntaxAnyPointer;
}

ItemPlan planItem(Memory &memory, ByteView item, AccessDirection direction) {
    const std::uint8_t transportSize = readU8(item, itemTransportSizeOffset);
    const std::uint8_t areaCode = readU8(item, itemAreaOffset);
    const std::size_t count = readU16be(item, itemElementCountOffset);
    const std::size_t dbNumber = readU16be(item, itemDbNumberOffset);
    const std::size_t address = readAddress(item);
    const ElementType *type = findElementType(transportSize);
    const AreaChoice choice = chooseArea(areaCode, direction);
    // A refused item keeps what it addressed (for the traffic record) with no target.
    ItemPlan plan{returnSuccess,
                  type != nullptr ? type->replyTransportSize : std::uint8_t{0},
                  ItemTarget::none,
                  choice.area,
                  dbNumber,
                  address >> 3,
                  count * (type != nullptr ? type->bytesPerElement : 1),
                  -1,
                  choice.known};
    if (transportSize == requestBit) {
        plan.bit = static_cast<int>(address & 7);
    } else if (isTimerOrCounterType(transportSize)) {
        plan.byteOffset = address * timerCounterElementBytes; // the address is the element
    }
    const auto refuse = [&plan](std::uint8_t returnCode) {
        plan.returnCode = returnCode;
        return plan;
    };
    if (type == nullptr) {
        return refuse(returnTypeNotSupported);
    }
    if (!choice.known) {
        return refuse(returnObjectDoesNotExist);
    }
    const std::span<const std::uint8_t> areaBytes = choice.target == ItemTarget::processArea
                                                        ? processArea(memory.areas, choice.area)
                                                        : std::span<const std::uint8_t>{};
    if (choice.target == ItemTarget::processArea && areaBytes.empty()) {
        return refuse(returnObjectDoesNotExist); // the CPU has no such area (S7-1200 timers)
    }
    // DB0 never exists; with the declared blocks fixed, neither does any block not declared.
    if (choice.target == ItemTarget::dataBlock &&
        (dbNumber == 0 || !dataBlockServed(memory.blocks, dbNumber))) {
        return refuse(returnObjectDoesNotExist);
    }
    if (!typeFitsArea(transportSize, areaCode)) {
        return refuse(returnAddressOutOfRange);
    }
    if (transportSize == requestBit && count != 1) {
        return refuse(returnTypeInconsistent); // a bit item addresses exactly one bit
    }
    const bool inRange =
        choice.target == ItemTarget::dataBlock
            ? dataBlockRangeServed(memory.blocks, dbNumber, plan.byteCount, plan.byteOffset)
            : plan.byteOffset <= areaBytes.size() &&
                  plan.byteCount <= areaBytes.size() - plan.byteOffset;
    if (!inRange) {
        return refuse(returnAddressOutOfRange);
    }
    plan.target = choice.target;
    return plan;
}

std::uint8_t checkWriteData(const ItemPlan &plan, std::uint8_t dataTransportSize,
                            std::size_t lengthField) {
    if (plan.bit >= 0) {
        return dataTransportSize == transportSizeBit && lengthField == 1 ? returnSuccess
                                                                         : returnTypeInconsistent;
    }
    switch (dataTransportSize) {
    case transportSizeBit:
        return returnTypeInconsistent; // a bit of data for an item of whole elements
    case transportSizeByte:
    case transportSizeInteger:
        return lengthField == plan.byteCount * 8 ? returnSuccess : returnTypeInconsistent;
    case transportSizeReal:
    case transportSizeOctetString:
        return lengthField == plan.byteCount ? returnSuccess : returnTypeInconsistent;
    default:
        return returnTypeNotSupported;
    }
}

ItemName itemName(ByteView item) {
    ItemName name{};
    NameBuilder out{name.characters.data(), name.characters.data() + name.characters.size() - 1};
    const std::size_t dbNumber = readU16be(item, itemDbNumberOffset);
    const std::uint8_t code = readU8(item, itemAreaOffset);
    const std::size_t address = readAddress(item);
    const std::size_t byteOffset = address >> 3;
    switch (code) {
    case areaTimers:
    case areaCounters:
        out.text(code == areaTimers ? "T" : "C");
        out.number(address); // the element number
        return name;
    case areaDataBlock:
    case areaInstanceDataBlock:
        out.text(code == areaDataBlock ? "DB" : "DI");
        out.number(dbNumber);
        out.text(",");
        break;
    case areaPeriphery:
    case areaInputs:
    case areaOutputs:
    case areaFlags:
        out.text(itemAreaLetter(code));
        break;
    default:
        out.text("area 0x");
        out.hexByte(code);
        out.text(",");
        out.number(byteOffset);
        return name;
    }
    out.number(byteOffset);
    if (readU8(item, itemTransportSizeOffset) == requestBit) {
        out.text(".");
        out.number(address & 7);
    }
    return name;
}

FaultItem faultItemOf(ByteView item) {
    if (!fits(item, 0, requestItemSize)) {
        return {std::nullopt, 0, 0, 0};
    }
    const std::uint8_t transportSize = readU8(item, itemTransportSizeOffset);
    const std::size_t count = readU16be(item, itemElementCountOffset);
    const std::size_t address = readAddress(item);
    const ElementType *type = findElementType(transportSize);
    const std::size_t width = type != nullptr ? type->bytesPerElement : 1;
    FaultItem span{std::nullopt, 0, static_cast<std::uint32_t>(address >> 3),
                   static_cast<std::uint32_t>((address >> 3) + count * width)};
    switch (readU8(item, itemAreaOffset)) {
    case areaInputs:
        span.area = MemoryArea::inputs;
        break;
    case areaOutputs:
        span.area = MemoryArea::outputs;
        break;
    case areaFlags:
        span.area = MemoryArea::flags;
        break;
    case areaDataBlock:
    case areaInstanceDataBlock:
        span.area = MemoryArea::dataBlock;
        span.dbNumber = readU16be(item, itemDbNumberOffset);
        break;
    case areaTimers:
    case areaCounters:
        // Timers and counters are addressed by element number.
        span.area =
            readU8(item, itemAreaOffset) == areaTimers ? MemoryArea::timers : MemoryArea::counters;
        span.start = static_cast<std::uint32_t>(address);
        span.end = static_cast<std::uint32_t>(address + count);
        break;
    default:
        break;
    }
    return span;
}
