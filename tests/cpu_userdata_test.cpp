// Userdata in the real-CPU profiles end to end: the SZL lists clients read by position, an SZL
// answer in parts, the SZL errors, the clock, the block lists and the at-once refusal of every
// other userdata function. Plus the calendar arithmetic behind the clock.
#include "harness.h"

#include "memory/data_block_table.h"
#include "plc/plc_clock.h"

#include <ctime>
#include <string>
#include <vector>

namespace {

// A userdata PDU (reference 0x0005) in an ISO data frame.
Bytes userdata(const std::string &parametersHex, const Bytes &data) {
    const Bytes parameters = hex(parametersHex);
    return isoDataFrame(hex("32 07 00 00 00 05") + be16(parameters.size()) + be16(data.size()) +
                        parameters + data);
}

Bytes szlRequest(std::uint16_t id, std::uint16_t index) {
    return userdata("00 01 12 04 11 44 01 00", hex("FF 09 00 04") + be16(id) + be16(index));
}

// The request for the next part of an answer, as snap7 sends it.
Bytes followUp(const std::string &groupSubfunctionSequenceHex) {
    return userdata("00 01 12 08 12 " + groupSubfunctionSequenceHex + " 00 00 00 00",
                    hex("0A 00 00 00"));
}

// A reply: header with reference 0x0005, the 12 parameter bytes given, then the data.
Bytes reply(const std::string &parametersHex, const Bytes &data) {
    return userdata("00 01 12 08 12 " + parametersHex, data);
}

Bytes text(const std::string &characters) {
    return Bytes(characters.begin(), characters.end());
}

Bytes padded(const std::string &characters, std::size_t width, std::uint8_t fill) {
    Bytes bytes = text(characters);
    bytes.resize(width, fill);
    return bytes;
}

Bytes zeros(std::size_t count) {
    return Bytes(count, 0x00);
}

Bytes slice(const Bytes &bytes, std::size_t from, std::size_t to) {
    return Bytes(bytes.begin() + static_cast<std::ptrdiff_t>(from),
                 bytes.begin() + static_cast<std::ptrdiff_t>(to));
}

int fromBcd(std::uint8_t byte) {
    return (byte >> 4) * 10 + (byte & 0x0F);
}

class CpuUserdataTest : public ServerTest {
protected:
    // Connection request to the profile's own rack and slot (a real CPU refuses others) and
    // setup; only the sizes are checked, the figures are the setup's.
    std::unique_ptr<TestClient> connectProfile() {
        auto client = connect();
        const auto rackSlot =
            static_cast<std::uint8_t>(cpu->acceptedRack << 5 | cpu->acceptedSlots[0]);
        const Bytes request = hex("03 00 00 16 11 E0 00 00 00 01 00 C1 02 01 00 C2 02 01") +
                              Bytes{rackSlot} + hex("C0 01 0A");
        EXPECT_EQ(exchange(*client, request).size(), 22u);
        EXPECT_EQ(exchange(*client, hex(setupRequestHex)).size(), 27u);
        return client;
    }
};

// s7-300: a 240-byte PDU.
class S7300UserdataTest : public CpuUserdataTest {
protected:
    S7300UserdataTest() { cpu = findCpuProfile("s7-300"); }
};

class S71500UserdataTest : public CpuUserdataTest {
protected:
    S71500UserdataTest() { cpu = findCpuProfile("s7-1500"); }
};

struct Exchange {
    const char *name;
    Bytes request;
    Bytes expected;
};

TEST_F(S7300UserdataTest, SzlListsAnswerWithTheRecordsClientsReadByPosition) {
    const Bytes mlfb = text("6ES7 315-2EH14-0AB0 ");
    const Bytes capabilities = hex("00 01 00 F0 00 10 00 02 DC 6C 00 B7 1B 00") + zeros(26);
    const Bytes protection = hex("00 04 00 01 00 00 00 01 00 02 00 00") + zeros(28);
    // Each request on a fresh connection gets sequence number 1.
    const std::vector<Exchange> table = {
        {"0x0000 lists the IDs answered", szlRequest(0x0000, 0),
         reply("84 01 01 00 00 00 00", hex("FF 09 00 14 00 00 00 00 00 02 00 06") +
                                           hex("00 00 00 11 00 1C 01 31 02 32 04 24"))},
        {"0x0011 puts the firmware record last", szlRequest(0x0011, 0),
         reply("84 01 01 00 00 00 00", hex("FF 09 00 5C 00 11 00 00 00 1C 00 03") + hex("00 01") +
                                           mlfb + hex("00 C0 00 04 00 01") + hex("00 06") + mlfb +
                                           hex("00 C0 00 04 00 01") + hex("00 07") +
                                           padded("", 20, ' ') + hex("00 C0 56 03 02 06"))},
        {"0x0131/1", szlRequest(0x0131, 1),
         reply("84 01 01 00 00 00 00", hex("FF 09 00 30 01 31 00 01 00 28 00 01") + capabilities)},
        {"0x0131/0 as python-snap7 asks", szlRequest(0x0131, 0),
         reply("84 01 01 00 00 00 00", hex("FF 09 00 30 01 31 00 00 00 28 00 01") + capabilities)},
        {"0x0232/4", szlRequest(0x0232, 4),
         reply("84 01 01 00 00 00 00", hex("FF 09 00 30 02 32 00 04 00 28 00 01") + protection)},
        {"0x0232/0", szlRequest(0x0232, 0),
         reply("84 01 01 00 00 00 00", hex("FF 09 00 30 02 32 00 00 00 28 00 01") + protection)},
        {"unknown ID: D401", szlRequest(0x0999, 0),
         reply("84 01 01 00 00 D4 01", hex("0A 00 00 00"))},
        {"wrong index: D402", szlRequest(0x0011, 5),
         reply("84 01 01 00 00 D4 02", hex("0A 00 00 00"))},
        {"python-snap7's form of the request data",
         userdata("00 01 12 04 11 44 01 00", hex("0A 00 00 04 01 31 00 01")),
         reply("84 01 01 00 00 00 00", hex("FF 09 00 30 01 31 00 01 00 28 00 01") + capabilities)},
    };
    for (const Exchange &entry : table) {
        SCOPED_TRACE(entry.name);
        auto client = connectProfile();
        EXPECT_EQ(toHex(exchange(*client, entry.request)), toHex(entry.expected));
    }
    EXPECT_EQ(attributeOf("hh:mm:ss-[0] Sending SZL 0x0011/0 (3 records)"), attributeSlot0);
    EXPECT_EQ(attributeOf("hh:mm:ss-[0] SZL 0x0999 not available"), attributeError);
    EXPECT_EQ(attributeOf("hh:mm:ss-[0] SZL 0x0011 has no index 5"), attributeError);
}

TEST_F(S7300UserdataTest, OperatingModeFollowsTheCpuState) {
    auto client = connectProfile();
    const Bytes running = exchange(*client, szlRequest(0x0424, 0));
    ASSERT_EQ(running.size(), 7u + 10 + 12 + 4 + 8 + 20);
    // Data header, list header, then event, 0xFF, mode and the reserved and start info bytes.
    EXPECT_EQ(toHex(slice(running, 29, 53)),
              toHex(hex("FF 09 00 1C 04 24 00 00 00 14 00 01 43 02 FF 08") + zeros(8)));
    plc().cpu.state = CpuRunState::stop;
    const Bytes stopped = exchange(*client, szlRequest(0x0424, 0));
    ASSERT_EQ(stopped.size(), running.size());
    EXPECT_EQ(toHex(slice(stopped, 41, 45)), "43 04 FF 04");
    EXPECT_EQ(stopped[24], 0x02) << "the second request's sequence number";
}

TEST_F(S7300UserdataTest, ComponentIdentificationComesInTwoPartsOnA240BytePdu) {
    auto client = connectProfile();
    const Bytes first = exchange(*client, szlRequest(0x001C, 0));
    // 6 whole records of 34 bytes fit behind the list header: 238 bytes of PDU.
    ASSERT_EQ(first.size(), 7u + 238);
    EXPECT_EQ(toHex(slice(first, 0, 41)),
              toHex(hex("03 00 00 F5 02 F0 80 32 07 00 00 00 05 00 0C 00 D8") +
                    hex("00 01 12 08 12 84 01 01 01 01 00 00") +
                    hex("FF 09 00 D4 00 1C 00 00 00 22 00 0A")));
    // The client echoes the sequence number; the last part has no more to follow.
    const Bytes second = exchange(*client, followUp("44 01 01"));
    ASSERT_EQ(second.size(), 7u + 26 + 4 * 34);
    EXPECT_EQ(toHex(slice(second, 0, 35)),
              toHex(hex("03 00 00 A9 02 F0 80 32 07 00 00 00 05 00 0C 00 8C") +
                    hex("00 01 12 08 12 84 01 01 01 00 00 00") + hex("FF 09 00 88 00 08")));

    // The list as snap7 joins it (from the record length on), read at snap7's positions.
    const Bytes list = slice(first, 37, first.size()) + slice(second, 33, second.size());
    ASSERT_EQ(list.size(), 4u + 10 * 34);
    const auto field = [&list](std::size_t at, std::size_t width) {
        return toHex(slice(list, at, at + width));
    };
    EXPECT_EQ(field(6, 24), toHex(padded("plcdouble S7-300", 24, 0)));
    EXPECT_EQ(field(40, 24), toHex(padded("CPU 315-2 PN/DP", 24, 0)));
    EXPECT_EQ(field(108, 26), toHex(text("Original Siemens Equipment")));
    EXPECT_EQ(field(142, 24), toHex(padded("S C-PD3157102026", 24, 0)));
    EXPECT_EQ(field(176, 32), toHex(padded("CPU 315-2 PN/DP", 32, 0)));
    std::vector<int> indexes;
    for (std::size_t record = 0; record < 10; ++record) {
        indexes.push_back(list[4 + record * 34] * 256 + list[5 + record * 34]);
    }
    EXPECT_EQ(indexes, (std::vector<int>{1, 2, 3, 4, 5, 7, 8, 9, 10, 11}));

    // Nothing is open any more: a further follow-up is refused.
    EXPECT_EQ(toHex(exchange(*client, followUp("44 01 01"))),
              toHex(reply("84 01 01 00 00 81 04", hex("0A 00 00 00"))));
    EXPECT_TRUE(logged("hh:mm:ss-[0] Sending SZL 0x001C/0 (10 records)"));
    EXPECT_TRUE(logged("hh:mm:ss-[0] Sending SZL 0x001C/0 continued (4 records)"));
}

TEST_F(S71500UserdataTest, ComponentIdentificationFitsInOne960BytePdu) {
    auto client = connectProfile();
    const Bytes answer = exchange(*client, szlRequest(0x001C, 0));
    ASSERT_EQ(answer.size(), 7u + 26 + 8 + 10 * 34);
    EXPECT_EQ(toHex(slice(answer, 17, 37)),
              toHex(hex("00 01 12 08 12 84 01 01 00 00 00 00 FF 09 01 5C 00 1C 00 00")));
    EXPECT_EQ(toHex(slice(answer, 43, 67)), toHex(padded("plcdouble S7-1500", 24, 0)));
}

TEST_F(S7300UserdataTest, UnsupportedUserdataIsRefusedAtOnce) {
    const std::vector<Exchange> table = {
        {"CPU message service", userdata("00 01 12 04 11 44 02 00", hex("0A 00 00 00")),
         reply("84 02 01 00 00 81 04", hex("0A 00 00 00"))},
        {"block info",
         userdata("00 01 12 04 11 43 03 00", hex("FF 09 00 08 30 41 30 30 30 30 31 41")),
         reply("83 03 01 00 00 81 04", hex("0A 00 00 00"))},
        {"password", userdata("00 01 12 04 11 45 01 00", hex("FF 09 00 08") + zeros(8)),
         reply("85 01 01 00 00 81 04", hex("0A 00 00 00"))},
        {"a follow-up with no answer open", followUp("44 01 07"),
         reply("84 01 00 00 00 81 04", hex("0A 00 00 00"))},
        {"a response sent as a request", userdata("00 01 12 04 11 84 01 00", hex("0A 00 00 00")),
         reply("84 01 01 00 00 81 04", hex("0A 00 00 00"))},
        {"parameters cut short", isoDataFrame(hex("32 07 00 00 00 05 00 08 00 00 00 01 12 04 11")),
         reply("80 00 01 00 00 81 04", hex("0A 00 00 00"))},
        {"SZL request without its ID", userdata("00 01 12 04 11 44 01 00", hex("FF 09 00 00")),
         reply("84 01 01 00 00 81 04", hex("0A 00 00 00"))},
        {"clock set to month 13",
         userdata("00 01 12 04 11 47 02 00", hex("FF 09 00 0A 00 19 24 13 01 10 00 00 00 01")),
         reply("87 02 01 00 00 81 04", hex("0A 00 00 00"))},
    };
    for (const Exchange &entry : table) {
        SCOPED_TRACE(entry.name);
        auto client = connectProfile();
        EXPECT_EQ(toHex(exchange(*client, entry.request)), toHex(entry.expected));
    }
    EXPECT_EQ(attributeOf("hh:mm:ss-[0] Userdata function not available (group 4, subfunction 2)"),
              attributeError);
}

TEST_F(S7300UserdataTest, ClockReadsHostTimeInBcdAndKeepsTheOffsetASetLeaves) {
    auto client = connectProfile();
    const std::time_t before = std::time(nullptr);
    const Bytes answer = exchange(*client, userdata("00 01 12 04 11 47 01 00", hex("0A 00 00 00")));
    ASSERT_EQ(answer.size(), 7u + 10 + 12 + 14);
    EXPECT_EQ(toHex(slice(answer, 7, 35)),
              toHex(hex("32 07 00 00 00 05 00 0C 00 0E 00 01 12 08 12 87 01 01 00 00 00 00") +
                    hex("FF 09 00 0A 00 20")));
    std::tm host{};
    localtime_r(&before, &host);
    EXPECT_EQ(fromBcd(answer[35]), host.tm_year % 100);
    EXPECT_EQ(fromBcd(answer[36]), host.tm_mon + 1);
    const int hostSeconds = host.tm_hour * 3600 + host.tm_min * 60 + host.tm_sec;
    const int readSeconds =
        fromBcd(answer[38]) * 3600 + fromBcd(answer[39]) * 60 + fromBcd(answer[40]);
    EXPECT_LE((readSeconds - hostSeconds + 86'400) % 86'400, 2) << toHex(answer);
    EXPECT_EQ(answer[42] & 0x0F, host.tm_wday + 1);

    // Saturday 2031-05-17 10:20:30.000 (the client's weekday byte is ignored).
    EXPECT_EQ(toHex(exchange(*client, userdata("00 01 12 04 11 47 02 00",
                                               hex("FF 09 00 0A 00 19 31 05 17 10 20 30 00 03")))),
              toHex(reply("87 02 02 00 00 00 00", hex("0A 00 00 00"))));
    const Bytes afterSet =
        exchange(*client, userdata("00 01 12 04 11 47 01 00", hex("0A 00 00 00")));
    ASSERT_EQ(afterSet.size(), answer.size());
    EXPECT_EQ(toHex(slice(afterSet, 33, 40)), "00 20 31 05 17 10 20");
    const int elapsedMs =
        fromBcd(afterSet[40]) * 1000 + fromBcd(afterSet[41]) * 10 + (afterSet[42] >> 4) - 30'000;
    EXPECT_GE(elapsedMs, 0);
    EXPECT_LT(elapsedMs, 1000);
    EXPECT_EQ(afterSet[42] & 0x0F, 7) << "Saturday";
    EXPECT_TRUE(logged("hh:mm:ss-[0] Sending clock"));
    EXPECT_TRUE(logged("hh:mm:ss-[0] Clock set to 2031-05-17 10:20:30.000"));
}

// The demo data makes DB1 and DB15 on the first tick; a Write Var makes DB7.
TEST_F(S7300UserdataTest, BlockListsCountAndListTheDataBlocksThatExist) {
    auto client = connectProfile();
    exchange(*client, isoDataFrame(hex("32 01 00 00 00 02 00 0E 00 05 05 01 12 0A 10 02 00 01 "
                                       "00 07 84 00 00 00 00 04 00 08 AB")));
    ASSERT_FALSE(dataBlock(7).empty());
    const std::vector<Exchange> table = {
        {"counts", userdata("00 01 12 04 11 43 01 00", hex("0A 00 00 00")),
         reply("83 01 01 00 00 00 00", hex("FF 09 00 1C 30 38 00 00 30 45 00 00 30 43 00 00 "
                                           "30 41 00 03 30 42 00 00 30 44 00 00 30 46 00 00"))},
        {"DBs", userdata("00 01 12 04 11 43 02 00", hex("FF 09 00 02 30 41")),
         reply("83 02 02 00 00 00 00", hex("FF 09 00 0C 00 01 22 05 00 07 22 05 00 0F 22 05"))},
        {"OBs", userdata("00 01 12 04 11 43 02 00", hex("FF 09 00 02 30 38")),
         reply("83 02 03 00 00 00 00", hex("FF 09 00 00"))},
    };
    for (const Exchange &entry : table) {
        SCOPED_TRACE(entry.name);
        EXPECT_EQ(toHex(exchange(*client, entry.request)), toHex(entry.expected));
    }
    EXPECT_TRUE(logged("hh:mm:ss-[0] Sending block list"));
    EXPECT_TRUE(logged("hh:mm:ss-[0] Sending block list of type DB (3 blocks)"));
}

TEST_F(S7300UserdataTest, ALongListOfDataBlocksComesInParts) {
    auto client = connectProfile();
    for (std::size_t number = 100; number < 160; ++number) {
        ASSERT_FALSE(acquireDataBlock(plc().memory.blocks, 1, number, 0).empty());
    }
    // 53 entries of 4 bytes fill a 240-byte PDU: DB1, DB15, DB100-DB150; then DB151-DB159.
    const Bytes first =
        exchange(*client, userdata("00 01 12 04 11 43 02 00", hex("FF 09 00 02 30 41")));
    ASSERT_EQ(first.size(), 7u + 26 + 53 * 4);
    EXPECT_EQ(
        toHex(slice(first, 17, 41)),
        toHex(hex("00 01 12 08 12 83 02 01 01 01 00 00 FF 09 00 D4 00 01 22 05 00 0F 22 05")));
    EXPECT_EQ(toHex(slice(first, first.size() - 4, first.size())), "00 96 22 05");
    const Bytes second = exchange(*client, followUp("43 02 01"));
    ASSERT_EQ(second.size(), 7u + 26 + 9 * 4);
    EXPECT_EQ(toHex(slice(second, 17, 37)),
              toHex(hex("00 01 12 08 12 83 02 01 01 00 00 00 FF 09 00 24 00 97 22 05")));
    EXPECT_EQ(toHex(slice(second, second.size() - 4, second.size())), "00 9F 22 05");
}

// The calendar arithmetic behind the clock offset, across the boundaries a wrong day count or
// weekday would show.
TEST(PlcClockTest, ShiftsAcrossMonthYearAndLeapDayBoundaries) {
    struct Shift {
        PlcDateTime from;
        std::int64_t milliseconds;
        PlcDateTime expected;
    };
    const std::vector<Shift> table = {
        {{2023, 12, 31, 23, 59, 59, 999, 1}, 1, {2024, 1, 1, 0, 0, 0, 0, 2}},
        {{2024, 2, 28, 12, 0, 0, 0, 4}, 86'400'000, {2024, 2, 29, 12, 0, 0, 0, 5}},
        {{2024, 3, 1, 0, 0, 0, 0, 6}, -1, {2024, 2, 29, 23, 59, 59, 999, 5}},
        {{2031, 5, 17, 10, 20, 30, 0, 7}, 0, {2031, 5, 17, 10, 20, 30, 0, 7}},
        {{1999, 12, 31, 0, 0, 0, 0, 6}, 86'400'000, {2000, 1, 1, 0, 0, 0, 0, 7}},
    };
    for (const Shift &entry : table) {
        const PlcDateTime shifted = shiftDateTime(entry.from, entry.milliseconds);
        EXPECT_EQ(
            (std::vector<int>{shifted.year, shifted.month, shifted.day, shifted.hour,
                              shifted.minute, shifted.second, shifted.millisecond,
                              shifted.weekday}),
            (std::vector<int>{entry.expected.year, entry.expected.month, entry.expected.day,
                              entry.expected.hour, entry.expected.minute, entry.expected.second,
                              entry.expected.millisecond, entry.expected.weekday}));
        EXPECT_EQ(millisecondsBetween(entry.from, shifted), entry.milliseconds);
    }
}

TEST(PlcClockTest, BcdDateAndTimeRoundTripsAndRejectsWhatIsNoDate) {
    const Bytes bcd = hex("89 12 31 23 59 58 98 75"); // 2089-12-31 23:59:58.987, a Saturday
    PlcDateTime time{};
    ASSERT_TRUE(readBcdDateTime(bcd, 0, time));
    EXPECT_EQ((std::vector<int>{time.year, time.month, time.day, time.millisecond, time.weekday}),
              (std::vector<int>{2089, 12, 31, 987, 7}));
    Bytes written(8);
    writeBcdDateTime(written, 0, time);
    EXPECT_EQ(toHex(written), "89 12 31 23 59 58 98 77");
    ASSERT_TRUE(readBcdDateTime(hex("90 01 01 00 00 00 00 00"), 0, time));
    EXPECT_EQ(time.year, 1990);
    for (const char *invalid :
         {"24 02 30 00 00 00 00 00", "23 02 29 00 00 00 00 00", "24 00 01 00 00 00 00 00",
          "24 01 01 24 00 00 00 00", "24 01 01 00 60 00 00 00", "24 01 1A 00 00 00 00 00",
          "24 01 01 00 00 00 00 A0"}) {
        EXPECT_FALSE(readBcdDateTime(hex(invalid), 0, time)) << invalid;
    }
}

} // namespace
