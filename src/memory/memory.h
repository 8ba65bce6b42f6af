// Everything a PLC's clients read and write: its data blocks and its fixed areas. A value of its
// own, so each PLC in a process has one and a test can make a fresh one.
#pragma once

#include "base/memory_area.h"
#include "memory/data_block_table.h"
#include "memory/process_image.h"

#include <cstddef>
#include <cstdint>
#include <vector>

// The byte ranges clients (S7, S5, the HTTP API) wrote since the PLC's program last looked, so
// it can call the handlers it has for them. Noted only while the program asks for it: a PLC
// without write handlers pays one test per write.
struct WrittenRange {
    MemoryArea area;
    std::uint16_t dbNumber; // data blocks only
    std::uint32_t start;    // the first byte in the block or area (timers, counters: element * 2)
    std::uint32_t count;
};

// More ranges than this between two looks are not kept one by one: the program then takes every
// one of its tags as written.
inline constexpr std::size_t clientWriteNoteLimit = 256;

struct ClientWrites {
    bool wanted = false;
    bool overflowed = false;
    std::vector<WrittenRange> ranges;
};

struct Memory {
    DataBlockTable blocks;
    ProcessImage areas;
    ClientWrites clientWrites;
};

inline void noteClientWrite(Memory &memory, MemoryArea area, std::size_t dbNumber,
                            std::size_t start, std::size_t count) {
    ClientWrites &writes = memory.clientWrites;
    if (!writes.wanted) {
        return;
    }
    if (writes.ranges.size() >= clientWriteNoteLimit) {
        writes.overflowed = true;
        return;
    }
    writes.ranges.push_back({area, static_cast<std::uint16_t>(dbNumber),
                             static_cast<std::uint32_t>(start), static_cast<std::uint32_t>(count)});
}

// Marks the block (area dataBlock) or the area as changed, for the retained memory.
inline void markMemoryChanged(Memory &memory, MemoryArea area, std::size_t dbNumber) {
    if (area == MemoryArea::dataBlock) {
        markDataBlockChanged(memory.blocks, dbNumber);
    } else {
        markProcessAreaChanged(memory.areas, area);
    }
}

// What every client write does once it has stored its bytes: marks them changed and notes them
// for the program's write handlers.
inline void markClientWrite(Memory &memory, MemoryArea area, std::size_t dbNumber,
                            std::size_t start, std::size_t count) {
    markMemoryChanged(memory, area, dbNumber);
    noteClientWrite(memory, area, dbNumber, start, count);
}

inline void clearClientWrites(ClientWrites &writes) {
    writes.ranges.clear();
    writes.overflowed = false;
}
