#include "http/metrics.h"

#include <array>
#include <cstdio>
#include <string>
#include <vector>

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

std::string plcLabelOf(const Plc &plc) {
    std::string label = "plc=\"";
    label += labelValue(plc.traffic.plcName); // appended: GCC 12 warns wrongly on "..." + text
    label += '"';
    return label;
}

void requestSamples(std::string &out, const std::string &plcLabel, const TrafficCounts &counts) {
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

struct ByteTotals {
    std::uint64_t in;
    std::uint64_t out;
};

// Closed connections' bytes and those of the connections open now.
ByteTotals byteTotals(const Plc &plc) {
    const ConnectionTable &table = plc.connections;
    ByteTotals totals{plc.traffic.counts.closedBytesIn, plc.traffic.counts.closedBytesOut};
    for (int slot = 0; slot < table.connectionCount; ++slot) {
        totals.in += slotAt(table, slot).bytesIn;
        totals.out += slotAt(table, slot).bytesOut;
    }
    return totals;
}

} // namespace

// The format wants a family's samples together under its HELP and TYPE lines: each family walks
// every PLC.
std::string metricsText(std::span<Plc *const> plcs, const ProcessCounts &process) {
    std::vector<std::string> labels;
    labels.reserve(plcs.size());
    for (const Plc *plc : plcs) {
        labels.push_back(plcLabelOf(*plc));
    }
    std::string out;
    family(out, "plcdouble_requests_total", "counter",
           "Exchanges answered (requests, connection requests, closes) by protocol, operation "
           "and result.");
    for (std::size_t index = 0; index < plcs.size(); ++index) {
        requestSamples(out, labels[index], plcs[index]->traffic.counts);
    }
    family(out, "plcdouble_received_bytes_total", "counter",
           "Bytes received from S7 and S5 clients.");
    for (std::size_t index = 0; index < plcs.size(); ++index) {
        sample(out, "plcdouble_received_bytes_total", labels[index], byteTotals(*plcs[index]).in);
    }
    family(out, "plcdouble_sent_bytes_total", "counter", "Bytes sent to S7 and S5 clients.");
    for (std::size_t index = 0; index < plcs.size(); ++index) {
        sample(out, "plcdouble_sent_bytes_total", labels[index], byteTotals(*plcs[index]).out);
    }
    family(out, "plcdouble_connections_open", "gauge", "Client connections open now.");
    for (std::size_t index = 0; index < plcs.size(); ++index) {
        sample(out, "plcdouble_connections_open", labels[index],
               static_cast<std::uint64_t>(plcs[index]->connections.connectionCount));
    }
    family(out, "plcdouble_connections_refused_total", "counter",
           "Connections refused: over the limit, a connection request refused, S7CommPlus.");
    for (std::size_t index = 0; index < plcs.size(); ++index) {
        sample(out, "plcdouble_connections_refused_total", labels[index],
               plcs[index]->traffic.counts.connectionsRefused);
    }
    family(out, "plcdouble_fault_rule_fired_total", "counter",
           "Requests each fault rule in force acted on.");
    for (std::size_t index = 0; index < plcs.size(); ++index) {
        for (const FaultRule &rule : plcs[index]->faults.rules) {
            std::string ruleLabels = labels[index];
            ruleLabels += ",rule=\"";
            ruleLabels += std::to_string(rule.id);
            ruleLabels += '"';
            sample(out, "plcdouble_fault_rule_fired_total", ruleLabels, rule.fired);
        }
    }
    family(out, "plcdouble_program_cycle_seconds", "histogram",
           "Time the PLC program's cycles took.");
    for (std::size_t index = 0; index < plcs.size(); ++index) {
        cycleSamples(out, labels[index], plcs[index]->program.histogram);
    }
    // The log is the process's: no PLC label.
    family(out, "plcdouble_log_lines_dropped_total", "counter",
           "Console log lines dropped because the output did not take them.");
    sample(out, "plcdouble_log_lines_dropped_total", "", process.logLinesDropped);
    family(out, "plcdouble_event_lines_dropped_total", "counter",
           "Events file lines dropped because the file did not take them.");
    sample(out, "plcdouble_event_lines_dropped_total", "", process.eventLinesDropped);
    return out;
}
