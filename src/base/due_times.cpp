#include "base/due_times.h"

#include <algorithm>

namespace {

// Later entries sink: std::push_heap keeps the largest on top, so the order is reversed.
bool later(const DueEntry &left, const DueEntry &right) {
    return left.due > right.due;
}

bool stale(const DueTimes &times, const DueEntry &entry) {
    return times.dueOf[entry.id] != entry.due;
}

void dropStaleTops(DueTimes &times) {
    while (!times.heap.empty() && stale(times, times.heap.front())) {
        std::pop_heap(times.heap.begin(), times.heap.end(), later);
        times.heap.pop_back();
    }
}

} // namespace

void setDue(DueTimes &times, std::uint32_t id, std::int64_t due) {
    if (id >= times.dueOf.size()) {
        times.dueOf.resize(std::size_t{id} + 1, notDue);
    }
    if (times.dueOf[id] == due) {
        return;
    }
    times.dueOf[id] = due;
    if (due == notDue) {
        return; // its entry, if any, is stale now
    }
    // Stale entries are let go once they outnumber the live ones: the heap stays O(ids).
    if (times.heap.size() >= 2 * times.dueOf.size() + 16) {
        std::erase_if(times.heap, [&times](const DueEntry &entry) { return stale(times, entry); });
        std::make_heap(times.heap.begin(), times.heap.end(), later);
    }
    times.heap.push_back({due, id});
    std::push_heap(times.heap.begin(), times.heap.end(), later);
}

std::int64_t earliestDue(DueTimes &times) {
    dropStaleTops(times);
    return times.heap.empty() ? notDue : times.heap.front().due;
}

void takeDue(DueTimes &times, std::int64_t nowMicros, std::vector<std::uint32_t> &due) {
    for (;;) {
        dropStaleTops(times);
        if (times.heap.empty() || times.heap.front().due > nowMicros) {
            return;
        }
        const std::uint32_t id = times.heap.front().id;
        std::pop_heap(times.heap.begin(), times.heap.end(), later);
        times.heap.pop_back();
        times.dueOf[id] = notDue;
        due.push_back(id);
    }
}

void clearDue(DueTimes &times) {
    times.dueOf.clear();
    times.heap.clear();
}
