#include "memory/process_image.h"

#include <algorithm>
#include <array>
#include <vector>

namespace {

constexpr std::size_t areaCount = 5;

std::array<std::vector<std::uint8_t>, areaCount> areas;

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
}

void clearProcessImage() {
    for (std::vector<std::uint8_t> &area : areas) {
        std::fill(area.begin(), area.end(), std::uint8_t{0});
    }
}

std::span<std::uint8_t> processArea(ProcessArea area) {
    return storageOf(area);
}
