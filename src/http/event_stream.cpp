#include "http/event_stream.h"

#include "base/text.h"
#include "core/log.h"

#include <algorithm>
#include <cstring>

using json = nlohmann::ordered_json;

namespace {

// A stream holds at most this much unsent text; a subscriber that takes nothing for that long
// gets no more until it catches up, so a stalled page costs bounded memory.
constexpr std::size_t largestPending = std::size_t{1024} * 1024;
// Under heavy traffic the log grows by thousands of lines a second, more than a page can show:
// each refresh sends the newest this many, so the stream costs the loop little whatever the load.
constexpr std::uint64_t logLinesPerRefresh = 50;

void appendEvent(EventStream &stream, std::string_view name, const json &data) {
    if (stream.pending.size() - stream.pendingOffset > largestPending) {
        return;
    }
    stream.pending.append("event: ").append(name).append("\ndata: ");
    stream.pending.append(data.dump(-1, ' ', false, json::error_handler_t::replace));
    stream.pending.append("\n\n");
}

void sendValues(Plc &plc, EventStream &stream) {
    json changed = json::array();
    for (std::size_t index = 0; index < stream.watched.size(); ++index) {
        json entry = watchValueJson(plc, stream.watched[index]);
        entry.erase("status");
        entry["index"] = index;
        std::string text = entry.dump(-1, ' ', false, json::error_handler_t::replace);
        if (text != stream.lastSent[index]) {
            stream.lastSent[index] = std::move(text);
            changed.push_back(std::move(entry));
        }
    }
    if (!changed.empty()) {
        appendEvent(stream, "values", json{{"values", std::move(changed)}});
    }
}

void sendLog(EventStream &stream, std::uint64_t most) {
    if (latestLogSequence() == stream.logSequence) {
        return;
    }
    json lines = json::array();
    const std::uint64_t latest = latestLogSequence();
    const std::uint64_t after = std::max(stream.logSequence, latest > most ? latest - most : 0);
    for (const RecentLogLine &line : recentLogLines(after)) {
        lines.push_back({{"attribute", line.attribute}, {"text", line.text}});
        stream.logSequence = line.sequence;
    }
    stream.logSequence = latestLogSequence();
    if (!lines.empty()) {
        appendEvent(stream, "log", json{{"lines", std::move(lines)}});
    }
}

void sendMemory(Plc &plc, EventStream &stream) {
    if (stream.memoryPath.empty()) {
        return;
    }
    const MemoryView view = findMemoryView(plc, stream.memoryPath);
    std::string hex =
        view.ok ? hexText(view.bytes.first(std::min<std::size_t>(view.bytes.size(), 65536)))
                : std::string("-") + view.error; // a marker that never is hex
    if (hex == stream.lastMemory) {
        return;
    }
    stream.lastMemory = std::move(hex);
    if (view.ok) {
        appendEvent(stream, "memory",
                    json{{"area", stream.memoryPath}, {"start", 0}, {"hex", stream.lastMemory}});
    } else {
        appendEvent(stream, "memory", json{{"area", stream.memoryPath}, {"error", view.error}});
    }
}

void sendFaults(const Plc &plc, EventStream &stream) {
    std::string text = faultsJson(plc.faults).dump(-1, ' ', false, json::error_handler_t::replace);
    if (text != stream.lastFaults) {
        stream.lastFaults = std::move(text);
        stream.pending.append("event: faults\ndata: ").append(stream.lastFaults).append("\n\n");
    }
}

} // namespace

EventStream openEventStream(Plc &plc, const HttpAccess &access, const HttpRequest &request,
                            std::int64_t nowMicros) {
    EventStream stream{};
    for (const auto &[key, value] : request.query) {
        if (key == "addr") {
            stream.watched.push_back(parseWatchedAddress(value));
        } else if (key == "memory") {
            stream.memoryPath = value;
        }
    }
    stream.lastSent.resize(stream.watched.size());
    // Tells EventSource how soon to reconnect after the server went away.
    stream.pending = "retry: 1000\n\n";
    sendLog(stream, recentLogCapacity);
    stream.nextStatusMicros = nowMicros;
    refreshEventStream(plc, access, stream, nowMicros);
    return stream;
}

void refreshEventStream(Plc &plc, const HttpAccess &access, EventStream &stream,
                        std::int64_t nowMicros) {
    sendValues(plc, stream);
    if (nowMicros >= stream.nextStatusMicros) {
        appendEvent(stream, "status", statusJson(plc, access));
        stream.nextStatusMicros = nowMicros + statusEventMicros;
    }
    sendLog(stream, logLinesPerRefresh);
    sendMemory(plc, stream);
    sendFaults(plc, stream);
}

bool hasEventBytes(const EventStream &stream) {
    return stream.pendingOffset < stream.pending.size();
}

std::size_t takeEventBytes(EventStream &stream, char *out, std::size_t room) {
    const std::size_t count = std::min(room, stream.pending.size() - stream.pendingOffset);
    std::copy_n(stream.pending.data() + stream.pendingOffset, count, out);
    stream.pendingOffset += count;
    if (stream.pendingOffset == stream.pending.size()) {
        stream.pending.clear();
        stream.pendingOffset = 0;
    }
    return count;
}
