// What a PLC's clients asked and were answered, told once per exchange by the handler that
// answered it: the write journal a test reads back (GET /api/journal) is kept from it.
#pragma once

#include "base/bytes.h"
#include "base/memory_area.h"
#include "base/text.h"

#include <cstddef>
#include <cstdint>
#include <deque>
#include <span>
#include <string>
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

// Everything a PLC keeps about its traffic.
struct Traffic {
    WriteJournal journal;
};

// Takes note of one exchange: each stored item of a write goes into the journal.
void recordExchange(Traffic &traffic, const Exchange &exchange);

std::string_view protocolName(TrafficProtocol protocol);    // "S7", "S5", "HTTP"
std::string_view operationName(TrafficOperation operation); // "read", "write", ...
