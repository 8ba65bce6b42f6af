// The CPU's own areas besides the data blocks: inputs, outputs, flags, timers and counters. Each
// is a zero-filled block of fixed size, sized once at start-up; a size of 0 means the CPU has no
// such area.
#pragma once

#include "base/memory_area.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

struct ProcessImageSizes {
    std::size_t inputBytes;
    std::size_t outputBytes;
    std::size_t flagBytes;
    std::size_t timerBytes;
    std::size_t counterBytes;
};

// The areas of one PLC, indexed by areaIndex (dataBlock aside).
struct ProcessImage {
    std::array<std::vector<std::uint8_t>, fixedAreaCount> areas;
    std::array<bool, fixedAreaCount> changed{}; // written since the retained memory took it
};

// Allocates every area at its size, zero-filled; earlier contents are dropped. Marks every area
// that has bytes as changed.
void configureProcessImage(ProcessImage &image, const ProcessImageSizes &sizes);

// The size an area has with these sizes.
std::size_t processAreaSize(const ProcessImageSizes &sizes, MemoryArea area);

// The area's bytes; empty when the CPU has no such area.
std::span<std::uint8_t> processArea(ProcessImage &image, MemoryArea area);

// Change tracking for the retained memory, as for the data blocks: a path that writes into an
// area marks it once it has written.
void markProcessAreaChanged(ProcessImage &image, MemoryArea area);
bool processAreaChanged(const ProcessImage &image, MemoryArea area);
void clearProcessAreaChanged(ProcessImage &image, MemoryArea area);
