// GET /metrics: the PLCs' counts in the Prometheus text exposition format (version 0.0.4), for a
// scraper to collect and graph. docs/events-and-metrics.md names every series.
#pragma once

#include "plc/plc.h"

#include <cstdint>
#include <span>
#include <string>
#include <string_view>

inline constexpr std::string_view metricsContentType = "text/plain; version=0.0.4";

// What the log counts for the whole process, read by the caller (under the log's lock).
struct ProcessCounts {
    std::uint64_t logLinesDropped;
    std::uint64_t eventLinesDropped;
};

// Every series of a PLC carries its name as the plc label; the log's counts are the process's
// and carry none.
std::string metricsText(std::span<Plc *const> plcs, const ProcessCounts &process);
