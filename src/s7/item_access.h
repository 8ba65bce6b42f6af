// What a Read Var or Write Var item addresses when the server answers as a real CPU: the element
// type of the request, the area behind the area code, and the bytes the item covers. Deciding
// this touches no memory, so a job's reply size is known before anything is read or written.
#pragma once

#include "base/bytes.h"
#include "core/fault_rules.h"
#include "memory/memory.h"

#include <array>
#include <cstddef>
#include <cstdint>

// Timers and counters hold one 16-bit word per element.
inline constexpr std::size_t timerCounterElementBytes = 2;

// A request item's element type: how many bytes one element takes and the transport size its
// data goes back with.
struct ElementType {
    std::uint8_t requestTransportSize;
    std::uint8_t bytesPerElement;
    std::uint8_t replyTransportSize;
};

// The type for a request transport size, or nullptr for one the CPU does not serve (dates,
// times and the like).
const ElementType *findElementType(std::uint8_t requestTransportSize);

// A data item's length field for byteCount bytes: bits for transport sizes 0x04 and 0x05, one
// for a bit (0x03), bytes for the others.
std::size_t dataLengthField(std::uint8_t dataTransportSize, std::size_t byteCount);

// The bytes a data item carries, from its transport size and length field: bits rounded up to
// whole bytes for 0x03, 0x04 and 0x05, bytes for the others.
std::size_t dataItemBytes(std::uint8_t dataTransportSize, std::size_t lengthField);

// True when the 12 bytes are an S7ANY item (12 0A 10 ...), the only address form served.
bool isAnyPointerItem(ByteView item);

enum class AccessDirection { read, write };

enum class ItemTarget { none, processArea, dataBlock };

// One item, decided: the return code it gets, and on success where its bytes lie (a refused item
// has no target, but still names the area, block and bytes it asked for).
struct ItemPlan {
    std::uint8_t returnCode;         // returnSuccess or the item's error code
    std::uint8_t replyTransportSize; // of the data going back (Read Var)
    ItemTarget target;
    MemoryArea area;
    std::size_t dbNumber;
    std::size_t byteOffset;
    std::size_t byteCount;
    int bit;        // 0-7 for a single bit, -1 otherwise
    bool areaKnown; // false: an area code the CPU does not know
};

// Decides one S7ANY item against the memory's blocks and areas. Periphery is read from the inputs
// and written to the outputs.
ItemPlan planItem(Memory &memory, ByteView item, AccessDirection direction);

// The return code for a Write Var data item against its request item's plan: success when the
// transport size and length carry exactly the item's bytes (one bit for a bit item).
std::uint8_t checkWriteData(const ItemPlan &plan, std::uint8_t dataTransportSize,
                            std::size_t lengthField);

// The item's address for the log, in the style of the classic lines: "DB10,8", "DI10,8", "M8",
// "I8", "Q8", "P8", a bit as "M8.3" or "DB10,8.3", a timer or counter by number ("T5", "C5"),
// and "area 0x86,8" for an area the CPU does not know.
struct ItemName {
    std::array<char, 32> characters;
    const char *text() const { return characters.data(); }
};
ItemName itemName(ByteView item);

// What the fault rules see of an item: its area and the bytes (timers and counters: elements)
// it covers. Periphery and unknown areas can be named by no rule's area.
FaultItem faultItemOf(ByteView item);
