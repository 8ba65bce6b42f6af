// The configuration file: every way a file can be wrong and the one line it gives, the shipped
// example, the command line over the file, and a server started from a file (strict blocks at
// their limits, the demo switched off, start content, the identity).
#include "harness.h"
#include "process.h"

#include "app/config_file.h"
#include "app/server.h"
#include "memory/data_block_table.h"
#include "sim/demo_data.h"

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

namespace fs = std::filesystem;

const std::string exampleFile = std::string(PLCDOUBLE_SOURCE_DIR) + "/examples/plc.toml";

// A folder of its own for each test, with files written into it.
class Folder : public TestFolder {
public:
    Folder() : TestFolder("plcdouble_config_") {}
};

ConfigResult load(const std::string &text, const CpuProfile *cpuOverride = nullptr) {
    return loadConfiguration(text, "plc.toml", cpuOverride);
}

// ---------------------------------------------------------------------------------------------
// A file that cannot be used

struct BadFile {
    const char *what;
    const char *text;
    const char *error; // the whole line, "plc.toml:LINE:COLUMN: ..."
};

TEST(ConfigFile, EachWayAFileCanBeWrongGivesItsOwnLine) {
    // clang-format off
    const BadFile rows[] = {
        {"syntax error", "port = 1102\nbind = \n",
         "plc.toml:2:8: Error while parsing key-value pair: expected value, saw '\\n'"},
        {"unterminated table", "[identity\nas_name = \"x\"\n",
         "plc.toml:1:10: Error while parsing table header: expected ']', saw '\\n'"},
        {"unknown key", "cpu = \"s7-1500\"\nprot = 1102\n",
         "plc.toml:2:1: unknown key 'prot' (expected cpu, port, bind, connections, color, state, "
         "save_every, pcap, seed, http, http_token, http_read_only, demo, strict, identity, areas, "
         "db, program, cycle_ms, max_cycle_ms, program_memory_mb, clock, fault)"},
        {"unknown key in [[db]]", "[[db]]\nnumber = 5\nsise = 10\n",
         "plc.toml:3:1: unknown key 'sise' in [[db]] (expected number, size, file, hex, values)"},
        {"unknown key in [identity]", "cpu = \"s7-300\"\n[identity]\nname = \"x\"\n",
         "plc.toml:3:1: unknown key 'name' in [identity] (expected as_name, module_name, plant_id, "
         "serial_number, order_number)"},
        {"unknown key in [areas]", "cpu = \"s7-300\"\n[areas]\nmarkers = 10\n",
         "plc.toml:3:1: unknown key 'markers' in [areas] (expected inputs, outputs, flags, timers, "
         "counters)"},
        {"wrong type", "port = \"1102\"\n",
         "plc.toml:1:8: port must be an integer, not a string"},
        {"capture file not a string", "pcap = 5\n",
         "plc.toml:1:8: pcap must be a string, not an integer"},
        {"wrong type, bool", "demo = \"no\"\n",
         "plc.toml:1:8: demo must be true/false, not a string"},
        {"wrong type, table", "identity = 5\ncpu = \"s7-1500\"\n",
         "plc.toml:1:12: [identity] must be a table, not an integer"},
        {"bad port", "port = 65536\n",
         "plc.toml:1:8: port: bad port: 65536 (expected 0-65535, 0 for any free port)"},
        {"bad clock", "clock = \"fast\"\n",
         "plc.toml:1:9: clock: bad clock: fast (expected real or manual)"},
        {"bad cpu", "cpu = \"s7-200\"\n",
         "plc.toml:1:7: cpu: bad cpu: s7-200 (expected classic, s7-300, s7-400, s7-1200 or s7-1500)"},
        {"bad bind", "bind = \"10.0.0\"\n",
         "plc.toml:1:8: bind: bad address: 10.0.0 (expected A.B.C.D)"},
        {"bad colour", "color = \"blue\"\n",
         "plc.toml:1:9: color: bad colour mode: blue (expected auto, always or never)"},
        {"bad connection count", "connections = 65\n",
         "plc.toml:1:15: connections: bad connection count: 65 (expected 1-64)"},
        {"state not a string", "state = 5\n",
         "plc.toml:1:9: state must be a string, not an integer"},
        {"state empty", "state = \"\"\n",
         "plc.toml:1:9: state: --state needs a folder"},
        {"save interval 0", "state = \"kept\"\nsave_every = 0\n",
         "plc.toml:2:14: save_every: bad save interval: 0 (expected 1-86400 seconds)"},
        {"save interval not an integer", "save_every = 1.5\n",
         "plc.toml:1:14: save_every must be an integer, not a float"},
        {"db not an array of tables", "db = 5\n",
         "plc.toml:1:6: db must be an array of tables ([[db]]), not an integer"},
        {"db without a number", "[[db]]\nsize = 4\n",
         "plc.toml:1:1: [[db]] needs a number"},
        {"DB number of 3000", "[[db]]\nnumber = 3000\nsize = 4\n",
         "plc.toml:2:10: DB number 3000 is not 1-2999"},
        {"DB number 0", "[[db]]\nnumber = 0\nsize = 4\n",
         "plc.toml:2:10: DB number 0 is not 1-2999"},
        {"size over 65534", "[[db]]\nnumber = 5\nsize = 65535\n",
         "plc.toml:3:8: DB5: size 65535 is not 1-65534"},
        {"size 0", "[[db]]\nnumber = 5\nsize = 0\n",
         "plc.toml:3:8: DB5: size 0 is not 1-65534"},
        {"no size, no content", "[[db]]\nnumber = 5\n",
         "plc.toml:1:1: DB5 needs a size (or content from file or hex)"},
        {"declared twice", "[[db]]\nnumber = 5\nsize = 4\n[[db]]\nnumber = 5\nsize = 8\n",
         "plc.toml:5:10: DB5 is declared twice"},
        {"content larger than its block", "[[db]]\nnumber = 5\nsize = 4\nhex = \"01 02 03 04 05\"\n",
         "plc.toml:3:8: DB5: 5 bytes of content do not fit its 4 bytes"},
        {"hex not whole bytes", "[[db]]\nnumber = 5\nhex = \"DE AD B\"\n",
         "plc.toml:3:7: DB5: hex: 'B' is not whole bytes (two digits each)"},
        {"hex not hexadecimal", "[[db]]\nnumber = 5\nhex = \"DE AG\"\n",
         "plc.toml:3:7: DB5: hex: 'AG' is not hexadecimal"},
        {"file and hex", "[[db]]\nnumber = 5\nfile = \"a.bin\"\nhex = \"00\"\n",
         "plc.toml:4:7: DB5: give file or hex, not both"},
        {"image file missing", "[[db]]\nnumber = 5\nfile = \"images/none.bin\"\n",
         "plc.toml:3:8: DB5: image images/none.bin: No such file or directory"},
        {"address that does not parse", "[[db]]\nnumber = 5\nsize = 8\nvalues = { \"DBW0:FOO\" = 1 }\n",
         "plc.toml:4:12: DB5: 'DBW0:FOO': unknown type FOO"},
        {"address with its block", "[[db]]\nnumber = 5\nsize = 8\nvalues = { \"DB5.DBW0\" = 1 }\n",
         "plc.toml:4:12: DB5: 'DB5.DBW0': the block is implied here; leave out the DB number"},
        {"value that does not fit its type", "[[db]]\nnumber = 5\nsize = 8\nvalues = { \"DBW0:INT\" = 40000 }\n",
         "plc.toml:4:25: DB5: 'DBW0:INT': 40000 does not fit INT (-32768 to 32767)"},
        {"value of the wrong kind", "[[db]]\nnumber = 5\nsize = 8\nvalues = { \"DBX0.0\" = 1 }\n",
         "plc.toml:4:23: DB5: 'DBX0.0': BOOL takes true or false, not an integer"},
        {"value that is an array", "[[db]]\nnumber = 5\nsize = 8\nvalues = { \"DBB0\" = [1, 2] }\n",
         "plc.toml:4:21: DB5: 'DBB0' must be true/false, a number or a string, not an array"},
        {"value past the block's end", "[[db]]\nnumber = 5\nsize = 8\nvalues = { \"DBD6:REAL\" = 1.0 }\n",
         "plc.toml:4:12: DB5: 'DBD6:REAL' ends at byte 10, past the block's 8 bytes"},
        {"string past the block's end", "[[db]]\nnumber = 5\nsize = 8\nvalues = { \"DBB0:STRING\" = \"x\" }\n",
         "plc.toml:4:12: DB5: 'DBB0:STRING' ends at byte 256, past the block's 8 bytes"},
        {"values that overlap", "[[db]]\nnumber = 5\nsize = 8\n[db.values]\n\"DBX2.1\" = true\n\"DBW2\" = 7\n",
         "plc.toml:5:1: DB5: 'DBX2.1' overlaps 'DBW2'"},
        {"values not a table", "[[db]]\nnumber = 5\nsize = 8\nvalues = 3\n",
         "plc.toml:4:10: values must be a table, not an integer"},
        {"demo block too small", "[[db]]\nnumber = 1\nsize = 10\n",
         "plc.toml:3:8: DB1 is animated by the demo and needs at least 64 bytes (or demo = false)"},
        {"strict in classic", "strict = true\n",
         "plc.toml:1:10: strict = true needs a CPU profile; the cpu is classic"},
        {"identity in classic", "[identity]\nas_name = \"x\"\n",
         "plc.toml:1:1: [identity] needs a CPU profile; the cpu is classic"},
        {"areas in classic", "cpu = \"classic\"\n[areas]\nflags = 10\n",
         "plc.toml:2:1: [areas] needs a CPU profile; the cpu is classic"},
        {"AS name too long", "cpu = \"s7-1500\"\n[identity]\nas_name = \"ABCDEFGHIJKLMNOPQRSTUVWXY\"\n",
         "plc.toml:3:11: as_name holds 24 characters at most, not 25"},
        {"order number too long", "cpu = \"s7-1500\"\n[identity]\norder_number = \"6ES7 516-3AN02-0AB0 X\"\n",
         "plc.toml:3:16: order_number holds 20 characters at most, not 21"},
        {"identity not ASCII", "cpu = \"s7-1500\"\n[identity]\nplant_id = \"Halle \xC3\xBC\"\n",
         "plc.toml:3:12: plant_id must be printable ASCII characters"},
        {"area too large", "cpu = \"s7-1500\"\n[areas]\nflags = 65536\n",
         "plc.toml:3:9: flags must be 0-65535, not 65536"},
        {"area negative", "cpu = \"s7-1500\"\n[areas]\ntimers = -1\n",
         "plc.toml:3:10: timers must be 0-65535, not -1"},
        {"fault not an array of tables", "fault = 5\n",
         "plc.toml:1:9: fault (written [[fault]]) must be an array, not an integer"},
        {"unknown fault key", "[[fault]]\non = \"read\"\ndelay = 5\n",
         "plc.toml:1:1: unknown fault key 'delay' (keys: on, area, start, end, client, after, "
         "every, probability, item_code, header_error, delay_ms, no_reply, close, refuse)"},
        {"fault with two actions", "[[fault]]\ndelay_ms = 5\nclose = true\n",
         "plc.toml:1:1: fault rule has two actions: close and delay_ms (give exactly one)"},
        {"fault action that does not fit on", "[[fault]]\non = \"read\"\nrefuse = true\n",
         "plc.toml:1:1: fault action refuse does not fit on=read (refuse needs on=connect)"},
        {"fault with a bad area", "[[fault]]\narea = \"DB0\"\nitem_code = 0x0A\n",
         "plc.toml:1:1: fault key area: 'DB0' is not an area (DB1 to DB65535, M, I, Q, T or C)"},
        {"fault value of the wrong kind", "[[fault]]\nno_reply = [true]\n",
         "plc.toml:2:12: fault key no_reply must be a string, a number or true/false, not an array"},
    };
    // clang-format on
    for (const BadFile &row : rows) {
        SCOPED_TRACE(row.what);
        const ConfigResult result = load(row.text);
        EXPECT_FALSE(result.ok);
        EXPECT_EQ(result.error, row.error);
        EXPECT_EQ(result.error.find('\n'), std::string::npos);
    }
}

TEST(ConfigFile, TheCommandLinesCpuDecidesWhatOnlyAProfileMayDeclare) {
    const std::string text = "cpu = \"s7-1500\"\nstrict = true\n";
    EXPECT_TRUE(load(text).ok);
    const ConfigResult classic = load(text, findCpuProfile("classic"));
    EXPECT_FALSE(classic.ok);
    EXPECT_EQ(classic.error,
              "plc.toml:2:10: strict = true needs a CPU profile; the command line chose classic");
    EXPECT_TRUE(load("strict = true\n", findCpuProfile("s7-300")).ok);
}

// ---------------------------------------------------------------------------------------------
// A file that can be used

// What the example serves is checked whole through --check below; here the bytes it starts with.
TEST(ConfigFile, TheExampleLoadsWithItsContentZeroFilledAndTheTypedValuesOnTop) {
    std::ifstream in(exampleFile);
    ASSERT_TRUE(in) << exampleFile;
    const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    const ConfigResult result = loadConfiguration(text, exampleFile, nullptr);
    ASSERT_TRUE(result.ok) << result.error;
    const std::vector<DataBlockSetup> &blocks = result.options.dataBlocks;
    ASSERT_EQ(blocks.size(), 4u);
    // DB20: zeros, a REAL, two bits, a WORD and an INT.
    EXPECT_EQ(toHex(blocks[1].image), "3F 40 00 00 01 00 00 00 FF FD 00 00 00 00 00 00");
    // DB30: eight bytes of hex, a DINT on top.
    EXPECT_EQ(toHex(blocks[2].image), "00 00 30 39 00 00 00 2A FF FF FF FF");
    // DB40: the image beside the file, as large as the image.
    EXPECT_EQ(toHex(Bytes(blocks[3].image.begin(), blocks[3].image.begin() + 4)), "3F 00 83 12");
    EXPECT_EQ(blocks[3].image.size(), 32u);
}

TEST(ConfigFile, TheStateFolderAndCaptureFileAreFoundRelativeToTheFile) {
    const auto folderFor = [](const std::string &text, const std::string &path) {
        const ConfigResult result = loadConfiguration(text, path, nullptr);
        EXPECT_TRUE(result.ok) << result.error;
        return result.options.stateFolder;
    };
    EXPECT_EQ(folderFor("state = \"kept\"\n", "/etc/plc/plc.toml"), "/etc/plc/kept");
    EXPECT_EQ(folderFor("state = \"/var/lib/plc\"\n", "/etc/plc/plc.toml"), "/var/lib/plc");
    EXPECT_EQ(folderFor("state = \"kept\"\n", "plc.toml"), "kept");
    const ConfigResult capture =
        loadConfiguration("pcap = \"run.pcap\"\n", "/etc/plc/plc.toml", nullptr);
    ASSERT_TRUE(capture.ok) << capture.error;
    EXPECT_EQ(capture.options.pcap, "/etc/plc/run.pcap");
}

TEST(ConfigFile, AnOptionOnTheCommandLineWinsOverTheFile) {
    Folder folder;
    const std::string path = folder.write("plc.toml", "cpu = \"s7-300\"\nport = 1102\n"
                                                      "connections = 3\ncolor = \"never\"\n"
                                                      "bind = \"127.0.0.1\"\n"
                                                      "state = \"kept\"\nsave_every = 30\n"
                                                      "pcap = \"run.pcap\"\n");
    const auto resolve = [&path](std::vector<std::string_view> arguments) {
        arguments.insert(arguments.begin(), {"--config", path});
        const ParseResult commandLine = parseCommandLine(arguments);
        EXPECT_TRUE(commandLine.ok) << commandLine.error;
        return resolveOptions(arguments, commandLine.options);
    };
    const ConfigResult fileOnly = resolve({});
    ASSERT_TRUE(fileOnly.ok) << fileOnly.error;
    EXPECT_EQ(fileOnly.options.cpu->name, "s7-300");
    EXPECT_EQ(fileOnly.options.port, 1102);
    EXPECT_EQ(fileOnly.options.connections, 3);
    EXPECT_EQ(fileOnly.options.colour, ColourMode::never);
    EXPECT_EQ(fileOnly.options.bindAddress, (Ipv4Address{127, 0, 0, 1}));
    EXPECT_EQ(fileOnly.options.stateFolder, (folder.path / "kept").string());
    EXPECT_EQ(fileOnly.options.saveEverySeconds, 30);
    EXPECT_EQ(fileOnly.options.pcap, (folder.path / "run.pcap").string());

    const ConfigResult both =
        resolve({"--port", "2000", "--cpu=s7-1500", "--connections", "9", "--color", "always",
                 "--bind", "0.0.0.0", "--state", "other", "--save-every", "2", "--pcap", "b.pcap"});
    ASSERT_TRUE(both.ok) << both.error;
    EXPECT_EQ(both.options.cpu->name, "s7-1500");
    EXPECT_EQ(both.options.port, 2000);
    EXPECT_EQ(both.options.connections, 9);
    EXPECT_EQ(both.options.colour, ColourMode::always);
    EXPECT_EQ(both.options.bindAddress, (Ipv4Address{0, 0, 0, 0}));
    EXPECT_EQ(both.options.stateFolder, "other");
    EXPECT_EQ(both.options.saveEverySeconds, 2);
    EXPECT_EQ(both.options.pcap, "b.pcap");

    const ConfigResult missing = resolve({"--config", (folder.path / "none.toml").string()});
    EXPECT_FALSE(missing.ok);
    EXPECT_EQ(missing.error,
              (folder.path / "none.toml").string() + ": cannot read: No such file or directory");
}

// ---------------------------------------------------------------------------------------------
// The real program

TEST(ConfigBinary, CheckPrintsWhatWouldBeServedWithoutListening) {
    ChildProcess check =
        ChildProcess::start({"--config", exampleFile, "--check", "--port", "4102"});
    const std::string output = check.readOutputUntil("never-printed");
    EXPECT_EQ(check.waitForExit(), 0);
    const std::string expected =
        "config       " + exampleFile + "\n" +
        "cpu          s7-1500 (CPU 1516-3 PN/DP)\n"
        "port         4102\n"
        "bind         0.0.0.0\n"
        "connections  8\n"
        "color        auto\n"
        "state        none (the memory starts afresh every run)\n"
        "save_every   10 s\n"
        "pcap         none\n"
        "http         off\n"
        "http_token   none\n"
        "http_read_only off\n"
        "demo         off\n"
        "strict       on (only the blocks below exist, at their sizes)\n"
        "identity     AS name \"FILLER-01\", module name \"Filling line 1\", plant ID \"Plant B / "
        "hall 2 / line 1\", serial number \"S V-L1F0001\", order number \"6ES7 516-3AN02-0AB0\"\n"
        "areas        inputs 256 bytes, outputs 256 bytes, flags 1024 bytes, timers 64, counters "
        "64\n"
        "DB10         64 bytes, zeros, 5 start values\n"
        "DB20         16 bytes, zeros, 5 start values\n"
        "DB30         12 bytes, hex (8 bytes), 1 start value\n"
        "DB40         32 bytes, file images/db40.bin (32 bytes)\n"
        "program      none\n"
        "cycle_ms     20 ms\n"
        "max_cycle_ms 150 ms\n"
        "program_memory_mb 64 MiB\n"
        "clock        real\n"
        "ready_file   none\n"
        "faults       none\n";
    EXPECT_EQ(output, expected);
}

TEST(ConfigBinary, CheckListsTheFilesFaultRulesThenTheCommandLinesAsUnderstood) {
    Folder folder;
    const std::string path = folder.write(
        "faults.toml", "[[fault]]\non = \"read\"\narea = \"db5\"\nstart = 4\nitem_code = 10\n"
                       "[[fault]]\non = \"connect\"\nclient = \"10.0.0.7\"\nrefuse = true\n"
                       "probability = 0.25\n");
    ChildProcess check = ChildProcess::start(
        {"--config", path, "--check", "--seed", "42", "--fault", "delay_ms=250,after=3,every=2"});
    const std::string output = check.readOutputUntil("never-printed");
    EXPECT_EQ(check.waitForExit(), 0);
    const std::string expected = "fault 1      on=read area=DB5 start=4 item_code=0x0A\n"
                                 "fault 2      on=connect client=10.0.0.7 probability=0.25 "
                                 "refuse=true\n"
                                 "fault 3      on=any after=3 every=2 delay_ms=250\n"
                                 "seed         42\n";
    ASSERT_GE(output.size(), expected.size());
    EXPECT_EQ(output.substr(output.size() - expected.size()), expected);
}

TEST(ConfigBinary, AFileThatCannotBeUsedStopsTheStartWithOneLineAndStatusTwo) {
    Folder folder;
    const std::string path =
        folder.write("bad.toml", "cpu = \"s7-1500\"\n\n[[db]]\nnumber = 3000\n");
    const std::uint16_t port = freeLoopbackPort();
    for (const bool check : {false, true}) {
        SCOPED_TRACE(check ? "--check" : "serving");
        std::vector<std::string> arguments = {"--config", path, "--port", std::to_string(port)};
        if (check) {
            arguments.emplace_back("--check");
        }
        ChildProcess server = ChildProcess::start(arguments);
        EXPECT_EQ(server.waitForExit(), 2);
        EXPECT_EQ(server.readErrorUntil("never-printed"),
                  "plcdouble: " + path + ":4:10: DB number 3000 is not 1-2999\n");
        EXPECT_EQ(server.readOutputUntil("never-printed"), ""); // no banner: it never started
    }
}

// ---------------------------------------------------------------------------------------------
// A server started from a file

Options loadedOptions(const std::string &text) {
    const ConfigResult result = loadConfiguration(text, "test.toml", nullptr);
    EXPECT_TRUE(result.ok) << result.error;
    return result.options;
}

// A read or write of count bytes of a DB at a byte offset (transport size BYTE).
std::string byteItem(std::size_t db, std::size_t offset, std::size_t count) {
    return toHex(hex("12 0A 10 02") + be16(count) + be16(db) + hex("84") + be24(offset * 8));
}

class StrictServerTest : public ServerTest {
protected:
    StrictServerTest()
        : options(loadedOptions(R"(
cpu = "s7-1500"
strict = true
[[db]]
number = 5
size = 10
hex = "01 02 03 04 05 06 07 08 09 0A"
[[db]]
number = 1
size = 64
hex = "AA BB"
)")) {
        startOptions = &options;
    }

    std::unique_ptr<TestClient> connectCpu() {
        auto client = connect();
        EXPECT_EQ(exchange(*client, s7Job("F0 00 00 08 00 08 03 C0")).size(), 27u);
        return client;
    }

    Options options;
};

TEST_F(StrictServerTest, ReadsAndWritesAreServedExactlyUpToTheDeclaredEnd) {
    struct Row {
        const char *what;
        std::string item;
        const char *reply; // the reply's data section
    };
    // clang-format off
    const Row rows[] = {
        {"whole block",        byteItem(5, 0, 10),  "FF 04 00 50 01 02 03 04 05 06 07 08 09 0A"},
        {"last byte",          byteItem(5, 9, 1),   "FF 04 00 08 0A"},
        {"one past the end",   byteItem(5, 9, 2),   "05 00 00 00"},
        {"at the end",         byteItem(5, 10, 1),  "05 00 00 00"},
        {"last bit",           "12 0A 10 01 00 01 00 05 84 00 00 4F", "FF 03 00 01 00"},
        {"bit past the end",   "12 0A 10 01 00 01 00 05 84 00 00 50", "05 00 00 00"},
        {"undeclared block",   byteItem(6, 0, 1),   "0A 00 00 00"},
        {"highest block",      byteItem(2999, 0, 1), "0A 00 00 00"},
        {"demo block DB15",    byteItem(15, 2046, 2), "FF 04 00 10 00 00"},
        {"past DB15's end",    byteItem(15, 2047, 2), "05 00 00 00"},
    };
    // clang-format on
    auto client = connectCpu();
    for (const Row &row : rows) {
        SCOPED_TRACE(row.what);
        EXPECT_EQ(toHex(exchange(*client, s7Job("04 01 " + row.item))),
                  toHex(s7AckData("04 01", row.reply)));
    }
    // Writes: at the end, one past it, and into a block that does not exist.
    EXPECT_EQ(toHex(exchange(*client, s7Job("05 01 " + byteItem(5, 8, 2), "00 04 00 10 EE FF"))),
              toHex(s7AckData("05 01", "FF")));
    EXPECT_EQ(toHex(exchange(*client, s7Job("05 01 " + byteItem(5, 9, 2), "00 04 00 10 EE FF"))),
              toHex(s7AckData("05 01", "05")));
    EXPECT_EQ(toHex(exchange(*client, s7Job("05 01 " + byteItem(6, 0, 1), "00 04 00 08 EE"))),
              toHex(s7AckData("05 01", "0A")));
    // Nothing grew and nothing was created.
    EXPECT_EQ(dataBlock(5).size(), 10u);
    EXPECT_EQ(toHex(Bytes(dataBlock(5).begin() + 8, dataBlock(5).end())), "EE FF");
    EXPECT_TRUE(dataBlock(6).empty());
    EXPECT_TRUE(dataBlock(2999).empty());
}

TEST_F(StrictServerTest, TheDemoAnimatesADeclaredDemoBlockAndCreatesTheOther) {
    // DB1 keeps its declared size and content apart from the animated counters; DB15 is the
    // demo's own, seeded with the greeting.
    tick(3);
    EXPECT_EQ(dataBlock(1).size(), 64u);
    EXPECT_EQ(dataBlock(1)[0], 0xAA);
    EXPECT_EQ(dataBlock(1)[3], 3); // counted up once a tick, most significant byte first
    EXPECT_EQ(dataBlock(15).size(), initialSizeS5);
    EXPECT_EQ(dataBlock(15)[129], 11); // "Hello there"
}

TEST_F(StrictServerTest, AnS5FetchOrWriteOfAMissingBlockIsRefusedAndCreatesNothing) {
    const auto loggedEnding = [this](const std::string &text) {
        for (const std::string &line : lines()) {
            if (line.size() >= text.size() && line.ends_with(text)) {
                return true;
            }
        }
        return false;
    };
    auto client = connect();
    // The refusal: the reply header with error byte 03 and no words.
    const Bytes fetch = exchange(*client, s5FetchRequest(6, 0, 1));
    ASSERT_EQ(fetch.size(), 23u);
    EXPECT_EQ(fetch[15], 0x03);
    const Bytes write = exchange(*client, s5WriteRequest(7, 0, hex("12 34")));
    ASSERT_EQ(write.size(), 23u);
    EXPECT_EQ(write[15], 0x03);
    EXPECT_TRUE(dataBlock(6).empty());
    EXPECT_TRUE(dataBlock(7).empty());
    EXPECT_TRUE(loggedEnding("Sending S5 data DB:6:0 l=1 refused: no such block"));
    EXPECT_TRUE(loggedEnding("Sending S5 write ack DB:7:0 l=1 refused: no such block"));
    // A declared block is served up to its end: words 0-4 of DB5.
    EXPECT_EQ(toHex(exchange(*client, s5FetchRequest(5, 4, 1))),
              toHex(s5FetchReply(4, hex("0A 09"))));
    EXPECT_EQ(exchange(*client, s5FetchRequest(5, 5, 1))[15], 0x03);
}

TEST_F(StrictServerTest, AResetPutsBackTheDeclaredBlocksWithTheirStartContent) {
    auto client = connectCpu();
    exchange(*client, s7Job("05 01 " + byteItem(5, 0, 1), "00 04 00 08 77"));
    EXPECT_EQ(dataBlock(5)[0], 0x77);
    client.reset();
    resetPlc(server, plc());
    EXPECT_EQ(toHex(Bytes(dataBlock(5).begin(), dataBlock(5).end())),
              "01 02 03 04 05 06 07 08 09 0A");
    // Still strict after the reset.
    EXPECT_EQ(toHex(exchange(*connectCpu(), s7Job("04 01 " + byteItem(6, 0, 1)))),
              toHex(s7AckData("04 01", "0A 00 00 00")));
}

class NoDemoServerTest : public ServerTest {
protected:
    NoDemoServerTest() : options(loadedOptions("demo = false\n")) { startOptions = &options; }
    Options options;
};

TEST_F(NoDemoServerTest, WithTheDemoOffNoDemoBlockIsCreatedOrAnimated) {
    tick(5);
    EXPECT_TRUE(dataBlock(demoBlockS7Order).empty());
    EXPECT_TRUE(dataBlock(demoBlockS5Order).empty());
    // A client's DB1 stays as written (classic: created on first use).
    auto client = connectS7();
    exchange(*client, writeVarRequest(2, 1, 0, hex("00 05 00 07")));
    tick(5);
    EXPECT_EQ(toHex(exchange(*client, readVarRequest(3, 1, 0, 4))),
              toHex(readVarReply(3, hex("00 05 00 07"))));
}

} // namespace
