// The options and the one table that describes them. Each row is one setting: its command-line
// flag, its configuration key, the kind of value it takes, the line the usage text gives it, how
// its value is read and how --check shows it. The command line, the usage text, the
// configuration file (config_file.cpp) and the --check report all come from the table, so a new
// option is one row. With no arguments the server listens on port 102 of every IPv4 address.
#pragma once

#include "core/fault_rules.h"
#include "memory/process_image.h"
#include "platform/platform.h"
#include "plc/cpu_profile.h"
#include "plc/plc.h"
#include "plc/retained_memory.h"

#include <array>
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

// What the server runs with: the command line's options over a configuration file's settings.
struct Options {
    // The PLC's name: "plc" unless a configuration file's [[plc]] table names it.
    std::string plcName = "plc";
    std::uint16_t port = 102;
    Ipv4Address bindAddress{0, 0, 0, 0};
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
    // The events file: one JSON line per exchange; empty: none. eventsData adds reads' bytes.
    std::string eventsFile;
    bool eventsData = false;
    // The watch page: off unless a port is given (0: any free one); 127.0.0.1 unless an address
    // is.
    bool http = false;
    std::uint16_t httpPort = 0;
    Ipv4Address httpAddress{127, 0, 0, 1};
    std::string httpToken; // empty: none asked for
    bool httpReadOnly = false;
    // The PLC's program: the file as given (relative to the configuration file when it names it)
    // and its text, read before the start (readProgramFile).
    std::string programFile;
    std::string programSource;
    int cycleMs = defaultCycleMs;
    int maxCycleMs = defaultMaxCycleMs;
    int programMemoryMb = defaultProgramMemoryMb;
    bool manualClock = false; // --clock manual: the PLC's time moves only when told
    std::string readyFile;    // written once every listener is open; empty: none
    bool exitWithParent = false;
    std::vector<std::string> plcGlobs;     // --plc: serve only the PLCs so named; empty: every one
    std::vector<FaultRule> faults;         // the configuration's [[fault]] rules, then each --fault
    std::uint64_t seed = defaultFaultSeed; // --seed: the fault rules' probabilities
    bool showHelp = false;
    bool showVersion = false;
};

// The kind of value an option takes, on the command line and in the configuration file.
enum class OptionValue {
    none,    // a switch of the command line only: --check
    boolean, // --demo (true) or --demo=false; in the file true or false
    integer, // --port N; in the file an integer
    text,    // --bind A.B.C.D; in the file a string
    table,   // --identity KEY=VALUE, repeatable, one key each; in the file a [table] of them
    tables,  // --db KEY=VALUE,KEY=VALUE, repeatable, one whole table each; in the file [[tables]]
};

// One key of a table option ([identity], [areas]): its name and the kind of its value.
struct TableKey {
    std::string_view key;
    OptionValue value; // integer or text
};

// A value of the configuration file, for the rows whose file form has a reader of its own
// (config_file.cpp).
struct ConfigNode;

struct OptionRow {
    std::string_view flag;      // "--port"
    std::string_view key;       // "port"; empty: the command line's only
    std::string_view valueName; // as the usage shows the value: "N"; empty for none
    OptionValue value;
    std::string_view usage;   // what it does, for the usage text (lines parted by \n)
    std::string_view example; // an accepted value, as on the command line (tests try each row)
    // Reads one value as the command line gives it into the options; returns why it cannot, or
    // an empty text. The configuration file hands its values over as the same text.
    std::string (*read)(std::string_view value, Options &options);
    // Writes the --check lines of the setting; nullptr for a row --check does not show.
    void (*show)(const Options &options, std::string &report);
    std::span<const TableKey> tableKeys; // a table option's keys
    bool needsProfile;                   // refused while the CPU is classic
    // Reads the file's value itself (the [[db]] and [[fault]] tables); nullptr: its value, as
    // text, goes through read.
    bool (*readFromFile)(ConfigNode &node, Options &options);
};

std::span<const OptionRow> optionTable();
const OptionRow *findOptionByFlag(std::string_view flag);

struct ParseResult {
    bool ok;
    Options options;
    std::string error; // one line, when not ok
};

// The arguments applied over defaults (a configuration file's settings, or the built-in ones).
ParseResult parseCommandLine(std::span<const std::string_view> arguments,
                             const Options &defaults = Options{});

// The usage text: the synopsis and one entry per row.
std::string usageText();

// What --check prints: every setting, one a line, in the table's order (the data blocks with
// their sizes and sources, the fault rules and their seed at the end).
std::string describeOptions(const Options &options);

// What --check prints for a plant: the process's settings, then each PLC's under its name. A
// plant of one PLC named "plc" (a file without [[plc]]) prints as describeOptions does.
std::string describePlant(const Options &process, std::span<const Options> plant);

// The keys that set up the process rather than one PLC: one log, one capture, one events file,
// one watch page. A configuration file's [[plc]] row refuses them.
inline constexpr std::array<std::string_view, 7> processOptionKeys = {
    "color", "pcap", "events", "events_data", "http", "http_token", "http_read_only"};

// Why the options cannot be used together, or an empty text: settings only a CPU profile takes
// while the CPU is classic. Checked once the command line and the file are joined.
std::string checkProfileOptions(const Options &options);

// The sizes of the CPU's areas: the configuration's [areas] over the profile's.
ProcessImageSizes processImageSizes(const Options &options);

// The PLC the options describe; their data block images move into it.
PlcSetup plcSetupOf(Options options);

// Whether name is one a PLC may have: 1-32 of A-Z a-z 0-9 _ -.
bool validPlcName(std::string_view name);

// Clients served at once: 1 to this many.
inline constexpr int largestConnectionLimit = 64;

// Why the HTTP settings cannot be used (a page reachable from other machines without a token),
// or an empty text.
std::string checkHttpOptions(const Options &options);

// Colour is used when asked for, or in automatic mode when stdout is a terminal and NO_COLOR is
// not set.
bool decideColour(ColourMode mode, bool stdoutIsTerminal, bool noColorSet);

// The readers config_file.cpp has for the command line and the table: --db's settings read as a
// [[db]] table is, and the file's [[db]] and [[fault]] arrays.
std::string readDataBlockText(std::string_view settings, Options &options);
bool readDataBlocksFromFile(ConfigNode &node, Options &options);
bool readFaultsFromFile(ConfigNode &node, Options &options);
