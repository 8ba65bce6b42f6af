// The lines waiting for the log writer thread: a ring of bytes of fixed capacity, filled by the
// loop and emptied by the writer. Pure bookkeeping with no lock of its own; core/log.cpp holds
// the platform's log lock around every call.
#pragma once

#include "core/log.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string_view>

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

    explicit LogQueue(std::size_t capacityBytes);

    // Appends the line whole, or drops it and counts it when it does not fit. After a drop the
    // next line is queued only together with the notice of how many went missing, placed where
    // they were missing, so the notice is never dropped and never out of order.
    // Text beyond queuedTextLimit is cut (the log never makes such lines). Returns whether the
    // line was queued.
    bool push(TextAttribute attribute, std::string_view text);

    // Takes the oldest line; once the queue is empty, the notice still owed for dropped lines.
    // False when there is nothing to write.
    bool pop(QueuedLine &line);

    bool hasLines() const { return used > 0 || dropped > 0; }
    std::size_t bytesUsed() const { return used; }
    std::size_t capacity() const { return ringSize; }

private:
    void append(TextAttribute attribute, std::string_view text);
    void copyIn(const std::uint8_t *bytes, std::size_t count);
    void copyOut(std::uint8_t *bytes, std::size_t count);
    static std::size_t recordSize(std::size_t textLength) { return recordHeaderSize + textLength; }

    // Left uninitialised: pages the queue has not reached yet cost no memory.
    std::unique_ptr<std::uint8_t[]> ring;
    std::size_t ringSize;
    std::size_t head = 0; // the oldest byte
    std::size_t used = 0;
    std::uint64_t dropped = 0; // lines dropped since the last notice
};
