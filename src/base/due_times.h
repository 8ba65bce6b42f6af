// When each of many numbered things (the PLCs of a plant) next wants the loop's attention, and
// which are due: a min-heap of due times with stale entries left in it and skipped, so setting a
// time costs O(log n) and finding the earliest costs nothing while it stands.
#pragma once

#include <cstddef>
#include <cstdint>
#include <limits>
#include <vector>

inline constexpr std::int64_t notDue = std::numeric_limits<std::int64_t>::max();

struct DueEntry {
    std::int64_t due;
    std::uint32_t id;
};

struct DueTimes {
    std::vector<std::int64_t> dueOf; // by id; notDue: wants nothing
    std::vector<DueEntry> heap;      // earliest first; entries no longer in dueOf are stale
};

// Sets when id is next due (notDue: never); ids grow the table as they come.
void setDue(DueTimes &times, std::uint32_t id, std::int64_t due);

// The earliest time any id is due, or notDue.
std::int64_t earliestDue(DueTimes &times);

// Appends to due every id due at nowMicros, each once, and sets them to notDue: whoever serves
// them sets their next time.
void takeDue(DueTimes &times, std::int64_t nowMicros, std::vector<std::uint32_t> &due);

// Forgets every id.
void clearDue(DueTimes &times);
