#include "app/config_file.h"

#include "base/text.h"
#include "memory/data_block_table.h"
#include "memory/s7_address.h"
#include "program/program.h"
#include "sim/demo_data.h"

// toml++ as a header-only library, reporting parse errors through its result instead of
// exceptions: the loader hands back one error line, and nothing else in the program throws.
#define TOML_HEADER_ONLY 1
#define TOML_EXCEPTIONS 0
#define TOML_ENABLE_FORMATTERS 0
#include <toml.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <optional>
#include <span>
#include <tuple>
#include <unordered_map>
#include <utility>
#include <vector>

namespace {

constexpr std::array<std::string_view, 5> blockKeys = {"number", "size", "file", "hex", "values"};

// A bound for sanity: a file this large was named by mistake.
constexpr std::uintmax_t largestConfigFile = 64 << 20;

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
    std::string plc; // the PLC being read from a [[plc]] row, named in messages; empty: none
};

} // namespace

// What a row's own file reader gets: the value and the reading it belongs to.
struct ConfigNode {
    Reading &reading;
    const toml::node &node;
};

namespace {

bool fail(Reading &reading, const toml::source_region &where, const std::string &what) {
    std::string message;
    if (!reading.plc.empty()) {
        message = "plc " + reading.plc + ": ";
    }
    message += what;
    reading.error = errorLine(reading.path, where, message);
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

// The text a value of the file stands for on the command line.
std::string valueText(const toml::node &node) {
    if (const auto *string = node.as_string()) {
        return string->get();
    }
    if (const auto *integer = node.as_integer()) {
        return std::to_string(integer->get());
    }
    if (const auto *flag = node.as_boolean()) {
        return flag->get() ? "true" : "false";
    }
    return {};
}

toml::node_type fileType(OptionValue value) {
    switch (value) {
    case OptionValue::boolean:
        return toml::node_type::boolean;
    case OptionValue::integer:
        return toml::node_type::integer;
    case OptionValue::text:
    case OptionValue::none:
        return toml::node_type::string;
    case OptionValue::table:
        return toml::node_type::table;
    case OptionValue::tables:
        return toml::node_type::array;
    }
    return toml::node_type::none;
}

// A table option ([identity], [areas]): each key's value goes through the row's reader as
// KEY=VALUE, as the command line gives it.
bool readTableOption(Reading &reading, const OptionRow &row, const toml::node &node,
                     Options &options) {
    const std::string name = "[" + std::string(row.key) + "]";
    if (!expectType(reading, node, toml::node_type::table, name)) {
        return false;
    }
    std::vector<std::string_view> known;
    for (const TableKey &key : row.tableKeys) {
        known.push_back(key.key);
    }
    const toml::table &table = *node.as_table();
    if (!checkKeys(reading, table, " in " + name, known)) {
        return false;
    }
    for (const TableKey &key : row.tableKeys) {
        const toml::node *value = table.get(key.key);
        if (value == nullptr) {
            continue;
        }
        if (!expectType(reading, *value, fileType(key.value), key.key)) {
            return false;
        }
        if (const std::string error =
                row.read(std::string(key.key) + "=" + valueText(*value), options);
            !error.empty()) {
            return fail(reading, value->source(), error);
        }
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
        HexParse bytes = parseHexBytes(hex->as_string()->get(), HexBlanks::between);
        if (!bytes.ok) {
            return fail(reading, hex->source(), name + ": hex: " + bytes.error);
        }
        content = std::move(bytes.bytes);
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
        const std::size_t firstBit = std::size_t{address.byteOffset} * 8 +
                                     static_cast<std::size_t>(std::max(address.bit, 0));
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

// Puts the block among the options' blocks, in ascending number; false when its number is
// there already.
bool addDataBlock(Options &options, DataBlockSetup block) {
    const auto at = std::lower_bound(
        options.dataBlocks.begin(), options.dataBlocks.end(), block.number,
        [](const DataBlockSetup &other, std::uint16_t number) { return other.number < number; });
    if (at != options.dataBlocks.end() && at->number == block.number) {
        return false;
    }
    options.dataBlocks.insert(at, std::move(block));
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
        const std::uint16_t number = block.number;
        if (!addDataBlock(options, std::move(block))) {
            return fail(reading, element.as_table()->get("number")->source(),
                        "DB" + std::to_string(number) + " is declared twice");
        }
    }
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

// "A+B" or "A": the sum of whole numbers, as a [[plc]] row's port gives it; nullopt past 65535.
std::optional<std::uint64_t> plantSum(std::string_view text) {
    const std::size_t plus = text.find('+');
    const std::optional<std::uint64_t> first = parseWholeNumber(text.substr(0, plus), 0, 65535);
    if (plus == std::string_view::npos || !first) {
        return first;
    }
    const std::optional<std::uint64_t> second =
        parseWholeNumber(text.substr(plus + 1), 0, 65535 - *first);
    if (!second) {
        return std::nullopt;
    }
    return *first + *second;
}

// "A.B.C.D+N": the N-th address after A.B.C.D, carrying into the higher bytes, so that 10,000
// PLCs fit in 127.0.0.0/8; nullopt past 255.255.255.255.
std::optional<Ipv4Address> addressAfter(std::string_view text) {
    const std::size_t plus = text.find('+');
    const std::optional<Ipv4Address> base = parseIpv4(text.substr(0, plus));
    if (!base) {
        return std::nullopt;
    }
    const std::uint64_t start = std::uint64_t{(*base)[0]} << 24 | std::uint64_t{(*base)[1]} << 16 |
                                std::uint64_t{(*base)[2]} << 8 | (*base)[3];
    const std::optional<std::uint64_t> offset =
        parseWholeNumber(text.substr(plus + 1), 0, 0xFFFF'FFFFu - start);
    if (!offset) {
        return std::nullopt;
    }
    const std::uint64_t sum = start + *offset;
    return Ipv4Address{static_cast<std::uint8_t>(sum >> 24), static_cast<std::uint8_t>(sum >> 16),
                       static_cast<std::uint8_t>(sum >> 8), static_cast<std::uint8_t>(sum)};
}

// One top-level key of the file, by the kind its row says.
bool readOption(Reading &reading, const OptionRow &row, const toml::node &node, Options &options) {
    if (row.readFromFile != nullptr) {
        ConfigNode wrapped{reading, node};
        return row.readFromFile(wrapped, options);
    }
    if (row.value == OptionValue::table) {
        return needsProfile(reading, node.source(), "[" + std::string(row.key) + "]", options) &&
               readTableOption(reading, row, node, options);
    }
    std::string text = valueText(node);
    // A [[plc]] row may give its port and address as sums.
    const bool inRow = !reading.plc.empty();
    if (inRow && row.key == "port" && node.is_string()) {
        // "10200+{n}" in a [[plc]] row: the sum, read as the port number it gives.
        const std::optional<std::uint64_t> sum = plantSum(text);
        if (!sum) {
            return fail(reading, node.source(),
                        "port: bad value " + text + " (expected N or N+M, as \"10200+{n}\")");
        }
        text = std::to_string(*sum);
    } else if (!expectType(reading, node, fileType(row.value), row.key)) {
        return false;
    } else if (inRow && row.key == "bind" && text.find('+') != std::string::npos) {
        const std::optional<Ipv4Address> address = addressAfter(text);
        if (!address) {
            return fail(reading, node.source(),
                        "bind: bad value " + text +
                            " (expected A.B.C.D+N within 255.255.255.255, as \"127.1.0.0+{n}\")");
        }
        text = ipv4Text(*address);
    }
    if (const std::string error = row.read(text, options); !error.empty()) {
        return fail(reading, node.source(), std::string(row.key) + ": " + error);
    }
    if (row.needsProfile && row.value == OptionValue::boolean && node.as_boolean()->get()) {
        return needsProfile(reading, node.source(), std::string(row.key) + " = true", options);
    }
    return true;
}

// Reads a table of settings (the file's top level, or a [[plc]] row over the top level's
// options); extra are the table's keys that are not settings, read by the caller.
bool readFile(Reading &reading, const toml::table &root, Options &options,
              std::span<const std::string_view> extra = {}) {
    std::vector<std::string_view> known(extra.begin(), extra.end());
    for (const OptionRow &row : optionTable()) {
        if (!row.key.empty()) {
            known.push_back(row.key);
        }
    }
    if (!checkKeys(reading, root, "", known)) {
        return false;
    }
    for (const OptionRow &row : optionTable()) {
        const toml::node *node = row.key.empty() ? nullptr : root.get(row.key);
        if (node != nullptr && !readOption(reading, row, *node, options)) {
            return false;
        }
    }
    // The state folder, the capture and events files and the program, like an image file, are
    // found relative to the configuration file.
    const std::filesystem::path folder = std::filesystem::path(reading.path).parent_path();
    if (root.get("state") != nullptr) {
        options.stateFolder = (folder / options.stateFolder).string();
    }
    if (root.get("pcap") != nullptr) {
        options.pcap = (folder / options.pcap).string();
    }
    if (root.get("events") != nullptr) {
        options.eventsFile = (folder / options.eventsFile).string();
    }
    if (root.get("program") != nullptr) {
        options.programFile = (folder / options.programFile).string();
    }
    return true;
}

ConfigResult configFailure(std::string error) {
    return {false, Options{}, {}, std::move(error)};
}

// A [[plc]] row's own keys besides the settings.
constexpr std::array<std::string_view, 2> rowKeys = {"name", "count"};

// A string of a [[plc]] row that holds {n}, with its text as written.
struct NumberedText {
    toml::value<std::string> *value;
    std::string written;
};

void findNumberedTexts(toml::node &row, std::vector<NumberedText> &texts) {
    // Walked with a list of the nodes still to look at: a file's nesting has no bound.
    std::vector<toml::node *> waiting = {&row};
    while (!waiting.empty()) {
        toml::node &node = *waiting.back();
        waiting.pop_back();
        if (toml::table *table = node.as_table()) {
            for (auto &&[key, value] : *table) {
                waiting.push_back(&value);
            }
        } else if (toml::array *array = node.as_array()) {
            for (toml::node &element : *array) {
                waiting.push_back(&element);
            }
        } else if (toml::value<std::string> *text = node.as_string();
                   text != nullptr && text->get().find("{n}") != std::string::npos) {
            texts.push_back({text, text->get()});
        }
    }
}

// Every {n} of the texts as written replaced by n (none: their text as written). The values are
// changed where they stand, so a message about one still gives its line.
void numberTexts(std::span<NumberedText> texts, std::optional<int> n) {
    for (NumberedText &text : texts) {
        std::string numbered = text.written;
        for (std::size_t at = numbered.find("{n}"); n && at != std::string::npos;
             at = numbered.find("{n}", at)) {
            const std::string digits = std::to_string(*n);
            numbered.replace(at, 3, digits);
            at += digits.size();
        }
        text.value->get() = std::move(numbered);
    }
}

// A row's name and count, checked.
bool readRowHead(Reading &reading, const toml::table &row, std::int64_t &count) {
    for (auto &&[key, value] : row) {
        if (std::find(processOptionKeys.begin(), processOptionKeys.end(), key.str()) !=
            processOptionKeys.end()) {
            return fail(reading, key.source(),
                        std::string(key.str()) +
                            " is set once for the whole process: give it at the top level, "
                            "not in [[plc]]");
        }
    }
    const toml::node *name = row.get("name");
    if (name == nullptr) {
        return fail(reading, row.source(), "[[plc]] needs a name");
    }
    if (!expectType(reading, *name, toml::node_type::string, "name")) {
        return false;
    }
    count = 1;
    if (const toml::node *countNode = row.get("count")) {
        if (!expectType(reading, *countNode, toml::node_type::integer, "count")) {
            return false;
        }
        count = countNode->as_integer()->get();
        if (count < 1 || count > largestPlcCount) {
            return fail(reading, countNode->source(),
                        "count " + std::to_string(count) + " is not 1-" +
                            std::to_string(largestPlcCount));
        }
    }
    return true;
}

// The PLCs of the [[plc]] rows, each read over the top level's options (plant).
bool readPlant(Reading &reading, toml::node &rows, const Options &plant,
               std::vector<Options> &plcs) {
    toml::array *array = rows.as_array();
    if (array == nullptr || !array->is_array_of_tables()) {
        return fail(reading, rows.source(),
                    "plc must be an array of tables ([[plc]]), not " +
                        std::string(typeName(rows.type())));
    }
    std::unordered_map<std::string, std::string> places; // name: where it was given
    for (toml::node &element : *array) {
        toml::table &row = *element.as_table();
        std::int64_t count = 1;
        if (!readRowHead(reading, row, count)) {
            return false;
        }
        std::vector<NumberedText> texts;
        findNumberedTexts(row, texts);
        const toml::node &nameNode = *row.get("name");
        for (int n = 1; n <= count; ++n) {
            numberTexts(texts, n);
            const std::string name = nameNode.as_string()->get();
            if (!validPlcName(name)) {
                return fail(reading, nameNode.source(),
                            "plc name '" + name + "' is not 1-32 of A-Z a-z 0-9 _ -");
            }
            const std::string place = std::to_string(nameNode.source().begin.line) + ":" +
                                      std::to_string(nameNode.source().begin.column);
            if (const auto [at, added] = places.emplace(name, place); !added) {
                return fail(reading, nameNode.source(),
                            "plc name '" + name + "' is given twice (first at " + at->second + ")");
            }
            Options plc = plant;
            plc.plcName = name;
            // A key the row gives replaces the top level's: its data blocks and fault rules too.
            if (row.contains("db")) {
                plc.dataBlocks.clear();
            }
            if (row.contains("fault")) {
                plc.faults.clear();
            }
            reading.plc = name;
            if (!readFile(reading, row, plc, rowKeys)) {
                return false;
            }
            reading.plc.clear();
            plcs.push_back(std::move(plc));
        }
        numberTexts(texts, std::nullopt);
    }
    return true;
}

// A start value of --db as the file would write it: true/false, an integer, a number with a
// point or exponent, or else text (in quotes where it could pass for one of the others).
void insertStartValue(toml::table &values, const std::string &key, std::string_view value) {
    const bool quotedText = value.size() >= 2 && (value.front() == '\'' || value.front() == '"') &&
                            value.back() == value.front();
    const bool negative = value.starts_with('-');
    const std::optional<std::uint64_t> magnitude = parseWholeNumber(
        negative ? value.substr(1) : value, 0, static_cast<std::uint64_t>(INT64_MAX));
    const std::string copy(value);
    char *end = nullptr;
    const double real = std::strtod(copy.c_str(), &end);
    if (quotedText) {
        values.insert(key, std::string(value.substr(1, value.size() - 2)));
    } else if (value == "true" || value == "false") {
        values.insert(key, value == "true");
    } else if (magnitude) {
        const auto number = static_cast<std::int64_t>(*magnitude);
        values.insert(key, negative ? -number : number);
    } else if (!copy.empty() && end == copy.c_str() + copy.size()) {
        values.insert(key, real);
    } else {
        values.insert(key, copy);
    }
}

// --db's settings, "number=10,size=64,DBW2:INT=7", as the [[db]] table they stand for: number
// and size are integers (when they read as one), hex and file text, and a key that names an
// address is a start value.
std::optional<toml::table> blockTableOf(std::string_view text, std::string &error) {
    toml::table table;
    toml::table values;
    while (!text.empty()) {
        const std::size_t comma = std::min(text.find(','), text.size());
        const std::string_view pair = text.substr(0, comma);
        text = comma < text.size() ? text.substr(comma + 1) : std::string_view{};
        const std::size_t equals = pair.find('=');
        if (equals == std::string_view::npos || equals == 0) {
            error = "data block setting '" + std::string(pair) + "' is not key=value";
            return std::nullopt;
        }
        const std::string key(pair.substr(0, equals));
        const std::string_view value = pair.substr(equals + 1);
        const std::optional<std::uint64_t> whole =
            parseWholeNumber(value, 0, static_cast<std::uint64_t>(INT64_MAX));
        if (asciiUpper(key).starts_with("DB")) {
            insertStartValue(values, key, value);
        } else if ((key == "number" || key == "size") && whole) {
            table.insert(key, static_cast<std::int64_t>(*whole));
        } else {
            table.insert(key, std::string(value));
        }
    }
    if (!values.empty()) {
        table.insert("values", std::move(values));
    }
    return table;
}

} // namespace

bool readDataBlocksFromFile(ConfigNode &node, Options &options) {
    return readBlocks(node.reading, node.node, options);
}

bool readFaultsFromFile(ConfigNode &node, Options &options) {
    return readFaults(node.reading, node.node, options);
}

std::string readDataBlockText(std::string_view settings, Options &options) {
    std::string error;
    const std::optional<toml::table> table = blockTableOf(settings, error);
    Reading reading{"--db", nullptr, {}, {}};
    DataBlockSetup block{};
    if (!table) {
        return "--db: " + error;
    }
    if (!readBlock(reading, *table, options, block)) {
        return reading.error;
    }
    const std::uint16_t number = block.number;
    if (!addDataBlock(options, std::move(block))) {
        return "--db: DB" + std::to_string(number) + " is declared twice";
    }
    return {};
}

ConfigResult loadConfiguration(std::string_view text, const std::string &path,
                               const CpuProfile *cpuOverride) {
    toml::parse_result parsed = toml::parse(text, path);
    if (!parsed) {
        return configFailure(
            errorLine(path, parsed.error().source(), parsed.error().description()));
    }
    Reading reading{path, cpuOverride, {}, {}};
    Options options;
    options.configFile = path;
    toml::node *rows = parsed.table().get("plc");
    constexpr std::array<std::string_view, 1> plantKey = {"plc"};
    if (!readFile(reading, parsed.table(), options,
                  rows != nullptr ? std::span<const std::string_view>(plantKey)
                                  : std::span<const std::string_view>())) {
        return configFailure(reading.error);
    }
    std::vector<Options> plant;
    if (rows != nullptr && !readPlant(reading, *rows, options, plant)) {
        return configFailure(reading.error);
    }
    return {true, std::move(options), std::move(plant), {}};
}

namespace {

// The command line over a PLC's options from the file. The block images (up to 3000 of 64 KiB)
// stay out of the copy the parser starts from; a block the command line declares replaces the
// file's of the same number.
ParseResult overFile(std::span<const std::string_view> arguments, Options fromFile) {
    std::vector<DataBlockSetup> blocks = std::move(fromFile.dataBlocks);
    ParseResult merged = parseCommandLine(arguments, fromFile);
    for (DataBlockSetup &block : blocks) {
        addDataBlock(merged.options, std::move(block));
    }
    return merged;
}

// Keeps the PLCs --plc names; why not, when a pattern names none.
std::string selectPlcs(const std::vector<std::string> &globs, std::vector<Options> &plant) {
    if (globs.empty()) {
        return {};
    }
    for (const std::string &glob : globs) {
        if (std::none_of(plant.begin(), plant.end(),
                         [&glob](const Options &plc) { return globMatches(glob, plc.plcName); })) {
            return "--plc " + glob + " matches no PLC";
        }
    }
    std::erase_if(plant, [&globs](const Options &plc) {
        return std::none_of(globs.begin(), globs.end(), [&plc](const std::string &glob) {
            return globMatches(glob, plc.plcName);
        });
    });
    return {};
}

// Two PLCs that would listen on the same address and port (every address, 0.0.0.0, shares a
// port with each of them), named; empty when there are none. Port 0 takes any free port.
std::string findSharedListener(const std::vector<Options> &plant) {
    std::vector<std::size_t> order;
    for (std::size_t index = 0; index < plant.size(); ++index) {
        if (plant[index].port != 0) {
            order.push_back(index);
        }
    }
    // By port, every-address first, then by address: a clash is then between neighbours.
    const auto key = [&plant](std::size_t index) {
        const Options &plc = plant[index];
        const bool any = plc.bindAddress == Ipv4Address{0, 0, 0, 0};
        return std::tuple(plc.port, !any, plc.bindAddress);
    };
    std::stable_sort(order.begin(), order.end(),
                     [&key](std::size_t a, std::size_t b) { return key(a) < key(b); });
    for (std::size_t at = 1; at < order.size(); ++at) {
        const Options &first = plant[order[at - 1]];
        const Options &second = plant[order[at]];
        const bool firstAny = first.bindAddress == Ipv4Address{0, 0, 0, 0};
        if (first.port == second.port && (firstAny || first.bindAddress == second.bindAddress)) {
            const std::string port = std::to_string(second.port);
            if (firstAny && !(second.bindAddress == first.bindAddress)) {
                return first.plcName + " (every address) and " + second.plcName + " (" +
                       ipv4Text(second.bindAddress) + ") both listen on port " + port;
            }
            return first.plcName + " and " + second.plcName + " both listen on " +
                   ipv4Text(second.bindAddress) + ":" + port;
        }
    }
    return {};
}

} // namespace

ConfigResult resolveOptions(std::span<const std::string_view> arguments,
                            const Options &commandLine) {
    ConfigResult resolved{true, commandLine, {}, {}};
    if (commandLine.configFile.empty()) {
        resolved.plant.push_back(commandLine);
        resolved.options.dataBlocks.clear(); // the PLC's, not the process's
    } else {
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
        std::vector<DataBlockSetup> blocks = std::move(loaded.options.dataBlocks);
        ParseResult merged = parseCommandLine(arguments, loaded.options);
        if (!merged.ok) {
            return configFailure(std::move(merged.error));
        }
        resolved.options = std::move(merged.options);
        if (loaded.plant.empty()) {
            resolved.plant.push_back(resolved.options);
            for (DataBlockSetup &block : blocks) {
                addDataBlock(resolved.plant.back(), std::move(block));
            }
        }
        for (Options &plc : loaded.plant) {
            resolved.plant.push_back(overFile(arguments, std::move(plc)).options);
            Options &added = resolved.plant.back();
            if (!added.stateFolder.empty()) {
                // Each PLC of a plant keeps its memory in a folder of its own.
                added.stateFolder =
                    (std::filesystem::path(added.stateFolder) / added.plcName).string();
            }
        }
    }
    for (const Options &plc : resolved.plant) {
        if (std::string problem = checkProfileOptions(plc); !problem.empty()) {
            return configFailure(resolved.plant.size() > 1 && !commandLine.configFile.empty()
                                     ? commandLine.configFile + ": plc " + plc.plcName + ": " +
                                           problem
                                     : std::move(problem));
        }
    }
    if (std::string error = selectPlcs(commandLine.plcGlobs, resolved.plant); !error.empty()) {
        return configFailure(std::move(error));
    }
    if (std::string shared = findSharedListener(resolved.plant); !shared.empty()) {
        return configFailure(std::move(shared));
    }
    return resolved;
}

std::string readProgramFile(Options &options) {
    const std::string &file = options.programFile;
    if (file.empty()) {
        return {};
    }
    if (!programsAvailable()) {
        return checkProgramSource({}, file);
    }
    std::string error;
    const std::optional<std::vector<std::uint8_t>> bytes =
        readWholeFile(file, largestProgramSource, "more than a program may have (1 MiB)", error);
    if (!bytes) {
        return file + ": " + error;
    }
    options.programSource.assign(bytes->begin(), bytes->end());
    return checkProgramSource(options.programSource, file);
}
