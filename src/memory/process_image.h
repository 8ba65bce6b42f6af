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

inline constexpr std::size_t processAreaCount = 5;

// Allocates every area at its size, zero-filled; earlier contents are dropped. Marks every area
// that has bytes as changed.
void configureProcessImage(const ProcessImageSizes &sizes);

// Zeroes every area, keeping the sizes, and marks them changed.
void clearProcessImage();

// The size an area has with these sizes.
std::size_t processAreaSize(const ProcessImageSizes &sizes, ProcessArea area);

// The area's bytes; empty when the CPU has no such area.
std::span<std::uint8_t> processArea(ProcessArea area);

// Change tracking for the retained memory, as for the data blocks: a path that writes into an
// area marks it once it has written.
void markProcessAreaChanged(ProcessArea area);
bool processAreaChanged(ProcessArea area);
void clearProcessAreaChanged(ProcessArea area);
