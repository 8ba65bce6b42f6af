// The lines waiting for the log writer thread: the console's lines and the events file's, each in
// a ring of bytes of fixed capacity, filled by the loop and emptied by the writer. Pure
// bookkeeping with no lock of its own; core/log.cpp holds the platform's log lock around every
// call.
#pragma once

#include "core/log.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

// Bytes in a ring: appended at the tail, taken from the head.
class ByteRing {
public:
    explicit ByteRing(std::size_t capacityBytes);

    void copyIn(const std::uint8_t *bytes, std::size_t count); // fits: the caller checked
    void copyOut(std::uint8_t *bytes, std::size_t count);      // there: the caller checked
    std::size_t used() const { return usedBytes; }
    std::size_t free() const { return ringSize - usedBytes; }
    std::size_t capacity() const { return ringSize; }

private:
    // Left uninitialised: pages the ring has not reached yet cost no memory.
    std::unique_ptr<std::uint8_t[]> ring;
    std::size_t ringSize;
    std::size_t head = 0; // the oldest byte
    std::size_t usedBytes = 0;
};

// The longest text a queued line keeps, as logMessage makes them.
inline constexpr std::size_t queuedTextLimit = 255;

// One line as the writer takes it out of the queue.
struct QueuedLine {
    TextAttribute attribute = attributePlain;
    std::size_t length = 0;
    std::array<char, queuedTextLimit> text{};

    std::string_view view() const { return {text.data(), length}; }
};

class LogQueue {
public:
    // A line takes its text plus this many bytes: attribute (2 bytes) and length (1 byte).
    static constexpr std::size_t recordHeaderSize = 3;

    explicit LogQueue(std::size_t capacityBytes) : ring(capacityBytes) {}

    // Appends the line whole, or drops it and counts it when it does not fit. After a drop the
    // next line is queued only together with the notice of how many went missing, placed where
    // they were missing, so the notice is never dropped and never out of order.
    // Text beyond queuedTextLimit is cut (the log never makes such lines). Returns whether the
    // line was queued.
    bool push(TextAttribute attribute, std::string_view text);

    // Takes the oldest line; once the queue is empty, the notice still owed for dropped lines.
    // False when there is nothing to write.
    bool pop(QueuedLine &line);

    bool hasLines() const { return ring.used() > 0 || dropped > 0; }
    std::size_t bytesUsed() const { return ring.used(); }
    std::size_t capacity() const { return ring.capacity(); }
    std::uint64_t droppedSoFar() const { return droppedTotal; }

private:
    void append(TextAttribute attribute, std::string_view text);
    static std::size_t recordSize(std::size_t textLength) { return recordHeaderSize + textLength; }

    ByteRing ring;
    std::uint64_t dropped = 0; // lines dropped since the last notice
    std::uint64_t droppedTotal = 0;
};

// The events file's lines, of any length, on the same terms: whole lines in order, drops
// counted, and one line {"op": "dropped", "count": N} where they went missing.
class EventQueue {
public:
    // A line takes its text plus its length (4 bytes).
    static constexpr std::size_t recordHeaderSize = 4;

    explicit EventQueue(std::size_t capacityBytes) : ring(capacityBytes) {}

    bool push(std::string_view line);
    // Appends the oldest line (without a line end) to out; once the queue is empty, the notice
    // still owed. False when there is nothing to write.
    bool pop(std::string &out);

    bool hasLines() const { return ring.used() > 0 || dropped > 0; }
    std::size_t bytesUsed() const { return ring.used(); }
    std::uint64_t droppedSoFar() const { return droppedTotal; }

private:
    void append(std::string_view line);

    ByteRing ring;
    std::uint64_t dropped = 0;
    std::uint64_t droppedTotal = 0;
};
