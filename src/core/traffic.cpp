#include "core/traffic.h"

#include "core/log.h"
#include "platform/platform.h"

#include <algorithm>
#include <charconv>

namespace {

constexpr std::uint8_t returnSuccess = 0xFF;
constexpr std::int64_t secondMicros = 1'000'000;

void putDigits(char *at, std::int64_t value, int width) {
    for (int i = width - 1; i >= 0; --i) {
        at[i] = static_cast<char>('0' + value % 10);
        value /= 10;
    }
}

// Made once a second: "2024-05-01T12:00:00"; each line adds its microseconds.
void makeStamp(std::array<char, 19> &stamp, std::int64_t second) {
    const std::string text = isoTimeText(second * secondMicros);
    std::copy_n(text.begin(), stamp.size(), stamp.begin());
}

void appendTime(std::string &out, std::array<char, 19> &stamp, std::int64_t &stampSecond,
                std::int64_t wallMicros) {
    wallMicros = std::max<std::int64_t>(wallMicros, 0);
    const std::int64_t second = wallMicros / secondMicros;
    if (second != stampSecond) {
        makeStamp(stamp, second);
        stampSecond = second;
    }
    std::array<char, 8> fraction{'.'};
    putDigits(fraction.data() + 1, wallMicros % secondMicros, 6);
    fraction[7] = 'Z';
    out.append(stamp.data(), stamp.size());
    out.append(fraction.data(), fraction.size());
}

void appendNumber(std::string &out, std::int64_t value) {
    std::array<char, 24> digits{};
    const auto result = std::to_chars(digits.data(), digits.data() + digits.size(), value);
    out.append(digits.data(), result.ptr);
}

// A JSON string's content: quotes, backslashes and control characters escaped.
void appendEscaped(std::string &out, std::string_view text) {
    for (const char c : text) {
        if (c == '"' || c == '\\') {
            out += '\\';
            out += c;
        } else if (static_cast<unsigned char>(c) < 0x20) {
            const std::array<char, 2> digits = hexDigits(static_cast<std::uint8_t>(c));
            out += "\\u00";
            out.append(digits.data(), digits.size());
        } else {
            out += c;
        }
    }
}

void appendHex(std::string &out, ByteView bytes) {
    for (const std::uint8_t byte : bytes) {
        const std::array<char, 2> digits = hexDigits(byte);
        out.append(digits.data(), digits.size());
    }
}

void appendPeer(std::string &out, const Ipv4Address &address, std::uint16_t port) {
    for (std::size_t i = 0; i < address.size(); ++i) {
        appendNumber(out, address[i]);
        out += i + 1 < address.size() ? '.' : ':';
    }
    appendNumber(out, port);
}

void appendItem(std::string &out, const TrafficItem &item, bool withData) {
    out += "{\"area\": ";
    if (item.areaKnown) {
        out += '"';
        out += areaLetter(item.area);
        out += '"';
    } else {
        out += "null";
    }
    out += ", \"db\": ";
    if (item.areaKnown && item.area == MemoryArea::dataBlock) {
        appendNumber(out, item.dbNumber);
    } else {
        out += "null";
    }
    out += ", \"start\": ";
    appendNumber(out, item.start);
    out += ", \"bit\": ";
    if (item.bit >= 0) {
        appendNumber(out, item.bit);
    } else {
        out += "null";
    }
    out += ", \"size\": ";
    appendNumber(out, item.size);
    out += ", \"code\": ";
    appendNumber(out, item.code);
    if (withData) {
        out += ", \"hex\": \"";
        appendHex(out, item.data);
        out += '"';
    }
    out += '}';
}

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
    TrafficCounts &counts = traffic.counts;
    counts.exchanges[static_cast<std::size_t>(exchange.protocol)][static_cast<std::size_t>(
        exchange.operation)][exchangeFailed(exchange) ? 1 : 0] += 1;
    if (exchange.connectionRefused) {
        counts.connectionsRefused += 1;
    }
    const bool journalled = exchange.operation == TrafficOperation::write && traffic.journal.kept;
    if (!journalled && traffic.events == nullptr) {
        return;
    }
    const std::int64_t wallMicros = platform::wallClockMicros();
    if (journalled) {
        for (const TrafficItem &item : exchange.items) {
            if (item.ok) {
                journalWrite(traffic.journal, exchange, item, wallMicros);
            }
        }
    }
    if (traffic.events != nullptr) {
        makeEventLine(*traffic.events, traffic.plcName, exchange, wallMicros);
        writeEventLine(traffic.events->line);
    }
}

bool exchangeFailed(const Exchange &exchange) {
    if (exchange.operation == TrafficOperation::refused || exchange.headerError != 0) {
        return true;
    }
    return std::any_of(exchange.items.begin(), exchange.items.end(),
                       [](const TrafficItem &item) { return item.code != returnSuccess; });
}

void makeEventLine(EventLines &events, std::string_view plcName, const Exchange &exchange,
                   std::int64_t wallMicros) {
    std::string &out = events.line;
    out.clear();
    out += "{\"time\": \"";
    appendTime(out, events.stamp, events.stampSecond, wallMicros);
    out += "\", \"seq\": ";
    appendNumber(out, static_cast<std::int64_t>(++events.sequence));
    out += ", \"plc\": \"";
    appendEscaped(out, plcName);
    out += "\", \"slot\": ";
    if (exchange.slot >= 0) {
        appendNumber(out, exchange.slot);
    } else {
        out += "null";
    }
    out += ", \"peer\": \"";
    appendPeer(out, exchange.peer, exchange.peerPort);
    out += "\", \"proto\": \"";
    out += protocolName(exchange.protocol);
    out += "\", \"op\": \"";
    out += operationName(exchange.operation);
    out += "\", \"items\": [";
    const bool withData = exchange.operation == TrafficOperation::write ||
                          (exchange.operation == TrafficOperation::read && events.withReadData);
    for (std::size_t i = 0; i < exchange.items.size(); ++i) {
        if (i > 0) {
            out += ", ";
        }
        appendItem(out, exchange.items[i], withData);
    }
    out += "], \"fault\": ";
    if (exchange.faultRule != 0) {
        appendNumber(out, exchange.faultRule);
    } else {
        out += "null";
    }
    out += ", \"error\": ";
    if (exchange.headerError != 0) {
        appendNumber(out, exchange.headerError);
    } else {
        out += "null";
    }
    out += '}';
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
