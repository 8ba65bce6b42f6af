#include "memory/process_image.h"

void configureProcessImage(ProcessImage &image, const ProcessImageSizes &sizes) {
    for (const MemoryArea area : fixedAreas) {
        std::vector<std::uint8_t> &bytes = image.areas[areaIndex(area)];
        bytes.assign(processAreaSize(sizes, area), 0);
        image.changed[areaIndex(area)] = !bytes.empty();
    }
}

std::size_t processAreaSize(const ProcessImageSizes &sizes, MemoryArea area) {
    switch (area) {
    case MemoryArea::inputs:
        return sizes.inputBytes;
    case MemoryArea::outputs:
        return sizes.outputBytes;
    case MemoryArea::flags:
        return sizes.flagBytes;
    case MemoryArea::timers:
        return sizes.timerBytes;
    case MemoryArea::counters:
        return sizes.counterBytes;
    case MemoryArea::dataBlock:
        return 0;
    }
    return 0;
}

std::span<std::uint8_t> processArea(ProcessImage &image, MemoryArea area) {
    if (area == MemoryArea::dataBlock) {
        return {};
    }
    return image.areas[areaIndex(area)];
}

void markProcessAreaChanged(ProcessImage &image, MemoryArea area) {
    if (area != MemoryArea::dataBlock) {
        image.changed[areaIndex(area)] = !image.areas[areaIndex(area)].empty();
    }
}

bool processAreaChanged(const ProcessImage &image, MemoryArea area) {
    return area != MemoryArea::dataBlock && image.changed[areaIndex(area)];
}

void clearProcessAreaChanged(ProcessImage &image, MemoryArea area) {
    if (area != MemoryArea::dataBlock) {
        image.changed[areaIndex(area)] = false;
    }
}
