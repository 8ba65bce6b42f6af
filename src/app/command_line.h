// The command line. With no arguments the server listens on port 102 of every IPv4 address.
#pragma once

#include "core/fault_rules.h"
#include "memory/memory_image.h"
#include "memory/process_image.h"
#include "platform/platform.h"
#include "s7/cpu_profile.h"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

enum class ColourMode { automatic, always, never };

// Area sizes that replace the profile's (a configuration file's [areas]).
struct AreaOverrides {
    std::optional<std::size_t> inputBytes;
    std::optional<std::size_t> outputBytes;
    std::optional<std::size_t> flagBytes;
    std::optional<std::size_t> timerCount;
    std::optional<std::size_t> counterCount;
};

// A data block the server starts with: its number, size and whole start image.
struct DataBlockSetup {
    std::uint16_t number;
    std::vector<std::uint8_t> image; // exactly the block's size
    std::string source;              // where the content came from, for --check
};

// An image read from the state folder at start, checked: it replaces the start content of its
// data block or area.
struct KeptImage {
    ImageUnit unit;
    std::vector<std::uint8_t> content;
};

// The memory kept in the state folder, as found at start.
struct KeptMemory {
    std::vector<KeptImage> images;       // in file name order
    std::vector<std::string> unfinished; // temporary files of saves that never completed
    bool folderMissing = false;          // created at start
};

inline constexpr int defaultSaveEverySeconds = 10;
inline constexpr int largestSaveEverySeconds = 86400;

// What the server runs with: the command line's options over a configuration file's settings.
struct Options {
    std::uint16_t port = 102;
    platform::Ipv4Address bindAddress{0, 0, 0, 0};
    ColourMode colour = ColourMode::automatic;
    const CpuProfile *cpu = &cpuProfileAt(0); // classic
    int connections = 0;                      // 0: as many as the profile serves
    bool demo = true;                         // DB1 and DB15 animated
    bool strict = false;                      // only dataBlocks exist, at their sizes
    IdentityOverrides identity;
    AreaOverrides areas;
    std::vector<DataBlockSetup> dataBlocks; // in ascending number
    std::string configFile;                 // --config
    std::string stateFolder;                // --state: where the memory is kept; empty: nowhere
    int saveEverySeconds = defaultSaveEverySeconds;
    KeptMemory kept;    // read from stateFolder before the start
    bool check = false; // --check: print what would be served, then exit
    std::string pcap;   // the capture file; empty: none
    // The watch page: off unless a port is given; 127.0.0.1 unless an address is.
    std::uint16_t httpPort = 0;
    platform::Ipv4Address httpAddress{127, 0, 0, 1};
    std::string httpToken; // empty: none asked for
    bool httpReadOnly = false;
    std::vector<FaultRule> faults;         // the configuration's [[fault]] rules, then each --fault
    std::uint64_t seed = defaultFaultSeed; // --seed: the fault rules' probabilities
    bool showHelp = false;
    bool showVersion = false;
};

struct ParseResult {
    bool ok;
    Options options;
    std::string error; // one line, when not ok
};

// The sizes of the CPU's areas: the configuration's [areas] over the profile's.
ProcessImageSizes processImageSizes(const Options &options);

// Clients served at once: 1 to this many.
inline constexpr int largestConnectionLimit = 64;

// The arguments applied over defaults (a configuration file's settings, or the built-in ones).
ParseResult parseCommandLine(std::span<const std::string_view> arguments,
                             const Options &defaults = Options{});

extern const char *const usageText;

// --http's value: "PORT" or "A.B.C.D:PORT".
bool parseHttpEndpoint(std::string_view text, Options &options);

// Why the HTTP settings cannot be used (a page reachable from other machines without a token),
// or an empty text.
std::string checkHttpOptions(const Options &options);

// Colour is used when asked for, or in automatic mode when stdout is a terminal and NO_COLOR is
// not set.
bool decideColour(ColourMode mode, bool stdoutIsTerminal, bool noColorSet);
