// The CPU's own areas besides the data blocks: inputs, outputs, flags, timers and counters. Each
// is a zero-filled block of fixed size, sized once at start-up; a size of 0 means the CPU has no
// such area.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

enum class ProcessArea { inputs, outputs, flags, timers, counters };

struct ProcessImageSizes {
    std::size_t inputBytes;
    std::size_t outputBytes;
    std::size_t flagBytes;
    std::size_t timerBytes;
    std::size_t counterBytes;
};

// Allocates every area at its size, zero-filled; earlier contents are dropped.
void configureProcessImage(const ProcessImageSizes &sizes);

// Zeroes every area, keeping the sizes.
void clearProcessImage();

// The area's bytes; empty when the CPU has no such area.
std::span<std::uint8_t> processArea(ProcessArea area);
