// plcdouble-bench --scada: a plant's SCADA poller. One connection to each of many PLCs, each
// reading the same items on a fixed interval, from one thread over nonblocking sockets, as a
// SCADA server's driver polls its PLCs. Reports the round trips' percentiles and every request
// lost (no reply in time) or failed (a reply that is not the exact one expected).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

struct ScadaOptions {
    int plcs = 1000;
    // Where PLC n (from 1) listens: host plus n when spreadOverAddresses, else port plus n.
    std::string host = "127.1.0.0";
    std::uint16_t port = 10102;
    bool spreadOverAddresses = true;
    std::uint8_t slot = 1; // rack 0, slot 1: the S7-1200
    std::size_t items = 10;
    std::size_t bytes = 4; // per item
    std::int64_t intervalMicros = 100'000;
    double seconds = 10;
    std::int64_t replyTimeoutMicros = 1'000'000; // later than this counts as lost
};

// Runs the poll and prints one line of key=value results; exit status 0 when every request was
// answered in time with the exact reply, 1 otherwise.
int runScada(const ScadaOptions &options);
