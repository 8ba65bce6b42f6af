// GET /metrics: the PLC's counts in the Prometheus text exposition format (version 0.0.4), for a
// scraper to collect and graph. docs/events-and-metrics.md names every series.
#pragma once

#include "plc/plc.h"

#include <cstdint>
#include <string>
#include <string_view>

inline constexpr std::string_view metricsContentType = "text/plain; version=0.0.4";

// What the log counts for the whole process, read by the caller (under the log's lock).
struct ProcessCounts {
    std::uint64_t logLinesDropped;
    std::uint64_t eventLinesDropped;
};

std::string metricsText(const Plc &plc, const ProcessCounts &process);
