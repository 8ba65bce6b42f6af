#include "http/http_api.h"

#include "base/text.h"
#include "core/log.h"
#include "http/metrics.h"
#include "http/web_assets.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <optional>

using json = nlohmann::ordered_json;

namespace {

constexpr std::string_view jsonType = "application/json";
constexpr std::string_view programPath = "/api/program";
constexpr std::size_t largestMemoryRead = 65536;

HttpReply reply(int status, const json &body) {
    // Texts echo what the client sent, which need not be UTF-8.
    return {status, jsonType, body.dump(-1, ' ', false, json::error_handler_t::replace), {}, false};
}

HttpReply error(int status, std::string text) {
    return reply(status, json{{"error", std::move(text)}});
}

bool isWrite(std::string_view method) {
    return method == "PUT" || method == "POST" || method == "DELETE";
}

std::optional<std::size_t> parseCount(std::string_view text) {
    return parseWholeNumber(text, 0, SIZE_MAX);
}

const std::string *queryValue(const HttpRequest &request, std::string_view key) {
    for (const auto &[name, value] : request.query) {
        if (name == key) {
            return &value;
        }
    }
    return nullptr;
}

// Compared in full whatever the first difference, so the time taken does not tell how much of a
// guess was right.
bool sameSecret(std::string_view given, std::string_view expected) {
    unsigned difference = given.size() == expected.size() ? 0 : 1;
    for (std::size_t i = 0; i < given.size(); ++i) {
        difference |= static_cast<unsigned>(given[i] ^ expected[i % expected.size()]);
    }
    return difference == 0;
}

bool authorised(const HttpAccess &access, const HttpRequest &request) {
    if (access.token.empty()) {
        return true;
    }
    constexpr std::string_view bearer = "Bearer ";
    if (request.authorization.starts_with(bearer) &&
        sameSecret(request.authorization.substr(bearer.size()), access.token)) {
        return true;
    }
    // EventSource cannot set headers.
    const std::string *token = queryValue(request, "token");
    return request.path == "/api/events" && token != nullptr && sameSecret(*token, access.token);
}

HttpReply tokenNeeded() {
    return error(401, "this server needs its token: Authorization: Bearer TOKEN");
}

struct ParsedBody {
    bool ok;
    json object;
    HttpReply failure;
};

ParsedBody parseBody(const HttpRequest &request) {
    json body = json::parse(request.body, nullptr, false);
    if (body.is_discarded()) {
        return {false, {}, error(400, "malformed JSON in the request body")};
    }
    if (!body.is_object()) {
        return {false, {}, error(400, "the request body must be a JSON object")};
    }
    return {true, std::move(body), {}};
}

// An area's path in the API: its letter in lower case ("m", "i").
std::string areaPath(MemoryArea area) {
    return asciiLower(areaLetter(area));
}

// The bytes an address lies in, for reading: the block as it is, or the area.
MemoryView viewOfAddress(Plc &plc, const S7Address &address) {
    if (address.area == MemoryArea::dataBlock) {
        return findMemoryView(plc, "db/" + std::to_string(address.dbNumber));
    }
    return findMemoryView(plc, areaPath(address.area));
}

json valueToJson(const S7Value &value) {
    return std::visit([](const auto &held) { return json(held); }, value);
}

// One memory access of the API as the traffic record takes it: served, with its bytes.
TrafficItem apiItem(MemoryArea area, std::size_t dbNumber, std::size_t start,
                    std::span<const std::uint8_t> bytes, int bit) {
    return {area,
            static_cast<std::uint16_t>(dbNumber),
            static_cast<std::uint32_t>(start),
            static_cast<std::int8_t>(bit),
            static_cast<std::uint32_t>(bytes.size()),
            0xFF,
            true,
            bytes,
            true};
}

void recordApi(Plc &plc, const HttpRequest &request, TrafficOperation operation,
               std::span<const TrafficItem> items) {
    recordExchange(plc.traffic, {TrafficProtocol::http, operation, -1, request.peer,
                                 request.peerPort, items, 0, 0, false});
}

// What every API write does once it has stored its bytes: marks them for the retained memory,
// notes them for the program's handlers and records the write for the journal.
void noteApiWrite(Plc &plc, const HttpRequest &request, MemoryArea area, std::size_t dbNumber,
                  std::size_t start, std::span<const std::uint8_t> bytes, int bit) {
    markClientWrite(plc.memory, area, dbNumber, start, bytes.size());
    const TrafficItem item = apiItem(area, dbNumber, start, bytes, bit);
    recordApi(plc, request, TrafficOperation::write, std::span(&item, 1));
}

// The memory view's area and block, from its path ("db/5", "m").
std::pair<MemoryArea, std::size_t> areaOfPath(std::string_view path) {
    if (path.starts_with("db/")) {
        return {MemoryArea::dataBlock, parseCount(path.substr(3)).value_or(0)};
    }
    for (const MemoryArea area : fixedAreas) {
        if (areaPath(area) == path) {
            return {area, 0};
        }
    }
    return {MemoryArea::dataBlock, 0};
}

void markWritten(Plc &plc, const HttpRequest &request, std::string_view path, std::size_t start,
                 std::span<const std::uint8_t> bytes) {
    const auto [area, dbNumber] = areaOfPath(path);
    noteApiWrite(plc, request, area, dbNumber, start, bytes, -1);
}

// ---- /api/memory/...

// The ?start= of a memory request: 0 when not given, nothing when it is not a byte offset.
std::optional<std::size_t> startOffset(const HttpRequest &request) {
    const std::string *text = queryValue(request, "start");
    return text != nullptr ? parseCount(*text) : std::optional<std::size_t>{0};
}

HttpReply readMemory(Plc &plc, const HttpRequest &request, std::string_view path) {
    const MemoryView view = findMemoryView(plc, path);
    if (!view.ok) {
        return error(view.status, view.error);
    }
    const std::optional<std::size_t> startGiven = startOffset(request);
    if (!startGiven) {
        return error(400,
                     "bad start '" + *queryValue(request, "start") + "' (expected a byte offset)");
    }
    const std::size_t start = *startGiven;
    if (start > view.bytes.size()) {
        return error(400, "start " + std::to_string(start) + " is past the end of " + view.name +
                              " (" + std::to_string(view.bytes.size()) + " bytes)");
    }
    std::size_t size = std::min(view.bytes.size() - start, largestMemoryRead);
    if (const std::string *text = queryValue(request, "size")) {
        const std::optional<std::size_t> parsed = parseCount(*text);
        if (!parsed || *parsed > largestMemoryRead) {
            return error(400, "bad size '" + *text + "' (expected 0-65536 bytes)");
        }
        size = *parsed;
    }
    if (size > view.bytes.size() - start) {
        return error(400, "bytes " + std::to_string(start) + "-" + std::to_string(start + size) +
                              " run past the end of " + view.name + " (" +
                              std::to_string(view.bytes.size()) + " bytes)");
    }
    const auto [area, dbNumber] = areaOfPath(path);
    const TrafficItem item = apiItem(area, dbNumber, start, view.bytes.subspan(start, size), -1);
    recordApi(plc, request, TrafficOperation::read, std::span(&item, 1));
    return reply(200, json{{"start", start}, {"hex", hexText(view.bytes.subspan(start, size))}});
}

HttpReply writeMemory(Plc &plc, const HttpRequest &request, std::string_view path) {
    const ParsedBody body = parseBody(request);
    if (!body.ok) {
        return body.failure;
    }
    const json::const_iterator hex = body.object.find("hex");
    if (hex == body.object.end() || !hex->is_string()) {
        return error(400, "the body needs \"hex\": a string of hex digits");
    }
    const HexParse parsed = parseHexBytes(hex->get_ref<const std::string &>(), HexBlanks::none);
    const std::vector<std::uint8_t> *bytes = parsed.ok ? &parsed.bytes : nullptr;
    if (bytes == nullptr || bytes->empty()) {
        return error(400, "\"hex\" must be an even number of hex digits, at least two");
    }
    const std::optional<std::size_t> startGiven = startOffset(request);
    if (!startGiven) {
        return error(400,
                     "bad start '" + *queryValue(request, "start") + "' (expected a byte offset)");
    }
    const std::size_t start = *startGiven;
    MemoryView view = findMemoryView(plc, path);
    if (path.starts_with("db/") && view.status != 400) {
        // As a client write: without strict blocks the block is created or grown to hold it.
        const std::size_t number = parseCount(path.substr(3)).value_or(0);
        DataBlockTable &blocks = plc.memory.blocks;
        if (dataBlockRangeServed(blocks, number, bytes->size(), start) &&
            (!view.ok || start + bytes->size() > view.bytes.size())) {
            const std::span<std::uint8_t> block =
                acquireDataBlock(blocks, bytes->size(), number, start);
            if (!block.empty()) {
                view = findMemoryView(plc, path);
            }
        }
    }
    if (!view.ok) {
        return error(view.status, view.error);
    }
    if (start > view.bytes.size() || bytes->size() > view.bytes.size() - start) {
        return error(400, "bytes " + std::to_string(start) + "-" +
                              std::to_string(start + bytes->size()) + " run past the end of " +
                              view.name + " (" + std::to_string(view.bytes.size()) + " bytes)");
    }
    std::copy(bytes->begin(), bytes->end(),
              view.bytes.begin() + static_cast<std::ptrdiff_t>(start));
    markWritten(plc, request, path, start, *bytes);
    logMessage(writeAttribute(0), "%s Receiving write HTTP data %s,%d l=%d",
               namedPrefix("http").text(), view.name.c_str(), static_cast<int>(start),
               static_cast<int>(bytes->size()));
    return reply(200, json{{"start", start}, {"size", bytes->size()}});
}

// ---- /api/watch

HttpReply readWatch(Plc &plc, const HttpRequest &request) {
    json values = json::array();
    std::vector<TrafficItem> items;
    for (const auto &[key, text] : request.query) {
        if (key != "addr") {
            continue;
        }
        const WatchedAddress watched = parseWatchedAddress(text);
        if (!watched.parsed) {
            return error(400, watched.error);
        }
        json value = watchValueJson(plc, watched);
        if (value.contains("error")) {
            return error(value.value("status", 404), value["error"].get<std::string>());
        }
        values.push_back(std::move(value));
        // Read fine just now, so its view holds its bytes.
        const S7Address &address = watched.address;
        const std::size_t begin = addressByteStart(address);
        items.push_back(
            apiItem(address.area, address.dbNumber, begin,
                    viewOfAddress(plc, address).bytes.subspan(begin, addressByteWidth(address)),
                    address.bit));
    }
    if (values.empty()) {
        return error(400, "name at least one address: /api/watch?addr=DB1.DBW2:INT");
    }
    recordApi(plc, request, TrafficOperation::read, items);
    return reply(200, json{{"values", std::move(values)}});
}

std::optional<StartValue> startValueOf(const json &value) {
    if (value.is_boolean()) {
        return StartValue{value.get<bool>()};
    }
    if (value.is_number_integer() && !value.is_number_unsigned()) {
        return StartValue{value.get<std::int64_t>()};
    }
    if (value.is_number_unsigned()) {
        const auto number = value.get<std::uint64_t>();
        // Past every type's range either way; kept out of the signed conversion.
        return StartValue{number > 0xFFFFFFFFu ? std::int64_t{0x1'0000'0000}
                                               : std::int64_t(number)};
    }
    if (value.is_number_float()) {
        return StartValue{value.get<double>()};
    }
    if (value.is_string()) {
        return StartValue{std::string_view(value.get_ref<const std::string &>())};
    }
    return std::nullopt;
}

HttpReply writeWatch(Plc &plc, const HttpRequest &request) {
    const ParsedBody body = parseBody(request);
    if (!body.ok) {
        return body.failure;
    }
    const json::const_iterator addr = body.object.find("addr");
    const json::const_iterator value = body.object.find("value");
    if (addr == body.object.end() || !addr->is_string() || value == body.object.end()) {
        return error(400, "the body needs \"addr\" (a string) and \"value\"");
    }
    const WatchedAddress watched = parseWatchedAddress(addr->get_ref<const std::string &>());
    if (!watched.parsed) {
        return error(400, watched.error);
    }
    const std::optional<StartValue> start = startValueOf(*value);
    if (!start) {
        return error(400, "\"value\" must be true/false, a number or a string");
    }
    // The value is tried on scratch bytes first: one that does not fit writes nothing, and
    // creates no block.
    S7Address relative = watched.address;
    relative.byteOffset = 0;
    std::vector<std::uint8_t> scratch(addressByteWidth(relative));
    if (const std::string problem = storeStartValue(relative, *start, scratch); !problem.empty()) {
        return error(400, watched.text + ": " + problem);
    }
    const S7Address &address = watched.address;
    const std::size_t begin = addressByteStart(address);
    const std::size_t width = addressByteWidth(address);
    DataBlockTable &blocks = plc.memory.blocks;
    if (address.area == MemoryArea::dataBlock &&
        dataBlockRangeServed(blocks, address.dbNumber, width, begin)) {
        acquireDataBlock(blocks, width, address.dbNumber,
                         begin); // as a client write: create or grow
    }
    MemoryView view = viewOfAddress(plc, address);
    if (!view.ok) {
        return error(view.status, watched.text + ": " + view.error);
    }
    if (const std::string problem = storeStartValue(address, *start, view.bytes);
        !problem.empty()) {
        return error(400, watched.text + ": " + problem);
    }
    // A bit's write shows the bit's value, as an S7 bit item carries it.
    const std::array<std::uint8_t, 1> bitValue = {
        static_cast<std::uint8_t>(address.bit >= 0 ? (view.bytes[begin] >> address.bit) & 1 : 0)};
    noteApiWrite(plc, request, address.area, address.dbNumber, begin,
                 address.bit >= 0 ? ByteView(bitValue) : ByteView(view.bytes.subspan(begin, width)),
                 address.bit);
    logMessage(writeAttribute(0), "%s Receiving write HTTP data %s,%d l=%d: %s = %s",
               namedPrefix("http").text(), view.name.c_str(), static_cast<int>(begin),
               static_cast<int>(width), watched.text.c_str(), value->dump().c_str());
    return reply(200, watchValueJson(plc, watched));
}

// ---- /api/cpu

HttpReply setCpu(Plc &plc, const HttpRequest &request) {
    const ParsedBody body = parseBody(request);
    if (!body.ok) {
        return body.failure;
    }
    const json::const_iterator state = body.object.find("state");
    if (state == body.object.end() || !state->is_string() ||
        (*state != "RUN" && *state != "STOP")) {
        return error(400, "\"state\" must be \"RUN\" or \"STOP\"");
    }
    const CpuRunState wanted = *state == "RUN" ? CpuRunState::run : CpuRunState::stop;
    if (plc.cpu.state != wanted) {
        plc.cpu.state = wanted;
        logMessage(trafficAttribute(0), "%s CPU %s requested", namedPrefix("http").text(),
                   wanted == CpuRunState::run ? "RUN" : "STOP");
    }
    recordApi(plc, request, TrafficOperation::cpu, {});
    return reply(200, json{{"state", *state}});
}

// ---- /api/journal, /api/reset, /api/clock: what a test needs between its steps

json journalEntryJson(const JournalEntry &entry) {
    // The journal names the API in lower case, as its paths do.
    const std::string_view source =
        entry.source == TrafficProtocol::http ? "http" : protocolName(entry.source);
    std::string peer = ipv4Text(entry.peer);
    peer += ':';
    peer += std::to_string(entry.peerPort);
    return json{{"seq", entry.sequence}, {"time", isoTimeText(entry.wallMicros)},
                {"source", source},      {"slot", entry.slot},
                {"peer", peer},          {"area", areaLetter(entry.area)},
                {"db", entry.dbNumber},  {"start", entry.start},
                {"bit", entry.bit},      {"hex", hexText(entry.bytes)}};
}

HttpReply readJournal(const Plc &plc, const HttpRequest &request) {
    std::uint64_t since = 0;
    if (const std::string *text = queryValue(request, "since")) {
        const std::optional<std::uint64_t> parsed = parseWholeNumber(*text, 0, UINT64_MAX);
        if (!parsed) {
            return error(400, "bad since '" + *text + "' (expected a write's seq, 0 for all)");
        }
        since = *parsed;
    }
    std::int64_t waitMs = 0;
    if (const std::string *text = queryValue(request, "wait_ms")) {
        const std::optional<std::uint64_t> parsed =
            parseWholeNumber(*text, 0, static_cast<std::uint64_t>(largestJournalWaitMs));
        if (!parsed) {
            return error(400, "bad wait_ms '" + *text + "' (expected 0-30000)");
        }
        waitMs = static_cast<std::int64_t>(*parsed);
    }
    if (waitMs > 0 && !journalHasNews(plc, since)) {
        HttpReply waiting = reply(200, json::object());
        waiting.journalWait = true;
        waiting.since = since;
        waiting.waitMicros = waitMs * 1000;
        return waiting;
    }
    return journalReply(plc, since);
}

HttpReply resetPlc(Plc &plc) {
    if (!resetPlcMemory(plc)) {
        return error(500, "the memory could not be set up again: out of memory");
    }
    logMessage(trafficAttribute(0), "%s Reset: memory at its start, CPU in RUN, journal emptied",
               namedPrefix("http").text());
    return reply(200, json{{"state", "RUN"}, {"next", plc.traffic.journal.nextSequence - 1}});
}

json clockJson(const Plc &plc) {
    return json{{"clock", plc.time.manual ? "manual" : "real"},
                {"now_ms", plc.time.manual ? plc.time.manualMicros / 1000
                                           : plc.connections.nowMicros / 1000}};
}

HttpReply advanceClock(Plc &plc, const HttpRequest &request) {
    if (!plc.time.manual) {
        return error(409, "the clock is real: start with --clock manual to move it by hand");
    }
    const ParsedBody body = parseBody(request);
    if (!body.ok) {
        return body.failure;
    }
    const json::const_iterator advance = body.object.find("advance_ms");
    if (advance == body.object.end() || !advance->is_number_integer() ||
        advance->get<std::int64_t>() < 0 || advance->get<std::int64_t>() > largestClockAdvanceMs) {
        return error(400, "\"advance_ms\" must be a whole number of milliseconds, 0-3600000");
    }
    const ClockAdvance moved = advancePlcClock(plc, advance->get<std::int64_t>() * 1000);
    return reply(200, json{{"now_ms", moved.nowMs}, {"cycles", moved.cycles}});
}

// ---- /api/program

bool cpuRuns(const Plc &plc) {
    return plc.cpu.state == CpuRunState::run;
}

// The host's clock counts microseconds: the digits past them are noise.
double wholeMicros(double ms) {
    return std::round(ms * 1000.0) / 1000.0;
}

json programJson(const Plc &plc) {
    const ProgramRun &run = plc.program;
    const ProgramState state = programState(run, cpuRuns(plc));
    const CycleTimes &times = run.times;
    const double average = times.cycles == 0 ? 0.0 : times.totalMs / double(times.cycles);
    json fault = nullptr;
    if (state == ProgramState::error) {
        fault = json{{"line", run.fault.line}, {"text", run.fault.text}};
    }
    return json{{"file", run.setup.file.empty() ? json(nullptr) : json(run.setup.file)},
                {"state", programStateName(state)},
                {"error", std::move(fault)},
                {"cycles", times.cycles},
                {"cycleMs",
                 {{"last", wholeMicros(times.lastMs)},
                  {"min", wholeMicros(times.minMs)},
                  {"avg", wholeMicros(average)},
                  {"max", wholeMicros(times.maxMs)}}},
                {"startLateMs", {{"p99", wholeMicros(startLatenessP99(run.lateness))}}},
                {"cycleTime", run.setup.cycleMs},
                {"maxCycleTime", run.setup.maxCycleMs}};
}

HttpReply programSource(const Plc &plc) {
    const ProgramRun &run = plc.program;
    if (!hasProgram(run)) {
        return error(404, "this PLC has no program (--program FILE, or PUT /api/program)");
    }
    return {200, "text/plain; charset=utf-8", run.source, {}, false};
}

// A download as into a CPU: the new source replaces the program when it compiles (the next pass
// in RUN loads and starts it); otherwise the old one runs on and the answer names the line.
HttpReply downloadProgram(Plc &plc, const HttpRequest &request) {
    const ProgramLoad load = replaceProgram(plc.program, std::string(request.body));
    if (!load.ok) {
        // Named as the program names itself in its own messages.
        const std::string &file = plc.program.setup.file;
        std::string place = file.empty() ? std::string("program") : file;
        if (load.fault.line > 0) {
            place += ':'; // appended: GCC 12 at -O3 warns wrongly on ":" + text
            place += std::to_string(load.fault.line);
        }
        const std::string text = place + ": " + load.fault.text;
        logMessage(attributeError, "%s Program download refused: %s", namedPrefix("http").text(),
                   text.c_str());
        return reply(400,
                     json{{"error", text}, {"line", load.fault.line}, {"text", load.fault.text}});
    }
    logMessage(writeAttribute(0), "%s Program download: %d bytes", namedPrefix("http").text(),
               static_cast<int>(request.body.size()));
    return reply(200, programJson(plc));
}

HttpReply serveFile(const HttpRequest &request) {
    const std::string_view path = request.path == "/" ? "/index.html" : request.path;
    for (const WebAsset &asset : webAssets()) {
        if (asset.path == path) {
            if (request.method != "GET" && request.method != "HEAD") {
                return error(405, std::string(request.method) + " is not allowed on " +
                                      std::string(request.path));
            }
            return {200, asset.contentType, {}, asset.bytes, false};
        }
    }
    return error(404, "no such page or API path: " + std::string(request.path));
}

HttpReply metricsReply(std::span<Plc *const> plcs) {
    return {200,
            metricsContentType,
            metricsText(plcs, {droppedLogLines(), droppedEventLines()}),
            {},
            false};
}

HttpReply wrongMethod(const HttpRequest &request) {
    return error(405,
                 std::string(request.method) + " is not allowed on " + std::string(request.path));
}

// ---- the plant: many PLCs, each under /api/plc/NAME/...

constexpr std::string_view plcPrefix = "/api/plc/";

// "/api/plc/NAME/rest" as NAME and "/api/rest", the path NAME's own API takes.
struct PlcPath {
    std::string_view name;
    std::string path;
};

std::optional<PlcPath> splitPlcPath(std::string_view path) {
    if (!path.starts_with(plcPrefix)) {
        return std::nullopt;
    }
    const std::string_view named = path.substr(plcPrefix.size());
    const std::size_t slash = named.find('/');
    std::string inner = "/api/";
    if (slash != std::string_view::npos) {
        inner += named.substr(slash + 1);
    }
    return PlcPath{named.substr(0, slash), std::move(inner)};
}

void appendJsonText(std::string &out, std::string_view text) {
    out += '"';
    for (const char c : text) {
        if (c == '"' || c == '\\') {
            out += '\\';
            out += c;
        } else if (static_cast<unsigned char>(c) < 0x20) {
            out += ' '; // a name or an address has none; nothing that breaks the JSON gets in
        } else {
            out += c;
        }
    }
    out += '"';
}

// Written by hand, not through a JSON object: the page asks for it every second, and with
// 10,000 PLCs an object per field would cost the loop more than the text does.
std::string plcsText(const HttpPlant &plant) {
    std::string out;
    out.reserve(plant.plcs.size() * 160);
    out += '[';
    for (const Plc *plc : plant.plcs) {
        if (out.size() > 1) {
            out += ',';
        }
        const RequestRate &rate = plc->connections.requestRate;
        // The last whole second: the current one is still counting.
        const std::uint32_t lastSecond =
            rate.counts[(rate.current + requestRateSeconds - 1) % requestRateSeconds];
        out += "{\"name\":";
        appendJsonText(out, plc->setup.name);
        out += ",\"cpu\":";
        appendJsonText(out, plc->cpu.profile->name);
        out += cpuRuns(*plc) ? ",\"state\":\"RUN\"" : ",\"state\":\"STOP\"";
        out += ",\"address\":";
        appendJsonText(out, ipv4Text(plc->setup.bindAddress));
        out += ",\"port\":";
        out += std::to_string(plc->listenerPort);
        out += ",\"connections\":";
        out += std::to_string(plc->connections.connectionCount);
        out += ",\"requestsPerSecond\":";
        out += std::to_string(lastSecond);
        out += '}';
    }
    out += ']';
    return out;
}

} // namespace

std::size_t largestBodyFor(std::string_view method, std::string_view path) {
    const std::optional<PlcPath> named = splitPlcPath(path);
    const std::string_view own = named ? std::string_view(named->path) : path;
    return method == "PUT" && own == programPath ? largestProgramSource : largestRequestBody;
}

MemoryView findMemoryView(Plc &plc, std::string_view path) {
    if (path.starts_with("db/")) {
        const std::optional<std::size_t> number = parseCount(path.substr(3));
        if (!number || *number >= dataBlockCount) {
            return {false,
                    400,
                    "bad block number '" + std::string(path.substr(3)) + "' (expected 0-2999)",
                    {},
                    {}};
        }
        const std::string name = "DB" + std::to_string(*number);
        const std::span<std::uint8_t> block = findDataBlock(plc.memory.blocks, *number);
        if (block.empty()) {
            return {false, 404, name + " does not exist", name, {}};
        }
        return {true, 200, {}, name, block};
    }
    for (const MemoryArea area : fixedAreas) {
        if (areaPath(area) == path) {
            const std::string name(areaLetter(area));
            const std::span<std::uint8_t> bytes = processArea(plc.memory.areas, area);
            if (bytes.empty()) {
                return {false,
                        404,
                        "this CPU (" + std::string(plc.cpu.profile->name) + ") has no " + name +
                            " area",
                        name,
                        {}};
            }
            return {true, 200, {}, name, bytes};
        }
    }
    return {false,
            404,
            "no memory named '" + std::string(path) + "' (expected db/N, i, q, m, t, c)",
            {},
            {}};
}

WatchedAddress parseWatchedAddress(std::string_view text) {
    const AddressParse parse = parseS7Address(text, AddressScope::anyArea);
    if (!parse.ok) {
        return {std::string(text), false, {}, "bad address " + parse.error};
    }
    return {std::string(text), true, parse.address, {}};
}

json watchValueJson(Plc &plc, const WatchedAddress &watched) {
    if (!watched.parsed) {
        return json{{"addr", watched.text}, {"error", watched.error}};
    }
    const MemoryView view = viewOfAddress(plc, watched.address);
    if (!view.ok) {
        return json{{"addr", watched.text}, {"error", view.error}, {"status", view.status}};
    }
    const ValueLoad load = loadS7Value(watched.address, view.bytes);
    if (!load.ok) {
        return json{
            {"addr", watched.text}, {"error", view.name + ": " + load.error}, {"status", 400}};
    }
    return json{{"addr", watched.text},
                {"type", s7TypeName(watched.address)},
                {"value", valueToJson(load.value)}};
}

json statusJson(Plc &plc, const HttpAccess &access) {
    ConnectionTable &table = plc.connections;
    const std::int64_t now = table.nowMicros; // the pass's clock, as the slots'
    json connections = json::array();
    constexpr std::array<std::string_view, 3> kindNames = {"ISO", "S7", "S5"};
    for (int slot = 0; slot < table.connectionCount; ++slot) {
        const ConnectionSlot &connection = slotAt(table, slot);
        const Ipv4Address &peer = connection.ends.clientAddress;
        const std::string address =
            ipv4Text(peer) + ":" + std::to_string(connection.ends.clientPort);
        connections.push_back(
            {{"slot", slot},
             {"peer", address},
             {"kind", kindNames.at(static_cast<std::size_t>(connection.kind))},
             {"requests", connection.requests},
             {"bytesIn", connection.bytesIn},
             {"bytesOut", connection.bytesOut},
             {"idleMs", std::max<std::int64_t>(0, (now - connection.lastActivityMicros) / 1000)}});
    }
    DataBlockTable &memoryBlocks = plc.memory.blocks;
    json blocks = json::array();
    for (std::size_t number = nextExistingDataBlock(memoryBlocks, 0); number < dataBlockCount;
         number = nextExistingDataBlock(memoryBlocks, number + 1)) {
        blocks.push_back(
            {{"number", number}, {"size", findDataBlock(memoryBlocks, number).size()}});
    }
    json areas = json::array();
    for (const MemoryArea area : fixedAreas) {
        areas.push_back({{"name", areaLetter(area)},
                         {"path", areaPath(area)},
                         {"size", processArea(plc.memory.areas, area).size()}});
    }
    return json{{"name", plc.setup.name},
                {"cpu", plc.cpu.profile->name},
                {"state", cpuRuns(plc) ? "RUN" : "STOP"},
                {"program", programStateName(programState(plc.program, cpuRuns(plc)))},
                {"readOnly", access.readOnly},
                {"strict", memoryBlocks.fixed},
                {"connections", std::move(connections)},
                {"requestsPerSecond", requestsPerSecond(table.requestRate)},
                {"s7CommPlusRefused", table.s7CommPlusRefused},
                {"dataBlocks", std::move(blocks)},
                {"areas", std::move(areas)}};
}

HttpReply journalReply(const Plc &plc, std::uint64_t since) {
    const JournalSlice slice = journalSince(plc.traffic.journal, since);
    json writes = json::array();
    for (const JournalEntry *entry : slice.entries) {
        writes.push_back(journalEntryJson(*entry));
    }
    return reply(200,
                 json{{"next", slice.next}, {"lost", slice.lost}, {"writes", std::move(writes)}});
}

HttpReply handleHttpRequest(Plc &plc, const HttpAccess &access, const HttpRequest &request) {
    const std::string_view path = request.path;
    const bool metrics = path == "/metrics";
    if (!path.starts_with("/api/") && !metrics) {
        return serveFile(request);
    }
    if (!authorised(access, request)) {
        return tokenNeeded();
    }
    if (metrics) {
        if (request.method != "GET") {
            return wrongMethod(request);
        }
        Plc *const only = &plc;
        return metricsReply(std::span(&only, 1));
    }
    if (request.bodyTooLarge) {
        return error(413, largestBodyFor(request.method, path) == largestProgramSource
                              ? "the program is larger than 1 MiB"
                              : "the request body is larger than 64 KiB");
    }
    const std::string_view method = request.method;
    const bool get = method == "GET";
    if (isWrite(method) && access.readOnly) {
        return error(403, "this server is read-only (--http-read-only)");
    }
    if (path == "/api/status") {
        return get ? reply(200, statusJson(plc, access)) : wrongMethod(request);
    }
    if (path == "/api/events") {
        return get ? HttpReply{200, "text/event-stream", {}, {}, true} : wrongMethod(request);
    }
    if (path == "/api/watch") {
        return get               ? readWatch(plc, request)
               : method == "PUT" ? writeWatch(plc, request)
                                 : wrongMethod(request);
    }
    if (path == "/api/cpu") {
        return method == "POST" ? setCpu(plc, request) : wrongMethod(request);
    }
    if (path == programPath) {
        return get               ? reply(200, programJson(plc))
               : method == "PUT" ? downloadProgram(plc, request)
                                 : wrongMethod(request);
    }
    if (path == "/api/journal") {
        return get ? readJournal(plc, request) : wrongMethod(request);
    }
    if (path == "/api/reset") {
        return method == "POST" ? resetPlc(plc) : wrongMethod(request);
    }
    if (path == "/api/clock") {
        return get                ? reply(200, clockJson(plc))
               : method == "POST" ? advanceClock(plc, request)
                                  : wrongMethod(request);
    }
    if (path == "/api/program/source") {
        return get ? programSource(plc) : wrongMethod(request);
    }
    if (path == "/api/faults" || path.starts_with("/api/faults/")) {
        std::string_view rest = path.substr(std::string_view("/api/faults").size());
        if (rest.starts_with("/")) {
            rest.remove_prefix(1);
        }
        if (method != "POST") {
            return handleFaultRequest(plc.faults, method, rest, nullptr);
        }
        const ParsedBody body = parseBody(request);
        return body.ok ? handleFaultRequest(plc.faults, method, rest, &body.object) : body.failure;
    }
    constexpr std::string_view memoryPrefix = "/api/memory/";
    if (path.starts_with(memoryPrefix)) {
        const std::string_view which = path.substr(memoryPrefix.size());
        return get               ? readMemory(plc, request, which)
               : method == "PUT" ? writeMemory(plc, request, which)
                                 : wrongMethod(request);
    }
    return error(404, "no such API path: " + std::string(path));
}

HttpPlant makeHttpPlant(std::vector<Plc *> plcs) {
    HttpPlant plant{std::move(plcs), {}};
    plant.byName.reserve(plant.plcs.size());
    for (Plc *plc : plant.plcs) {
        plant.byName.emplace_back(plc->setup.name, plc);
    }
    // Stable: of two PLCs with one name the first in the process's order is found.
    std::stable_sort(plant.byName.begin(), plant.byName.end(),
                     [](const auto &a, const auto &b) { return a.first < b.first; });
    return plant;
}

Plc *findPlantPlc(const HttpPlant &plant, std::string_view name) {
    const auto found =
        std::lower_bound(plant.byName.begin(), plant.byName.end(), name,
                         [](const std::pair<std::string, Plc *> &entry, std::string_view key) {
                             return std::string_view(entry.first) < key;
                         });
    return found != plant.byName.end() && found->first == name ? found->second : nullptr;
}

PlantReply handlePlantRequest(const HttpPlant &plant, const HttpAccess &access,
                              const HttpRequest &request) {
    const std::string_view path = request.path;
    if (std::optional<PlcPath> named = splitPlcPath(path)) {
        HttpRequest inner = request;
        inner.path = named->path;
        // The token first: without it a caller learns nothing, not even which names exist.
        if (!authorised(access, inner)) {
            return {tokenNeeded(), nullptr};
        }
        Plc *plc = findPlantPlc(plant, named->name);
        if (plc == nullptr) {
            return {error(404, "no PLC named '" + std::string(named->name) + "'"), nullptr};
        }
        setLogPlc(plc->setup.name); // its lines name it, as the loop's do
        PlantReply reply{handleHttpRequest(*plc, access, inner), plc};
        setLogPlc({});
        return reply;
    }
    if (path == "/api/plcs" || path == "/metrics") {
        if (!authorised(access, request)) {
            return {tokenNeeded(), nullptr};
        }
        if (request.method != "GET") {
            return {wrongMethod(request), nullptr};
        }
        return {path == "/metrics" ? metricsReply(plant.plcs)
                                   : HttpReply{200, jsonType, plcsText(plant), {}, false},
                nullptr};
    }
    Plc *first = plant.plcs.front();
    setLogPlc(first->setup.name);
    PlantReply reply{handleHttpRequest(*first, access, request), first};
    setLogPlc({});
    return reply;
}
