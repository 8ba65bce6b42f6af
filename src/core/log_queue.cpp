#include "core/log_queue.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

namespace {

std::string_view dropNotice(std::uint64_t dropped, std::array<char, 64> &buffer) {
    const int length =
        std::snprintf(buffer.data(), buffer.size(), "Log output stalled: %llu lines dropped",
                      static_cast<unsigned long long>(dropped));
    return {buffer.data(), static_cast<std::size_t>(std::max(length, 0))};
}

} // namespace

LogQueue::LogQueue(std::size_t capacityBytes)
    : ring(new std::uint8_t[capacityBytes]), ringSize(capacityBytes) {}

bool LogQueue::push(TextAttribute attribute, std::string_view text) {
    text = text.substr(0, queuedTextLimit);
    std::size_t needed = recordSize(text.size());
    std::array<char, 64> noticeBuffer{};
    std::string_view notice;
    if (dropped > 0) {
        notice = dropNotice(dropped, noticeBuffer);
        needed += recordSize(notice.size());
    }
    if (needed > ringSize - used) {
        ++dropped;
        return false;
    }
    if (dropped > 0) {
        append(attributeError, notice);
        dropped = 0;
    }
    append(attribute, text);
    return true;
}

bool LogQueue::pop(QueuedLine &line) {
    if (used == 0) {
        if (dropped == 0) {
            return false;
        }
        // Everything queued before the gap is out: the output has resumed.
        std::array<char, 64> noticeBuffer{};
        const std::string_view notice = dropNotice(dropped, noticeBuffer);
        line.attribute = attributeError;
        line.length = notice.size();
        std::memcpy(line.text.data(), notice.data(), notice.size());
        dropped = 0;
        return true;
    }
    std::array<std::uint8_t, recordHeaderSize> header{};
    copyOut(header.data(), header.size());
    line.attribute = header[0] | header[1] << 8;
    line.length = header[2];
    copyOut(reinterpret_cast<std::uint8_t *>(line.text.data()), line.length);
    if (used == 0) {
        // Start over at the front: while the output keeps up the queue never reaches far into
        // the ring, whose pages then cost no memory until an output stalls.
        head = 0;
    }
    return true;
}

void LogQueue::append(TextAttribute attribute, std::string_view text) {
    const auto bits = static_cast<unsigned>(attribute);
    const std::array<std::uint8_t, recordHeaderSize> header{
        static_cast<std::uint8_t>(bits & 0xFF), static_cast<std::uint8_t>((bits >> 8) & 0xFF),
        static_cast<std::uint8_t>(text.size())};
    copyIn(header.data(), header.size());
    copyIn(reinterpret_cast<const std::uint8_t *>(text.data()), text.size());
}

void LogQueue::copyIn(const std::uint8_t *bytes, std::size_t count) {
    if (count == 0) {
        return; // an empty text may have no data pointer at all
    }
    const std::size_t tail = (head + used) % ringSize;
    const std::size_t first = std::min(count, ringSize - tail);
    std::memcpy(ring.get() + tail, bytes, first);
    std::memcpy(ring.get(), bytes + first, count - first);
    used += count;
}

void LogQueue::copyOut(std::uint8_t *bytes, std::size_t count) {
    if (count == 0) {
        return;
    }
    const std::size_t first = std::min(count, ringSize - head);
    std::memcpy(bytes, ring.get() + head, first);
    std::memcpy(bytes + first, ring.get(), count - first);
    head = (head + count) % ringSize;
    used -= count;
}
