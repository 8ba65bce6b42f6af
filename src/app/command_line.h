// The command line. With no arguments the server listens on port 102 of every IPv4 address.
#pragma once

#include "platform/platform.h"
#include "s7/cpu_profile.h"

#include <cstdint>
#include <span>
#include <string>
#include <string_view>

enum class ColourMode { automatic, always, never };

struct Options {
    std::uint16_t port = 102;
    platform::Ipv4Address bindAddress{0, 0, 0, 0};
    ColourMode colour = ColourMode::automatic;
    const CpuProfile *cpu = &cpuProfileAt(0); // classic
    int connections = 0;                      // 0: as many as the profile serves
    std::string pcap;                         // the capture file; empty: none
    bool showHelp = false;
    bool showVersion = false;
};

struct ParseResult {
    bool ok;
    Options options;
    std::string error; // one line, when not ok
};

// Clients served at once: 1 to this many.
inline constexpr int largestConnectionLimit = 64;

ParseResult parseCommandLine(std::span<const std::string_view> arguments);

extern const char *const usageText;

// Colour is used when asked for, or in automatic mode when stdout is a terminal and NO_COLOR is
// not set.
bool decideColour(ColourMode mode, bool stdoutIsTerminal, bool noColorSet);
