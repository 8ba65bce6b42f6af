// Command line parsing.
#include "app/command_line.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

ParseResult parse(std::vector<std::string_view> arguments) {
    return parseCommandLine(arguments);
}

TEST(CommandLine, NoArgumentsServePort102OnEveryAddress) {
    const ParseResult result = parse({});
    ASSERT_TRUE(result.ok);
    EXPECT_EQ(result.options.port, 102);
    EXPECT_EQ(result.options.bindAddress, (platform::Ipv4Address{0, 0, 0, 0}));
    EXPECT_EQ(result.options.colour, ColourMode::automatic);
}

TEST(CommandLine, PortBindAndColourInBothSpellings) {
    const ParseResult spaced = parse({"--port", "1102", "--bind", "127.0.0.1", "--color", "never"});
    ASSERT_TRUE(spaced.ok) << spaced.error;
    EXPECT_EQ(spaced.options.port, 1102);
    EXPECT_EQ(spaced.options.bindAddress, (platform::Ipv4Address{127, 0, 0, 1}));
    EXPECT_EQ(spaced.options.colour, ColourMode::never);

    const ParseResult joined = parse({"--port=65535", "--bind=10.1.2.255", "--color=always"});
    ASSERT_TRUE(joined.ok) << joined.error;
    EXPECT_EQ(joined.options.port, 65535);
    EXPECT_EQ(joined.options.bindAddress, (platform::Ipv4Address{10, 1, 2, 255}));
    EXPECT_EQ(joined.options.colour, ColourMode::always);
}

TEST(CommandLine, PortBoundaries) {
    EXPECT_TRUE(parse({"--port", "1"}).ok);
    EXPECT_TRUE(parse({"--port", "65535"}).ok);
    EXPECT_FALSE(parse({"--port", "0"}).ok);
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

TEST(CommandLine, HelpAndVersion) {
    EXPECT_TRUE(parse({"--help"}).options.showHelp);
    EXPECT_TRUE(parse({"--version"}).options.showVersion);
}

} // namespace
