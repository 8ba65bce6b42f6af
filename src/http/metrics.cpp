#include "http/metrics.h"

#include <array>
#include <cstdio>

namespace {

// A label value as the format wants it: backslash, quote and line break escaped.
std::string labelValue(std::string_view text) {
    std::string escaped;
    for (const char c : text) {
        if (c == '\\' || c == '"') {
            escaped += '\\';
            escaped += c;
        } else if (c == '\n') {
            escaped += "\\n";
        } else {
            escaped += c;
        }
    }
    return escaped;
}

void family(std::string &out, std::string_view name, std::string_view type, std::string_view help) {
    out += "# HELP ";
    out += name;
    out += ' ';
    out += help;
    out += "\n# TYPE ";
    out += name;
    out += ' ';
    out += type;
    out += '\n';
}

// One sample: name{labels} value, or name value without labels.
void sample(std::string &out, std::string_view name, std::string_view labels,
            std::string_view value) {
    out += name;
    if (!labels.empty()) {
        out += '{';
        out += labels;
        out += '}';
    }
    out += ' ';
    out += value;
    out += '\n';
}

void sample(std::string &out, std::string_view name, std::string_view labels, std::uint64_t value) {
    sample(out, name, labels, std::to_string(value));
}

// Seconds as a float; 15 digits keep the microseconds of any sum and show a bound as written.
std::string seconds(double value) {
    std::array<char, 32> text{};
    std::snprintf(text.data(), text.size(), "%.15g", value);
    return text.data();
}

void requestSamples(std::string &out, const std::string &plcLabel, const TrafficCounts &counts) {
    family(out, "plcdouble_requests_total", "counter",
           "Exchanges answered (requests, connection requests, closes) by protocol, operation "
           "and result.");
    constexpr std::array<std::string_view, 2> results = {"ok", "error"};
    for (std::size_t protocol = 0; protocol < trafficProtocolCount; ++protocol) {
        for (std::size_t operation = 0; operation < trafficOperationCount; ++operation) {
            for (std::size_t result = 0; result < results.size(); ++result) {
                const std::uint64_t count = counts.exchanges[protocol][operation][result];
                if (count == 0) {
                    continue; // a series appears with its first exchange
                }
                std::string labels = plcLabel;
                labels += ",proto=\"";
                labels += protocolName(static_cast<TrafficProtocol>(protocol));
                labels += "\",op=\"";
                labels += operationName(static_cast<TrafficOperation>(operation));
                labels += "\",result=\"";
                labels += results[result];
                labels += '"';
                sample(out, "plcdouble_requests_total", labels, count);
            }
        }
    }
}

void cycleSamples(std::string &out, const std::string &plcLabel, const CycleHistogram &cycles) {
    constexpr std::string_view name = "plcdouble_program_cycle_seconds";
    family(out, name, "histogram", "Time the PLC program's cycles took.");
    std::uint64_t cumulative = 0;
    const std::string bucketName = std::string(name) + "_bucket";
    for (std::size_t bucket = 0; bucket < cycles.counts.size(); ++bucket) {
        cumulative += cycles.counts[bucket];
        std::string labels = plcLabel;
        labels += ",le=\"";
        labels += bucket < cycleBucketSeconds.size() ? seconds(cycleBucketSeconds[bucket]) : "+Inf";
        labels += '"';
        sample(out, bucketName, labels, cumulative);
    }
    sample(out, std::string(name) + "_sum", plcLabel, seconds(cycles.sumSeconds));
    sample(out, std::string(name) + "_count", plcLabel, cycles.cycles);
}

} // namespace

std::string metricsText(const Plc &plc, const ProcessCounts &process) {
    std::string plcLabel = "plc=\"";
    plcLabel += labelValue(plc.traffic.plcName); // appended: GCC 12 warns wrongly on "..." + text
    plcLabel += '"';
    const TrafficCounts &counts = plc.traffic.counts;
    const ConnectionTable &table = plc.connections;
    std::uint64_t bytesIn = counts.closedBytesIn;
    std::uint64_t bytesOut = counts.closedBytesOut;
    for (int slot = 0; slot < table.connectionCount; ++slot) {
        bytesIn += slotAt(table, slot).bytesIn;
        bytesOut += slotAt(table, slot).bytesOut;
    }
    std::string out;
    requestSamples(out, plcLabel, counts);
    family(out, "plcdouble_received_bytes_total", "counter",
           "Bytes received from S7 and S5 clients.");
    sample(out, "plcdouble_received_bytes_total", plcLabel, bytesIn);
    family(out, "plcdouble_sent_bytes_total", "counter", "Bytes sent to S7 and S5 clients.");
    sample(out, "plcdouble_sent_bytes_total", plcLabel, bytesOut);
    family(out, "plcdouble_connections_open", "gauge", "Client connections open now.");
    sample(out, "plcdouble_connections_open", plcLabel,
           static_cast<std::uint64_t>(table.connectionCount));
    family(out, "plcdouble_connections_refused_total", "counter",
           "Connections refused: over the limit, a connection request refused, S7CommPlus.");
    sample(out, "plcdouble_connections_refused_total", plcLabel, counts.connectionsRefused);
    family(out, "plcdouble_fault_rule_fired_total", "counter",
           "Requests each fault rule in force acted on.");
    for (const FaultRule &rule : plc.faults.rules) {
        sample(out, "plcdouble_fault_rule_fired_total",
               plcLabel + ",rule=\"" + std::to_string(rule.id) + "\"", rule.fired);
    }
    cycleSamples(out, plcLabel, plc.program.histogram);
    // The log is the process's: no PLC label.
    family(out, "plcdouble_log_lines_dropped_total", "counter",
           "Console log lines dropped because the output did not take them.");
    sample(out, "plcdouble_log_lines_dropped_total", "", process.logLinesDropped);
    family(out, "plcdouble_event_lines_dropped_total", "counter",
           "Events file lines dropped because the file did not take them.");
    sample(out, "plcdouble_event_lines_dropped_total", "", process.eventLinesDropped);
    return out;
}
