// A plant file: [[plc]] rows over the top level, count and {n}, port and address sums, every way
// a row can be wrong, --plc, the refusal of two PLCs on one address and port, --check of a plant,
// and the log naming the PLC whose work it reports.
#include "harness.h"
#include "process.h"

#include "app/config_file.h"
#include "app/server.h"
#include "core/log.h"

#include <algorithm>
#include <string>
#include <vector>

namespace {

class Folder : public TestFolder {
public:
    Folder() : TestFolder("plcdouble_plant_") {}
};

ConfigResult load(const std::string &text) {
    return loadConfiguration(text, "plant.toml", nullptr);
}

struct BadPlant {
    const char *what;
    const char *text;
    const char *error;
};

TEST(PlantFile, EachWayARowCanBeWrongGivesItsOwnLine) {
    // clang-format off
    const BadPlant rows[] = {
        {"plc not tables", "plc = 5\n",
         "plant.toml:1:7: plc must be an array of tables ([[plc]]), not an integer"},
        {"no name", "[[plc]]\nport = 1\n", "plant.toml:1:1: [[plc]] needs a name"},
        {"name of another kind", "[[plc]]\nname = 5\n",
         "plant.toml:2:8: name must be a string, not an integer"},
        {"name with a blank", "[[plc]]\nname = \"line 2\"\n",
         "plant.toml:2:8: plc name 'line 2' is not 1-32 of A-Z a-z 0-9 _ -"},
        {"name of 33", "[[plc]]\nname = \"a23456789012345678901234567890123\"\n",
         "plant.toml:2:8: plc name 'a23456789012345678901234567890123' is not 1-32 of A-Z a-z "
         "0-9 _ -"},
        {"a row without {n} made twice", "[[plc]]\nname = \"f\"\ncount = 2\n",
         "plant.toml:2:8: plc name 'f' is given twice (first at 2:8)"},
        {"count 0", "[[plc]]\nname = \"f{n}\"\ncount = 0\n",
         "plant.toml:3:9: count 0 is not 1-10000"},
        {"count past the most", "[[plc]]\nname = \"f{n}\"\ncount = 10001\n",
         "plant.toml:3:9: count 10001 is not 1-10000"},
        {"a key of the process", "[[plc]]\nname = \"a\"\nhttp = \"8080\"\n",
         "plant.toml:3:1: http is set once for the whole process: give it at the top level, not "
         "in [[plc]]"},
        {"port sum past 65535", "[[plc]]\nname = \"f{n}\"\ncount = 3\nport = \"65533+{n}\"\n",
         "plant.toml:4:8: plc f3: port: bad value 65533+3 (expected N or N+M, as \"10200+{n}\")"},
        {"address sum past the last", "[[plc]]\nname = \"f{n}\"\ncount = 2\n"
         "bind = \"255.255.255.254+{n}\"\n",
         "plant.toml:4:8: plc f2: bind: bad value 255.255.255.254+2 (expected A.B.C.D+N within "
         "255.255.255.255, as \"127.1.0.0+{n}\")"},
        {"a setting wrong in one of many", "[[plc]]\nname = \"f{n}\"\ncount = 2\nstrict = true\n",
         "plant.toml:4:10: plc f1: strict = true needs a CPU profile; the cpu is classic"},
        {"an unknown key in a row", "[[plc]]\nname = \"a\"\nprot = 5\n",
         "plant.toml:3:1: plc a: unknown key 'prot' (expected name, count, cpu, port, bind, "
         "connections, color, state, save_every, pcap, events, events_data, seed, http, "
         "http_token, http_read_only, demo, strict, identity, areas, db, program, cycle_ms, "
         "max_cycle_ms, program_memory_mb, clock, fault)"},
    };
    // clang-format on
    for (const BadPlant &row : rows) {
        SCOPED_TRACE(row.what);
        const ConfigResult result = load(row.text);
        EXPECT_FALSE(result.ok);
        EXPECT_EQ(result.error, row.error);
    }
}

TEST(PlantFile, RowsStartFromTheTopLevelAndTheirOwnKeysReplaceIt) {
    const ConfigResult result = load("cpu = \"s7-1200\"\nport = 1102\nconnections = 3\n"
                                     "[[db]]\nnumber = 1\nsize = 256\n"
                                     "[[db]]\nnumber = 2\nsize = 256\n"
                                     "[[plc]]\nname = \"filler-{n}\"\ncount = 257\n"
                                     "bind = \"127.1.0.0+{n}\"\nport = \"10200+{n}\"\n"
                                     "identity = { as_name = \"FILLER-{n}\" }\n"
                                     "[[plc]]\nname = \"palletiser\"\ncpu = \"s7-1500\"\n"
                                     "[[plc.db]]\nnumber = 30\nsize = 10\n");
    ASSERT_TRUE(result.ok) << result.error;
    ASSERT_EQ(result.plant.size(), 258u);
    const Options &first = result.plant[0];
    EXPECT_EQ(first.plcName, "filler-1");
    EXPECT_EQ(first.bindAddress, (Ipv4Address{127, 1, 0, 1}));
    EXPECT_EQ(first.port, 10201);
    EXPECT_EQ(first.identity.asName, "FILLER-1");
    EXPECT_EQ(first.connections, 3); // from the top level
    EXPECT_EQ(first.cpu->name, "s7-1200");
    ASSERT_EQ(first.dataBlocks.size(), 2u);
    EXPECT_EQ(first.dataBlocks[1].image.size(), 256u);
    // 127.1.0.255 + 1 carries into the third byte.
    const Options &last = result.plant[256];
    EXPECT_EQ(last.plcName, "filler-257");
    EXPECT_EQ(last.bindAddress, (Ipv4Address{127, 1, 1, 1}));
    EXPECT_EQ(last.port, 10457);
    const Options &palletiser = result.plant[257];
    EXPECT_EQ(palletiser.cpu->name, "s7-1500");
    EXPECT_EQ(palletiser.port, 1102);
    EXPECT_EQ(palletiser.bindAddress, (Ipv4Address{0, 0, 0, 0}));
    ASSERT_EQ(palletiser.dataBlocks.size(), 1u); // its own blocks replace the top level's
    EXPECT_EQ(palletiser.dataBlocks[0].number, 30);
    EXPECT_FALSE(palletiser.identity.asName.has_value());
}

TEST(PlantFile, TheCommandLineSelectsAndAppliesOverEveryPlcAndSharedListenersAreRefused) {
    Folder folder;
    const std::string path = folder.write(
        "plant.toml", "cpu = \"s7-1200\"\nstate = \"kept\"\n"
                      "[[plc]]\nname = \"filler-{n}\"\ncount = 12\nbind = \"127.1.0.0+{n}\"\n"
                      "[[plc]]\nname = \"utility\"\nbind = \"127.1.0.30\"\n");
    const auto resolve = [&path](std::vector<std::string_view> arguments) {
        arguments.insert(arguments.begin(), {"--config", path});
        const ParseResult commandLine = parseCommandLine(arguments);
        EXPECT_TRUE(commandLine.ok) << commandLine.error;
        return resolveOptions(arguments, commandLine.options);
    };
    const auto names = [](const ConfigResult &result) {
        std::string joined;
        for (const Options &plc : result.plant) {
            joined += (joined.empty() ? "" : " ") + plc.plcName;
        }
        return joined;
    };
    const ConfigResult some =
        resolve({"--plc", "filler-1?", "--plc", "util*", "--port", "1102", "--state", "elsewhere"});
    ASSERT_TRUE(some.ok) << some.error;
    EXPECT_EQ(names(some), "filler-10 filler-11 filler-12 utility");
    for (const Options &plc : some.plant) {
        EXPECT_EQ(plc.port, 1102);
        EXPECT_EQ(plc.stateFolder, "elsewhere/" + plc.plcName); // each its own folder
    }
    EXPECT_EQ(resolve({"--plc", "filler-?"}).plant.size(), 9u);
    EXPECT_EQ(resolve({"--plc", "palletiser"}).error, "--plc palletiser matches no PLC");

    // Every PLC on one address: the first two to clash are named.
    EXPECT_EQ(resolve({"--bind", "127.0.0.5"}).error,
              "filler-1 and filler-2 both listen on 127.0.0.5:102");
    const std::string everyAddress = folder.write(
        "any.toml", "[[plc]]\nname = \"a\"\nbind = \"127.0.0.9\"\nport = 1102\n"
                    "[[plc]]\nname = \"b\"\nport = 1102\n"
                    "[[plc]]\nname = \"c\"\nport = 0\n[[plc]]\nname = \"d\"\nport = 0\n");
    const std::vector<std::string_view> arguments = {"--config", everyAddress};
    EXPECT_EQ(resolveOptions(arguments, parseCommandLine(arguments).options).error,
              "b (every address) and a (127.0.0.9) both listen on port 1102");
}

TEST(PlantBinary, CheckShowsEachPlcAndASharedListenerStopsTheStart) {
    Folder folder;
    const std::string path = folder.write(
        "plant.toml", "cpu = \"s7-1200\"\ndemo = false\n[[plc]]\nname = \"p{n}\"\ncount = 2\n"
                      "bind = \"127.1.0.0+{n}\"\nport = \"10200+{n}\"\n");
    ChildProcess check = ChildProcess::start({"--config", path, "--check", "--plc", "p2"});
    const std::string output = check.readOutputUntil("never-printed");
    EXPECT_EQ(check.waitForExit(), 0);
    EXPECT_TRUE(output.starts_with("plcs         1\nconfig       " + path + "\n")) << output;
    EXPECT_NE(output.find("\n[[plc]] p2\ncpu          s7-1200 (CPU 1214C DC/DC/DC)\n"
                          "port         10202\nbind         127.1.0.2\n"),
              std::string::npos)
        << output;
    EXPECT_EQ(output.find("[[plc]] p1"), std::string::npos);

    ChildProcess clash =
        ChildProcess::start({"--config", path, "--port", "1102", "--bind", "127.0.0.1"});
    EXPECT_EQ(clash.waitForExit(), 2);
    EXPECT_EQ(clash.readErrorUntil("never-printed"),
              "plcdouble: p1 and p2 both listen on 127.0.0.1:1102\n");
    EXPECT_EQ(clash.readOutputUntil("never-printed"), ""); // nothing listened
}

// With several PLCs each line names the PLC whose work it reports; with one, none does.
TEST_F(ServerTest, LogLinesNameTheirPlcOnlyWhenThereAreSeveral) {
    Options options;
    options.port = 0;
    options.bindAddress = {127, 0, 0, 1};
    options.plcName = "second";
    Plc *second = addPlc(server, options);
    ASSERT_NE(second, nullptr);
    std::vector<LogRecord> lines;
    setLogCapture(&lines);
    const auto connectAndLeave = [this](std::uint16_t toPort) {
        TestClient client(toPort);
        pass();
        exchange(client, hex("03 00 00 16 11 E0 00 00 00 01 00 C1 02 01 00 C2 02 01 02 C0 01 0A"));
    };
    connectAndLeave(second->listenerPort);
    setLogNamesPlcs(true);
    connectAndLeave(second->listenerPort);
    setLogNamesPlcs(false);
    setLogCapture(nullptr);
    // The lines of each round past their time stamps (hh:mm:ss), and those without one as given.
    std::vector<std::string> texts;
    for (const LogRecord &line : lines) {
        const bool stamped = line.text.size() > 8 && line.text[2] == ':' && line.text[5] == ':';
        texts.push_back(stamped ? line.text.substr(8) : line.text);
    }
    const auto has = [&texts](const std::string &text) {
        return std::find(texts.begin(), texts.end(), text) != texts.end();
    };
    EXPECT_TRUE(has("TCP conn from 127.0.0.1 (0)"));
    EXPECT_TRUE(has("-[0]Sending Connect confirm dref=256"));
    EXPECT_TRUE(has("-second TCP conn from 127.0.0.1 (0)"));
    EXPECT_TRUE(has("-second-[0]Sending Connect confirm dref=256"));
    EXPECT_TRUE(has("-second-[0] TCP Dis-conn 0"));
}

// Two PLCs on one address show in the capture under the ports they listen on; a PLC alone on
// its address keeps port 102, which Wireshark decodes as it is.
TEST_F(ServerTest, TheCaptureTellsPlcsOnOneAddressApartByTheirPorts) {
    Options options;
    options.port = 0;
    options.bindAddress = {127, 0, 0, 1};
    Plc *second = addPlc(server, options);
    options.bindAddress = {127, 0, 0, 2};
    Plc *third = addPlc(server, options);
    ASSERT_NE(second, nullptr);
    ASSERT_NE(third, nullptr);
    chooseCapturePorts(server.plcs);
    TestClient toFirst(port);
    TestClient toSecond(second->listenerPort);
    TestClient toThird(third->listenerPort, 0, 0x7F000002);
    pass();
    EXPECT_EQ(slotAt(connectionTable(), 0).ends.serverPort, port);
    EXPECT_EQ(slotAt(second->connections, 0).ends.serverPort, second->listenerPort);
    EXPECT_EQ(slotAt(third->connections, 0).ends.serverPort, 102);
}

} // namespace
