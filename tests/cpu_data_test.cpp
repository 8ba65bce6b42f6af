// Data access and CPU state as a real CPU answers them (the s7-300 and s7-1500 profiles): setup
// communication, the element sizes of Read Var and Write Var, the areas and their ends, fill
// bytes, the PDU limits, PLC stop and start, and refused job functions.
#include "harness.h"

#include "memory/data_block_table.h"

#include <string>
#include <vector>

namespace {

using Lines = std::vector<std::string>;

// Jobs carry reference 00 01 (s7Job); replies echo it (s7AckData).

Bytes headerError(const std::string &classAndCode) {
    return isoDataFrame(hex("32 02 00 00 00 01 00 00 00 00") + hex(classAndCode));
}

std::string countHex(std::size_t count) {
    return toHex(Bytes{static_cast<std::uint8_t>(count)});
}

Bytes readJob(const std::vector<std::string> &items) {
    std::string parameters = "04 " + countHex(items.size());
    for (const std::string &item : items) {
        parameters += " " + item;
    }
    return s7Job(parameters);
}

Bytes readReply(std::size_t itemCount, const std::string &dataHex) {
    return s7AckData("04 " + countHex(itemCount), dataHex);
}

Bytes writeJob(const std::vector<std::string> &items, const std::string &dataHex) {
    std::string parameters = "05 " + countHex(items.size());
    for (const std::string &item : items) {
        parameters += " " + item;
    }
    return s7Job(parameters, dataHex);
}

Bytes writeReply(std::size_t itemCount, const std::string &codesHex) {
    return s7AckData("05 " + countHex(itemCount), codesHex);
}

// An S7ANY item: transport size, count, DB, area and the 24-bit address.
std::string item(int transportSize, std::size_t count, std::size_t db, int area,
                 std::size_t address) {
    const auto u8 = [](std::size_t value) { return static_cast<std::uint8_t>(value & 0xFF); };
    return toHex(hex("12 0A 10") + Bytes{u8(static_cast<std::size_t>(transportSize))} +
                 be16(count) + be16(db) + Bytes{u8(static_cast<std::size_t>(area))} +
                 be24(address));
}

class CpuDataTest : public ServerTest, public ::testing::WithParamInterface<std::string> {
protected:
    CpuDataTest() { cpu = findCpuProfile(GetParam()); }

    // Connects without a connection request (data frames are served without one) and agrees
    // on the PDU: the profile's own when the client asks 960.
    std::unique_ptr<TestClient> connectCpu(std::size_t askedPdu = 960) {
        auto client = connect();
        const Bytes reply = exchange(*client, s7Job("F0 00 00 08 00 08" + toHex(be16(askedPdu))));
        EXPECT_EQ(reply.size(), 27u);
        return client;
    }

    bool is300() const { return GetParam() == "s7-300"; }
};

INSTANTIATE_TEST_SUITE_P(Profiles, CpuDataTest, ::testing::Values("s7-300", "s7-1500"));

// ---------------------------------------------------------------------------------------------
// Setup communication

TEST_P(CpuDataTest, SetupAgreesOnTheSmallerOfAskedAndOwnEachWay) {
    struct Row {
        const char *asked;  // calling, called, PDU
        const char *agreed; // on an S7-300 (240, 1 job), on an S7-1500 (960, 8 jobs)
        const char *agreed1500;
    };
    // clang-format off
    const Row rows[] = {
        {"00 01 00 01 01 E0", "00 01 00 01 00 F0", "00 01 00 01 01 E0"},
        {"00 08 00 08 03 C0", "00 01 00 01 00 F0", "00 08 00 08 03 C0"},
        {"00 0A 00 0A 04 00", "00 01 00 01 00 F0", "00 08 00 08 03 C0"},
        {"00 03 00 05 03 C0", "00 01 00 01 00 F0", "00 03 00 05 03 C0"},
        {"00 00 00 00 00 C8", "00 01 00 01 00 F0", "00 01 00 01 00 F0"}, // below 1 job, 240 bytes
    };
    // clang-format on
    auto client = connect();
    for (const Row &row : rows) {
        SCOPED_TRACE(row.asked);
        EXPECT_EQ(
            toHex(exchange(*client, s7Job(std::string("F0 00 ") + row.asked))),
            toHex(s7AckData(std::string("F0 00 ") + (is300() ? row.agreed : row.agreed1500))));
    }
}

// ---------------------------------------------------------------------------------------------
// Read Var and Write Var: element sizes and transport sizes

TEST_P(CpuDataTest, EveryElementTypeIsWrittenAndReadBackWithItsOwnSizeAndTransportSize) {
    struct Row {
        const char *item;
        const char *body; // the data item behind its first byte: 00 when written, FF when read
    };
    // clang-format off
    const Row rows[] = {
        {"12 0A 10 01 00 01 00 05 84 00 00 13", "03 00 01 01"},                     // BIT 2.3
        {"12 0A 10 02 00 03 00 05 84 00 00 50", "04 00 18 A1 A2 A3"},               // BYTE x3
        {"12 0A 10 03 00 02 00 05 84 00 00 A0", "09 00 02 41 42"},                  // CHAR x2
        {"12 0A 10 04 00 02 00 05 84 00 00 F0", "04 00 20 12 34 56 78"},            // WORD x2
        {"12 0A 10 05 00 01 00 05 84 00 01 40", "05 00 10 FF FE"},                  // INT
        {"12 0A 10 06 00 01 00 05 84 00 01 90", "04 00 20 DE AD BE EF"},            // DWORD
        {"12 0A 10 07 00 02 00 05 84 00 01 E0", "05 00 40 00 00 00 01 FF FF FF FF"},// DINT x2
        {"12 0A 10 08 00 01 00 05 84 00 02 30", "07 00 04 41 20 00 00"},            // REAL
        {"12 0A 10 1C 00 02 00 00 1C 00 00 03", "09 00 04 00 05 00 07"},            // C3, C4
        {"12 0A 10 1D 00 01 00 00 1D 00 00 00", "09 00 02 12 34"},                  // T0
    };
    // clang-format on
    auto client = connectCpu();
    for (const Row &row : rows) {
        SCOPED_TRACE(row.item);
        EXPECT_EQ(toHex(exchange(*client, writeJob({row.item}, std::string("00 ") + row.body))),
                  toHex(writeReply(1, "FF")));
        EXPECT_EQ(toHex(exchange(*client, readJob({row.item}))),
                  toHex(readReply(1, std::string("FF ") + row.body)));
    }
    // Counters are addressed by number: C4 is the second word written above.
    EXPECT_EQ(toHex(exchange(*client, readJob({"12 0A 10 1C 00 01 00 00 1C 00 00 04"}))),
              toHex(readReply(1, "FF 09 00 02 00 07")));
}

TEST_P(CpuDataTest, DatesTimesAndUnknownTypesAre06AndBitsOtherThanOneAre07) {
    auto client = connectCpu();
    // DATE, TOD, TIME, S5TIME, DT and 00; then a BIT item of two.
    EXPECT_EQ(toHex(exchange(*client, readJob({item(0x09, 1, 5, 0x84, 0), item(0x0A, 1, 5, 0x84, 0),
                                               item(0x0B, 1, 5, 0x84, 0), item(0x0C, 1, 5, 0x84, 0),
                                               item(0x0F, 1, 5, 0x84, 0), item(0x00, 1, 5, 0x84, 0),
                                               item(0x01, 2, 5, 0x84, 0)}))),
              toHex(readReply(7, "06 00 00 00 06 00 00 00 06 00 00 00 06 00 00 00 06 00 00 00 "
                                 "06 00 00 00 07 00 00 00")));
    EXPECT_EQ(toHex(exchange(*client, writeJob({item(0x0C, 1, 5, 0x84, 0)}, "00 04 00 10 00 01"))),
              toHex(writeReply(1, "06")));
}

TEST_P(CpuDataTest, WriteDataThatDoesNotMatchItsItemIs07AndStoresNothing) {
    struct Row {
        const char *item;
        const char *data;
        const char *code;
    };
    // clang-format off
    const Row rows[] = {
        {"12 0A 10 01 00 01 00 05 84 00 00 00", "00 04 00 08 01", "07"},       // bit sent as a byte
        {"12 0A 10 01 00 01 00 05 84 00 00 00", "00 03 00 08 01", "07"},       // bit length 8
        {"12 0A 10 04 00 01 00 05 84 00 00 00", "00 04 00 08 12", "07"},       // WORD, 1 byte
        {"12 0A 10 08 00 01 00 05 84 00 00 00", "00 07 00 02 41 20", "07"},    // REAL, 2 bytes
        {"12 0A 10 02 00 02 00 05 84 00 00 00", "00 03 00 01 01", "07"},       // bit for bytes
        {"12 0A 10 02 00 02 00 05 84 00 00 00", "00 06 00 02 12 34", "06"},    // unknown data type
        {"12 0A 10 02 00 01 00 05 84 00 00 00", "00 09 00 01 55", "FF"},       // the control row
    };
    // clang-format on
    auto client = connectCpu();
    for (const Row &row : rows) {
        SCOPED_TRACE(row.data);
        EXPECT_EQ(toHex(exchange(*client, writeJob({row.item}, row.data))),
                  toHex(writeReply(1, row.code)));
    }
    EXPECT_EQ(toHex(exchange(*client, readJob({item(0x02, 4, 5, 0x84, 0)}))),
              toHex(readReply(1, "FF 04 00 20 55 00 00 00")));
}

TEST_P(CpuDataTest, BitWriteSetsOrClearsOnlyItsBit) {
    auto client = connectCpu();
    // The exchange as seen from a real CPU: DB2.DBX2.3 := 1.
    EXPECT_EQ(toHex(exchange(*client, hex("03 00 00 24 02 F0 80 32 01 00 00 00 30 00 0E 00 05 05 "
                                          "01 12 0A 10 01 00 01 00 02 84 00 00 13 00 03 00 01 "
                                          "01"))),
              "03 00 00 16 02 F0 80 32 03 00 00 00 30 00 02 00 01 00 00 05 01 FF");
    EXPECT_EQ(toHex(exchange(*client, readJob({item(0x02, 1, 2, 0x84, 16)}))),
              toHex(readReply(1, "FF 04 00 08 08")));
    exchange(*client, writeJob({item(0x02, 1, 0, 0x83, 10 * 8)}, "00 04 00 08 F0"));
    // M10.0 := 1, M10.7 := 0, M10.4 := 0 in one job, each item followed by its fill byte.
    EXPECT_EQ(
        toHex(exchange(*client, writeJob({item(0x01, 1, 0, 0x83, 80), item(0x01, 1, 0, 0x83, 87),
                                          item(0x01, 1, 0, 0x83, 84)},
                                         "00 03 00 01 01 00 00 03 00 01 00 00 00 03 00 01 "
                                         "00"))),
        toHex(writeReply(3, "FF FF FF")));
    EXPECT_EQ(
        toHex(exchange(*client, readJob({item(0x02, 1, 0, 0x83, 80), item(0x01, 1, 0, 0x83, 80),
                                         item(0x01, 1, 0, 0x83, 85)}))),
        toHex(readReply(3, "FF 04 00 08 61 00 FF 03 00 01 01 00 FF 03 00 01 01")));
}

// ---------------------------------------------------------------------------------------------
// Areas

TEST_P(CpuDataTest, EachAreaServesItsLastElementAndAnswers05OnePast) {
    const std::size_t ioBytes = is300() ? 2048 : 32768;
    const std::size_t flagBytes = is300() ? 2048 : 16384;
    const std::size_t timers = is300() ? 256 : 2048;
    auto client = connectCpu();
    // The last byte, two bytes from it, one past: inputs, outputs, periphery, flags.
    std::vector<std::string> items;
    std::string expected;
    for (const auto &[area, size] : {std::pair{0x81, ioBytes}, std::pair{0x82, ioBytes},
                                     std::pair{0x80, ioBytes}, std::pair{0x83, flagBytes}}) {
        items.push_back(item(0x02, 1, 0, area, (size - 1) * 8));
        items.push_back(item(0x02, 2, 0, area, (size - 1) * 8));
        items.push_back(item(0x02, 1, 0, area, size * 8));
        expected += "FF 04 00 08 00 00 05 00 00 00 05 00 00 00 ";
    }
    EXPECT_EQ(toHex(exchange(*client, readJob(items))), toHex(readReply(items.size(), expected)));
    // The last timer and counter and one past; a timer read as bytes, an area no CPU serves here
    // (L), DB0 and DB3000.
    items.clear();
    expected.clear();
    for (const int area : {0x1D, 0x1C}) {
        items.push_back(item(area, 1, 0, area, timers - 1));
        items.push_back(item(area, 1, 0, area, timers));
        expected += "FF 09 00 02 00 00 05 00 00 00 ";
    }
    items.insert(items.end(), {item(0x02, 2, 0, 0x1D, 0), item(0x02, 1, 0, 0x86, 0),
                               item(0x02, 1, 0, 0x84, 0), item(0x02, 1, 3000, 0x84, 0)});
    expected += "05 00 00 00 0A 00 00 00 0A 00 00 00 0A 00 00 00";
    EXPECT_EQ(toHex(exchange(*client, readJob(items))), toHex(readReply(items.size(), expected)));
    EXPECT_EQ(toHex(exchange(*client, writeJob({item(0x02, 1, 0, 0x82, (ioBytes - 1) * 8),
                                                item(0x02, 1, 0, 0x82, ioBytes * 8),
                                                item(0x1D, 1, 0, 0x1D, timers)},
                                               "00 04 00 08 11 00 00 04 00 08 22 00 00 09 00 02 "
                                               "00 01"))),
              toHex(writeReply(3, "FF 05 05")));
}

TEST_P(CpuDataTest, PeripheryIsReadFromInputsAndWrittenToOutputsAndDiIsTheDbItself) {
    auto client = connectCpu();
    EXPECT_EQ(
        toHex(exchange(*client, writeJob({item(0x02, 1, 0, 0x80, 32), item(0x02, 1, 9, 0x85, 0)},
                                         "00 04 00 08 5A 00 00 04 00 08 C3"))),
        toHex(writeReply(2, "FF FF")));
    // Q4, I4, P4, then DB9 byte 0.
    EXPECT_EQ(
        toHex(exchange(*client, readJob({item(0x02, 1, 0, 0x82, 32), item(0x02, 1, 0, 0x81, 32),
                                         item(0x02, 1, 0, 0x80, 32), item(0x02, 1, 9, 0x84, 0)}))),
        toHex(readReply(4, "FF 04 00 08 5A 00 FF 04 00 08 00 00 FF 04 00 08 00 00 FF 04 00 "
                           "08 C3")));
}

// ---------------------------------------------------------------------------------------------
// Fill bytes between write items

TEST_P(CpuDataTest, WriteItemsNeedTheirFillBytesAndOneTrailingFillIsTolerated) {
    auto client = connectCpu();
    const std::vector<std::string> items = {item(0x01, 1, 5, 0x84, 0), item(0x02, 3, 5, 0x84, 8),
                                            item(0x04, 1, 5, 0x84, 32)};
    EXPECT_EQ(toHex(exchange(*client, writeJob(items, "00 03 00 01 01 00 00 04 00 18 B1 B2 B3 00 "
                                                      "00 04 00 10 C1 C2"))),
              toHex(writeReply(3, "FF FF FF")));
    // The same job without the fill byte behind the bit: refused as a whole, nothing stored.
    clearLog();
    EXPECT_EQ(toHex(exchange(*client, writeJob(items, "00 03 00 01 00 00 04 00 18 D1 D2 D3 00 00 "
                                                      "04 00 10 E1 E2"))),
              toHex(headerError("81 04")));
    EXPECT_EQ(attributedLines(),
              (Lines{"70 hh:mm:ss-[0] Refusing Write Var: data items do not add up to 19 bytes"}));
    // A fill byte behind an odd last item is tolerated; two bytes are not.
    EXPECT_EQ(toHex(exchange(*client, writeJob({item(0x02, 1, 5, 0x84, 48)}, "00 04 00 08 77 00"))),
              toHex(writeReply(1, "FF")));
    EXPECT_EQ(
        toHex(exchange(*client, writeJob({item(0x02, 1, 5, 0x84, 48)}, "00 04 00 08 78 00 00"))),
        toHex(headerError("81 04")));
    // Bit, three bytes, an absent area, a word and a last odd item: fills only between items.
    EXPECT_EQ(toHex(exchange(*client, readJob({items[0], items[1], item(0x02, 1, 0, 0x86, 0),
                                               items[2], item(0x02, 1, 5, 0x84, 48)}))),
              toHex(readReply(5, "FF 03 00 01 01 00 FF 04 00 18 B1 B2 B3 00 0A 00 00 00 FF 04 00 "
                                 "10 C1 C2 FF 04 00 08 77")));
}

// ---------------------------------------------------------------------------------------------
// PDU limits

struct PduRow {
    const char *profile;
    std::size_t asked;
    std::size_t agreed;
};

class CpuPduTest : public ServerTest, public ::testing::WithParamInterface<PduRow> {
protected:
    CpuPduTest() { cpu = findCpuProfile(GetParam().profile); }
};

INSTANTIATE_TEST_SUITE_P(Limits, CpuPduTest,
                         ::testing::Values(PduRow{"s7-300", 960, 240}, PduRow{"s7-1500", 960, 960},
                                           PduRow{"s7-1500", 480, 480}));

TEST_P(CpuPduTest, JobsAndRepliesUpToThePduAreServedAndOneByteMoreIs8500) {
    const std::size_t pdu = GetParam().agreed;
    auto client = connect();
    EXPECT_EQ(toHex(exchange(*client, s7Job("F0 00 00 01 00 01" + toHex(be16(GetParam().asked))))),
              toHex(s7AckData("F0 00 00 01 00 01" + toHex(be16(pdu)))));
    // A reply of 12 + 2 + 4 + n bytes.
    const std::size_t fullRead = pdu - 18;
    EXPECT_EQ(toHex(exchange(*client, readJob({item(0x02, fullRead, 6, 0x84, 0)}))),
              toHex(readReply(1, "FF 04 " + toHex(be16(fullRead * 8)) + toHex(Bytes(fullRead)))));
    EXPECT_EQ(toHex(exchange(*client, readJob({item(0x02, fullRead + 1, 7, 0x84, 0)}))),
              toHex(headerError("85 00")));
    EXPECT_TRUE(dataBlock(7).empty()); // refused before any memory was touched
    // A job of 12 + 12 + 4 + n bytes.
    const std::size_t fullWrite = pdu - 28;
    EXPECT_EQ(toHex(exchange(*client, writeJob({item(0x02, fullWrite, 6, 0x84, 0)},
                                               "00 04 " + toHex(be16(fullWrite * 8)) +
                                                   toHex(Bytes(fullWrite, 0x3C))))),
              toHex(writeReply(1, "FF")));
    EXPECT_EQ(toHex(exchange(*client, writeJob({item(0x02, fullWrite + 1, 6, 0x84, 0)},
                                               "00 04 " + toHex(be16(fullWrite * 8 + 8)) +
                                                   toHex(Bytes(fullWrite + 1, 0x3D))))),
              toHex(headerError("85 00")));
    // A read job of 12 + 12n bytes: every item is served, never cut to 20.
    const std::size_t fullCount = (pdu - 12) / 12;
    const std::vector<std::string> items(fullCount, item(0x02, 1, 6, 0x84, 0));
    std::string expected;
    for (std::size_t i = 0; i < fullCount; ++i) {
        expected += i + 1 < fullCount ? "FF 04 00 08 3C 00 " : "FF 04 00 08 3C";
    }
    EXPECT_EQ(toHex(exchange(*client, readJob(items))), toHex(readReply(fullCount, expected)));
    if (pdu % 12 == 0) {
        std::vector<std::string> oneMore = items;
        oneMore.push_back(item(0x02, 1, 6, 0x84, 0));
        EXPECT_EQ(toHex(exchange(*client, readJob(oneMore))), toHex(headerError("85 00")));
    }
}

// ---------------------------------------------------------------------------------------------
// PLC stop and start; refused job functions

TEST_P(CpuDataTest, StopAndStartMoveTheCpuAndRepeatsGetTheErrorAnswer) {
    struct Row {
        const char *request;
        const char *reply;
        CpuRunState after;
    };
    // clang-format off
    const Row rows[] = {
        // hot restart in RUN, stop, stop in STOP, cold restart, stop, hot restart
        {"00 14 00 00 28 00 00 00 00 00 00 FD 00 00 09 50 5F 50 52 4F 47 52 41 4D",
         "32 03 00 00 00 01 00 02 00 00 84 04 28 02", CpuRunState::run},
        {"00 10 00 00 29 00 00 00 00 00 09 50 5F 50 52 4F 47 52 41 4D",
         "32 03 00 00 00 01 00 01 00 00 00 00 29", CpuRunState::stop},
        {"00 10 00 00 29 00 00 00 00 00 09 50 5F 50 52 4F 47 52 41 4D",
         "32 03 00 00 00 01 00 02 00 00 84 04 29 07", CpuRunState::stop},
        {"00 16 00 00 28 00 00 00 00 00 00 FD 00 02 43 20 09 50 5F 50 52 4F 47 52 41 4D",
         "32 03 00 00 00 01 00 01 00 00 00 00 28", CpuRunState::run},
        {"00 10 00 00 29 00 00 00 00 00 09 50 5F 50 52 4F 47 52 41 4D",
         "32 03 00 00 00 01 00 01 00 00 00 00 29", CpuRunState::stop},
        {"00 14 00 00 28 00 00 00 00 00 00 FD 00 00 09 50 5F 50 52 4F 47 52 41 4D",
         "32 03 00 00 00 01 00 01 00 00 00 00 28", CpuRunState::run},
    };
    // clang-format on
    auto client = connectCpu();
    clearLog();
    for (const Row &row : rows) {
        SCOPED_TRACE(row.request);
        EXPECT_EQ(toHex(exchange(
                      *client, isoDataFrame(hex(std::string("32 01 00 00 00 01 ") + row.request)))),
                  toHex(isoDataFrame(hex(row.reply))));
        EXPECT_EQ(plc().cpu.state, row.after);
    }
    EXPECT_EQ(attributedLines(),
              (Lines{"70 hh:mm:ss-[0] Refusing CPU START: already in RUN",
                     "23 hh:mm:ss-[0] CPU STOP requested",
                     "70 hh:mm:ss-[0] Refusing CPU STOP: already in STOP",
                     "23 hh:mm:ss-[0] CPU START requested", "23 hh:mm:ss-[0] CPU STOP requested",
                     "23 hh:mm:ss-[0] CPU START requested"}));
}

TEST_P(CpuDataTest, UploadDownloadAndUnknownFunctionsAreRefusedAtOnceAndTheConnectionGoesOn) {
    auto client = connectCpu();
    clearLog();
    for (const char *parameters :
         {"1D 00 00 00 00 00 00 00 09 5F 30 41 30 30 30 30 31 50", // start upload of OB1
          "1E 00 00 00 00 00 00 00",                               // upload
          "1A 00 01 00 00 00 00 00 09 5F 30 38 30 30 30 30 31 50", // request download
          "28 00 00 00 00 00 00 FD 00 02 45 50 05 5F 4D 4F 44 55", // copy RAM to ROM
          "29 00 00 00 00 00 05 5F 4D 4F 44 55",                   // stop of another service
          "42 00"}) {
        SCOPED_TRACE(parameters);
        EXPECT_EQ(toHex(exchange(*client, s7Job(parameters))), toHex(headerError("81 04")));
    }
    EXPECT_EQ(plc().cpu.state, CpuRunState::run);
    EXPECT_EQ(lines().front(),
              "hh:mm:ss-[0] Refusing start upload (job function 0x1D): not available");
    EXPECT_EQ(lines().back(),
              "hh:mm:ss-[0] Refusing unknown job function (job function 0x42): not available");
    EXPECT_EQ(toHex(exchange(*client, readJob({item(0x02, 1, 5, 0x84, 0)}))),
              toHex(readReply(1, "FF 04 00 08 00")));
}

// An S7-1200 has no S7 timers or counters.
class Cpu1200Test : public ServerTest {
protected:
    Cpu1200Test() { cpu = findCpuProfile("s7-1200"); }
};

TEST_F(Cpu1200Test, TimersAndCountersDoNotExist) {
    auto client = connect();
    EXPECT_EQ(toHex(exchange(*client, readJob({item(0x1D, 1, 0, 0x1D, 0), item(0x1C, 1, 0, 0x1C, 0),
                                               item(0x02, 1, 0, 0x83, 8191 * 8)}))),
              toHex(readReply(3, "0A 00 00 00 0A 00 00 00 FF 04 00 08 00")));
}

} // namespace
