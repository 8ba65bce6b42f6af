#include "core/traffic.h"

#include "platform/platform.h"

#include <algorithm>

namespace {

void journalWrite(WriteJournal &journal, const Exchange &exchange, const TrafficItem &item,
                  std::int64_t wallMicros) {
    if (journal.entries.size() >= journalLimit) {
        journal.entries.pop_front();
    }
    journal.entries.push_back({journal.nextSequence++, wallMicros, exchange.peer, exchange.peerPort,
                               static_cast<std::int16_t>(exchange.slot), exchange.protocol,
                               item.area, item.bit, item.dbNumber, item.start,
                               std::vector<std::uint8_t>(item.data.begin(), item.data.end())});
}

} // namespace

void recordExchange(Traffic &traffic, const Exchange &exchange) {
    if (exchange.operation != TrafficOperation::write || !traffic.journal.kept) {
        return;
    }
    const std::int64_t wallMicros = platform::wallClockMicros();
    for (const TrafficItem &item : exchange.items) {
        if (item.ok) {
            journalWrite(traffic.journal, exchange, item, wallMicros);
        }
    }
}

JournalSlice journalSince(const WriteJournal &journal, std::uint64_t since) {
    JournalSlice slice{journal.nextSequence - 1, 0, {}};
    const std::uint64_t oldest =
        journal.entries.empty() ? journal.nextSequence : journal.entries.front().sequence;
    // What a reset emptied is gone on purpose, not lost.
    const std::uint64_t counted = std::max(since, journal.emptiedThrough);
    if (counted + 1 < oldest) {
        slice.lost = oldest - counted - 1;
    }
    // Sequences are consecutive, so the first wanted entry is found by position.
    const std::uint64_t first = std::max(since + 1, oldest);
    for (std::size_t at = static_cast<std::size_t>(first - oldest); at < journal.entries.size();
         ++at) {
        slice.entries.push_back(&journal.entries[at]);
    }
    return slice;
}

void emptyJournal(WriteJournal &journal) {
    journal.entries.clear();
    journal.emptiedThrough = journal.nextSequence - 1;
}

std::string_view protocolName(TrafficProtocol protocol) {
    switch (protocol) {
    case TrafficProtocol::s7:
        return "S7";
    case TrafficProtocol::s5:
        return "S5";
    case TrafficProtocol::http:
        return "HTTP";
    }
    return "S7";
}

std::string_view operationName(TrafficOperation operation) {
    switch (operation) {
    case TrafficOperation::connect:
        return "connect";
    case TrafficOperation::disconnect:
        return "disconnect";
    case TrafficOperation::setup:
        return "setup";
    case TrafficOperation::read:
        return "read";
    case TrafficOperation::write:
        return "write";
    case TrafficOperation::szl:
        return "szl";
    case TrafficOperation::clock:
        return "clock";
    case TrafficOperation::cpu:
        return "cpu";
    case TrafficOperation::blocks:
        return "blocks";
    case TrafficOperation::refused:
        return "refused";
    }
    return "refused";
}
