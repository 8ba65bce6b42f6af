// What a PLC's clients asked and were answered, told once per exchange by the handler that
// answered it: the write journal a test reads back (GET /api/journal) is kept from it, the counts
// behind GET /metrics, and with --events one JSON line per exchange in the events file.
#pragma once

#include "base/bytes.h"
#include "base/memory_area.h"
#include "base/text.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <span>
#include <string>
#include <string_view>
#include <vector>

enum class TrafficProtocol : std::uint8_t { s7, s5, http };

enum class TrafficOperation : std::uint8_t {
    connect,
    disconnect,
    setup,
    read,
    write,
    szl,
    clock,
    cpu,
    blocks,
    refused
};

// One item of a read or write as it was answered.
struct TrafficItem {
    MemoryArea area;
    std::uint16_t dbNumber; // data blocks only
    std::uint32_t start;    // the first byte in the block or area (timers, counters: 2 each)
    std::int8_t bit;        // -1: whole bytes
    std::uint32_t size;     // bytes
    std::uint8_t code;      // the S7 return code the item was answered with
    bool ok;                // stored or read as asked
    ByteView data;          // the bytes written (or read); empty when none
    bool areaKnown;         // false: an area code the CPU does not know (area means nothing)
};

// One exchange: a request and its answer, or a connection opened or closed.
struct Exchange {
    TrafficProtocol protocol;
    TrafficOperation operation;
    int slot; // -1: not a connection's (the HTTP API)
    Ipv4Address peer;
    std::uint16_t peerPort;
    std::span<const TrafficItem> items;
    int faultRule;             // the fault rule that shaped the answer; 0: none
    std::uint16_t headerError; // the error class and code of the answer's header; 0: none
    // A refusal of the connection itself (over the limit, a connection request refused, a client
    // speaking S7CommPlus), not of one request on it.
    bool connectionRefused;
};

// The last journalLimit client writes (S7, S5 and the HTTP API; the PLC's program writes are not
// clients'), numbered from 1 in the order stored.
inline constexpr std::size_t journalLimit = 10'000;

struct JournalEntry {
    std::uint64_t sequence;
    std::int64_t wallMicros; // when it was stored, microseconds since 1970 UTC
    Ipv4Address peer;
    std::uint16_t peerPort;
    std::int16_t slot; // -1: the HTTP API
    TrafficProtocol source;
    MemoryArea area;
    std::int8_t bit;
    std::uint16_t dbNumber;
    std::uint32_t start;
    std::vector<std::uint8_t> bytes;
};

// Kept only while someone can read it (the HTTP API runs): a PLC without it pays one test per
// write.
struct WriteJournal {
    bool kept = false;
    std::deque<JournalEntry> entries; // oldest first, at most journalLimit
    std::uint64_t nextSequence = 1;
    std::uint64_t emptiedThrough = 0; // the last number a reset emptied away
};

struct JournalSlice {
    std::uint64_t next;                        // what to ask for next time
    std::uint64_t lost;                        // writes after `since` the journal no longer has
    std::vector<const JournalEntry *> entries; // after `since`, oldest first
};

// The entries numbered above `since`.
JournalSlice journalSince(const WriteJournal &journal, std::uint64_t since);
// Forgets every entry; numbering goes on, so a client's `since` never sees a number twice.
void emptyJournal(WriteJournal &journal);

inline constexpr std::size_t trafficProtocolCount = 3;
inline constexpr std::size_t trafficOperationCount = 10;

// What GET /metrics reports of a PLC's traffic, counted since the start.
struct TrafficCounts {
    // Exchanges by protocol, operation and result (0 ok, 1 error: refused, a header error or an
    // item answered with another code than success).
    std::array<std::array<std::array<std::uint64_t, 2>, trafficOperationCount>,
               trafficProtocolCount>
        exchanges{};
    std::uint64_t connectionsRefused = 0;
    // Of the connections closed so far; an open one keeps its own counts in its slot.
    std::uint64_t closedBytesIn = 0;
    std::uint64_t closedBytesOut = 0;
};

// The events file's side of the traffic, one for the whole process: every PLC numbers its lines
// from the same count. The lines are made here and written by the log's writer thread.
struct EventLines {
    bool withReadData = false;  // --events-data: the bytes of reads too
    std::uint64_t sequence = 0; // the last line's number
    std::string line;           // made anew for each exchange, kept for its capacity
    // The time stamp up to its seconds, made once a second: "2024-05-01T12:00:00".
    std::int64_t stampSecond = -1;
    std::array<char, 19> stamp{};
};

// Everything a PLC keeps about its traffic.
struct Traffic {
    WriteJournal journal;
    TrafficCounts counts;
    EventLines *events = nullptr; // the process's, while --events writes them
    std::string plcName = "plc";
};

// Takes note of one exchange: it is counted, each stored item of a write goes into the journal,
// and with events on its line is made and queued.
void recordExchange(Traffic &traffic, const Exchange &exchange);

// Whether the exchange counts as an error: refused, a header error, or an item answered with
// another code than success.
bool exchangeFailed(const Exchange &exchange);

// The event line of an exchange (without its line end) into events.line, numbered next. Its time
// is ISO 8601 UTC to the microsecond, as isoTimeText writes it.
void makeEventLine(EventLines &events, std::string_view plcName, const Exchange &exchange,
                   std::int64_t wallMicros);

std::string_view protocolName(TrafficProtocol protocol);    // "S7", "S5", "HTTP"
std::string_view operationName(TrafficOperation operation); // "read", "write", ...
