#include "app/command_line.h"

#include "base/text.h"
#include "memory/data_block_table.h"
#include "memory/memory_image.h"
#include "s7/item_access.h"
#include "s7/szl.h"
#include "sim/demo_data.h"

#include <algorithm>
#include <array>
#include <utility>

namespace {

// ---------------------------------------------------------------------------------------------
// Reading values. Each reader takes the value as the command line gives it and returns why it
// cannot be used, or an empty text.

// 0 asks the OS for any free port (the ready file tells which).
std::string readPort(std::string_view value, std::uint16_t &port) {
    const std::optional<std::uint64_t> number = parseWholeNumber(value, 0, 65535);
    if (!number) {
        return "bad port: " + std::string(value) + " (expected 0-65535, 0 for any free port)";
    }
    port = static_cast<std::uint16_t>(*number);
    return {};
}

std::string readAddress(std::string_view value, Ipv4Address &address) {
    const std::optional<Ipv4Address> parsed = parseIpv4(value);
    if (!parsed) {
        return "bad address: " + std::string(value) + " (expected A.B.C.D)";
    }
    address = *parsed;
    return {};
}

// "true" or "false", as a switch given alone on the command line is true.
std::string readBoolean(std::string_view flag, std::string_view value, bool &setting) {
    if (value != "true" && value != "false") {
        return "bad " + std::string(flag) + " value: " + std::string(value) +
               " (expected true or false)";
    }
    setting = value == "true";
    return {};
}

std::string readNonEmpty(std::string_view value, std::string &setting, std::string_view missing) {
    if (value.empty()) {
        return std::string(missing);
    }
    setting = std::string(value);
    return {};
}

std::string readCpu(std::string_view value, Options &options) {
    const CpuProfile *cpu = findCpuProfile(value);
    if (cpu == nullptr) {
        std::string names;
        for (std::size_t i = 0; i < cpuProfileCount(); ++i) {
            names += std::string(i == 0                       ? ""
                                 : i + 1 == cpuProfileCount() ? " or "
                                                              : ", ") +
                     std::string(cpuProfileAt(i).name);
        }
        return "bad cpu: " + std::string(value) + " (expected " + names + ")";
    }
    options.cpu = cpu;
    return {};
}

std::string readConnections(std::string_view value, Options &options) {
    const std::optional<std::uint64_t> count =
        parseWholeNumber(value, 1, static_cast<std::uint64_t>(largestConnectionLimit));
    if (!count) {
        return "bad connection count: " + std::string(value) + " (expected 1-64)";
    }
    options.connections = static_cast<int>(*count);
    return {};
}

std::string readColour(std::string_view value, Options &options) {
    constexpr std::array<std::pair<std::string_view, ColourMode>, 3> modes = {
        {{"auto", ColourMode::automatic},
         {"always", ColourMode::always},
         {"never", ColourMode::never}}};
    for (const auto &[name, mode] : modes) {
        if (value == name) {
            options.colour = mode;
            return {};
        }
    }
    return "bad colour mode: " + std::string(value) + " (expected auto, always or never)";
}

std::string readSaveEvery(std::string_view value, Options &options) {
    const std::optional<std::uint64_t> seconds =
        parseWholeNumber(value, 1, static_cast<std::uint64_t>(largestSaveEverySeconds));
    if (!seconds) {
        return "bad save interval: " + std::string(value) + " (expected 1-86400 seconds)";
    }
    options.saveEverySeconds = static_cast<int>(*seconds);
    return {};
}

// A whole number of milliseconds from 1 to largest into target.
std::string readMilliseconds(std::string_view flag, std::string_view value, int largest,
                             int &target) {
    const std::optional<std::uint64_t> ms =
        parseWholeNumber(value, 1, static_cast<std::uint64_t>(largest));
    if (!ms) {
        return "bad " + std::string(flag) + ": " + std::string(value) + " (expected 1-" +
               std::to_string(largest) + " ms)";
    }
    target = static_cast<int>(*ms);
    return {};
}

std::string readProgramMemory(std::string_view value, Options &options) {
    const std::optional<std::uint64_t> mb =
        parseWholeNumber(value, 1, static_cast<std::uint64_t>(largestProgramMemoryMb));
    if (!mb) {
        return "bad program memory: " + std::string(value) + " (expected 1-" +
               std::to_string(largestProgramMemoryMb) + " MiB)";
    }
    options.programMemoryMb = static_cast<int>(*mb);
    return {};
}

std::string readSeed(std::string_view value, Options &options) {
    const std::optional<std::uint64_t> seed = parseWholeNumber(value, 0, UINT64_MAX);
    if (!seed) {
        return "bad seed: " + std::string(value) + " (expected a whole number)";
    }
    options.seed = *seed;
    return {};
}

// "PORT" or "A.B.C.D:PORT".
std::string readHttp(std::string_view value, Options &options) {
    const std::size_t colon = value.rfind(':');
    Ipv4Address address{127, 0, 0, 1};
    std::uint16_t port = 0;
    if ((colon != std::string_view::npos &&
         !readAddress(value.substr(0, colon), address).empty()) ||
        !readPort(colon == std::string_view::npos ? value : value.substr(colon + 1), port)
             .empty()) {
        return "bad --http value: " + std::string(value) +
               " (expected PORT or A.B.C.D:PORT, port 0-65535, 0 for any free port)";
    }
    options.http = true;
    options.httpAddress = address;
    options.httpPort = port;
    return {};
}

std::string readFault(std::string_view value, Options &options) {
    FaultRuleParse rule = parseFaultRuleText(value);
    if (!rule.ok) {
        return "bad --fault \"" + std::string(value) + "\": " + rule.error;
    }
    options.faults.push_back(rule.rule);
    return {};
}

// ---- the table options' keys: [identity] and [areas], or --identity and --areas KEY=VALUE

// [identity]: the key, the text it replaces and the width of its field in the SZL records.
struct IdentityKey {
    std::string_view key;
    std::optional<std::string> IdentityOverrides::*text;
    std::size_t width;
};
// clang-format off
constexpr std::array<IdentityKey, 5> identityKeys = {{
    {"as_name",       &IdentityOverrides::asName,       szlAsNameWidth},
    {"module_name",   &IdentityOverrides::moduleName,   szlModuleNameWidth},
    {"plant_id",      &IdentityOverrides::plantId,      szlPlantIdWidth},
    {"serial_number", &IdentityOverrides::serialNumber, szlSerialNumberWidth},
    {"order_number",  &IdentityOverrides::orderNumber,  szlOrderNumberWidth},
}};
// clang-format on
constexpr std::array<TableKey, 5> identityTableKeys = {{
    {"as_name", OptionValue::text},
    {"module_name", OptionValue::text},
    {"plant_id", OptionValue::text},
    {"serial_number", OptionValue::text},
    {"order_number", OptionValue::text},
}};

// [areas]: the key and the size it replaces (bytes for I, Q and M, elements for T and C).
struct AreaKey {
    std::string_view key;
    std::optional<std::size_t> AreaOverrides::*size;
};
constexpr std::array<AreaKey, 5> areaKeys = {{
    {"inputs", &AreaOverrides::inputBytes},
    {"outputs", &AreaOverrides::outputBytes},
    {"flags", &AreaOverrides::flagBytes},
    {"timers", &AreaOverrides::timerCount},
    {"counters", &AreaOverrides::counterCount},
}};
constexpr std::array<TableKey, 5> areaTableKeys = {{
    {"inputs", OptionValue::integer},
    {"outputs", OptionValue::integer},
    {"flags", OptionValue::integer},
    {"timers", OptionValue::integer},
    {"counters", OptionValue::integer},
}};
constexpr std::uint64_t largestAreaSize = 65535;

template <typename Row, std::size_t count>
std::string keyNames(const std::array<Row, count> &rows) {
    std::string names;
    for (const Row &row : rows) {
        names += (names.empty() ? "" : ", ") + std::string(row.key);
    }
    return names;
}

// KEY=VALUE, split at the first '='.
bool splitPair(std::string_view pair, std::string_view &key, std::string_view &value) {
    const std::size_t equals = pair.find('=');
    if (equals == std::string_view::npos || equals == 0) {
        return false;
    }
    key = pair.substr(0, equals);
    value = pair.substr(equals + 1);
    return true;
}

bool printableAscii(std::string_view text) {
    return std::all_of(text.begin(), text.end(), [](char c) { return c >= 0x20 && c <= 0x7E; });
}

std::string readIdentity(std::string_view pair, Options &options) {
    std::string_view key;
    std::string_view value;
    if (!splitPair(pair, key, value)) {
        return "identity setting '" + std::string(pair) + "' is not key=value";
    }
    for (const IdentityKey &row : identityKeys) {
        if (row.key != key) {
            continue;
        }
        if (!printableAscii(value)) {
            return std::string(key) + " must be printable ASCII characters";
        }
        if (value.size() > row.width) {
            return std::string(key) + " holds " + std::to_string(row.width) +
                   " characters at most, not " + std::to_string(value.size());
        }
        options.identity.*row.text = std::string(value);
        return {};
    }
    return "unknown identity key '" + std::string(key) + "' (expected " + keyNames(identityKeys) +
           ")";
}

std::string readArea(std::string_view pair, Options &options) {
    std::string_view key;
    std::string_view value;
    if (!splitPair(pair, key, value)) {
        return "areas setting '" + std::string(pair) + "' is not key=value";
    }
    for (const AreaKey &row : areaKeys) {
        if (row.key != key) {
            continue;
        }
        const std::optional<std::uint64_t> size = parseWholeNumber(value, 0, largestAreaSize);
        if (!size) {
            return std::string(key) + " must be 0-65535, not " + std::string(value);
        }
        options.areas.*row.size = static_cast<std::size_t>(*size);
        return {};
    }
    return "unknown areas key '" + std::string(key) + "' (expected " + keyNames(areaKeys) + ")";
}

// ---------------------------------------------------------------------------------------------
// Showing values: the --check report, one line a setting, the name padded to 13 columns.

void line(std::string &report, std::string_view name, const std::string &value) {
    std::string padded(name);
    padded.resize(std::max<std::size_t>(padded.size() + 1, 13), ' ');
    report += padded + value + "\n";
}

std::string quoted(std::string_view value) {
    return "\"" + std::string(value) + "\"";
}

bool isClassic(const Options &options) {
    return options.cpu->behaviour == CpuBehaviour::classic;
}

// The state folder and what is kept in it.
std::string stateDescription(const Options &options) {
    if (options.stateFolder.empty()) {
        return "none (the memory starts afresh every run)";
    }
    const KeptMemory &kept = options.kept;
    if (kept.folderMissing) {
        return options.stateFolder + " (does not exist yet: created at start)";
    }
    std::size_t blockCount = 0;
    std::string areas;
    for (const KeptImage &image : kept.images) {
        if (image.unit.area == MemoryArea::dataBlock) {
            ++blockCount;
        } else {
            areas += ", " + unitText(image.unit);
        }
    }
    std::string text = options.stateFolder + " (kept: " + std::to_string(blockCount) +
                       (blockCount == 1 ? " data block" : " data blocks") + areas + ")";
    if (!kept.unfinished.empty()) {
        text +=
            ", " + std::to_string(kept.unfinished.size()) + " unfinished saves to discard at start";
    }
    return text;
}

void showConfig(const Options &options, std::string &report) {
    line(report, "config", options.configFile.empty() ? "none" : options.configFile);
}

void showCpu(const Options &options, std::string &report) {
    line(
        report, "cpu",
        std::string(options.cpu->name) +
            (isClassic(options) ? "" : " (" + std::string(options.cpu->identity.moduleName) + ")"));
}

void showPort(const Options &options, std::string &report) {
    line(report, "port", std::to_string(options.port));
}

void showBind(const Options &options, std::string &report) {
    line(report, "bind", ipv4Text(options.bindAddress));
}

void showConnections(const Options &options, std::string &report) {
    line(report, "connections",
         std::to_string(options.connections > 0 ? options.connections : options.cpu->connections));
}

void showColour(const Options &options, std::string &report) {
    constexpr std::array<std::string_view, 3> colourNames = {"auto", "always", "never"};
    line(report, "color", std::string(colourNames.at(static_cast<std::size_t>(options.colour))));
}

void showState(const Options &options, std::string &report) {
    line(report, "state", stateDescription(options));
}

void showSaveEvery(const Options &options, std::string &report) {
    line(report, "save_every", std::to_string(options.saveEverySeconds) + " s");
}

void showProgram(const Options &options, std::string &report) {
    line(report, "program", options.programFile.empty() ? "none" : options.programFile);
}

void showCycleMs(const Options &options, std::string &report) {
    line(report, "cycle_ms", std::to_string(options.cycleMs) + " ms");
}

void showMaxCycleMs(const Options &options, std::string &report) {
    line(report, "max_cycle_ms", std::to_string(options.maxCycleMs) + " ms");
}

void showProgramMemory(const Options &options, std::string &report) {
    line(report, "program_memory_mb", std::to_string(options.programMemoryMb) + " MiB");
}

void showPcap(const Options &options, std::string &report) {
    line(report, "pcap", options.pcap.empty() ? "none" : options.pcap);
}

void showEvents(const Options &options, std::string &report) {
    line(report, "events", options.eventsFile.empty() ? "none" : options.eventsFile);
}

void showEventsData(const Options &options, std::string &report) {
    line(report, "events_data",
         options.eventsData ? "on (reads carry their bytes)" : "off (only writes carry bytes)");
}

void showHttp(const Options &options, std::string &report) {
    if (!options.http) {
        line(report, "http", "off");
        return;
    }
    std::string url = "http://";
    url += ipv4Text(options.httpAddress);
    url += ':';
    url += options.httpPort == 0 ? std::string("any free port") : std::to_string(options.httpPort);
    url += '/';
    line(report, "http", url);
}

void showReadyFile(const Options &options, std::string &report) {
    line(report, "ready_file", options.readyFile.empty() ? "none" : options.readyFile);
}

std::string readPlcGlob(std::string_view value, Options &options) {
    if (value.empty()) {
        return "--plc needs a name or pattern";
    }
    options.plcGlobs.emplace_back(value);
    return {};
}

void showPlcGlobs(const Options &options, std::string &report) {
    if (options.plcGlobs.empty()) {
        return; // every PLC: the list of them says so
    }
    std::string globs;
    for (const std::string &glob : options.plcGlobs) {
        globs += (globs.empty() ? "" : ", ") + glob;
    }
    line(report, "plc", globs);
}

void showClock(const Options &options, std::string &report) {
    line(report, "clock", options.manualClock ? "manual (moved by POST /api/clock)" : "real");
}

std::string readClock(std::string_view value, Options &options) {
    if (value != "real" && value != "manual") {
        return "bad clock: " + std::string(value) + " (expected real or manual)";
    }
    options.manualClock = value == "manual";
    return {};
}

void showHttpToken(const Options &options, std::string &report) {
    line(report, "http_token",
         options.httpToken.empty() ? "none" : "set (every API request needs it)");
}

void showHttpReadOnly(const Options &options, std::string &report) {
    line(report, "http_read_only", options.httpReadOnly ? "on (no writes over HTTP)" : "off");
}

void showDemo(const Options &options, std::string &report) {
    line(report, "demo", options.demo ? "on (DB1 and DB15 animated)" : "off");
}

void showStrict(const Options &options, std::string &report) {
    line(report, "strict",
         options.strict ? "on (only the blocks below exist, at their sizes)" : "off");
}

void showIdentity(const Options &options, std::string &report) {
    if (isClassic(options)) {
        line(report, "identity", "none (classic)");
        return;
    }
    const IdentityOverrides &own = options.identity;
    const CpuIdentity &base = options.cpu->identity;
    line(report, "identity",
         "AS name " + quoted(own.asName.value_or(std::string(base.asName))) + ", module name " +
             quoted(own.moduleName.value_or(std::string(base.moduleName))) + ", plant ID " +
             quoted(own.plantId.value_or(std::string(base.plantId))) + ", serial number " +
             quoted(own.serialNumber.value_or(std::string(base.serialNumber))) + ", order number " +
             quoted(own.orderNumber.value_or(std::string(base.orderNumber))));
}

void showAreas(const Options &options, std::string &report) {
    if (isClassic(options)) {
        line(report, "areas", "none (classic serves every address from the data blocks)");
        return;
    }
    const ProcessImageSizes sizes = processImageSizes(options);
    line(report, "areas",
         "inputs " + std::to_string(sizes.inputBytes) + " bytes, outputs " +
             std::to_string(sizes.outputBytes) + " bytes, flags " +
             std::to_string(sizes.flagBytes) + " bytes, timers " +
             std::to_string(sizes.timerBytes / timerCounterElementBytes) + ", counters " +
             std::to_string(sizes.counterBytes / timerCounterElementBytes));
}

// Each data block with its size and where its content comes from: the declared ones, the kept
// images (which win over the start content), and the demo's where strict blocks need them.
void showDataBlocks(const Options &options, std::string &report) {
    std::vector<std::pair<std::size_t, std::string>> blocks;
    for (const DataBlockSetup &block : options.dataBlocks) {
        blocks.emplace_back(block.number,
                            std::to_string(block.image.size()) + " bytes, " + block.source);
    }
    for (const KeptImage &image : options.kept.images) {
        if (image.unit.area != MemoryArea::dataBlock) {
            continue;
        }
        const std::string kept = std::to_string(image.content.size()) + " bytes, kept in " +
                                 options.stateFolder + "/" + imageFileName(image.unit);
        const auto declared =
            std::find_if(blocks.begin(), blocks.end(),
                         [&image](const auto &entry) { return entry.first == image.unit.number; });
        if (declared != blocks.end()) {
            declared->second = kept + " (over " + declared->second + ")";
        } else {
            blocks.emplace_back(image.unit.number, kept);
        }
    }
    if (options.strict && options.demo) {
        for (const int number : {demoBlockS7Order, demoBlockS5Order}) {
            const auto declared =
                std::find_if(blocks.begin(), blocks.end(), [number](const auto &entry) {
                    return entry.first == static_cast<std::size_t>(number);
                });
            if (declared == blocks.end()) {
                blocks.emplace_back(number, std::to_string(initialSizeS5) + " bytes, demo");
            }
        }
    }
    std::sort(blocks.begin(), blocks.end());
    for (const auto &[number, description] : blocks) {
        line(report, "DB" + std::to_string(number), description);
    }
    if (blocks.empty()) {
        line(report, "blocks", options.strict ? "none" : "created as clients use them");
    }
}

// The fault rules, then the seed their probabilities draw from (which matters only with rules).
void showFaults(const Options &options, std::string &report) {
    if (options.faults.empty()) {
        line(report, "faults", "none");
        return;
    }
    for (std::size_t i = 0; i < options.faults.size(); ++i) {
        line(report, "fault " + std::to_string(i + 1), describeFaultRule(options.faults[i]));
    }
    line(report, "seed", std::to_string(options.seed));
}

// ---------------------------------------------------------------------------------------------
// The table. The configuration file's keys come in this order too: the cpu first, as the keys
// behind it are checked against it.

using Kind = OptionValue;

// clang-format off
const std::array<OptionRow, 32> rows = {{
    {"--config", "", "FILE", Kind::text,
     "settings, data blocks and identity from a TOML file; the options\n"
     "given here win over the file's", "plc.toml",
     [](std::string_view v, Options &o) { return readNonEmpty(v, o.configFile, "--config needs a file name"); },
     showConfig, {}, false, nullptr},
    {"--cpu", "cpu", "NAME", Kind::text,
     "answer as classic (default), s7-300, s7-400, s7-1200 or s7-1500", "s7-300",
     readCpu, showCpu, {}, false, nullptr},
    {"--port", "port", "N", Kind::integer,
     "TCP port to listen on, 1-65535, or 0 for any free one (default 102)", "1102",
     [](std::string_view v, Options &o) { return readPort(v, o.port); }, showPort, {}, false, nullptr},
    {"--bind", "bind", "A.B.C.D", Kind::text,
     "IPv4 address to listen on (default 0.0.0.0, every address)", "127.0.0.1",
     [](std::string_view v, Options &o) { return readAddress(v, o.bindAddress); }, showBind, {}, false, nullptr},
    {"--connections", "connections", "N", Kind::integer,
     "clients served at once, 1-64 (default: classic 2, else the CPU's)", "5",
     readConnections, showConnections, {}, false, nullptr},
    {"--color", "color", "MODE", Kind::text,
     "colour the log: auto (on a terminal unless NO_COLOR is set),\n"
     "always or never (default auto)", "never",
     readColour, showColour, {}, false, nullptr},
    {"--state", "state", "DIR", Kind::text,
     "keep the memory (data blocks, I, Q, M, T, C) in DIR across runs", "kept",
     [](std::string_view v, Options &o) { return readNonEmpty(v, o.stateFolder, "--state needs a folder"); },
     showState, {}, false, nullptr},
    {"--save-every", "save_every", "S", Kind::integer,
     "save what changed every S seconds, 1-86400 (default 10)", "30",
     readSaveEvery, showSaveEvery, {}, false, nullptr},
    {"--pcap", "pcap", "FILE", Kind::text,
     "write every frame received and sent to FILE, a capture file for\n"
     "Wireshark (the server shows as port 102 there)", "run.pcap",
     [](std::string_view v, Options &o) { return readNonEmpty(v, o.pcap, "--pcap needs a file name"); },
     showPcap, {}, false, nullptr},
    {"--events", "events", "FILE", Kind::text,
     "write one JSON line per exchange to FILE: time, client, operation,\n"
     "items and their codes (see docs/events-and-metrics.md)", "events.jsonl",
     [](std::string_view v, Options &o) { return readNonEmpty(v, o.eventsFile, "--events needs a file name"); },
     showEvents, {}, false, nullptr},
    {"--events-data", "events_data", "", Kind::boolean,
     "reads in the events file carry their bytes too (writes always do)", "true",
     [](std::string_view v, Options &o) { return readBoolean("--events-data", v, o.eventsData); },
     showEventsData, {}, false, nullptr},
    {"--seed", "seed", "N", Kind::integer,
     "seed for the fault rules' probabilities (default 1)", "42",
     readSeed, nullptr, {}, false, nullptr}, // shown with the fault rules
    {"--http", "http", "[A.B.C.D:]PORT", Kind::text,
     "serve the watch page and its JSON API on PORT (default\n"
     "address 127.0.0.1; any other needs --http-token; 0: any free port)", "8080",
     readHttp, showHttp, {}, false, nullptr},
    {"--http-token", "http_token", "T", Kind::text,
     "every API request must carry Authorization: Bearer T", "secret",
     [](std::string_view v, Options &o) { return readNonEmpty(v, o.httpToken, "--http-token needs a token"); },
     showHttpToken, {}, false, nullptr},
    {"--http-read-only", "http_read_only", "", Kind::boolean,
     "serve the page and API without any write", "true",
     [](std::string_view v, Options &o) { return readBoolean("--http-read-only", v, o.httpReadOnly); },
     showHttpReadOnly, {}, false, nullptr},
    {"--demo", "demo", "", Kind::boolean,
     "animate DB1 and DB15 (default true; --demo=false keeps them still)", "false",
     [](std::string_view v, Options &o) { return readBoolean("--demo", v, o.demo); }, showDemo, {}, false, nullptr},
    {"--strict", "strict", "", Kind::boolean,
     "serve only the declared data blocks, at their sizes (a CPU profile)", "true",
     [](std::string_view v, Options &o) { return readBoolean("--strict", v, o.strict); },
     showStrict, {}, true, nullptr},
    {"--identity", "identity", "KEY=TEXT", Kind::table,
     "the CPU's identity texts: as_name, module_name, plant_id,\n"
     "serial_number or order_number; repeatable", "as_name=LINE-2",
     readIdentity, showIdentity, identityTableKeys, true, nullptr},
    {"--areas", "areas", "KEY=N", Kind::table,
     "area sizes: inputs, outputs, flags (bytes), timers, counters;\n"
     "repeatable", "flags=1024",
     readArea, showAreas, areaTableKeys, true, nullptr},
    {"--db", "db", "SETTINGS", Kind::tables,
     "a data block, e.g. \"number=10,size=64,hex=0A0B\"; start values as\n"
     "DBW2:INT=7; repeatable", "number=7,size=16,DBW2:INT=7",
     readDataBlockText, showDataBlocks, {}, false, readDataBlocksFromFile},
    {"--program", "program", "FILE", Kind::text,
     "run FILE, a Lua program, as the PLC's program: startup() at every\n"
     "start, cycle(dt_ms) every cycle while in RUN (see docs/program.md)", "line.lua",
     [](std::string_view v, Options &o) { return readNonEmpty(v, o.programFile, "--program needs a file name"); },
     showProgram, {}, false, nullptr},
    {"--cycle-ms", "cycle_ms", "N", Kind::integer,
     "the program's cycle time, 1-10000 ms (default 20)", "50",
     [](std::string_view v, Options &o) { return readMilliseconds("cycle time", v, largestCycleMs, o.cycleMs); },
     showCycleMs, {}, false, nullptr},
    {"--max-cycle-ms", "max_cycle_ms", "N", Kind::integer,
     "a cycle running longer stops the CPU, 1-60000 ms (default 150)", "500",
     [](std::string_view v, Options &o) { return readMilliseconds("cycle monitoring time", v, largestMaxCycleMs, o.maxCycleMs); },
     showMaxCycleMs, {}, false, nullptr},
    {"--program-memory-mb", "program_memory_mb", "N", Kind::integer,
     "memory the program may hold, 1-4096 MiB (default 64); more stops\n"
     "the CPU", "16",
     readProgramMemory, showProgramMemory, {}, false, nullptr},
    {"--clock", "clock", "real|manual", Kind::text,
     "the PLC's time (demo data, program cycles and timers, the clock\n"
     "clients read): real (default), or manual: moved only by POST /api/clock", "manual",
     readClock, showClock, {}, false, nullptr},
    {"--ready-file", "", "FILE", Kind::text,
     "once every listener is open, write FILE (JSON: pid, the S7 and HTTP\n"
     "addresses and ports bound); written whole, by rename", "ready.json",
     [](std::string_view v, Options &o) { return readNonEmpty(v, o.readyFile, "--ready-file needs a file name"); },
     showReadyFile, {}, false, nullptr},
    {"--exit-with-parent", "", "", Kind::none,
     "end, as on SIGTERM, when the process that started this one ends", "",
     [](std::string_view, Options &o) { o.exitWithParent = true; return std::string(); }, nullptr, {}, false, nullptr},
    {"--plc", "", "GLOB", Kind::text,
     "serve only the PLCs of the configuration whose names match GLOB\n"
     "(* any text, ? one character); repeatable", "filler-*",
     readPlcGlob, showPlcGlobs, {}, false, nullptr},
    {"--fault", "fault", "RULE", Kind::tables,
     "fail on purpose, e.g. \"on=read,area=DB5,item_code=0x0A\" or\n"
     "\"on=read,delay_ms=250,every=3\"; repeatable (see docs/faults.md)", "on=read,delay_ms=250",
     readFault, showFaults, {}, false, readFaultsFromFile},
    {"--check", "", "", Kind::none,
     "check the settings, print what would be served and exit", "",
     [](std::string_view, Options &o) { o.check = true; return std::string(); }, nullptr, {}, false, nullptr},
    {"--help", "", "", Kind::none,
     "show this text", "",
     [](std::string_view, Options &o) { o.showHelp = true; return std::string(); }, nullptr, {}, false, nullptr},
    {"--version", "", "", Kind::none,
     "show the version", "",
     [](std::string_view, Options &o) { o.showVersion = true; return std::string(); }, nullptr, {}, false, nullptr},
}};
// clang-format on

} // namespace

std::span<const OptionRow> optionTable() {
    return rows;
}

const OptionRow *findOptionByFlag(std::string_view flag) {
    for (const OptionRow &row : rows) {
        if (row.flag == flag) {
            return &row;
        }
    }
    return nullptr;
}

ParseResult parseCommandLine(std::span<const std::string_view> arguments, const Options &defaults) {
    Options options = defaults;
    const auto failure = [](std::string message) {
        return ParseResult{false, Options{}, std::move(message)};
    };
    for (std::size_t i = 0; i < arguments.size(); ++i) {
        std::string_view name = arguments[i];
        std::string_view value;
        bool hasValue = false;
        // Both "--port 1102" and "--port=1102".
        if (const std::size_t equals = name.find('='); equals != std::string_view::npos) {
            value = name.substr(equals + 1);
            name = name.substr(0, equals);
            hasValue = true;
        }
        const OptionRow *row = findOptionByFlag(name);
        if (row == nullptr || (row->value == OptionValue::none && hasValue)) {
            return failure("unknown argument: " + std::string(hasValue ? arguments[i] : name));
        }
        if (row->value == OptionValue::boolean && !hasValue) {
            value = "true"; // a switch given alone is on; off takes =false
        } else if (row->value != OptionValue::none && row->value != OptionValue::boolean &&
                   !hasValue) {
            if (i + 1 == arguments.size()) {
                return failure(std::string(name) + " needs a value");
            }
            value = arguments[++i];
        }
        if (std::string error = row->read(value, options); !error.empty()) {
            return failure(std::move(error));
        }
    }
    return {true, std::move(options), {}};
}

std::string usageText() {
    // The synopsis: every option with its value, wrapped under "usage: plcdouble".
    constexpr std::string_view head = "usage: plcdouble";
    constexpr std::size_t width = 100;
    std::string text(head);
    std::size_t lineStart = 0;
    for (const OptionRow &row : rows) {
        // Appended piece by piece: GCC 12 at -O3 warns falsely (-Wrestrict) about "[" + string.
        std::string item("[");
        item.append(row.flag);
        if (!row.valueName.empty()) {
            item.append(" ").append(row.valueName);
        } else if (row.value == OptionValue::boolean) {
            item += "[=false]";
        }
        item += "]";
        if (row.value == OptionValue::table || row.value == OptionValue::tables) {
            item += "...";
        }
        if (text.size() - lineStart + 1 + item.size() > width) {
            text += "\n" + std::string(head.size(), ' ');
            lineStart = text.size() - head.size();
        }
        text += " " + item;
    }
    text += "\n";
    // One entry a row: the flag and its value, then what it does, the text aligned at column 19.
    constexpr std::size_t textColumn = 19;
    for (const OptionRow &row : rows) {
        std::string entry = "  " + std::string(row.flag);
        if (!row.valueName.empty()) {
            entry += " " + std::string(row.valueName);
        }
        std::string_view usage = row.usage;
        bool first = true;
        while (!usage.empty() || first) {
            const std::size_t end = std::min(usage.find('\n'), usage.size());
            if (first) {
                entry += entry.size() + 1 > textColumn
                             ? "  "
                             : std::string(textColumn - entry.size(), ' ');
            } else {
                entry = std::string(textColumn, ' ');
            }
            text += entry + std::string(usage.substr(0, end)) + "\n";
            usage = end < usage.size() ? usage.substr(end + 1) : std::string_view{};
            first = false;
        }
    }
    return text;
}

std::string describeOptions(const Options &options) {
    std::string report;
    for (const OptionRow &row : rows) {
        if (row.show != nullptr) {
            row.show(options, report);
        }
    }
    return report;
}

std::string describePlant(const Options &process, std::span<const Options> plant) {
    if (plant.size() == 1 && plant.front().plcName == "plc") {
        return describeOptions(plant.front());
    }
    // A row is the process's when only the command line has it, or its key is one of them.
    const auto processRow = [](const OptionRow &row) {
        return row.key.empty() || std::find(processOptionKeys.begin(), processOptionKeys.end(),
                                            row.key) != processOptionKeys.end();
    };
    std::string report;
    line(report, "plcs", std::to_string(plant.size()));
    for (const OptionRow &row : rows) {
        if (row.show != nullptr && processRow(row)) {
            row.show(process, report);
        }
    }
    for (const Options &plc : plant) {
        report += "\n[[plc]] " + plc.plcName + "\n";
        for (const OptionRow &row : rows) {
            if (row.show != nullptr && !processRow(row)) {
                row.show(plc, report);
            }
        }
    }
    return report;
}

std::string checkProfileOptions(const Options &options) {
    if (!isClassic(options)) {
        return {};
    }
    const IdentityOverrides &identity = options.identity;
    const AreaOverrides &areas = options.areas;
    const char *what = options.strict ? "--strict"
                       : identity.asName || identity.moduleName || identity.plantId ||
                               identity.serialNumber || identity.orderNumber
                           ? "--identity"
                       : areas.inputBytes || areas.outputBytes || areas.flagBytes ||
                               areas.timerCount || areas.counterCount
                           ? "--areas"
                           : nullptr;
    return what == nullptr ? std::string()
                           : std::string(what) + " needs a CPU profile; the cpu is classic";
}

ProcessImageSizes processImageSizes(const Options &options) {
    const CpuProfile &cpu = *options.cpu;
    const AreaOverrides &areas = options.areas;
    return {areas.inputBytes.value_or(cpu.inputBytes), areas.outputBytes.value_or(cpu.outputBytes),
            areas.flagBytes.value_or(cpu.flagBytes),
            areas.timerCount.value_or(cpu.timerCount) * timerCounterElementBytes,
            areas.counterCount.value_or(cpu.counterCount) * timerCounterElementBytes};
}

PlcSetup plcSetupOf(Options options) {
    PlcSetup setup;
    setup.name = std::move(options.plcName);
    setup.bindAddress = options.bindAddress;
    setup.port = options.port;
    setup.cpu = options.cpu;
    setup.identity = std::move(options.identity);
    setup.areaSizes = processImageSizes(options);
    setup.connectionLimit =
        options.connections > 0 ? options.connections : options.cpu->connections;
    setup.dataBlocks = std::move(options.dataBlocks);
    setup.strict = options.strict;
    setup.demo = options.demo;
    setup.faults = std::move(options.faults);
    setup.seed = options.seed;
    setup.program = {std::move(options.programFile), std::move(options.programSource),
                     options.cycleMs, options.maxCycleMs, options.programMemoryMb};
    setup.manualClock = options.manualClock;
    return setup;
}

bool validPlcName(std::string_view name) {
    return !name.empty() && name.size() <= 32 && std::all_of(name.begin(), name.end(), [](char c) {
        return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
               c == '_' || c == '-';
    });
}

std::string checkHttpOptions(const Options &options) {
    if (!options.http || options.httpAddress[0] == 127 || !options.httpToken.empty()) {
        return {};
    }
    return "--http on " + ipv4Text(options.httpAddress) +
           " lets other machines change the memory: give --http-token TOKEN too (or bind "
           "127.0.0.1)";
}

bool decideColour(ColourMode mode, bool stdoutIsTerminal, bool noColorSet) {
    switch (mode) {
    case ColourMode::always:
        return true;
    case ColourMode::never:
        return false;
    case ColourMode::automatic:
        return stdoutIsTerminal && !noColorSet;
    }
    return false;
}
