#include "app/command_line.h"

#include "core/ipv4_text.h"
#include "s7/item_access.h"

#include <charconv>
#include <utility>

const char *const usageText =
    "usage: plcdouble [--port N] [--bind A.B.C.D] [--color auto|always|never]\n"
    "                 [--cpu NAME] [--connections N] [--config FILE [--check]]\n"
    "                 [--state DIR [--save-every SECONDS]] [--pcap FILE]\n"
    "                 [--fault RULE]... [--seed N]\n"
    "                 [--http [ADDRESS:]PORT [--http-token TOKEN] [--http-read-only]]\n"
    "                 [--help] [--version]\n"
    "  --port N         TCP port to listen on, 1-65535 (default 102)\n"
    "  --bind A.B.C.D   IPv4 address to listen on (default 0.0.0.0, every address)\n"
    "  --color MODE     colour the log: auto (on a terminal unless NO_COLOR is set),\n"
    "                   always or never (default auto)\n"
    "  --cpu NAME       answer as classic (default), s7-300, s7-400, s7-1200 or s7-1500\n"
    "  --connections N  clients served at once, 1-64 (default: classic 2, else the CPU's)\n"
    "  --config FILE    settings, data blocks and identity from a TOML file; the options\n"
    "                   given here win over the file's\n"
    "  --check          check the settings, print what would be served and exit\n"
    "  --state DIR      keep the memory (data blocks, I, Q, M, T, C) in DIR across runs\n"
    "  --save-every S   save what changed every S seconds, 1-86400 (default 10)\n"
    "  --pcap FILE      write every frame received and sent to FILE, a capture file for\n"
    "                   Wireshark (the server shows as port 102 there)\n"
    "  --fault RULE     fail on purpose, e.g. \"on=read,area=DB5,item_code=0x0A\" or\n"
    "                   \"on=read,delay_ms=250,every=3\"; repeatable (see the README)\n"
    "  --seed N         seed for the fault rules' probabilities (default 1)\n"
    "  --http [A.B.C.D:]PORT  serve the watch page and its JSON API on PORT (default\n"
    "                   address 127.0.0.1; any other needs --http-token)\n"
    "  --http-token T   every API request must carry Authorization: Bearer T\n"
    "  --http-read-only serve the page and API without any write\n"
    "  --help           show this text\n"
    "  --version        show the version\n";

namespace {

bool parseNumber(std::string_view text, unsigned long &value) {
    if (text.empty()) {
        return false;
    }
    const auto *end = text.data() + text.size();
    const auto [stop, error] = std::from_chars(text.data(), end, value);
    return error == std::errc{} && stop == end;
}

bool parsePort(std::string_view text, std::uint16_t &port) {
    unsigned long value = 0;
    if (!parseNumber(text, value) || value < 1 || value > 65535) {
        return false;
    }
    port = static_cast<std::uint16_t>(value);
    return true;
}

bool parseAddress(std::string_view text, platform::Ipv4Address &address) {
    const std::optional<platform::Ipv4Address> parsed = parseIpv4(text);
    if (parsed) {
        address = *parsed;
    }
    return parsed.has_value();
}

bool parseColour(std::string_view text, ColourMode &mode) {
    if (text == "auto") {
        mode = ColourMode::automatic;
    } else if (text == "always") {
        mode = ColourMode::always;
    } else if (text == "never") {
        mode = ColourMode::never;
    } else {
        return false;
    }
    return true;
}

ParseResult failure(std::string message) {
    return {false, Options{}, std::move(message)};
}

} // namespace

ParseResult parseCommandLine(std::span<const std::string_view> arguments, const Options &defaults) {
    Options options = defaults;
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
        const bool takesValue = name == "--port" || name == "--bind" || name == "--color" ||
                                name == "--cpu" || name == "--connections" || name == "--config" ||
                                name == "--state" || name == "--save-every" || name == "--pcap" ||
                                name == "--http" || name == "--http-token" || name == "--fault" ||
                                name == "--seed";
        if (takesValue && !hasValue) {
            if (i + 1 == arguments.size()) {
                return failure(std::string(name) + " needs a value");
            }
            value = arguments[++i];
        } else if (!takesValue && hasValue) {
            return failure("unknown argument: " + std::string(arguments[i]));
        }
        if (name == "--port") {
            if (!parsePort(value, options.port)) {
                return failure("bad port: " + std::string(value) + " (expected 1-65535)");
            }
        } else if (name == "--bind") {
            if (!parseAddress(value, options.bindAddress)) {
                return failure("bad address: " + std::string(value) + " (expected A.B.C.D)");
            }
        } else if (name == "--color") {
            if (!parseColour(value, options.colour)) {
                return failure("bad colour mode: " + std::string(value) +
                               " (expected auto, always or never)");
            }
        } else if (name == "--cpu") {
            options.cpu = findCpuProfile(value);
            if (options.cpu == nullptr) {
                return failure("bad cpu: " + std::string(value) +
                               " (expected classic, s7-300, s7-400, s7-1200 or s7-1500)");
            }
        } else if (name == "--connections") {
            unsigned long count = 0;
            if (!parseNumber(value, count) || count < 1 || count > largestConnectionLimit) {
                return failure("bad connection count: " + std::string(value) + " (expected 1-64)");
            }
            options.connections = static_cast<int>(count);
        } else if (name == "--config") {
            if (value.empty()) {
                return failure("--config needs a file name");
            }
            options.configFile = value;
        } else if (name == "--state") {
            if (value.empty()) {
                return failure("--state needs a folder");
            }
            options.stateFolder = value;
        } else if (name == "--save-every") {
            unsigned long seconds = 0;
            if (!parseNumber(value, seconds) || seconds < 1 ||
                seconds > static_cast<unsigned long>(largestSaveEverySeconds)) {
                return failure("bad save interval: " + std::string(value) +
                               " (expected 1-86400 seconds)");
            }
            options.saveEverySeconds = static_cast<int>(seconds);
        } else if (name == "--check") {
            options.check = true;
        } else if (name == "--pcap") {
            if (value.empty()) {
                return failure("--pcap needs a file name");
            }
            options.pcap = std::string(value);
        } else if (name == "--fault") {
            FaultRuleParse rule = parseFaultRuleText(value);
            if (!rule.ok) {
                return failure("bad --fault \"" + std::string(value) + "\": " + rule.error);
            }
            options.faults.push_back(rule.rule);
        } else if (name == "--seed") {
            std::uint64_t seed = 0;
            const auto [stop, error] =
                std::from_chars(value.data(), value.data() + value.size(), seed);
            if (value.empty() || error != std::errc{} || stop != value.data() + value.size()) {
                return failure("bad seed: " + std::string(value) + " (expected a whole number)");
            }
            options.seed = seed;
        } else if (name == "--http") {
            if (!parseHttpEndpoint(value, options)) {
                return failure("bad --http value: " + std::string(value) +
                               " (expected PORT or A.B.C.D:PORT, port 1-65535)");
            }
        } else if (name == "--http-token") {
            if (value.empty()) {
                return failure("--http-token needs a token");
            }
            options.httpToken = std::string(value);
        } else if (name == "--http-read-only") {
            options.httpReadOnly = true;
        } else if (name == "--help") {
            options.showHelp = true;
        } else if (name == "--version") {
            options.showVersion = true;
        } else {
            return failure("unknown argument: " + std::string(name));
        }
    }
    return {true, std::move(options), {}};
}

bool parseHttpEndpoint(std::string_view text, Options &options) {
    const std::size_t colon = text.rfind(':');
    platform::Ipv4Address address{127, 0, 0, 1};
    if (colon != std::string_view::npos && !parseAddress(text.substr(0, colon), address)) {
        return false;
    }
    std::uint16_t port = 0;
    if (!parsePort(colon == std::string_view::npos ? text : text.substr(colon + 1), port)) {
        return false;
    }
    options.httpAddress = address;
    options.httpPort = port;
    return true;
}

std::string checkHttpOptions(const Options &options) {
    if (options.httpPort == 0 || options.httpAddress[0] == 127 || !options.httpToken.empty()) {
        return {};
    }
    const platform::Ipv4Address &address = options.httpAddress;
    return "--http on " + ipv4Text(address) +
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

ProcessImageSizes processImageSizes(const Options &options) {
    const CpuProfile &cpu = *options.cpu;
    const AreaOverrides &areas = options.areas;
    return {areas.inputBytes.value_or(cpu.inputBytes), areas.outputBytes.value_or(cpu.inputBytes),
            areas.flagBytes.value_or(cpu.flagBytes),
            areas.timerCount.value_or(cpu.timerCount) * timerCounterElementBytes,
            areas.counterCount.value_or(cpu.counterCount) * timerCounterElementBytes};
}
