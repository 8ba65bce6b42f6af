// S5 fetch and write over real loopback connections: reply layouts, word order against S7 and
// the demo data, refusals at the exact edges of the block, the reply buffer and the frame.
#include "harness.h"

#include "memory/data_block_table.h"

#include <algorithm>

namespace {

using S5Test = ServerTest;

// Every S5 request below is written out in full: TPKT, COTP DT, then the 16-byte S5 header
// 53 35 10 01 03 <op> 03 08 <area> <db> <start hi lo> <length hi lo> FF 02.

TEST_F(S5Test, FetchOfThreeWordsFromUnusedDb20AnswersZerosAndCreatesA2048ByteBlock) {
    auto client = connectIso();
    clearLog();
    ASSERT_TRUE(dataBlock(20).empty());
    const Bytes reply = exchange(
        *client, hex("03 00 00 17 02 F0 80 53 35 10 01 03 05 03 08 01 14 00 00 00 03 FF 02"));
    EXPECT_EQ(toHex(reply), "03 00 00 1D 02 F0 80 53 35 10 01 03 06 08 00 00 FF 07 00 00 03 00 00 "
                            "00 00 00 00 00 00");
    const auto block = dataBlock(20);
    ASSERT_EQ(block.size(), 2048u);
    EXPECT_TRUE(std::all_of(block.begin(), block.end(), [](std::uint8_t b) { return b == 0; }));
    EXPECT_EQ(lines(), std::vector<std::string>{"hh:mm:ss-[0] Sending S5 data DB:20:0 l=3"});
    EXPECT_EQ(attributeOf("hh:mm:ss-[0] Sending S5 data DB:20:0 l=3"), 23);
}

TEST_F(S5Test, WordWrittenOverS5FetchesBackUnchangedAndReadsOverS7WithBytesExchanged) {
    auto client = connectS7();
    clearLog();
    // Write 0x1234 at word 5 of DB7.
    EXPECT_EQ(toHex(exchange(*client, hex("03 00 00 19 02 F0 80 53 35 10 01 03 03 03 08 01 07 00 "
                                          "05 00 01 FF 02 12 34"))),
              "03 00 00 17 02 F0 80 53 35 10 01 03 04 08 00 00 FF 07 00 00 00 00 00");
    const auto block = dataBlock(7);
    ASSERT_EQ(block.size(), 2048u);
    EXPECT_EQ(block[10], 0x34);
    EXPECT_EQ(block[11], 0x12);
    EXPECT_EQ(block[9], 0x00);
    EXPECT_EQ(block[12], 0x00);

    EXPECT_EQ(toHex(exchange(*client, hex("03 00 00 17 02 F0 80 53 35 10 01 03 05 03 08 01 07 00 "
                                          "05 00 01 FF 02"))),
              "03 00 00 19 02 F0 80 53 35 10 01 03 06 08 00 00 FF 07 05 00 01 00 00 12 34");

    // S7 Read Var of DB7 bytes 10-11.
    EXPECT_EQ(toHex(exchange(*client, hex("03 00 00 1F 02 F0 80 32 01 00 00 00 06 00 0E 00 00 04 "
                                          "01 12 0A 10 02 00 02 00 07 84 00 00 50"))),
              "03 00 00 1B 02 F0 80 32 03 00 00 00 06 00 02 00 06 00 00 04 01 FF 04 00 10 34 12");

    EXPECT_EQ(attributeOf("hh:mm:ss-[0] Sending S5 write ack DB:7:5 l=1"), 23);
    EXPECT_EQ(attributeOf("hh:mm:ss-[0] Sending S5 data DB:7:5 l=1"), 23);
}

TEST_F(S5Test, BytesWrittenOverS7FetchOverS5AsExchangedWords) {
    auto client = connectS7();
    // S7 Write Var of AB CD at DB7 byte 10.
    EXPECT_EQ(toHex(exchange(*client, hex("03 00 00 25 02 F0 80 32 01 00 00 00 05 00 0E 00 06 05 "
                                          "01 12 0A 10 02 00 02 00 07 84 00 00 50 00 04 00 10 AB "
                                          "CD"))),
              "03 00 00 16 02 F0 80 32 03 00 00 00 05 00 02 00 01 00 00 05 01 FF");
    // Fetch words 4-6: word 5 is the written pair, exchanged; its neighbours stay zero.
    EXPECT_EQ(toHex(exchange(*client, hex("03 00 00 17 02 F0 80 53 35 10 01 03 05 03 08 01 07 00 "
                                          "04 00 03 FF 02"))),
              "03 00 00 1D 02 F0 80 53 35 10 01 03 06 08 00 00 FF 07 04 00 03 00 00 00 00 CD AB "
              "00 00");
}

TEST_F(S5Test, Db15DemoCountersFetchInNaturalOrderAndDb1CountersExchanged) {
    auto client = connectS7(); // the first pass seeds both demo blocks and runs one tick
    tick(40);                  // 41 ticks: DB15 word 0 = 41, word 1 = 1 + 41 = 42
    EXPECT_EQ(toHex(exchange(*client, hex("03 00 00 17 02 F0 80 53 35 10 01 03 05 03 08 01 0F 00 "
                                          "00 00 03 FF 02"))),
              "03 00 00 1D 02 F0 80 53 35 10 01 03 06 08 00 00 FF 07 00 00 03 00 00 00 29 00 2A "
              "00 00");
    // The same counters over S7 show their bytes exchanged.
    EXPECT_EQ(toHex(exchange(*client, hex("03 00 00 1F 02 F0 80 32 01 00 00 00 06 00 0E 00 00 04 "
                                          "01 12 0A 10 02 00 04 00 0F 84 00 00 00"))),
              "03 00 00 1D 02 F0 80 32 03 00 00 00 06 00 02 00 08 00 00 04 01 FF 04 00 20 29 00 "
              "2A 00");
    // DB1 keeps its counters most significant byte first: bytes 0-1 = 00 01 (one wrap on the
    // first tick), bytes 2-3 = 00 28 (40 ticks since). Over S5 both words arrive exchanged.
    EXPECT_EQ(toHex(exchange(*client, hex("03 00 00 17 02 F0 80 53 35 10 01 03 05 03 08 01 01 00 "
                                          "00 00 02 FF 02"))),
              "03 00 00 1B 02 F0 80 53 35 10 01 03 06 08 00 00 FF 07 00 00 02 00 00 01 00 28 00");
}

TEST_F(S5Test, ZeroWordsFetchAnswers23BytesAndZeroWordsWriteStoresNothing) {
    auto client = connectIso();
    clearLog();
    EXPECT_EQ(toHex(exchange(*client, hex("03 00 00 17 02 F0 80 53 35 10 01 03 05 03 08 01 07 00 "
                                          "05 00 00 FF 02"))),
              "03 00 00 17 02 F0 80 53 35 10 01 03 06 08 00 00 FF 07 05 00 00 00 00");
    // n = 0 with a word behind the header anyway: acknowledged, and the word is not stored.
    EXPECT_EQ(toHex(exchange(*client, hex("03 00 00 19 02 F0 80 53 35 10 01 03 03 03 08 01 07 00 "
                                          "05 00 00 FF 02 12 34"))),
              "03 00 00 17 02 F0 80 53 35 10 01 03 04 08 00 00 FF 07 00 00 00 00 00");
    const auto block = dataBlock(7);
    ASSERT_EQ(block.size(), 2048u);
    EXPECT_TRUE(std::all_of(block.begin(), block.end(), [](std::uint8_t b) { return b == 0; }));
    EXPECT_EQ(lines(), (std::vector<std::string>{"hh:mm:ss-[0] Sending S5 data DB:7:5 l=0",
                                                 "hh:mm:ss-[0] Sending S5 write ack DB:7:5 l=0"}));
    EXPECT_EQ(attributeOf("hh:mm:ss-[0] Sending S5 write ack DB:7:5 l=0"), 23);
}

TEST_F(S5Test, AreaByteAndSecondLetterAreNotExaminedTheDbNumberDecides) {
    auto client = connectIso();
    // Area byte 0x02 (not the data block type) and "S?" instead of "S5": still a write into DB9.
    EXPECT_EQ(toHex(exchange(*client, hex("03 00 00 19 02 F0 80 53 3F 10 01 03 03 03 08 02 09 00 "
                                          "00 00 01 FF 02 BE EF"))),
              "03 00 00 17 02 F0 80 53 35 10 01 03 04 08 00 00 FF 07 00 00 00 00 00");
    // Area byte 0x81 and "S7": a fetch from DB9 that sees the word. The reply always says "S5".
    EXPECT_EQ(toHex(exchange(*client, hex("03 00 00 17 02 F0 80 53 37 10 01 03 05 03 08 81 09 00 "
                                          "00 00 01 FF 02"))),
              "03 00 00 19 02 F0 80 53 35 10 01 03 06 08 00 00 FF 07 00 00 01 00 00 BE EF");
    EXPECT_TRUE(dataBlock(2).empty());
    EXPECT_TRUE(dataBlock(0x81).empty());
}

TEST_F(S5Test, UnknownOpCodeGetsNoAnswerAndTouchesNothing) {
    auto client = connectIso();
    clearLog();
    // Op code 4 is neither fetch (5) nor write (3).
    EXPECT_EQ(toHex(exchange(*client, hex("03 00 00 19 02 F0 80 53 35 10 01 03 04 03 08 01 09 00 "
                                          "00 00 01 FF 02 BE EF"))),
              "");
    EXPECT_TRUE(dataBlock(9).empty());
    EXPECT_TRUE(lines().empty());
}

TEST_F(S5Test, FetchEchoesStartLowByteAndLengthWriteAckEchoesLengthHighByteOnly) {
    auto client = connectIso();
    // Fetch of 2 words at word 0x0123: bytes 18-20 are 23 00 02 (the start's high byte is not
    // echoed).
    EXPECT_EQ(toHex(exchange(*client, hex("03 00 00 17 02 F0 80 53 35 10 01 03 05 03 08 01 05 01 "
                                          "23 00 02 FF 02"))),
              "03 00 00 1B 02 F0 80 53 35 10 01 03 06 08 00 00 FF 07 23 00 02 00 00 00 00 00 00");
    // Write of 0x0102 words at word 0: byte 18 is 01, bytes 19-20 stay zero.
    Bytes write = hex("03 00 02 1B 02 F0 80 53 35 10 01 03 03 03 08 01 05 00 00 01 02 FF 02");
    for (int word = 0; word < 0x0102; ++word) {
        write.push_back(0xA5);
        write.push_back(static_cast<std::uint8_t>(word));
    }
    ASSERT_EQ(write.size(), 0x021Bu);
    EXPECT_EQ(toHex(exchange(*client, write)),
              "03 00 00 17 02 F0 80 53 35 10 01 03 04 08 00 00 FF 07 01 00 00 00 00");
    // The last of the 258 words (word 257, sent as A5 01) landed least significant byte first.
    const auto block = dataBlock(5);
    ASSERT_EQ(block.size(), 2048u);
    EXPECT_EQ(block[514], 0x01);
    EXPECT_EQ(block[515], 0xA5);
    EXPECT_EQ(block[516], 0x00);
}

TEST_F(S5Test, FetchServesTheLastWordOfTheBlockAndRefusesOnePastIt) {
    auto client = connectIso();
    // Word 1023 = bytes 2046-2047, the last of a 2048-byte block.
    EXPECT_EQ(toHex(exchange(*client, hex("03 00 00 19 02 F0 80 53 35 10 01 03 03 03 08 01 16 03 "
                                          "FF 00 01 FF 02 CA FE"))),
              "03 00 00 17 02 F0 80 53 35 10 01 03 04 08 00 00 FF 07 00 00 00 00 00");
    EXPECT_EQ(toHex(exchange(*client, hex("03 00 00 17 02 F0 80 53 35 10 01 03 05 03 08 01 16 03 "
                                          "FF 00 01 FF 02"))),
              "03 00 00 19 02 F0 80 53 35 10 01 03 06 08 00 00 FF 07 FF 00 01 00 00 CA FE");
    clearLog();
    // Words 1023-1024 run one word past the end: refused with error byte 03, no words.
    EXPECT_EQ(toHex(exchange(*client, hex("03 00 00 17 02 F0 80 53 35 10 01 03 05 03 08 01 16 03 "
                                          "FF 00 02 FF 02"))),
              "03 00 00 17 02 F0 80 53 35 10 01 03 06 08 00 03 FF 07 FF 00 02 00 00");
    // Word 1024 alone lies wholly behind the end.
    EXPECT_EQ(toHex(exchange(*client, hex("03 00 00 17 02 F0 80 53 35 10 01 03 05 03 08 01 16 04 "
                                          "00 00 01 FF 02"))),
              "03 00 00 17 02 F0 80 53 35 10 01 03 06 08 00 03 FF 07 00 00 01 00 00");
    // A start near 65535 must not wrap around into the block.
    EXPECT_EQ(toHex(exchange(*client, hex("03 00 00 17 02 F0 80 53 35 10 01 03 05 03 08 01 16 FF "
                                          "FF 00 02 FF 02"))),
              "03 00 00 17 02 F0 80 53 35 10 01 03 06 08 00 03 FF 07 FF 00 02 00 00");
    EXPECT_EQ(
        lines(),
        (std::vector<std::string>{
            "hh:mm:ss-[0] Sending S5 data DB:22:1023 l=2 refused: beyond the end of the block",
            "hh:mm:ss-[0] Sending S5 data DB:22:1024 l=1 refused: beyond the end of the block",
            "hh:mm:ss-[0] Sending S5 data DB:22:65535 l=2 refused: beyond the end of the block"}));
    EXPECT_EQ(attributeOf("hh:mm:ss-[0] Sending S5 data DB:22:1023 l=2 refused: beyond the end "
                          "of the block"),
              70);
    EXPECT_EQ(dataBlock(22).size(), 2048u);
}

TEST_F(S5Test, WriteServesTheLastWordOfTheBlockAndRefusesOnePastItStoringNothing) {
    auto client = connectIso();
    EXPECT_EQ(toHex(exchange(*client, hex("03 00 00 19 02 F0 80 53 35 10 01 03 03 03 08 01 17 03 "
                                          "FF 00 01 FF 02 CA FE"))),
              "03 00 00 17 02 F0 80 53 35 10 01 03 04 08 00 00 FF 07 00 00 00 00 00");
    clearLog();
    // Words 1023-1024: the first would fit, the second not; the whole write is refused and
    // word 1023 keeps CA FE.
    EXPECT_EQ(toHex(exchange(*client, hex("03 00 00 1B 02 F0 80 53 35 10 01 03 03 03 08 01 17 03 "
                                          "FF 00 02 FF 02 11 11 22 22"))),
              "03 00 00 17 02 F0 80 53 35 10 01 03 04 08 00 03 FF 07 00 00 00 00 00");
    EXPECT_EQ(toHex(exchange(*client, hex("03 00 00 19 02 F0 80 53 35 10 01 03 03 03 08 01 17 04 "
                                          "00 00 01 FF 02 33 33"))),
              "03 00 00 17 02 F0 80 53 35 10 01 03 04 08 00 03 FF 07 00 00 00 00 00");
    const auto block = dataBlock(23);
    ASSERT_EQ(block.size(), 2048u);
    EXPECT_EQ(block[2046], 0xFE);
    EXPECT_EQ(block[2047], 0xCA);
    EXPECT_EQ(std::count(block.begin(), block.end(), 0), 2046);
    EXPECT_EQ(
        lines(),
        (std::vector<std::string>{
            "hh:mm:ss-[0] Sending S5 write ack DB:23:1023 l=2 refused: beyond the end of the block",
            "hh:mm:ss-[0] Sending S5 write ack DB:23:1024 l=1 refused: beyond the end of the "
            "block"}));
    EXPECT_EQ(attributeOf("hh:mm:ss-[0] Sending S5 write ack DB:23:1024 l=1 refused: beyond the "
                          "end of the block"),
              70);
}

TEST_F(S5Test, FetchOf244WordsFillsTheReplyAnd245AreRefused) {
    auto client = connectIso();
    // Mark the first and the last of the 244 words, so the reply shows where each lands.
    exchange(*client, hex("03 00 00 19 02 F0 80 53 35 10 01 03 03 03 08 01 28 00 00 00 01 FF 02 "
                          "01 02"));
    exchange(*client, hex("03 00 00 19 02 F0 80 53 35 10 01 03 03 03 08 01 28 00 F3 00 01 FF 02 "
                          "BE EF"));
    clearLog();
    Bytes expected = hex("03 00 01 FF 02 F0 80 53 35 10 01 03 06 08 00 00 FF 07 00 00 F4 00 00 "
                         "01 02");
    expected.resize(expected.size() + 2 * 242, 0x00);
    expected.push_back(0xBE);
    expected.push_back(0xEF);
    ASSERT_EQ(expected.size(), 511u);
    EXPECT_EQ(toHex(exchange(*client, hex("03 00 00 17 02 F0 80 53 35 10 01 03 05 03 08 01 28 00 "
                                          "00 00 F4 FF 02"))),
              toHex(expected));
    EXPECT_EQ(toHex(exchange(*client, hex("03 00 00 17 02 F0 80 53 35 10 01 03 05 03 08 01 28 00 "
                                          "00 00 F5 FF 02"))),
              "03 00 00 17 02 F0 80 53 35 10 01 03 06 08 00 03 FF 07 00 00 F5 00 00");
    EXPECT_EQ(lines(), (std::vector<std::string>{
                           "hh:mm:ss-[0] Sending S5 data DB:40:0 l=244",
                           "hh:mm:ss-[0] Sending S5 data DB:40:0 l=245 refused: more than 244 "
                           "words"}));
    EXPECT_EQ(
        attributeOf("hh:mm:ss-[0] Sending S5 data DB:40:0 l=245 refused: more than 244 words"), 70);
}

TEST_F(S5Test, WriteOneWordOrOneByteShortOfItsLengthIsRefusedAndStoresNothing) {
    auto client = connectIso();
    clearLog();
    // n = 2 with one word in the frame.
    EXPECT_EQ(toHex(exchange(*client, hex("03 00 00 19 02 F0 80 53 35 10 01 03 03 03 08 01 07 00 "
                                          "05 00 02 FF 02 12 34"))),
              "03 00 00 17 02 F0 80 53 35 10 01 03 04 08 00 03 FF 07 00 00 00 00 00");
    // n = 2 with three bytes in the frame.
    EXPECT_EQ(toHex(exchange(*client, hex("03 00 00 1A 02 F0 80 53 35 10 01 03 03 03 08 01 07 00 "
                                          "05 00 02 FF 02 12 34 56"))),
              "03 00 00 17 02 F0 80 53 35 10 01 03 04 08 00 03 FF 07 00 00 00 00 00");
    const auto block = dataBlock(7);
    ASSERT_EQ(block.size(), 2048u);
    EXPECT_TRUE(std::all_of(block.begin(), block.end(), [](std::uint8_t b) { return b == 0; }));
    EXPECT_EQ(lines(), (std::vector<std::string>{
                           "hh:mm:ss-[0] Sending S5 write ack DB:7:5 l=2 refused: fewer words than "
                           "announced",
                           "hh:mm:ss-[0] Sending S5 write ack DB:7:5 l=2 refused: fewer words than "
                           "announced"}));
    EXPECT_EQ(attributeOf("hh:mm:ss-[0] Sending S5 write ack DB:7:5 l=2 refused: fewer words "
                          "than announced"),
              70);
    // With exactly n words the same write is stored.
    EXPECT_EQ(toHex(exchange(*client, hex("03 00 00 1B 02 F0 80 53 35 10 01 03 03 03 08 01 07 00 "
                                          "05 00 02 FF 02 12 34 56 78"))),
              "03 00 00 17 02 F0 80 53 35 10 01 03 04 08 00 00 FF 07 00 00 00 00 00");
    EXPECT_EQ(toHex(Bytes(block.begin() + 10, block.begin() + 14)), "34 12 78 56");
}

TEST_F(S5Test, ShortWriteDoesNotTakeItsMissingWordFromTheNextFrame) {
    auto client = connectIso();
    // A write of 2 words that carries one, and right behind it in the same segment a fetch of
    // words 5-6: the fetch's first bytes (03 00) must not become word 6.
    Bytes both = hex("03 00 00 19 02 F0 80 53 35 10 01 03 03 03 08 01 07 00 05 00 02 FF 02 12 34");
    const Bytes fetch = hex("03 00 00 17 02 F0 80 53 35 10 01 03 05 03 08 01 07 00 05 00 02 FF 02");
    both.insert(both.end(), fetch.begin(), fetch.end());
    EXPECT_EQ(toHex(exchange(*client, both)),
              "03 00 00 17 02 F0 80 53 35 10 01 03 04 08 00 03 FF 07 00 00 00 00 00 "
              "03 00 00 1B 02 F0 80 53 35 10 01 03 06 08 00 00 FF 07 05 00 02 00 00 00 00 00 00");
}

TEST_F(S5Test, WriteOf500WordsFillsTheLargestFrameAndIsStored) {
    auto client = connectIso();
    // 7 + 16 + 2 * 500 = 1023 bytes, the most one receive holds. Word i carries the value i.
    Bytes write = hex("03 00 03 FF 02 F0 80 53 35 10 01 03 03 03 08 01 2A 00 00 01 F4 FF 02");
    for (int word = 0; word < 500; ++word) {
        write.push_back(static_cast<std::uint8_t>(word >> 8));
        write.push_back(static_cast<std::uint8_t>(word & 0xFF));
    }
    ASSERT_EQ(write.size(), 1023u);
    EXPECT_EQ(toHex(exchange(*client, write)),
              "03 00 00 17 02 F0 80 53 35 10 01 03 04 08 00 00 FF 07 01 00 00 00 00");
    EXPECT_EQ(toHex(exchange(*client, hex("03 00 00 17 02 F0 80 53 35 10 01 03 05 03 08 01 2A 01 "
                                          "F2 00 03 FF 02"))),
              "03 00 00 1D 02 F0 80 53 35 10 01 03 06 08 00 00 FF 07 F2 00 03 00 00 01 F2 01 F3 "
              "00 00");
    EXPECT_TRUE(logged("hh:mm:ss-[0] Sending S5 write ack DB:42:0 l=500"));
}

TEST_F(S5Test, BlockGrownByS7Beyond2048BytesServesS5WordsUpToItsNewEnd) {
    auto client = connectS7();
    // S7 Write Var of AA BB CC DD at DB30 byte 3000: DB30 becomes 3000 + 4 + 64 = 3068 bytes.
    EXPECT_EQ(toHex(exchange(*client, hex("03 00 00 27 02 F0 80 32 01 00 00 00 05 00 0E 00 08 05 "
                                          "01 12 0A 10 02 00 04 00 1E 84 00 5D C0 00 04 00 20 AA "
                                          "BB CC DD"))),
              "03 00 00 16 02 F0 80 32 03 00 00 00 05 00 02 00 01 00 00 05 01 FF");
    ASSERT_EQ(dataBlock(30).size(), 3068u);
    // Words 1500-1501 are bytes 3000-3003.
    EXPECT_EQ(toHex(exchange(*client, hex("03 00 00 17 02 F0 80 53 35 10 01 03 05 03 08 01 1E 05 "
                                          "DC 00 02 FF 02"))),
              "03 00 00 1B 02 F0 80 53 35 10 01 03 06 08 00 00 FF 07 DC 00 02 00 00 BB AA DD CC");
    // Word 1533 is the last one (bytes 3066-3067); writing it works, one more is refused.
    EXPECT_EQ(toHex(exchange(*client, hex("03 00 00 19 02 F0 80 53 35 10 01 03 03 03 08 01 1E 05 "
                                          "FD 00 01 FF 02 77 88"))),
              "03 00 00 17 02 F0 80 53 35 10 01 03 04 08 00 00 FF 07 00 00 00 00 00");
    EXPECT_EQ(toHex(exchange(*client, hex("03 00 00 17 02 F0 80 53 35 10 01 03 05 03 08 01 1E 05 "
                                          "FD 00 01 FF 02"))),
              "03 00 00 19 02 F0 80 53 35 10 01 03 06 08 00 00 FF 07 FD 00 01 00 00 77 88");
    EXPECT_EQ(toHex(exchange(*client, hex("03 00 00 17 02 F0 80 53 35 10 01 03 05 03 08 01 1E 05 "
                                          "FD 00 02 FF 02"))),
              "03 00 00 17 02 F0 80 53 35 10 01 03 06 08 00 03 FF 07 FD 00 02 00 00");
    EXPECT_EQ(dataBlock(30).size(), 3068u);
}

TEST_F(S5Test, BlockCreatedByS7At256BytesIsNotGrownByS5) {
    auto client = connectS7();
    // S7 Read Var of DB31 bytes 0-1 creates the block at 256 bytes.
    EXPECT_EQ(toHex(exchange(*client, hex("03 00 00 1F 02 F0 80 32 01 00 00 00 06 00 0E 00 00 04 "
                                          "01 12 0A 10 02 00 02 00 1F 84 00 00 00"))),
              "03 00 00 1B 02 F0 80 32 03 00 00 00 06 00 02 00 06 00 00 04 01 FF 04 00 10 00 00");
    ASSERT_EQ(dataBlock(31).size(), 256u);
    EXPECT_EQ(toHex(exchange(*client, hex("03 00 00 19 02 F0 80 53 35 10 01 03 03 03 08 01 1F 00 "
                                          "7F 00 01 FF 02 12 34"))),
              "03 00 00 17 02 F0 80 53 35 10 01 03 04 08 00 00 FF 07 00 00 00 00 00");
    EXPECT_EQ(toHex(exchange(*client, hex("03 00 00 19 02 F0 80 53 35 10 01 03 03 03 08 01 1F 00 "
                                          "80 00 01 FF 02 12 34"))),
              "03 00 00 17 02 F0 80 53 35 10 01 03 04 08 00 03 FF 07 00 00 00 00 00");
    EXPECT_EQ(toHex(exchange(*client, hex("03 00 00 17 02 F0 80 53 35 10 01 03 05 03 08 01 1F 00 "
                                          "80 00 01 FF 02"))),
              "03 00 00 17 02 F0 80 53 35 10 01 03 06 08 00 03 FF 07 80 00 01 00 00");
    const auto block = dataBlock(31);
    ASSERT_EQ(block.size(), 256u);
    EXPECT_EQ(block[254], 0x34);
    EXPECT_EQ(block[255], 0x12);
}

TEST_F(S5Test, Db255IsTheHighestS5BlockNumber) {
    auto client = connectIso();
    EXPECT_EQ(toHex(exchange(*client, hex("03 00 00 19 02 F0 80 53 35 10 01 03 03 03 08 01 FF 00 "
                                          "00 00 01 FF 02 AB CD"))),
              "03 00 00 17 02 F0 80 53 35 10 01 03 04 08 00 00 FF 07 00 00 00 00 00");
    EXPECT_EQ(dataBlock(255).size(), 2048u);
    EXPECT_TRUE(logged("hh:mm:ss-[0] Sending S5 write ack DB:255:0 l=1"));
}

TEST_F(S5Test, RequestCutShortBeforeItsLengthFieldIsRefused) {
    auto client = connectIso();
    clearLog();
    // Only the payload's first six bytes: no DB number, start or length to act on.
    EXPECT_EQ(toHex(exchange(*client, hex("03 00 00 0D 02 F0 80 53 35 10 01 03 05"))),
              "03 00 00 17 02 F0 80 53 35 10 01 03 06 08 00 03 FF 07 00 00 00 00 00");
    EXPECT_EQ(toHex(exchange(*client, hex("03 00 00 0D 02 F0 80 53 35 10 01 03 03"))),
              "03 00 00 17 02 F0 80 53 35 10 01 03 04 08 00 03 FF 07 00 00 00 00 00");
    EXPECT_TRUE(dataBlock(0).empty());
    EXPECT_EQ(lines(),
              (std::vector<std::string>{
                  "hh:mm:ss-[0] Sending S5 data DB:0:0 l=0 refused: request too short",
                  "hh:mm:ss-[0] Sending S5 write ack DB:0:0 l=0 refused: request too short"}));
    EXPECT_EQ(attributeOf("hh:mm:ss-[0] Sending S5 data DB:0:0 l=0 refused: request too short"),
              70);
}

TEST_F(S5Test, RequestCutShortBehindItsLengthFieldIsRefusedWithTheUsualEcho) {
    auto client = connectIso();
    clearLog();
    // The payload ends after the length field: bytes 14-15 are missing.
    EXPECT_EQ(toHex(exchange(*client, hex("03 00 00 15 02 F0 80 53 35 10 01 03 05 03 08 01 07 00 "
                                          "05 00 01"))),
              "03 00 00 17 02 F0 80 53 35 10 01 03 06 08 00 03 FF 07 05 00 01 00 00");
    EXPECT_EQ(toHex(exchange(*client, hex("03 00 00 15 02 F0 80 53 35 10 01 03 03 03 08 01 07 00 "
                                          "05 01 02"))),
              "03 00 00 17 02 F0 80 53 35 10 01 03 04 08 00 03 FF 07 01 00 00 00 00");
    EXPECT_TRUE(dataBlock(7).empty());
    EXPECT_EQ(lines(),
              (std::vector<std::string>{
                  "hh:mm:ss-[0] Sending S5 data DB:7:5 l=1 refused: request too short",
                  "hh:mm:ss-[0] Sending S5 write ack DB:7:5 l=258 refused: request too short"}));
}

TEST_F(S5Test, SecondClientIsServedInSlot1Colours) {
    auto first = connectIso();
    auto second = connectIso();
    clearLog();
    EXPECT_EQ(toHex(exchange(*second, hex("03 00 00 19 02 F0 80 53 35 10 01 03 03 03 08 01 07 00 "
                                          "05 00 01 FF 02 12 34"))),
              "03 00 00 17 02 F0 80 53 35 10 01 03 04 08 00 00 FF 07 00 00 00 00 00");
    EXPECT_EQ(toHex(exchange(*second, hex("03 00 00 17 02 F0 80 53 35 10 01 03 05 03 08 01 07 00 "
                                          "05 00 01 FF 02"))),
              "03 00 00 19 02 F0 80 53 35 10 01 03 06 08 00 00 FF 07 05 00 01 00 00 12 34");
    EXPECT_EQ(toHex(exchange(*second, hex("03 00 00 17 02 F0 80 53 35 10 01 03 05 03 08 01 07 04 "
                                          "00 00 01 FF 02"))),
              "03 00 00 17 02 F0 80 53 35 10 01 03 06 08 00 03 FF 07 00 00 01 00 00");
    // The first client sees the second one's word.
    EXPECT_EQ(toHex(exchange(*first, hex("03 00 00 17 02 F0 80 53 35 10 01 03 05 03 08 01 07 00 "
                                         "05 00 01 FF 02"))),
              "03 00 00 19 02 F0 80 53 35 10 01 03 06 08 00 00 FF 07 05 00 01 00 00 12 34");
    EXPECT_EQ(attributeOf("hh:mm:ss-[1] Sending S5 write ack DB:7:5 l=1"), 30);
    EXPECT_EQ(attributeOf("hh:mm:ss-[1] Sending S5 data DB:7:5 l=1"), 30);
    EXPECT_EQ(attributeOf("hh:mm:ss-[1] Sending S5 data DB:7:1024 l=1 refused: beyond the end of "
                          "the block"),
              70);
    EXPECT_EQ(attributeOf("hh:mm:ss-[0] Sending S5 data DB:7:5 l=1"), 23);
}

} // namespace
