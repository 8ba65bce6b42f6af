// Command line parsing.
#include "app/command_line.h"
#include "app/config_file.h"
#include "base/text.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

namespace {

ParseResult parse(std::vector<std::string_view> arguments) {
    return parseCommandLine(arguments);
}

TEST(CommandLine, NoArgumentsServePort102OnEveryAddress) {
    const ParseResult result = parse({});
    ASSERT_TRUE(result.ok);
    EXPECT_EQ(result.options.port, 102);
    EXPECT_EQ(result.options.bindAddress, (Ipv4Address{0, 0, 0, 0}));
    EXPECT_EQ(result.options.colour, ColourMode::automatic);
}

TEST(CommandLine, PortBindAndColourInBothSpellings) {
    const ParseResult spaced = parse({"--port", "1102", "--bind", "127.0.0.1", "--color", "never"});
    ASSERT_TRUE(spaced.ok) << spaced.error;
    EXPECT_EQ(spaced.options.port, 1102);
    EXPECT_EQ(spaced.options.bindAddress, (Ipv4Address{127, 0, 0, 1}));
    EXPECT_EQ(spaced.options.colour, ColourMode::never);

    const ParseResult joined = parse({"--port=65535", "--bind=10.1.2.255", "--color=always"});
    ASSERT_TRUE(joined.ok) << joined.error;
    EXPECT_EQ(joined.options.port, 65535);
    EXPECT_EQ(joined.options.bindAddress, (Ipv4Address{10, 1, 2, 255}));
    EXPECT_EQ(joined.options.colour, ColourMode::always);
}

TEST(CommandLine, PortBoundaries) {
    EXPECT_TRUE(parse({"--port", "1"}).ok);
    EXPECT_TRUE(parse({"--port", "65535"}).ok);
    EXPECT_TRUE(parse({"--port", "0"}).ok); // any free port
    EXPECT_FALSE(parse({"--port", "65536"}).ok);
    EXPECT_FALSE(parse({"--port", "-1"}).ok);
    EXPECT_FALSE(parse({"--port", "12x"}).ok);
    EXPECT_FALSE(parse({"--port", ""}).ok);
    EXPECT_FALSE(parse({"--port"}).ok);
}

TEST(CommandLine, BadAddresses) {
    EXPECT_FALSE(parse({"--bind", "256.0.0.1"}).ok);
    EXPECT_FALSE(parse({"--bind", "1.2.3"}).ok);
    EXPECT_FALSE(parse({"--bind", "1.2.3.4.5"}).ok);
    EXPECT_FALSE(parse({"--bind", "1..3.4"}).ok);
    EXPECT_FALSE(parse({"--bind", "localhost"}).ok);
    EXPECT_FALSE(parse({"--bind", "0001.2.3.4"}).ok);
}

TEST(CommandLine, UnknownArgumentsAndValuesAreErrorsWithAMessage) {
    const ParseResult unknown = parse({"--verbose"});
    EXPECT_FALSE(unknown.ok);
    EXPECT_NE(unknown.error.find("--verbose"), std::string::npos);
    EXPECT_FALSE(parse({"--color", "blue"}).ok);
    EXPECT_FALSE(parse({"--help=yes"}).ok);
    EXPECT_FALSE(parse({"102"}).ok);
}

TEST(CommandLine, CpuProfilesAndConnectionCounts) {
    EXPECT_EQ(parse({}).options.cpu->name, "classic");
    EXPECT_EQ(parse({}).options.connections, 0);
    for (const char *name : {"classic", "s7-300", "s7-400", "s7-1200", "s7-1500"}) {
        const ParseResult result = parse({"--cpu", name});
        ASSERT_TRUE(result.ok) << name;
        EXPECT_EQ(result.options.cpu->name, name);
    }
    EXPECT_FALSE(parse({"--cpu", "s7-200"}).ok);
    EXPECT_FALSE(parse({"--cpu", "S7-300"}).ok);
    EXPECT_EQ(parse({"--connections", "1"}).options.connections, 1);
    EXPECT_EQ(parse({"--connections=64"}).options.connections, 64);
    EXPECT_FALSE(parse({"--connections", "0"}).ok);
    EXPECT_FALSE(parse({"--connections", "65"}).ok);
}

TEST(CommandLine, CaptureFile) {
    EXPECT_EQ(parse({}).options.pcap, "");
    EXPECT_EQ(parse({"--pcap", "run.pcap"}).options.pcap, "run.pcap");
    EXPECT_EQ(parse({"--pcap=/tmp/a b.pcap"}).options.pcap, "/tmp/a b.pcap");
    EXPECT_FALSE(parse({"--pcap"}).ok);
    EXPECT_FALSE(parse({"--pcap="}).ok);
}

TEST(CommandLine, StateFolderAndSaveInterval) {
    EXPECT_EQ(parse({}).options.stateFolder, "");
    EXPECT_EQ(parse({}).options.saveEverySeconds, 10);
    const ParseResult both = parse({"--state", "kept", "--save-every=86400"});
    ASSERT_TRUE(both.ok) << both.error;
    EXPECT_EQ(both.options.stateFolder, "kept");
    EXPECT_EQ(both.options.saveEverySeconds, 86400);
    EXPECT_EQ(parse({"--save-every", "1"}).options.saveEverySeconds, 1);
    EXPECT_EQ(parse({"--save-every", "0"}).error,
              "bad save interval: 0 (expected 1-86400 seconds)");
    EXPECT_FALSE(parse({"--save-every", "86401"}).ok);
    EXPECT_FALSE(parse({"--save-every", "1.5"}).ok);
    EXPECT_EQ(parse({"--state", ""}).error, "--state needs a folder");
    EXPECT_EQ(parse({"--state"}).error, "--state needs a value");
}

// --db reads as a [[db]] table does: number and size are integers, hex and file text whatever
// their digits, a key that is an address a start value.
TEST(CommandLine, DataBlocksOnTheCommandLine) {
    struct Row {
        const char *settings;
        const char *imageOrError; // the block's bytes in hex, or the error line
    };
    // clang-format off
    const Row rows[] = {
        {"number=30,hex=00003039",                 "00 00 30 39"},
        {"number=7,size=4,DBW0:INT=-5,DBX2.1=true", "FF FB 02 00"},
        {"number=7,size=6,DBB0:STRING[4]='12'",      "04 02 31 32 00 00"},
        {"number=7,size=4,DBD0:REAL=0.5",           "3F 00 00 00"},
        {"number=x,size=4",        "--db: number must be an integer, not a string"},
        {"number=7,size=4,DBW0:INT=40000", "--db: DB7: 'DBW0:INT': 40000 does not fit INT (-32768 to 32767)"},
        {"number=7,size=4,color=1", "--db: unknown key 'color' in [[db]] (expected number, size, file, hex, values)"},
        {"number=7",               "--db: DB7 needs a size (or content from file or hex)"},
        {"size",                   "--db: data block setting 'size' is not key=value"},
    };
    // clang-format on
    for (const Row &row : rows) {
        SCOPED_TRACE(row.settings);
        const ParseResult result = parse({"--db", row.settings});
        if (!result.ok) {
            EXPECT_EQ(result.error, row.imageOrError);
            continue;
        }
        ASSERT_EQ(result.options.dataBlocks.size(), 1u);
        std::string image;
        for (const std::uint8_t byte : result.options.dataBlocks[0].image) {
            image.append(image.empty() ? "" : " ").append(hexNumber(byte, 2).substr(2));
        }
        EXPECT_EQ(image, row.imageOrError);
    }
    EXPECT_EQ(parse({"--db", "number=7,size=4", "--db", "number=7,size=8"}).error,
              "--db: DB7 is declared twice");
}

TEST(CommandLine, HelpAndVersion) {
    EXPECT_TRUE(parse({"--help"}).options.showHelp);
    EXPECT_TRUE(parse({"--version"}).options.showVersion);
}

} // namespace

// ---------------------------------------------------------------------------------------------
// The option table: every row is taken from the command line and from the file alike, and shows.

namespace {

// A value as the file writes it: numbers and true/false bare, text quoted. Appended piece by
// piece: GCC 12 at -O3 warns falsely (-Wrestrict) about "\"" + string.
std::string fileValue(std::string_view value, bool text) {
    std::string written(text ? "\"" : "");
    written.append(value).append(text ? "\"" : "");
    return written;
}

bool looksNumeric(std::string_view value) {
    return value == "true" || value == "false" ||
           (!value.empty() && value.find_first_not_of("0123456789") == std::string::npos);
}

// The KEY=VALUE,... of a table row's example as the lines of its table; a key with a colon is
// an address, a start value under values.
std::string tableLines(const OptionRow &row) {
    std::string lines;
    std::string_view text = row.example;
    while (!text.empty()) {
        const std::size_t comma = std::min(text.find(','), text.size());
        const std::string_view pair = text.substr(0, comma);
        const std::size_t equals = pair.find('=');
        const std::string_view key = pair.substr(0, equals);
        const std::string_view value = pair.substr(equals + 1);
        bool quoted = !looksNumeric(value);
        for (const TableKey &tableKey : row.tableKeys) {
            quoted = tableKey.key == key ? tableKey.value == OptionValue::text : quoted;
        }
        const std::string name = key.find(':') != std::string_view::npos
                                     ? "values.\"" + std::string(key) + "\""
                                     : std::string(key);
        lines += name + " = " + fileValue(value, quoted) + "\n";
        text = comma < text.size() ? text.substr(comma + 1) : std::string_view{};
    }
    return lines;
}

// The row's example as a file: the CPU first (the keys only a profile takes are checked against
// it), a top-level key before any table, then a fault rule (so that the seed shows), then a
// table row's table.
std::string fileWith(const OptionRow &row) {
    const bool isTable = row.value == OptionValue::table || row.value == OptionValue::tables;
    const std::string scalar = std::string(row.key) + " = " +
                               fileValue(row.example, row.value == OptionValue::text) + "\n";
    const bool array = row.value == OptionValue::tables;
    std::string table(array ? "[[" : "[");
    table.append(row.key).append(array ? "]]\n" : "]\n").append(tableLines(row));
    // A file names a key once: the cpu row's example is the file's cpu.
    const std::string cpu = row.key == "cpu" ? "" : "cpu = \"s7-1500\"\n";
    return cpu + (isTable ? "" : scalar) + "[[fault]]\non = \"write\"\nclose = true\n" +
           (isTable ? table : "");
}

// The same on the command line.
const std::vector<std::string_view> baseArguments = {"--cpu", "s7-1500", "--fault",
                                                     "on=write,close=true"};

TEST(OptionTable, EveryKeyOfTheFileIsAnOptionOfTheCommandLineAndTheyReadAlike) {
    for (const OptionRow &row : optionTable()) {
        if (row.key.empty()) {
            continue;
        }
        SCOPED_TRACE(std::string(row.flag) + " / " + std::string(row.key));
        ASSERT_FALSE(row.example.empty());
        // As two arguments, but a switch: its value only with "=".
        std::vector<std::string_view> arguments = baseArguments;
        const std::string joined = std::string(row.flag) + "=" + std::string(row.example);
        if (row.value == OptionValue::boolean) {
            arguments.push_back(joined);
        } else {
            arguments.push_back(row.flag);
            arguments.push_back(row.example);
        }
        const ParseResult commandLine = parseCommandLine(arguments);
        ASSERT_TRUE(commandLine.ok) << commandLine.error;

        const std::string text = fileWith(row);
        const ConfigResult file = loadConfiguration(text, "plc.toml", nullptr);
        ASSERT_TRUE(file.ok) << file.error << "\n" << text;
        Options fromFile = file.options;
        fromFile.configFile.clear();
        EXPECT_EQ(describeOptions(fromFile), describeOptions(commandLine.options)) << text;
    }
}

TEST(OptionTable, EverySettingShowsInTheCheckReportAndEveryFlagInTheUsage) {
    const ParseResult base = parseCommandLine(baseArguments);
    ASSERT_TRUE(base.ok) << base.error;
    const std::string before = describeOptions(base.options);
    const std::string usage = usageText();
    for (const OptionRow &row : optionTable()) {
        SCOPED_TRACE(row.flag);
        EXPECT_NE(usage.find("\n  " + std::string(row.flag)), std::string::npos);
        if (row.key.empty()) {
            continue;
        }
        std::vector<std::string_view> arguments = baseArguments;
        const std::string joined = std::string(row.flag) + "=" + std::string(row.example);
        arguments.push_back(joined);
        const ParseResult changed = parseCommandLine(arguments);
        ASSERT_TRUE(changed.ok) << changed.error;
        EXPECT_NE(describeOptions(changed.options), before);
    }
}

} // namespace
