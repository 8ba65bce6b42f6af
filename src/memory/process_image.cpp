#include "memory/process_image.h"

#include <algorithm>
#include <array>
#include <vector>

namespace {

std::array<std::vector<std::uint8_t>, processAreaCount> areas;
std::array<bool, processAreaCount> changed{};

std::vector<std::uint8_t> &storageOf(ProcessArea area) {
    return areas[static_cast<std::size_t>(area)];
}

} // namespace

void configureProcessImage(const ProcessImageSizes &sizes) {
    storageOf(ProcessArea::inputs).assign(sizes.inputBytes, 0);
    storageOf(ProcessArea::outputs).assign(sizes.outputBytes, 0);
    storageOf(ProcessArea::flags).assign(sizes.flagBytes, 0);
    storageOf(ProcessArea::timers).assign(sizes.timerBytes, 0);
    storageOf(ProcessArea::counters).assign(sizes.counterBytes, 0);
    for (std::size_t area = 0; area < processAreaCount; ++area) {
        changed[area] = !areas[area].empty();
    }
}

void clearProcessImage() {
    for (std::size_t area = 0; area < processAreaCount; ++area) {
        std::fill(areas[area].begin(), areas[area].end(), std::uint8_t{0});
        changed[area] = !areas[area].empty();
    }
}

std::size_t processAreaSize(const ProcessImageSizes &sizes, ProcessArea area) {
    switch (area) {
    case ProcessArea::inputs:
        return sizes.inputBytes;
    case ProcessArea::outputs:
        return sizes.outputBytes;
    case ProcessArea::flags:
        return sizes.flagBytes;
    case ProcessArea::timers:
        return sizes.timerBytes;
    case ProcessArea::counters:
        return sizes.counterBytes;
    }
    return 0;
}

std::span<std::uint8_t> processArea(ProcessArea area) {
    return storageOf(area);
}

void markProcessAreaChanged(ProcessArea area) {
    changed[static_cast<std::size_t>(area)] = !storageOf(area).empty();
}

bool processAreaChanged(ProcessArea area) {
    return changed[static_cast<std::size_t>(area)];
}

void clearProcessAreaChanged(ProcessArea area) {
    changed[static_cast<std::size_t>(area)] = false;
}
