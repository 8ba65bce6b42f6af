// The event stream the watch page listens to (GET /api/events): what one subscriber asked for,
// what it was last sent, and the bytes waiting for its connection. The loop refreshes every
// stream every 100 ms; only what changed is sent.
#pragma once

#include "http/http_api.h"

#include <cstdint>
#include <string>
#include <vector>

inline constexpr std::int64_t eventRefreshMicros = 100'000;
inline constexpr std::int64_t statusEventMicros = 1'000'000;

struct EventStream {
    std::vector<WatchedAddress> watched;
    std::vector<std::string> lastSent; // per watched address, the entry as last sent
    std::string memoryPath;            // empty: no memory view asked for
    std::string lastMemory;            // hex as last sent
    std::uint64_t logSequence;         // the last log line sent
    std::string lastFaults;
    std::int64_t nextStatusMicros;
    std::string pending; // event text the connection has not taken yet
    std::size_t pendingOffset;
};

// A stream for the request's addr= and memory= parameters, with its first events pending.
EventStream openEventStream(Plc &plc, const HttpAccess &access, const HttpRequest &request,
                            std::int64_t nowMicros);

// Appends the events due now: changed values, new log lines, a changed memory view or fault
// table, and the status once a second.
void refreshEventStream(Plc &plc, const HttpAccess &access, EventStream &stream,
                        std::int64_t nowMicros);

// Takes up to `room` pending bytes into `out`; returns how many.
std::size_t takeEventBytes(EventStream &stream, char *out, std::size_t room);
bool hasEventBytes(const EventStream &stream);
