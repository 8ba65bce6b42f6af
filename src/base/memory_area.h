// The areas of a controller's memory, one list for every part that names them: the address
// notation (I, Q, M, T, C, DB), the fault rules, the memory image files, the HTTP API and the
// areas themselves.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string_view>

// The five areas of fixed size first, in the order they are kept and saved, then the data blocks.
enum class MemoryArea : std::uint8_t { inputs, outputs, flags, timers, counters, dataBlock };

// The areas before dataBlock: each one block of bytes sized at start-up.
inline constexpr std::size_t fixedAreaCount = 5;
inline constexpr std::array<MemoryArea, fixedAreaCount> fixedAreas = {
    MemoryArea::inputs, MemoryArea::outputs, MemoryArea::flags, MemoryArea::timers,
    MemoryArea::counters};

inline constexpr std::size_t areaIndex(MemoryArea area) {
    return static_cast<std::size_t>(area);
}

// Timers and counters are addressed by element, two bytes each; the others by byte.
inline constexpr bool countsElements(MemoryArea area) {
    return area == MemoryArea::timers || area == MemoryArea::counters;
}

struct AreaNames {
    std::string_view letter; // as the address notation and the fault rules write it: "I", "DB"
    std::string_view word;   // as files and messages name it: "inputs"
};

// clang-format off
inline constexpr std::array<AreaNames, 6> areaNames = {{
    {"I",  "inputs"},
    {"Q",  "outputs"},
    {"M",  "flags"},
    {"T",  "timers"},
    {"C",  "counters"},
    {"DB", "data block"},
}};
// clang-format on

inline constexpr std::string_view areaLetter(MemoryArea area) {
    return areaNames[areaIndex(area)].letter;
}

inline constexpr std::string_view areaWord(MemoryArea area) {
    return areaNames[areaIndex(area)].word;
}
