#include "core/log_queue.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

namespace {

std::string_view logDropNotice(std::uint64_t dropped, std::array<char, 64> &buffer) {
    const int length =
        std::snprintf(buffer.data(), buffer.size(), "Log output stalled: %llu lines dropped",
                      static_cast<unsigned long long>(dropped));
    return {buffer.data(), static_cast<std::size_t>(std::max(length, 0))};
}

std::string_view eventDropNotice(std::uint64_t dropped, std::array<char, 64> &buffer) {
    const int length =
        std::snprintf(buffer.data(), buffer.size(), R"({"op": "dropped", "count": %llu})",
                      static_cast<unsigned long long>(dropped));
    return {buffer.data(), static_cast<std::size_t>(std::max(length, 0))};
}

} // namespace

ByteRing::ByteRing(std::size_t capacityBytes)
    : ring(new std::uint8_t[capacityBytes]), ringSize(capacityBytes) {}

void ByteRing::copyIn(const std::uint8_t *bytes, std::size_t count) {
    if (count == 0) {
        return; // an empty text may have no data pointer at all
    }
    const std::size_t tail = (head + usedBytes) % ringSize;
    const std::size_t first = std::min(count, ringSize - tail);
    std::memcpy(ring.get() + tail, bytes, first);
    std::memcpy(ring.get(), bytes + first, count - first);
    usedBytes += count;
}

void ByteRing::copyOut(std::uint8_t *bytes, std::size_t count) {
    if (count == 0) {
        return;
    }
    const std::size_t first = std::min(count, ringSize - head);
    std::memcpy(bytes, ring.get() + head, first);
    std::memcpy(bytes + first, ring.get(), count - first);
    head = (head + count) % ringSize;
    usedBytes -= count;
    if (usedBytes == 0) {
        // Start over at the front: while the output keeps up the ring never reaches far, and its
        // pages cost no memory until an output stalls.
        head = 0;
    }
}

bool LogQueue::push(TextAttribute attribute, std::string_view text) {
    text = text.substr(0, queuedTextLimit);
    std::size_t needed = recordSize(text.size());
    std::array<char, 64> noticeBuffer{};
    std::string_view notice;
    if (dropped > 0) {
        notice = logDropNotice(dropped, noticeBuffer);
        needed += recordSize(notice.size());
    }
    if (needed > ring.free()) {
        ++dropped;
        ++droppedTotal;
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
    if (ring.used() == 0) {
        if (dropped == 0) {
            return false;
        }
        // Everything queued before the gap is out: the output has resumed.
        std::array<char, 64> noticeBuffer{};
        const std::string_view notice = logDropNotice(dropped, noticeBuffer);
        line.attribute = attributeError;
        line.length = notice.size();
        std::memcpy(line.text.data(), notice.data(), notice.size());
        dropped = 0;
        return true;
    }
    std::array<std::uint8_t, recordHeaderSize> header{};
    ring.copyOut(header.data(), header.size());
    line.attribute = header[0] | header[1] << 8;
    line.length = header[2];
    ring.copyOut(reinterpret_cast<std::uint8_t *>(line.text.data()), line.length);
    return true;
}

void LogQueue::append(TextAttribute attribute, std::string_view text) {
    const auto bits = static_cast<unsigned>(attribute);
    const std::array<std::uint8_t, recordHeaderSize> header{
        static_cast<std::uint8_t>(bits & 0xFF), static_cast<std::uint8_t>((bits >> 8) & 0xFF),
        static_cast<std::uint8_t>(text.size())};
    ring.copyIn(header.data(), header.size());
    ring.copyIn(reinterpret_cast<const std::uint8_t *>(text.data()), text.size());
}

bool EventQueue::push(std::string_view line) {
    std::size_t needed = recordHeaderSize + line.size();
    std::array<char, 64> noticeBuffer{};
    std::string_view notice;
    if (dropped > 0) {
        notice = eventDropNotice(dropped, noticeBuffer);
        needed += recordHeaderSize + notice.size();
    }
    if (needed > ring.free()) {
        ++dropped;
        ++droppedTotal;
        return false;
    }
    if (dropped > 0) {
        append(notice);
        dropped = 0;
    }
    append(line);
    return true;
}

bool EventQueue::pop(std::string &out) {
    if (ring.used() == 0) {
        if (dropped == 0) {
            return false;
        }
        std::array<char, 64> noticeBuffer{};
        out += eventDropNotice(dropped, noticeBuffer);
        dropped = 0;
        return true;
    }
    std::array<std::uint8_t, recordHeaderSize> header{};
    ring.copyOut(header.data(), header.size());
    const std::size_t length = std::size_t{header[0]} | std::size_t{header[1]} << 8 |
                               std::size_t{header[2]} << 16 | std::size_t{header[3]} << 24;
    const std::size_t at = out.size();
    out.resize(at + length);
    ring.copyOut(reinterpret_cast<std::uint8_t *>(out.data() + at), length);
    return true;
}

void EventQueue::append(std::string_view line) {
    const std::size_t length = line.size();
    const std::array<std::uint8_t, recordHeaderSize> header{
        static_cast<std::uint8_t>(length & 0xFF), static_cast<std::uint8_t>((length >> 8) & 0xFF),
        static_cast<std::uint8_t>((length >> 16) & 0xFF),
        static_cast<std::uint8_t>((length >> 24) & 0xFF)};
    ring.copyIn(header.data(), header.size());
    ring.copyIn(reinterpret_cast<const std::uint8_t *>(line.data()), line.size());
}
