// What the stream fuzzer relies on in the real-CPU profiles, and the faults it found there: the
// host clock held at one moment gives clock answers and SZL time stamps that repeat exactly; a
// server reset leaves no stopped CPU or set clock behind; item names in the log lines.
#include "harness.h"

#include "app/server.h"
#include "plc/plc_clock.h"
#include "s7/item_access.h"

#include <string>
#include <vector>

namespace {

// A userdata PDU (reference 0x0005) in an ISO data frame.
Bytes userdata(const std::string &parametersHex, const std::string &dataHex) {
    const Bytes parameters = hex(parametersHex);
    const Bytes data = hex(dataHex);
    return isoDataFrame(hex("32 07 00 00 00 05") + be16(parameters.size()) + be16(data.size()) +
                        parameters + data);
}

// A userdata answer: 00 01 12 08 12, then the given rest of the parameters, then the data.
Bytes answer(const std::string &parametersHex, const std::string &dataHex) {
    return userdata("00 01 12 08 12 " + parametersHex, dataHex);
}

Bytes job(const std::string &parametersHex) {
    const Bytes parameters = hex(parametersHex);
    return isoDataFrame(hex("32 01 00 00 00 09") + be16(parameters.size()) + be16(0) + parameters);
}

const Bytes readClock = userdata("00 01 12 04 11 47 01 00", "0A 00 00 00");
const Bytes readState = userdata("00 01 12 04 11 44 01 00", "FF 09 00 04 04 24 00 00");
const Bytes stopCpu = job("29 00 00 00 00 00 09 50 5F 50 52 4F 47 52 41 4D");
// Saturday 2031-05-17 10:20:30.000; the client's weekday byte (3) is not taken.
const Bytes setClock =
    userdata("00 01 12 04 11 47 02 00", "FF 09 00 0A 00 19 31 05 17 10 20 30 00 03");

// The held host time: the last second but one of a leap day, a Thursday (weekday 5).
constexpr PlcDateTime heldTime = {2024, 2, 29, 23, 59, 58, 765, 0};
constexpr const char *heldTimeBcd = "24 02 29 23 59 58 76 55";

class HeldClockTest : public ServerTest {
protected:
    HeldClockTest() { cpu = findCpuProfile("s7-1500"); }
    void SetUp() override {
        ServerTest::SetUp();
        holdHostClock(plc().cpu.clock, heldTime);
    }

    // Rack 0, slot 1, and setup communication.
    std::unique_ptr<TestClient> connectToSlot1() {
        auto client = connect();
        EXPECT_EQ(exchange(*client, hex("03 00 00 16 11 E0 00 00 00 01 00 C1 02 01 00 C2 02 01 01 "
                                        "C0 01 0A"))
                      .size(),
                  22u);
        EXPECT_EQ(exchange(*client, hex(setupRequestHex)).size(), 27u);
        return client;
    }
};

// A sequence number as two hex digits.
std::string sequenceHex(int sequence) {
    return toHex(Bytes{static_cast<std::uint8_t>(sequence)});
}

std::string stateAnswer(int sequence, const std::string &eventAndMode, const std::string &timeBcd) {
    return toHex(answer("84 01 " + sequenceHex(sequence) + " 00 00 00 00",
                        "FF 09 00 1C 04 24 00 00 00 14 00 01 " + eventAndMode +
                            " 00 00 00 00 00 00 00 00 " + timeBcd));
}

std::string clockAnswer(int sequence, const std::string &timeBcd) {
    return toHex(
        answer("87 01 " + sequenceHex(sequence) + " 00 00 00 00", "FF 09 00 0A 00 20 " + timeBcd));
}

// Every byte of the clock answers and of the state's time stamp is known while the host clock is
// held; a set clock keeps its offset to the held time, so it reads back to the millisecond.
TEST_F(HeldClockTest, ClockAnswersAndStateTimeStampsRepeatExactly) {
    auto client = connectToSlot1();
    const std::vector<std::pair<Bytes, std::string>> table = {
        {readClock, clockAnswer(1, heldTimeBcd)},
        {readState, stateAnswer(2, "43 02 FF 08", heldTimeBcd)},
        {readClock, clockAnswer(3, heldTimeBcd)},
        {setClock, toHex(answer("87 02 04 00 00 00 00", "0A 00 00 00"))},
        {readClock, clockAnswer(5, "31 05 17 10 20 30 00 07")},
        {readState, stateAnswer(6, "43 02 FF 08", "31 05 17 10 20 30 00 07")},
    };
    for (std::size_t i = 0; i < table.size(); ++i) {
        SCOPED_TRACE("exchange " + std::to_string(i));
        EXPECT_EQ(toHex(exchange(*client, table[i].first)), table[i].second);
    }
}

// A PLC made new is the state of a server just started: a CPU a client stopped runs again and a
// clock a client set reads the host's time, on the next connection as on a fresh server.
TEST_F(HeldClockTest, ResetLeavesNeitherAStoppedCpuNorASetClock) {
    auto client = connectToSlot1();
    exchange(*client, stopCpu); // a job: no userdata sequence number
    exchange(*client, setClock);
    ASSERT_EQ(toHex(exchange(*client, readState)),
              stateAnswer(2, "43 04 FF 04", "31 05 17 10 20 30 00 07"));
    resetPlc(server, plc());
    client = connectToSlot1();
    EXPECT_EQ(toHex(exchange(*client, readState)), stateAnswer(1, "43 02 FF 08", heldTimeBcd));
    EXPECT_EQ(toHex(exchange(*client, readClock)), clockAnswer(2, heldTimeBcd));
}

// A connection's userdata answers count 1 to FF and then start again at 1: 0 marks "no answer
// yet". Beyond what the fuzzer's inputs can hold.
TEST_F(HeldClockTest, SequenceNumbersGoFromFFBackTo01) {
    auto client = connectToSlot1();
    const std::size_t answerSize = hex(clockAnswer(1, heldTimeBcd)).size();
    for (int sequence = 1; sequence < 0xFF; ++sequence) {
        client->send(readClock);
        pass();
        ASSERT_EQ(client->receiveExactly(answerSize).size(), answerSize) << sequence;
    }
    EXPECT_EQ(toHex(exchange(*client, readClock)), clockAnswer(0xFF, heldTimeBcd));
    EXPECT_EQ(toHex(exchange(*client, readClock)), clockAnswer(0x01, heldTimeBcd));
}

// The names in the item log lines, at the limits of every field: DB numbers are 16 bits, byte
// offsets the 21 upper bits of the address, timer and counter numbers the whole 24 bits.
TEST(ItemNameTest, NamesEveryAreaAtTheLimitsOfItsFields) {
    const std::vector<std::pair<const char *, const char *>> table = {
        {"12 0A 10 02 00 01 00 0A 84 00 00 40", "DB10,8"},
        {"12 0A 10 01 00 01 00 0A 84 00 00 43", "DB10,8.3"},
        {"12 0A 10 01 00 01 FF FF 85 FF FF FF", "DI65535,2097151.7"},
        {"12 0A 10 02 00 01 00 00 84 00 00 00", "DB0,0"},
        {"12 0A 10 02 00 01 00 00 80 00 00 40", "P8"},
        {"12 0A 10 02 00 01 00 00 81 00 00 47", "I8"}, // a byte item drops the bit
        {"12 0A 10 01 00 01 00 00 82 00 00 47", "Q8.7"},
        {"12 0A 10 04 00 01 00 07 83 01 00 00", "M8192"}, // the DB number is not part of it
        {"12 0A 10 1D 00 01 00 00 1D 00 00 05", "T5"},
        {"12 0A 10 01 00 01 00 00 1C FF FF FF", "C16777215"},
        {"12 0A 10 01 00 01 00 00 86 00 00 43", "area 0x86,8"},
        {"12 0A 10 02 00 01 00 00 00 FF FF FF", "area 0x00,2097151"},
        {"12 0A 10 02 00 01 00 00 FF 00 00 00", "area 0xFF,0"},
    };
    for (const auto &[item, expected] : table) {
        const Bytes bytes = hex(item);
        EXPECT_STREQ(itemName(bytes).text(), expected) << item;
    }
}

} // namespace
