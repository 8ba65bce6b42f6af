// The configuration file (--config FILE, TOML): the options of the command line under their own
// names, the demo, strict data blocks, the CPU's identity and areas, and data blocks with their
// start content. Everything is checked before the server listens; a file that cannot be used
// gives one line saying where and why.
#pragma once

#include "app/command_line.h"

#include <span>
#include <string>
#include <string_view>
#include <vector>

struct ConfigResult {
    bool ok;
    // The process's settings (the file's top level with the command line over it); with no
    // [[plc]] table also the one PLC's.
    Options options;
    // Every PLC, in the file's order: the [[plc]] rows, each over the top level, with the command
    // line over both; without [[plc]], the one PLC, named "plc", with the data block images
    // moved in from options.
    std::vector<Options> plant;
    std::string
        error; // one line: "FILE:LINE:COLUMN: what is wrong", or "FILE: ..." without a place
};

// The settings in text over the built-in defaults. path names the file in messages, and image
// files are found relative to its folder. cpuOverride, when not null, is the CPU the command line
// chose: the keys only a CPU profile takes are checked against it instead of the file's cpu.
ConfigResult loadConfiguration(std::string_view text, const std::string &path,
                               const CpuProfile *cpuOverride);

// The most PLCs one [[plc]] row makes (count).
inline constexpr int largestPlcCount = 10'000;

// The options to run with. With --config among the arguments: the file's settings with the
// command line applied over them, so an option given there wins. Without it: commandLine itself
// (the arguments already parsed without error). Either way checked as a whole at the end
// (checkProfileOptions).
ConfigResult resolveOptions(std::span<const std::string_view> arguments,
                            const Options &commandLine);

// Reads the program the options name into options.programSource and compiles it. Returns why it
// cannot be used, or an empty text: "FILE: ..." when it cannot be read or programs are not in
// this build, "FILE:LINE: message" for a syntax error.
std::string readProgramFile(Options &options);
