#include "app/config_file.h"

#include "core/ipv4_text.h"
#include "memory/data_block_table.h"
#include "memory/s7_address.h"
#include "s7/szl.h"
#include "sim/demo_data.h"

// toml++ as a header-only library, reporting parse errors through its result instead of
// exceptions: the loader hands back one error line, and nothing else in the program throws.
#define TOML_HEADER_ONLY 1
#define TOML_EXCEPTIONS 0
#define TOML_ENABLE_FORMATTERS 0
#include <toml.h>

#include <algorithm>
#include <array>
#include <filesystem>
#include <fstream>
#include <optional>
#include <span>
#include <utility>
#include <vector>

namespace {

// clang-format off
constexpr std::array<std::string_view, 18> topLevelKeys = {
    "cpu", "port", "bind", "connections", "color", "state", "save_every", "pcap", "seed", "http",
    "http_token", "http_read_only", "demo", "strict", "identity", "areas", "db", "fault"};
constexpr std::array<std::string_view, 5> blockKeys = {"number", "size", "file", "hex", "values"};
// clang-format on

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
constexpr std::int64_t largestAreaSize = 65535;

// A bound for sanity: a file this large was named by mistake.
constexpr std::uintmax_t largestConfigFile = 64 << 20;

// The keys that take a command-line option's value, checked by the command-line parser itself
// so both spell their values and messages alike.
struct OptionKey {
    std::string_view key;
    std::string_view option;
    toml::node_type type;
};
constexpr std::array<OptionKey, 11> optionKeys = {{
    {"cpu", "--cpu", toml::node_type::string},
    {"port", "--port", toml::node_type::integer},
    {"bind", "--bind", toml::node_type::string},
    {"connections", "--connections", toml::node_type::integer},
    {"color", "--color", toml::node_type::string},
    {"state", "--state", toml::node_type::string},
    {"save_every", "--save-every", toml::node_type::integer},
    {"pcap", "--pcap", toml::node_type::string},
    {"seed", "--seed", toml::node_type::integer},
    {"http", "--http", toml::node_type::string},
    {"http_token", "--http-token", toml::node_type::string},
}};

std::string_view typeName(toml::node_type type) {
    switch (type) {
    case toml::node_type::table:
        return "a table";
    case toml::node_type::array:
        return "an array";
    case toml::node_type::string:
        return "a string";
    case toml::node_type::integer:
        return "an integer";
    case toml::node_type::floating_point:
        return "a float";
    case toml::node_type::boolean:
        return "true/false";
    case toml::node_type::date:
        return "a date";
    case toml::node_type::time:
        return "a time";
    case toml::node_type::date_time:
        return "a date-time";
    case toml::node_type::none:
        break;
    }
    return "nothing";
}

template <typename Row, std::size_t count>
constexpr std::array<std::string_view, count> namesOf(const std::array<Row, count> &rows) {
    std::array<std::string_view, count> names{};
    for (std::size_t i = 0; i < count; ++i) {
        names[i] = rows[i].key;
    }
    return names;
}

// The whole file, or why not. largest bounds its size; tooLarge says why a larger one is refused.
std::optional<std::vector<std::uint8_t>> readWholeFile(const std::filesystem::path &path,
                                                       std::uintmax_t largest,
                                                       std::string_view tooLarge,
                                                       std::string &error) {
    std::error_code code;
    const std::uintmax_t size = std::filesystem::file_size(path, code);
    if (code) {
        error = code.message();
        return std::nullopt;
    }
    if (size > largest) {
        error = std::to_string(size) + " bytes, " + std::string(tooLarge);
        return std::nullopt;
    }
    std::ifstream in(path, std::ios::binary);
    std::vector<std::uint8_t> bytes(static_cast<std::size_t>(size));
    if (!in || !in.read(reinterpret_cast<char *>(bytes.data()),
                        static_cast<std::streamsize>(bytes.size()))) {
        error = "cannot be read";
        return std::nullopt;
    }
    return bytes;
}

std::optional<std::uint8_t> hexDigit(char c) {
    if (c >= '0' && c <= '9') {
        return static_cast<std::uint8_t>(c - '0');
    }
    if (c >= 'a' && c <= 'f') {
        return static_cast<std::uint8_t>(c - 'a' + 10);
    }
    if (c >= 'A' && c <= 'F') {
        return static_cast<std::uint8_t>(c - 'A' + 10);
    }
    return std::nullopt;
}

bool isBlank(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\r';
}

// "DE AD BE EF" or "DEADBEEF": whole bytes, groups parted by blanks.
std::optional<std::vector<std::uint8_t>> parseHex(std::string_view text, std::string &error) {
    std::vector<std::uint8_t> bytes;
    std::size_t at = 0;
    while (at < text.size()) {
        if (isBlank(text[at])) {
            ++at;
            continue;
        }
        std::size_t end = at;
        while (end < text.size() && !isBlank(text[end])) {
            ++end;
        }
        const std::string_view group = text.substr(at, end - at);
        if (group.size() % 2 != 0) {
            error = "'" + std::string(group) + "' is not whole bytes (two digits each)";
            return std::nullopt;
        }
        for (std::size_t i = 0; i < group.size(); i += 2) {
            const std::optional<std::uint8_t> high = hexDigit(group[i]);
            const std::optional<std::uint8_t> low = hexDigit(group[i + 1]);
            if (!high || !low) {
                error = "'" + std::string(group) + "' is not hexadecimal";
                return std::nullopt;
            }
            bytes.push_back(static_cast<std::uint8_t>(*high << 4 | *low));
        }
        at = end;
    }
    return bytes;
}

bool printableAscii(std::string_view text) {
    return std::all_of(text.begin(), text.end(), [](char c) { return c >= 0x20 && c <= 0x7E; });
}

// "FILE:LINE:COLUMN: what", the place left out where the parser has none; one line whatever
// the parser's own text holds.
std::string errorLine(const std::string &path, const toml::source_region &where,
                      std::string_view what) {
    std::string line = path;
    if (where.begin) {
        line += ":" + std::to_string(where.begin.line) + ":" + std::to_string(where.begin.column);
    }
    line += ": ";
    line += what;
    std::replace_if(
        line.begin(), line.end(), [](char c) { return c == '\n' || c == '\r'; }, ' ');
    return line;
}

// One start value's place in its block, in bits, for finding values that overlap.
struct ValueSpan {
    std::size_t firstBit;
    std::size_t endBit;
    std::string address;
    toml::source_region where;
};

// A file being read: its name, the CPU the command line chose, and the first thing wrong.
struct Reading {
    std::string path;
    const CpuProfile *cpuOverride;
    std::string error;
};

bool fail(Reading &reading, const toml::source_region &where, const std::string &what) {
    reading.error = errorLine(reading.path, where, what);
    return false;
}

// The CPU the keys are checked against: the command line's if it names one, else the file's.
const CpuProfile &effectiveCpu(const Reading &reading, const Options &options) {
    return reading.cpuOverride != nullptr ? *reading.cpuOverride : *options.cpu;
}

bool expectType(Reading &reading, const toml::node &node, toml::node_type type,
                std::string_view name) {
    if (node.type() == type) {
        return true;
    }
    return fail(reading, node.source(),
                std::string(name) + " must be " + std::string(typeName(type)) + ", not " +
                    std::string(typeName(node.type())));
}

// Every key of the table is one of known; where says which table for the message.
bool checkKeys(Reading &reading, const toml::table &table, std::string_view where,
               std::span<const std::string_view> known) {
    for (auto &&[key, node] : table) {
        if (std::find(known.begin(), known.end(), key.str()) == known.end()) {
            std::string expected;
            for (std::string_view name : known) {
                expected += (expected.empty() ? "" : ", ") + std::string(name);
            }
            return fail(reading, key.source(),
                        "unknown key '" + std::string(key.str()) + "'" + std::string(where) +
                            " (expected " + expected + ")");
        }
    }
    return true;
}

// The keys only a CPU profile takes; classic answers as no real CPU does and has no identity,
// areas or fixed blocks.
bool needsProfile(Reading &reading, const toml::source_region &where, std::string_view what,
                  const Options &options) {
    if (effectiveCpu(reading, options).behaviour != CpuBehaviour::classic) {
        return true;
    }
    return fail(reading, where,
                std::string(what) + " needs a CPU profile; " +
                    (reading.cpuOverride != nullptr ? "the command line chose classic"
                                                    : "the cpu is classic"));
}

bool readOption(Reading &reading, const OptionKey &key, const toml::node &node, Options &options) {
    if (!expectType(reading, node, key.type, key.key)) {
        return false;
    }
    const std::string value =
        node.is_string() ? node.as_string()->get() : std::to_string(node.as_integer()->get());
    const std::array<std::string_view, 2> arguments = {key.option, value};
    const ParseResult parsed = parseCommandLine(arguments, options);
    if (!parsed.ok) {
        return fail(reading, node.source(), std::string(key.key) + ": " + parsed.error);
    }
    options = parsed.options;
    return true;
}

bool readIdentity(Reading &reading, const toml::node &node, Options &options) {
    if (!expectType(reading, node, toml::node_type::table, "[identity]") ||
        !needsProfile(reading, node.source(), "[identity]", options)) {
        return false;
    }
    const toml::table &table = *node.as_table();
    if (!checkKeys(reading, table, " in [identity]", namesOf(identityKeys))) {
        return false;
    }
    for (const IdentityKey &row : identityKeys) {
        const toml::node *value = table.get(row.key);
        if (value == nullptr) {
            continue;
        }
        if (!expectType(reading, *value, toml::node_type::string, row.key)) {
            return false;
        }
        const std::string &text = value->as_string()->get();
        if (!printableAscii(text)) {
            return fail(reading, value->source(),
                        std::string(row.key) + " must be printable ASCII characters");
        }
        if (text.size() > row.width) {
            return fail(reading, value->source(),
                        std::string(row.key) + " holds " + std::to_string(row.width) +
                            " characters at most, not " + std::to_string(text.size()));
        }
        options.identity.*row.text = text;
    }
    return true;
}

bool readAreas(Reading &reading, const toml::node &node, Options &options) {
    if (!expectType(reading, node, toml::node_type::table, "[areas]") ||
        !needsProfile(reading, node.source(), "[areas]", options)) {
        return false;
    }
    const toml::table &table = *node.as_table();
    if (!checkKeys(reading, table, " in [areas]", namesOf(areaKeys))) {
        return false;
    }
    for (const AreaKey &row : areaKeys) {
        const toml::node *value = table.get(row.key);
        if (value == nullptr) {
            continue;
        }
        if (!expectType(reading, *value, toml::node_type::integer, row.key)) {
            return false;
        }
        const std::int64_t size = value->as_integer()->get();
        if (size < 0 || size > largestAreaSize) {
            return fail(reading, value->source(),
                        std::string(row.key) + " must be 0-65535, not " + std::to_string(size));
        }
        options.areas.*row.size = static_cast<std::size_t>(size);
    }
    return true;
}

bool readContent(Reading &reading, const toml::table &table, const std::string &name,
                 std::vector<std::uint8_t> &content, std::string &source) {
    const toml::node *file = table.get("file");
    const toml::node *hex = table.get("hex");
    if (file != nullptr && hex != nullptr) {
        return fail(reading, hex->source(), name + ": give file or hex, not both");
    }
    std::string error;
    if (file != nullptr) {
        if (!expectType(reading, *file, toml::node_type::string, "file")) {
            return false;
        }
        const std::string &imageName = file->as_string()->get();
        const std::filesystem::path image =
            std::filesystem::path(reading.path).parent_path() / imageName;
        const std::optional<std::vector<std::uint8_t>> bytes =
            readWholeFile(image, largestDataBlock, "more than any data block holds (65534)", error);
        if (!bytes) {
            return fail(reading, file->source(), name + ": image " + imageName + ": " + error);
        }
        content = *bytes;
        source = "file " + imageName + " (" + std::to_string(content.size()) + " bytes)";
    } else if (hex != nullptr) {
        if (!expectType(reading, *hex, toml::node_type::string, "hex")) {
            return false;
        }
        const std::optional<std::vector<std::uint8_t>> bytes =
            parseHex(hex->as_string()->get(), error);
        if (!bytes) {
            return fail(reading, hex->source(), name + ": hex: " + error);
        }
        content = *bytes;
        source = "hex (" + std::to_string(content.size()) + " bytes)";
    } else {
        source = "zeros";
    }
    return true;
}

bool readValues(Reading &reading, const toml::node &node, const std::string &name,
                DataBlockSetup &block) {
    if (!expectType(reading, node, toml::node_type::table, "values")) {
        return false;
    }
    std::vector<ValueSpan> spans;
    for (auto &&[key, value] : *node.as_table()) {
        const AddressParse parsed = parseS7Address(key.str(), AddressScope::inDataBlock);
        if (!parsed.ok) {
            return fail(reading, key.source(), name + ": " + parsed.error);
        }
        const S7Address &address = parsed.address;
        const std::size_t end = address.byteOffset + addressByteWidth(address);
        if (end > block.image.size()) {
            return fail(reading, key.source(),
                        name + ": '" + std::string(key.str()) + "' ends at byte " +
                            std::to_string(end) + ", past the block's " +
                            std::to_string(block.image.size()) + " bytes");
        }
        StartValue start;
        if (const auto *flag = value.as_boolean()) {
            start = flag->get();
        } else if (const auto *integer = value.as_integer()) {
            start = integer->get();
        } else if (const auto *real = value.as_floating_point()) {
            start = real->get();
        } else if (const auto *text = value.as_string()) {
            start = std::string_view(text->get());
        } else {
            return fail(reading, value.source(),
                        name + ": '" + std::string(key.str()) +
                            "' must be true/false, a number or a string, not " +
                            std::string(typeName(value.type())));
        }
        const std::string error = storeStartValue(address, start, block.image);
        if (!error.empty()) {
            return fail(reading, value.source(),
                        name + ": '" + std::string(key.str()) + "': " + error);
        }
        const std::size_t firstBit =
            address.byteOffset * 8 + static_cast<std::size_t>(std::max(address.bit, 0));
        const std::size_t endBit = address.bit >= 0 ? firstBit + 1 : end * 8;
        spans.push_back({firstBit, endBit, std::string(key.str()), key.source()});
    }
    std::sort(spans.begin(), spans.end(),
              [](const ValueSpan &a, const ValueSpan &b) { return a.firstBit < b.firstBit; });
    for (std::size_t i = 1; i < spans.size(); ++i) {
        if (spans[i].firstBit < spans[i - 1].endBit) {
            return fail(reading, spans[i].where,
                        name + ": '" + spans[i].address + "' overlaps '" + spans[i - 1].address +
                            "'");
        }
    }
    if (!spans.empty()) {
        block.source += ", " + std::to_string(spans.size()) +
                        (spans.size() == 1 ? " start value" : " start values");
    }
    return true;
}

bool readBlock(Reading &reading, const toml::table &table, const Options &options,
               DataBlockSetup &block) {
    if (!checkKeys(reading, table, " in [[db]]", blockKeys)) {
        return false;
    }
    const toml::node *number = table.get("number");
    if (number == nullptr) {
        return fail(reading, table.source(), "[[db]] needs a number");
    }
    if (!expectType(reading, *number, toml::node_type::integer, "number")) {
        return false;
    }
    const std::int64_t dbNumber = number->as_integer()->get();
    if (dbNumber < 1 || dbNumber >= static_cast<std::int64_t>(dataBlockCount)) {
        return fail(reading, number->source(),
                    "DB number " + std::to_string(dbNumber) + " is not 1-2999");
    }
    block.number = static_cast<std::uint16_t>(dbNumber);
    const std::string name = "DB" + std::to_string(dbNumber);

    std::vector<std::uint8_t> content;
    if (!readContent(reading, table, name, content, block.source)) {
        return false;
    }
    std::size_t size = content.size();
    const toml::node *sizeNode = table.get("size");
    if (sizeNode != nullptr) {
        if (!expectType(reading, *sizeNode, toml::node_type::integer, "size")) {
            return false;
        }
        const std::int64_t declared = sizeNode->as_integer()->get();
        if (declared < 1 || declared > static_cast<std::int64_t>(largestDataBlock)) {
            return fail(reading, sizeNode->source(),
                        name + ": size " + std::to_string(declared) + " is not 1-65534");
        }
        size = static_cast<std::size_t>(declared);
        if (content.size() > size) {
            return fail(reading, sizeNode->source(),
                        name + ": " + std::to_string(content.size()) +
                            " bytes of content do not fit its " + std::to_string(size) + " bytes");
        }
    } else if (size == 0) {
        return fail(reading, table.source(), name + " needs a size (or content from file or hex)");
    }
    const bool animated = block.number == demoBlockS7Order || block.number == demoBlockS5Order;
    if (options.demo && animated && size < demoAnimatedBytes) {
        return fail(reading, sizeNode != nullptr ? sizeNode->source() : table.source(),
                    name + " is animated by the demo and needs at least 64 bytes "
                           "(or demo = false)");
    }
    block.image = content;
    block.image.resize(size, 0);
    if (const toml::node *values = table.get("values")) {
        return readValues(reading, *values, name, block);
    }
    return true;
}

bool readBlocks(Reading &reading, const toml::node &node, Options &options) {
    const toml::array *array = node.as_array();
    if (array == nullptr || !array->is_array_of_tables()) {
        return fail(reading, node.source(),
                    "db must be an array of tables ([[db]]), not " +
                        std::string(typeName(node.type())));
    }
    for (const toml::node &element : *array) {
        DataBlockSetup block{};
        if (!readBlock(reading, *element.as_table(), options, block)) {
            return false;
        }
        const auto same = std::find_if(
            options.dataBlocks.begin(), options.dataBlocks.end(),
            [&block](const DataBlockSetup &other) { return other.number == block.number; });
        if (same != options.dataBlocks.end()) {
            return fail(reading, element.as_table()->get("number")->source(),
                        "DB" + std::to_string(block.number) + " is declared twice");
        }
        options.dataBlocks.push_back(std::move(block));
    }
    std::sort(options.dataBlocks.begin(), options.dataBlocks.end(),
              [](const DataBlockSetup &a, const DataBlockSetup &b) { return a.number < b.number; });
    return true;
}

// [[fault]] tables: each one rule, its keys as --fault takes them. A value is handed to the rule
// parser as text, so both spell their values and messages alike.
bool readFaults(Reading &reading, const toml::node &node, Options &options) {
    if (!expectType(reading, node, toml::node_type::array, "fault (written [[fault]])")) {
        return false;
    }
    for (const toml::node &element : *node.as_array()) {
        if (!expectType(reading, element, toml::node_type::table, "[[fault]]")) {
            return false;
        }
        std::vector<FaultSetting> settings;
        for (auto &&[key, value] : *element.as_table()) {
            std::string text;
            if (const auto *string = value.as_string()) {
                text = string->get();
            } else if (const auto *integer = value.as_integer()) {
                text = std::to_string(integer->get());
            } else if (const auto *real = value.as_floating_point()) {
                std::array<char, 32> digits{};
                std::snprintf(digits.data(), digits.size(), "%.17g", real->get());
                text = digits.data();
            } else if (const auto *flag = value.as_boolean()) {
                text = flag->get() ? "true" : "false";
            } else {
                return fail(reading, value.source(),
                            "fault key " + std::string(key.str()) +
                                " must be a string, a number "
                                "or true/false, not " +
                                std::string(typeName(value.type())));
            }
            settings.push_back({std::string(key.str()), std::move(text)});
        }
        const FaultRuleParse rule = parseFaultRule(settings);
        if (!rule.ok) {
            return fail(reading, element.source(), rule.error);
        }
        options.faults.push_back(rule.rule);
    }
    return true;
}

bool readFile(Reading &reading, const toml::table &root, Options &options) {
    if (!checkKeys(reading, root, "", topLevelKeys)) {
        return false;
    }
    // The CPU first: the keys after it are checked against it.
    for (const OptionKey &key : optionKeys) {
        if (const toml::node *node = root.get(key.key); node != nullptr) {
            if (!readOption(reading, key, *node, options)) {
                return false;
            }
        }
    }
    // The state folder and the capture file, like an image file, are found relative to the
    // configuration file.
    const std::filesystem::path folder = std::filesystem::path(reading.path).parent_path();
    if (!options.stateFolder.empty()) {
        options.stateFolder = (folder / options.stateFolder).string();
    }
    if (!options.pcap.empty()) {
        options.pcap = (folder / options.pcap).string();
    }
    if (const toml::node *readOnly = root.get("http_read_only")) {
        if (!expectType(reading, *readOnly, toml::node_type::boolean, "http_read_only")) {
            return false;
        }
        options.httpReadOnly = readOnly->as_boolean()->get();
    }
    if (const toml::node *demo = root.get("demo")) {
        if (!expectType(reading, *demo, toml::node_type::boolean, "demo")) {
            return false;
        }
        options.demo = demo->as_boolean()->get();
    }
    if (const toml::node *strict = root.get("strict")) {
        if (!expectType(reading, *strict, toml::node_type::boolean, "strict")) {
            return false;
        }
        options.strict = strict->as_boolean()->get();
        if (options.strict && !needsProfile(reading, strict->source(), "strict = true", options)) {
            return false;
        }
    }
    if (const toml::node *identity = root.get("identity"); identity != nullptr) {
        if (!readIdentity(reading, *identity, options)) {
            return false;
        }
    }
    if (const toml::node *areas = root.get("areas"); areas != nullptr) {
        if (!readAreas(reading, *areas, options)) {
            return false;
        }
    }
    if (const toml::node *blocks = root.get("db"); blocks != nullptr) {
        if (!readBlocks(reading, *blocks, options)) {
            return false;
        }
    }
    if (const toml::node *faults = root.get("fault"); faults != nullptr) {
        if (!readFaults(reading, *faults, options)) {
            return false;
        }
    }
    return true;
}

// The state folder and what is kept in it, for --check.
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
        if (image.unit.kind == ImageKind::dataBlock) {
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

ConfigResult configFailure(std::string error) {
    return {false, Options{}, std::move(error)};
}

} // namespace

ConfigResult loadConfiguration(std::string_view text, const std::string &path,
                               const CpuProfile *cpuOverride) {
    const toml::parse_result parsed = toml::parse(text, path);
    if (!parsed) {
        return configFailure(
            errorLine(path, parsed.error().source(), parsed.error().description()));
    }
    Reading reading{path, cpuOverride, {}};
    Options options;
    options.configFile = path;
    if (!readFile(reading, parsed.table(), options)) {
        return configFailure(reading.error);
    }
    return {true, std::move(options), {}};
}

ConfigResult resolveOptions(std::span<const std::string_view> arguments,
                            const Options &commandLine) {
    if (commandLine.configFile.empty()) {
        return {true, commandLine, {}};
    }
    const std::string &path = commandLine.configFile;
    std::string error;
    const std::optional<std::vector<std::uint8_t>> bytes =
        readWholeFile(path, largestConfigFile, "too large for a configuration file", error);
    if (!bytes) {
        return configFailure(path + ": cannot read: " + error);
    }
    // Whether the command line names a CPU: parsed again over defaults without one.
    Options noCpu;
    noCpu.cpu = nullptr;
    const CpuProfile *cpuOverride = parseCommandLine(arguments, noCpu).options.cpu;
    const std::string_view text(reinterpret_cast<const char *>(bytes->data()), bytes->size());
    ConfigResult loaded = loadConfiguration(text, path, cpuOverride);
    if (!loaded.ok) {
        return loaded;
    }
    // The block images (up to 3000 of 64 KiB) stay out of the copy the parser starts from.
    std::vector<DataBlockSetup> blocks = std::move(loaded.options.dataBlocks);
    ParseResult merged = parseCommandLine(arguments, loaded.options);
    merged.options.dataBlocks = std::move(blocks);
    return {merged.ok, std::move(merged.options), std::move(merged.error)};
}

std::string describeOptions(const Options &options) {
    const CpuProfile &cpu = *options.cpu;
    const bool classic = cpu.behaviour == CpuBehaviour::classic;
    std::string text;
    const auto line = [&text](std::string_view name, const std::string &value) {
        std::string padded(name);
        padded.resize(std::max<std::size_t>(padded.size() + 1, 13), ' ');
        text += padded + value + "\n";
    };
    const auto quoted = [](std::string_view value) { return "\"" + std::string(value) + "\""; };
    const platform::Ipv4Address &bind = options.bindAddress;
    const int connections = options.connections > 0 ? options.connections : cpu.connections;
    constexpr std::array<std::string_view, 3> colourNames = {"auto", "always", "never"};

    line("config", options.configFile.empty() ? "none" : options.configFile);
    line("cpu", std::string(cpu.name) +
                    (classic ? "" : " (" + std::string(cpu.identity.moduleName) + ")"));
    line("port", std::to_string(options.port));
    line("bind", ipv4Text(bind));
    line("connections", std::to_string(connections));
    line("color", std::string(colourNames.at(static_cast<std::size_t>(options.colour))));
    line("state", stateDescription(options));
    line("save_every", std::to_string(options.saveEverySeconds) + " s");
    line("pcap", options.pcap.empty() ? "none" : options.pcap);
    const platform::Ipv4Address &web = options.httpAddress;
    line("http", options.httpPort == 0
                     ? std::string("off")
                     : "http://" + ipv4Text(web) + ":" + std::to_string(options.httpPort) + "/");
    line("http_token", options.httpToken.empty() ? "none" : "set (every API request needs it)");
    line("http_read_only", options.httpReadOnly ? "on (no writes over HTTP)" : "off");
    line("demo", options.demo ? "on (DB1 and DB15 animated)" : "off");
    line("strict", options.strict ? "on (only the blocks below exist, at their sizes)" : "off");
    if (classic) {
        line("identity", "none (classic)");
        line("areas", "none (classic serves every address from the data blocks)");
    } else {
        const IdentityOverrides &own = options.identity;
        const CpuIdentity &base = cpu.identity;
        line("identity",
             "AS name " + quoted(own.asName.value_or(std::string(base.asName))) + ", module name " +
                 quoted(own.moduleName.value_or(std::string(base.moduleName))) + ", plant ID " +
                 quoted(own.plantId.value_or(std::string(base.plantId))) + ", serial number " +
                 quoted(own.serialNumber.value_or(std::string(base.serialNumber))) +
                 ", order number " +
                 quoted(own.orderNumber.value_or(std::string(base.orderNumber))));
        const AreaOverrides &areas = options.areas;
        line("areas",
             "inputs " + std::to_string(areas.inputBytes.value_or(cpu.inputBytes)) +
                 " bytes, outputs " + std::to_string(areas.outputBytes.value_or(cpu.inputBytes)) +
                 " bytes, flags " + std::to_string(areas.flagBytes.value_or(cpu.flagBytes)) +
                 " bytes, timers " + std::to_string(areas.timerCount.value_or(cpu.timerCount)) +
                 ", counters " + std::to_string(areas.counterCount.value_or(cpu.counterCount)));
    }
    std::vector<std::pair<std::size_t, std::string>> blocks;
    for (const DataBlockSetup &block : options.dataBlocks) {
        blocks.emplace_back(block.number,
                            std::to_string(block.image.size()) + " bytes, " + block.source);
    }
    // A kept image wins over the start content the file gives.
    for (const KeptImage &image : options.kept.images) {
        if (image.unit.kind != ImageKind::dataBlock) {
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
    std::sort(blocks.begin(), blocks.end());
    if (options.strict && options.demo) {
        // Declared for the demo where the file does not declare them.
        for (const int number : {demoBlockS7Order, demoBlockS5Order}) {
            const auto declared =
                std::find_if(blocks.begin(), blocks.end(), [number](const auto &entry) {
                    return entry.first == std::size_t(number);
                });
            if (declared == blocks.end()) {
                blocks.emplace_back(number, std::to_string(initialSizeS5) + " bytes, demo");
            }
        }
        std::sort(blocks.begin(), blocks.end());
    }
    for (const auto &[number, description] : blocks) {
        line("DB" + std::to_string(number), description);
    }
    if (blocks.empty()) {
        line("blocks", options.strict ? "none" : "created as clients use them");
    }
    if (options.faults.empty()) {
        line("faults", "none");
    }
    for (std::size_t i = 0; i < options.faults.size(); ++i) {
        line("fault " + std::to_string(i + 1), describeFaultRule(options.faults[i]));
    }
    if (!options.faults.empty()) {
        line("seed", std::to_string(options.seed));
    }
    return text;
}
