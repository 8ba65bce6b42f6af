// The watch page's JSON API as plain functions: the PLCs and a request in, a reply out. The HTTP
// library (http_server.cpp) only moves bytes; everything the API decides is here, so tests and the
// fuzzer call it without a socket.
#pragma once

#include "memory/s7_address.h"
#include "plc/plc.h"

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include <nlohmann/json.hpp>

inline constexpr std::size_t largestRequestBody = std::size_t{64} * 1024;

// The most a request may bring: a program's source for PUT /api/program or
// /api/plc/NAME/program (largestProgramSource), largestRequestBody for everything else.
std::size_t largestBodyFor(std::string_view method, std::string_view path);

// Who may do what over HTTP.
struct HttpAccess {
    std::string token; // empty: none asked for
    bool readOnly;
};

using QueryParameters = std::vector<std::pair<std::string, std::string>>;

struct HttpRequest {
    std::string_view method;
    std::string_view path; // without the query
    QueryParameters query; // decoded, in the order given
    std::string_view authorization;
    Ipv4Address peer; // who asked; 0.0.0.0:0 when not known
    std::uint16_t peerPort;
    std::string_view body;
    bool bodyTooLarge; // more than largestBodyFor bytes came (or were announced)
};

struct HttpReply {
    int status;
    std::string_view contentType;
    std::string body;
    std::span<const std::uint8_t> file; // a page file, sent instead of body
    bool eventStream;                   // 200 for /api/events: the caller opens the stream
    // A long poll of the journal with nothing to answer yet: the caller holds the request until
    // a write after `since` arrives or waitMicros have passed, then answers journalReply.
    bool journalWait = false;
    std::uint64_t since = 0;
    std::int64_t waitMicros = 0;
};

inline constexpr std::int64_t largestJournalWaitMs = 30'000;

// GET /api/journal's answer: the writes after `since`.
HttpReply journalReply(const Plc &plc, std::uint64_t since);
// Whether a journal long poll for `since` has something to answer.
inline bool journalHasNews(const Plc &plc, std::uint64_t since) {
    return plc.traffic.journal.nextSequence - 1 > since;
}

// One request to one PLC, its paths without a PLC's name (/api/status, /metrics for it alone).
HttpReply handleHttpRequest(Plc &plc, const HttpAccess &access, const HttpRequest &request);

// The PLCs the API serves: in the process's order, the first answering the paths that name no
// PLC, and by name, sorted once when the server starts so that finding one of 10,000 is a binary
// search.
struct HttpPlant {
    std::vector<Plc *> plcs;
    std::vector<std::pair<std::string, Plc *>> byName;
};
HttpPlant makeHttpPlant(std::vector<Plc *> plcs);
// The PLC of that name (of two with one name, the first), or nullptr.
Plc *findPlantPlc(const HttpPlant &plant, std::string_view name);

// A reply with the PLC that gave it: an event stream or a journal long poll stays with it.
struct PlantReply {
    HttpReply reply;
    Plc *plc = nullptr; // none answered: /api/plcs, /metrics, an unknown name
};
// One request to the process: GET /api/plcs lists every PLC, /metrics counts them all,
// /api/plc/NAME/... is NAME's own API (404 for a name no PLC has), and every other path goes to
// the first PLC, as when the process had only it.
PlantReply handlePlantRequest(const HttpPlant &plant, const HttpAccess &access,
                              const HttpRequest &request);

// For the event stream: the status object, and one watched address read now ({"addr", "type",
// "value"} or {"addr", "error"}).
nlohmann::ordered_json statusJson(Plc &plc, const HttpAccess &access);
struct WatchedAddress {
    std::string text;
    bool parsed;
    S7Address address;
    std::string error; // when not parsed
};
WatchedAddress parseWatchedAddress(std::string_view text);
nlohmann::ordered_json watchValueJson(Plc &plc, const WatchedAddress &watched);

// A memory view named as in the API's paths: "db/5", "m", "i", "q", "t", "c".
struct MemoryView {
    bool ok;
    int status; // the error's, when not ok
    std::string error;
    std::string name; // "DB5", "M"
    std::span<std::uint8_t> bytes;
};
MemoryView findMemoryView(Plc &plc, std::string_view path);

// /api/faults (fault_api.cpp): the rules as the API and the event stream show them, and one
// request on /api/faults or /api/faults/ID (rest: "" or the id; body: the parsed object of a
// POST).
nlohmann::ordered_json faultsJson(const FaultRules &faults);
HttpReply handleFaultRequest(FaultRules &faults, std::string_view method, std::string_view rest,
                             const nlohmann::ordered_json *body);
