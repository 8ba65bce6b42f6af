// Retained memory (--state DIR): the image format, what marks memory changed, the periodic save
// and its failures inside the test process, and the real program kept across stops, kills,
// damaged images and a save that never completed.
#include "harness.h"
#include "process.h"

#include "app/server.h"
#include "app/state_folder.h"
#include "memory/data_block_table.h"
#include "memory/memory_image.h"
#include "memory/process_image.h"

#include <algorithm>
#include <chrono>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <regex>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

namespace fs = std::filesystem;

// A folder of its own for each test.
class Folder : public TestFolder {
public:
    Folder() : TestFolder("plcdouble_state_") {}
};

Bytes readBytes(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    return Bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

void writeBytes(const std::string &path, const Bytes &bytes) {
    std::ofstream(path, std::ios::binary)
        .write(reinterpret_cast<const char *>(bytes.data()),
               static_cast<std::streamsize>(bytes.size()));
}

// A whole image file of unit holding content, as a save writes it.
Bytes imageFile(ImageUnit unit, const Bytes &content) {
    const auto header = imageHeader(unit, content);
    return Bytes(header.begin(), header.end()) + content;
}

// The content of an image file, or empty when there is no whole one.
Bytes imageContent(const std::string &path) {
    const Bytes file = readBytes(path);
    return file.size() > imageHeaderSize ? Bytes(file.begin() + imageHeaderSize, file.end())
                                         : Bytes{};
}

// ---------------------------------------------------------------------------------------------
// The image format

TEST(MemoryImage, TheChecksumIsZlibsCrc32) {
    const std::string check = "123456789";
    const Bytes bytes(check.begin(), check.end());
    EXPECT_EQ(crc32(0, bytes), 0xCBF43926u); // the standard check value of CRC-32
    EXPECT_EQ(crc32(crc32(0, Bytes(bytes.begin(), bytes.begin() + 4)),
                    Bytes(bytes.begin() + 4, bytes.end())),
              0xCBF43926u);
    EXPECT_EQ(crc32(0, Bytes{}), 0u);
    // Longer runs, eight bytes a step with a tail, against zlib.crc32 of the same bytes.
    Bytes pattern(1000);
    for (std::size_t i = 0; i < pattern.size(); ++i) {
        pattern[i] = static_cast<std::uint8_t>(i * 7 + 3);
    }
    EXPECT_EQ(crc32(0, pattern), 0x17BC2A46u);
    EXPECT_EQ(crc32(0, Bytes(pattern.begin(), pattern.begin() + 13)), 0xA97AD5C1u);
}

TEST(MemoryImage, TheHeaderSaysWhatTheImageHolds) {
    // clang-format off
    EXPECT_EQ(toHex(imageFile(dataBlockUnit(5), hex("01 02 03"))),
              "50 4C 43 44 4D 45 4D 1A "  // magic
              "01 00 "                    // format version 1
              "01 00 "                    // a data block
              "05 00 00 00 "              // DB5
              "03 00 00 00 "              // 3 bytes
              "DB 6B 49 5A "              // CRC-32 of the 20 bytes before and the content
              "01 02 03");
    EXPECT_EQ(toHex(imageFile(areaUnit(MemoryArea::counters), hex("AA"))).substr(0, 47),
              "50 4C 43 44 4D 45 4D 1A 01 00 06 00 00 00 00 00");
    // clang-format on
}

TEST(MemoryImage, OnlyTheNamesASaveWritesAreImages) {
    struct Row {
        const char *name;
        bool image;
        ImageUnit unit;
    };
    // clang-format off
    const Row rows[] = {
        {"db0.img",      true,  dataBlockUnit(0)},
        {"db5.img",      true,  dataBlockUnit(5)},
        {"db2999.img",   true,  dataBlockUnit(2999)},
        {"inputs.img",   true,  areaUnit(MemoryArea::inputs)},
        {"counters.img", true,  areaUnit(MemoryArea::counters)},
        {"db3000.img",   false, {}},
        {"db05.img",     false, {}},
        {"db+1.img",     false, {}},
        {"DB5.img",      false, {}},
        {"db5.img.tmp",  false, {}},
        {"memory.img",   false, {}},
    };
    // clang-format on
    for (const Row &row : rows) {
        SCOPED_TRACE(row.name);
        const std::optional<ImageUnit> unit = imageUnitFromName(row.name);
        ASSERT_EQ(unit.has_value(), row.image);
        if (row.image) {
            EXPECT_TRUE(*unit == row.unit);
            EXPECT_EQ(imageFileName(*unit), row.name);
        }
    }
}

TEST(MemoryImage, EveryKindOfDamageIsNamed) {
    const Bytes good = imageFile(dataBlockUnit(5), hex("10 20 30 40 50"));
    const auto changed = [&good](std::size_t at, std::uint8_t value) {
        Bytes bytes = good;
        bytes[at] = value;
        return bytes;
    };
    struct Row {
        const char *what;
        Bytes file;
        std::string error;
    };
    const std::string checksumPrefix = "checksum mismatch (stored 0x";
    // clang-format off
    const Row rows[] = {
        {"empty",               {},                                  "truncated: 0 bytes, shorter than the 24-byte header"},
        {"header cut short",    Bytes(good.begin(), good.begin() + 23), "truncated: 23 bytes, shorter than the 24-byte header"},
        {"content cut short",   Bytes(good.begin(), good.end() - 2), "truncated: 3 of 5 bytes"},
        {"a byte too many",     good + hex("00"),                    "6 bytes behind the header, which announces 5"},
        {"another file",        changed(0, 'X'),                     "not a plcdouble memory image"},
        {"a later format",      changed(8, 2),                       "format version 2, this program reads version 1"},
        {"another block",       changed(12, 6),                      "holds DB6, not DB5"},
        {"an area",             changed(10, 4),                      "holds flags, not DB5"},
        {"no kind at all",      changed(10, 9),                      "holds kind 9, not DB5"},
        {"a flipped content byte", changed(26, 0x31),                checksumPrefix},
        {"a flipped checksum byte", changed(20, good[20] ^ 1),       checksumPrefix},
        {"a flipped reserved byte", changed(15, 1),                  checksumPrefix},
    };
    // clang-format on
    for (const Row &row : rows) {
        SCOPED_TRACE(row.what);
        const ImageCheck check = checkImage(row.file, dataBlockUnit(5));
        EXPECT_FALSE(check.ok);
        EXPECT_EQ(check.error.substr(0, row.error.size()), row.error);
    }
    const ImageCheck check = checkImage(good, dataBlockUnit(5));
    ASSERT_TRUE(check.ok) << check.error;
    EXPECT_EQ(toHex(Bytes(check.content.begin(), check.content.end())), "10 20 30 40 50");
}

// ---------------------------------------------------------------------------------------------
// What marks memory changed

// Clears every mark, as a save does once it has copied what changed.
void clearEveryMark(Memory &memory) {
    for (const MemoryArea area : fixedAreas) {
        clearProcessAreaChanged(memory.areas, area);
    }
    for (std::size_t number = 0; number < dataBlockCount; ++number) {
        clearDataBlockChanged(memory.blocks, number);
    }
}

// The units marked now, as "DB5", "inputs".
std::vector<std::string> markedUnits(const Memory &memory) {
    std::vector<std::string> marked;
    for (const MemoryArea area : fixedAreas) {
        if (processAreaChanged(memory.areas, area)) {
            marked.push_back(unitText(areaUnit(area)));
        }
    }
    for (std::size_t number = 0; number < dataBlockCount; ++number) {
        if (dataBlockChanged(memory.blocks, number)) {
            marked.push_back(unitText(dataBlockUnit(number)));
        }
    }
    return marked;
}

struct MarkRow {
    const char *what;
    Bytes request;
    std::vector<std::string> marked;
};

class ClassicMarks : public ServerTest {};

TEST_F(ClassicMarks, EveryWritePathMarksWhatItChangedAndReadsMarkNothing) {
    auto client = connectS7();
    exchange(*client, writeVarRequest(1, 30, 0, hex("01"))); // DB30 exists
    tick();                                                  // the demo creates DB1 and DB15
    // clang-format off
    const MarkRow rows[] = {
        {"S7 write",                   writeVarRequest(2, 30, 4, hex("AA BB")), {"DB30"}},
        {"S7 write that grows a block", writeVarRequest(3, 30, 400, hex("CC")), {"DB30"}},
        {"S7 read of a block",         readVarRequest(4, 30, 0, 8),             {}},
        {"S7 read that creates one",   readVarRequest(5, 31, 0, 8),             {"DB31"}},
        {"S7 write refused (DB3000)",  writeVarRequest(6, 3000, 0, hex("01")),  {}},
        {"S5 write",                   s5WriteRequest(30, 2, hex("12 34")),     {"DB30"}},
        {"S5 fetch",                   s5FetchRequest(30, 0, 2),                {}},
        {"S5 write refused",           s5WriteRequest(30, 1023, hex("12 34 56 78")), {}},
    };
    // clang-format on
    for (const MarkRow &row : rows) {
        SCOPED_TRACE(row.what);
        clearEveryMark(plc().memory);
        exchange(*client, row.request);
        EXPECT_EQ(markedUnits(plc().memory), row.marked);
    }
    clearEveryMark(plc().memory);
    tick();
    EXPECT_EQ(markedUnits(plc().memory), (std::vector<std::string>{"DB1", "DB15"}))
        << "the demo's tick";
}

class CpuMarks : public ServerTest {
protected:
    CpuMarks() { cpu = findCpuProfile("s7-1500"); }
};

TEST_F(CpuMarks, EveryAreaAWriteReachesIsMarked) {
    auto client = connect();
    exchange(*client, hex("03 00 00 16 11 E0 00 00 00 01 00 C0 01 0A C1 02 01 00 C2 02 01 01"));
    exchange(*client, s7Job("F0 00 00 08 00 08 03 C0"));
    // clang-format off
    const MarkRow rows[] = {
        {"DB bytes", s7Job("05 01 12 0A 10 02 00 02 00 0A 84 00 00 00", "00 04 00 10 01 02"), {"DB10"}},
        {"input bit", s7Job("05 01 12 0A 10 01 00 01 00 00 81 00 00 03", "00 03 00 01 01"),   {"inputs"}},
        {"periphery to the outputs", s7Job("05 01 12 0A 10 02 00 01 00 00 80 00 00 08", "00 04 00 08 07"), {"outputs"}},
        {"flag word", s7Job("05 01 12 0A 10 04 00 01 00 00 83 00 00 10", "00 04 00 10 12 34"), {"flags"}},
        {"timer", s7Job("05 01 12 0A 10 1D 00 01 00 00 1D 00 00 03", "00 09 00 02 00 10"),     {"timers"}},
        {"counter", s7Job("05 01 12 0A 10 1C 00 01 00 00 1C 00 00 03", "00 09 00 02 00 20"),   {"counters"}},
        {"two areas in one job", s7Job("05 02 12 0A 10 02 00 01 00 00 81 00 00 00 12 0A 10 02 00 01 00 00 82 00 00 00",
                                     "00 04 00 08 01 00 00 04 00 08 02"), {"inputs", "outputs"}},
        {"a write refused: past the flags", s7Job("05 01 12 0A 10 02 00 02 00 00 83 02 00 00", "00 04 00 10 01 02"), {}},
        {"a read",  s7Job("04 01 12 0A 10 02 00 04 00 00 81 00 00 00"), {}},
    };
    // clang-format on
    for (const MarkRow &row : rows) {
        SCOPED_TRACE(row.what);
        clearEveryMark(plc().memory);
        exchange(*client, row.request);
        EXPECT_EQ(markedUnits(plc().memory), row.marked);
    }
}

// ---------------------------------------------------------------------------------------------
// Saving inside the test process, on the test's clock

class PeriodicSave : public ServerTest {
protected:
    PeriodicSave() {
        options.demo = false;
        options.stateFolder = folder.path.string();
        options.saveEverySeconds = 1;
        EXPECT_EQ(readStateFolder(options, true), "");
        startOptions = &options;
    }

    // Runs passes at the given time until the saves it starts (if any) have finished.
    void passAt(std::int64_t micros) {
        now = micros;
        pass();
        const auto saving = [this] {
            return std::any_of(server.plcs.begin(), server.plcs.end(),
                               [](const auto &each) { return each->retained.underWay; });
        };
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (saving() && std::chrono::steady_clock::now() < deadline) {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
            pass();
        }
        EXPECT_FALSE(saving());
    }

    std::vector<std::string> saveLines() const {
        static const std::regex saved(R"(Memory (not )?saved.*)");
        std::vector<std::string> found;
        for (const std::string &line : lines()) {
            if (std::regex_match(line, saved)) {
                found.push_back(std::regex_replace(line, std::regex(R"(\d+ (ms|us))"), "N $1"));
            }
        }
        return found;
    }

    Folder folder;
    Options options;
};

// Two PLCs share the saver thread: each one's images go into its own folder, and each save is
// reported to the PLC that made it.
TEST_F(PeriodicSave, TwoPlcsSaveEachIntoItsOwnFolder) {
    const TestFolder otherFolder("plcdouble_state_other_"); // Folder's name is the test's own
    Options second = options;
    second.port = 0;
    second.bindAddress = {127, 0, 0, 1};
    second.stateFolder = otherFolder.path.string();
    ASSERT_EQ(readStateFolder(second, true), "");
    Plc *other = addPlc(server, second);
    ASSERT_NE(other, nullptr);

    auto client = connectS7();
    TestClient otherClient(other->listenerPort);
    pass();
    EXPECT_EQ(exchange(otherClient, hex(connectionRequestHex)).size(), 22u);
    EXPECT_EQ(toHex(exchange(otherClient, hex(setupRequestHex))), toHex(hex(setupReplyHex)));
    exchange(*client, writeVarRequest(1, 5, 0, hex("55")));
    exchange(otherClient, writeVarRequest(1, 6, 0, hex("66")));
    passAt(1'000'000);
    EXPECT_EQ(folder.names(), std::vector<std::string>{"db5.img"});
    EXPECT_EQ(otherFolder.names(), std::vector<std::string>{"db6.img"});
    EXPECT_EQ(imageContent(otherFolder.file("db6.img"))[0], 0x66);
    EXPECT_EQ(saveLines(),
              (std::vector<std::string>{"Memory saved: 1 images, 1 KiB, N ms, longest pass N us",
                                        "Memory saved: 1 images, 1 KiB, N ms, longest pass N us"}));
}

TEST_F(PeriodicSave, OnlyWhatChangedIsWrittenAndOnlyOnceTheIntervalHasPassed) {
    auto client = connectS7();
    exchange(*client, writeVarRequest(1, 5, 0, hex("11 22 33")));
    passAt(999'999);
    EXPECT_EQ(folder.names(), std::vector<std::string>{}) << "not before a second has passed";
    passAt(1'000'000);
    EXPECT_EQ(folder.names(), std::vector<std::string>{"db5.img"});
    const Bytes saved = imageContent(folder.file("db5.img"));
    ASSERT_EQ(saved.size(), 256u);
    EXPECT_EQ(toHex(Bytes(saved.begin(), saved.begin() + 4)), "11 22 33 00");
    EXPECT_EQ(saveLines(),
              std::vector<std::string>{"Memory saved: 1 images, 1 KiB, N ms, longest pass N us"});

    // DB5 unchanged is not written again: its image, removed here, stays away.
    fs::remove(folder.file("db5.img"));
    exchange(*client, writeVarRequest(2, 6, 0, hex("44")));
    passAt(1'500'000);
    EXPECT_EQ(folder.names(), std::vector<std::string>{});
    passAt(2'000'000);
    EXPECT_EQ(folder.names(), std::vector<std::string>{"db6.img"});

    // Nothing changed: no save at all.
    passAt(3'000'000);
    EXPECT_EQ(saveLines().size(), 2u);

    // Stopping saves what changed since, without waiting for the interval.
    exchange(*client, writeVarRequest(3, 5, 1, hex("99")));
    serverShutdown(server);
    EXPECT_EQ(folder.names(), (std::vector<std::string>{"db5.img", "db6.img"}));
    EXPECT_EQ(imageContent(folder.file("db5.img"))[1], 0x99);
    EXPECT_EQ(saveLines().back(), "Memory saved at exit: 1 images, 1 KiB, N ms");
}

TEST_F(PeriodicSave, AnImageThatCannotBeWrittenIsLoggedAndTriedAgainAtTheNextSave) {
    auto client = connectS7();
    exchange(*client, writeVarRequest(1, 5, 0, hex("55")));
    exchange(*client, writeVarRequest(2, 7, 0, hex("77")));
    // A folder where the image belongs: the rename over it fails, the old name stays a folder.
    fs::create_directory(folder.path / "db5.img");
    passAt(1'000'000);
    EXPECT_EQ(saveLines(), (std::vector<std::string>{
                               "Memory saved: 1 images, 1 KiB, N ms, longest pass N us",
                               "Memory not saved: 1 images failed, the first: " +
                                   folder.file("db5.img") + ": cannot replace: Is a directory"}));
    EXPECT_EQ(attributeOf(saveLines().back()), attributeError);
    EXPECT_EQ(folder.names(), (std::vector<std::string>{"db5.img", "db7.img"}))
        << "no temporary file is left behind";

    fs::remove(folder.path / "db5.img");
    passAt(2'000'000); // DB5 did not change again, yet it is saved now
    EXPECT_EQ(imageContent(folder.file("db5.img"))[0], 0x55);
    EXPECT_EQ(saveLines().back(), "Memory saved: 1 images, 1 KiB, N ms, longest pass N us");
}

// ---------------------------------------------------------------------------------------------
// The real program

const std::string cpuConnectionRequest =
    "03 00 00 16 11 E0 00 00 00 01 00 C0 01 0A C1 02 01 00 C2 02 01 01"; // rack 0, slot 1

// A client of the program on port, once it listens, past connection request and setup (as an
// S7-1500 client when cpu is set).
std::unique_ptr<TestClient> sessionWith(std::uint16_t port, bool cpu) {
    std::unique_ptr<TestClient> client = connectWithRetry(port, 10'000);
    if (client == nullptr) {
        ADD_FAILURE() << "nothing listens on port " << port;
        return client;
    }
    client->send(hex(cpu ? cpuConnectionRequest : connectionRequestHex));
    EXPECT_EQ(client->receiveExactly(22).size(), 22u);
    client->send(cpu ? s7Job("F0 00 00 08 00 08 03 C0") : hex(setupRequestHex));
    const std::size_t setupReply = cpu ? 27 : hex(setupReplyHex).size();
    EXPECT_EQ(client->receiveExactly(setupReply).size(), setupReply);
    return client;
}

Bytes ask(TestClient &client, const Bytes &request) {
    client.send(request);
    return client.receiveAvailable(5000);
}

std::vector<std::string> serving(const Folder &folder, std::uint16_t port,
                                 std::vector<std::string> more = {}) {
    std::vector<std::string> arguments = {
        "--port",  std::to_string(port), "--bind", "127.0.0.1", "--color", "never",
        "--state", folder.path.string()};
    arguments.insert(arguments.end(), more.begin(), more.end());
    return arguments;
}

// One item of each area: the item, the data item that writes it, the data item reading it gives.
struct AreaItem {
    const char *what;
    const char *item;
    const char *write;
    const char *read;
};
// clang-format off
const AreaItem areaItems[] = {
    {"DB10.DBB4, 4 bytes", "12 0A 10 02 00 04 00 0A 84 00 00 20", "00 04 00 20 DE AD BE EF", "FF 04 00 20 DE AD BE EF"},
    {"IB3, 2 bytes",       "12 0A 10 02 00 02 00 00 81 00 00 18", "00 04 00 10 11 22",       "FF 04 00 10 11 22"},
    {"QB100, 2 bytes",     "12 0A 10 02 00 02 00 00 82 00 03 20", "00 04 00 10 33 44",       "FF 04 00 10 33 44"},
    {"M5.3",               "12 0A 10 01 00 01 00 00 83 00 00 2B", "00 03 00 01 01",          "FF 03 00 01 01 00"},
    {"T7",                 "12 0A 10 1D 00 01 00 00 1D 00 00 07", "00 09 00 02 12 34",       "FF 09 00 02 12 34"},
    {"C9",                 "12 0A 10 1C 00 01 00 00 1C 00 00 09", "00 09 00 02 00 42",       "FF 09 00 02 00 42"},
};
// clang-format on

// A read of every area item in one job, and the reply it gets once they hold what was written.
Bytes readEveryArea() {
    std::string items;
    for (const AreaItem &item : areaItems) {
        items += std::string(" ") + item.item;
    }
    return s7Job("04 06" + items);
}

Bytes everyAreaWritten() {
    std::string data;
    for (const AreaItem &item : areaItems) {
        data += std::string(" ") + item.read;
    }
    return s7AckData("04 06", data);
}

TEST(RetainedMemoryBinary, EveryAreaWrittenBeforeAStopIsThereAfterTheNextStart) {
    Folder folder;
    const std::uint16_t port = freeLoopbackPort();
    {
        ChildProcess server = ChildProcess::start(serving(folder, port, {"--cpu", "s7-1500"}));
        auto client = sessionWith(port, true);
        ASSERT_NE(client, nullptr);
        for (const AreaItem &item : areaItems) {
            SCOPED_TRACE(item.what);
            EXPECT_EQ(toHex(ask(*client, s7Job(std::string("05 01 ") + item.item, item.write))),
                      toHex(s7AckData("05 01", "FF")));
        }
        EXPECT_EQ(toHex(ask(*client, readEveryArea())), toHex(everyAreaWritten()));
        client.reset();
        EXPECT_EQ(server.stop(SIGTERM), 0);
        EXPECT_NE(server.readOutputUntil("at exit").find("Memory saved at exit: "),
                  std::string::npos);
    }
    EXPECT_EQ(folder.names(),
              (std::vector<std::string>{"counters.img", "db1.img", "db10.img", "db15.img",
                                        "flags.img", "inputs.img", "outputs.img", "timers.img"}));
    ChildProcess server = ChildProcess::start(serving(folder, port, {"--cpu", "s7-1500"}));
    EXPECT_NE(
        server.readOutputUntil("saved every")
            .find("Memory kept in " + folder.path.string() + ": 8 images loaded, saved every 10 s"),
        std::string::npos);
    auto client = sessionWith(port, true);
    ASSERT_NE(client, nullptr);
    EXPECT_EQ(toHex(ask(*client, readEveryArea())), toHex(everyAreaWritten()));
    client.reset();
    EXPECT_EQ(server.stop(SIGINT), 0);
}

// The classic paths: S7 write, S5 write, and the demo, which goes on from where it stopped.
TEST(RetainedMemoryBinary, ClassicBlocksAndTheDemoGoOnFromWhereTheyStopped) {
    Folder folder;
    const std::uint16_t port = freeLoopbackPort();
    const auto demoTicks = [](TestClient &client) {
        const Bytes reply = ask(client, readVarRequest(9, 15, 0, 2));
        return reply.size() == 27 ? reply[25] | reply[26] << 8 : -1; // least significant first
    };
    int ticksAtStop = 0;
    {
        ChildProcess server = ChildProcess::start(serving(folder, port));
        auto client = sessionWith(port, false);
        ASSERT_NE(client, nullptr);
        EXPECT_EQ(toHex(ask(*client, writeVarRequest(1, 20, 300, hex("AB CD")))),
                  toHex(writeVarReply(1)));
        EXPECT_EQ(toHex(ask(*client, s5WriteRequest(21, 3, hex("12 34 56 78")))),
                  toHex(s5WriteReply(2)));
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        ticksAtStop = demoTicks(*client);
        EXPECT_GT(ticksAtStop, 10);
        client.reset();
        EXPECT_EQ(server.stop(SIGTERM), 0);
    }
    ChildProcess server = ChildProcess::start(serving(folder, port));
    auto client = sessionWith(port, false);
    ASSERT_NE(client, nullptr);
    // DB20 grew to hold byte 301 and keeps that size.
    EXPECT_EQ(toHex(ask(*client, readVarRequest(2, 20, 298, 6))),
              toHex(readVarReply(2, hex("00 00 AB CD 00 00"))));
    EXPECT_EQ(toHex(ask(*client, s5FetchRequest(21, 3, 2))),
              toHex(s5FetchReply(3, hex("12 34 56 78"))));
    EXPECT_GE(demoTicks(*client), ticksAtStop);
    EXPECT_EQ(toHex(ask(*client, readVarRequest(3, 1, 128, 13))),
              toHex(readVarReply(
                  3, hex("20 0B") + Bytes{'H', 'e', 'l', 'l', 'o', ' ', 't', 'h', 'e', 'r', 'e'})));
    client.reset();
    EXPECT_EQ(server.stop(SIGTERM), 0);
}

TEST(RetainedMemoryBinary, AKillAfterAPeriodicSaveLosesNothingThatSaveTook) {
    Folder folder;
    const std::uint16_t port = freeLoopbackPort();
    {
        ChildProcess server = ChildProcess::start(serving(folder, port, {"--save-every", "1"}));
        auto client = sessionWith(port, false);
        ASSERT_NE(client, nullptr);
        EXPECT_EQ(toHex(ask(*client, writeVarRequest(1, 30, 0, hex("CA FE")))),
                  toHex(writeVarReply(1)));
        // Within about a second the periodic save has put it on the disk.
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (imageContent(folder.file("db30.img")).size() < 2 &&
               std::chrono::steady_clock::now() < deadline) {
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        const Bytes saved = imageContent(folder.file("db30.img"));
        ASSERT_GE(saved.size(), 2u);
        EXPECT_EQ(toHex(Bytes(saved.begin(), saved.begin() + 2)), "CA FE");
        EXPECT_EQ(server.stop(SIGKILL), 128 + SIGKILL);
    }
    ChildProcess server = ChildProcess::start(serving(folder, port));
    auto client = sessionWith(port, false);
    ASSERT_NE(client, nullptr);
    EXPECT_EQ(toHex(ask(*client, readVarRequest(2, 30, 0, 2))),
              toHex(readVarReply(2, hex("CA FE"))));
    client.reset();
    EXPECT_EQ(server.stop(SIGTERM), 0);
}

TEST(RetainedMemoryBinary, ADamagedOrUnfittingImageStopsTheStartAndIsLeftAsItWas) {
    Folder folder;
    const std::string strictConfig = folder.file("strict.toml");
    {
        std::ofstream(strictConfig) << "cpu = \"s7-1500\"\nstrict = true\ndemo = false\n"
                                       "[[db]]\nnumber = 5\nsize = 8\n";
    }
    const fs::path state = folder.path / "state";
    const std::string db5 = (state / "db5.img").string();
    const Bytes good = imageFile(dataBlockUnit(5), hex("01 02 03 04 05 06 07 08"));
    struct Row {
        const char *what;
        std::string file; // the image to damage, inside state
        Bytes bytes;      // what it holds
        std::vector<std::string> arguments;
        std::string error; // the line on stderr, or its start
    };
    Bytes flipped = good;
    flipped[30] ^= 0x10;
    // clang-format off
    const Row rows[] = {
        {"truncated", "db5.img", Bytes(good.begin(), good.end() - 3), {"--cpu", "s7-1500"},
         "plcdouble: " + db5 + ": truncated: 5 of 8 bytes\n"},
        {"a flipped byte", "db5.img", flipped, {"--cpu", "s7-1500"},
         "plcdouble: " + db5 + ": checksum mismatch (stored 0x"},
        {"a block of another size than declared", "db5.img",
         imageFile(dataBlockUnit(5), Bytes(10, 0)), {"--config", strictConfig},
         "plcdouble: " + db5 + ": holds 10 bytes, but DB5 is declared with 8\n"},
        {"a block not declared", "db6.img", imageFile(dataBlockUnit(6), Bytes(8, 0)),
         {"--config", strictConfig},
         "plcdouble: " + (state / "db6.img").string() +
             ": DB6 is not declared, and with strict = true only declared blocks exist\n"},
        {"an area of another size than the CPU's", "flags.img",
         imageFile(areaUnit(MemoryArea::flags), Bytes(16384, 0)), {"--cpu", "s7-300"},
         "plcdouble: " + (state / "flags.img").string() +
             ": holds 16384 bytes, but the flags are 2048 bytes\n"},
        {"an area classic does not have", "timers.img",
         imageFile(areaUnit(MemoryArea::timers), Bytes(4, 0)), {},
         "plcdouble: " + (state / "timers.img").string() +
             ": holds 4 bytes, but this CPU has no timers\n"},
    };
    // clang-format on
    for (const Row &row : rows) {
        SCOPED_TRACE(row.what);
        fs::remove_all(state);
        fs::create_directory(state);
        const std::string path = (state / row.file).string();
        writeBytes(path, row.bytes);
        // A save that never finished: a start that stops must not clear it away either.
        writeBytes(path + ".tmp", hex("00"));
        const auto modified = fs::last_write_time(path);
        for (const bool check : {false, true}) {
            SCOPED_TRACE(check ? "--check" : "serving");
            std::vector<std::string> arguments = {"--port", std::to_string(freeLoopbackPort()),
                                                  "--state", state.string()};
            arguments.insert(arguments.end(), row.arguments.begin(), row.arguments.end());
            if (check) {
                arguments.emplace_back("--check");
            }
            ChildProcess server = ChildProcess::start(arguments);
            EXPECT_EQ(server.waitForExit(), 2);
            const std::string error = server.readErrorUntil("never-printed");
            EXPECT_EQ(error.substr(0, row.error.size()), row.error);
            EXPECT_EQ(std::count(error.begin(), error.end(), '\n'), 1) << error;
            EXPECT_EQ(server.readOutputUntil("never-printed"), "") << "it never started";
            EXPECT_EQ(toHex(readBytes(path)), toHex(row.bytes));
            EXPECT_EQ(fs::last_write_time(path), modified);
            EXPECT_EQ(readBytes(path + ".tmp"), hex("00"));
        }
    }
}

TEST(RetainedMemoryBinary, ASaveCutOffBeforeItsRenameLeavesTheOldImage) {
    Folder folder;
    const std::uint16_t port = freeLoopbackPort();
    writeBytes(folder.file("db5.img"), imageFile(dataBlockUnit(5), hex("0A 0B 0C 0D")));
    // A crash while the new image was written, and one after it was written but before the
    // rename: neither is the image yet.
    const Bytes newer = imageFile(dataBlockUnit(5), hex("EE EE EE EE"));
    writeBytes(folder.file("db5.img.tmp"), Bytes(newer.begin(), newer.begin() + 26));
    writeBytes(folder.file("db7.img.tmp"), imageFile(dataBlockUnit(7), hex("77 77 77 77")));

    ChildProcess check = ChildProcess::start(serving(folder, port, {"--check"}));
    EXPECT_EQ(check.waitForExit(), 0);
    EXPECT_NE(check.readOutputUntil("never-printed")
                  .find("state        " + folder.path.string() +
                        " (kept: 1 data block), 2 unfinished saves to discard at start\n"),
              std::string::npos);
    EXPECT_EQ(folder.names(), (std::vector<std::string>{"db5.img", "db5.img.tmp", "db7.img.tmp"}))
        << "--check changes nothing";

    ChildProcess server = ChildProcess::start(serving(folder, port));
    EXPECT_NE(server.readOutputUntil("saved every")
                  .find(": 1 images loaded, unfinished saves discarded, saved every 10 s"),
              std::string::npos);
    auto client = sessionWith(port, false);
    ASSERT_NE(client, nullptr);
    EXPECT_EQ(folder.names(), std::vector<std::string>{"db5.img"});
    EXPECT_EQ(toHex(ask(*client, readVarRequest(1, 5, 0, 4))),
              toHex(readVarReply(1, hex("0A 0B 0C 0D"))));
    // DB7 was never saved: a read creates it afresh, zero-filled.
    EXPECT_EQ(toHex(ask(*client, readVarRequest(2, 7, 0, 4))),
              toHex(readVarReply(2, hex("00 00 00 00"))));
    client.reset();
    EXPECT_EQ(server.stop(SIGTERM), 0);
}

} // namespace
