// The demo data on its own: seeding, the counters of DB15 (least significant byte first) and
// DB1 (most significant byte first), their cycles, and the derived flag bits.
#include "memory/data_block_table.h"
#include "sim/demo_data.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <span>

namespace {

class DemoDataTest : public ::testing::Test {
protected:
    DataBlockTable table;

    void ticks(int count) {
        for (int i = 0; i < count; ++i) {
            simulateTick(table);
        }
    }
};

// DB15 word k: bytes 2k (low) and 2k + 1 (high).
std::uint16_t db15Word(DataBlockTable &table, std::size_t k) {
    const auto block = findDataBlock(table, 15);
    return static_cast<std::uint16_t>(block[2 * k] | (block[2 * k + 1] << 8));
}

void setDb15Word(DataBlockTable &table, std::size_t k, std::uint16_t value) {
    const auto block = findDataBlock(table, 15);
    block[2 * k] = static_cast<std::uint8_t>(value & 0xFF);
    block[2 * k + 1] = static_cast<std::uint8_t>(value >> 8);
}

// DB1 bytes at and at + 1, most significant first.
std::uint16_t db1Pair(DataBlockTable &table, std::size_t at) {
    const auto block = findDataBlock(table, 1);
    return static_cast<std::uint16_t>((block[at] << 8) | block[at + 1]);
}

void setDb1Pair(DataBlockTable &table, std::size_t at, std::uint16_t value) {
    const auto block = findDataBlock(table, 1);
    block[at] = static_cast<std::uint8_t>(value >> 8);
    block[at + 1] = static_cast<std::uint8_t>(value & 0xFF);
}

TEST_F(DemoDataTest, FirstTickCreatesAndSeedsBothBlocksAt2048Bytes) {
    simulateTick(table);
    for (const std::size_t db : {1u, 15u}) {
        const auto block = findDataBlock(table, db);
        ASSERT_EQ(block.size(), 2048u) << "DB" << db;
        // "Hello there" as an S7 string: maximum 32, current 11, then the text and a zero.
        const std::uint8_t greeting[] = {0x20, 0x0B, 'H', 'e', 'l', 'l', 'o',
                                         ' ',  't',  'h', 'e', 'r', 'e', 0x00};
        for (std::size_t i = 0; i < sizeof greeting; ++i) {
            EXPECT_EQ(block[128 + i], greeting[i]) << "DB" << db << " byte " << 128 + i;
        }
        for (std::size_t at = 64; at < 2048; ++at) {
            if (at < 128 || at > 141) {
                ASSERT_EQ(block[at], 0) << "DB" << db << " byte " << at;
            }
        }
    }
    EXPECT_TRUE(findDataBlock(table, 0).empty());
    EXPECT_TRUE(findDataBlock(table, 2).empty());
}

TEST_F(DemoDataTest, FirstTickOnEmptyDb15CountsAndDerivesFlags) {
    simulateTick(table);
    EXPECT_EQ(db15Word(table, 0), 1);
    EXPECT_EQ(db15Word(table, 1), 2);
    EXPECT_EQ(db15Word(table, 2), 0);
    EXPECT_EQ(db15Word(table, 3), 3) << "words 0-3 carry no flags";
    EXPECT_EQ(db15Word(table, 4), 0x0004);
    EXPECT_EQ(db15Word(table, 5), 0x4005);
    EXPECT_EQ(db15Word(table, 6), 0x8006);
    EXPECT_EQ(db15Word(table, 7), 0xC007);
    EXPECT_EQ(db15Word(table, 8), 0x0008);
    EXPECT_EQ(db15Word(table, 31), 0xC01F) << "the last flagged word";
    EXPECT_EQ(db15Word(table, 32), 0x0000) << "behind the seeded words";
}

TEST_F(DemoDataTest, FirstTickOnEmptyDb1WrapsItsCounterAtOnce) {
    simulateTick(table);
    const auto block = findDataBlock(table, 1);
    // Seeded 00 00 01 00 02 00 ...: bytes 2-3 read 256, above 100.
    EXPECT_EQ(block[0], 0x00);
    EXPECT_EQ(block[1], 0x01);
    EXPECT_EQ(block[2], 0x00);
    EXPECT_EQ(block[3], 0x00);
    EXPECT_EQ(block[4], 0x0A);
    EXPECT_EQ(block[5], 0x00);
    EXPECT_EQ(block[6], 0x03);
    EXPECT_EQ(block[7], 0x40);
    EXPECT_EQ(block[14], 0x07);
    EXPECT_EQ(block[15], 0xC0);
    EXPECT_EQ(block[30], 0x0F);
    EXPECT_EQ(block[31], 0xC0) << "the last flagged pair";
    EXPECT_EQ(block[32], 0x10);
    EXPECT_EQ(block[33], 0x00) << "behind the flagged pairs";
    EXPECT_EQ(block[62], 0x1F);
    EXPECT_EQ(block[63], 0x00);
}

TEST_F(DemoDataTest, Db15Word1RunsACycleOf3142TicksAndWord2StaysZero) {
    simulateTick(table); // word 1 = 2
    for (int i = 1; i <= 3142; ++i) {
        simulateTick(table);
        ASSERT_EQ(db15Word(table, 2), 0) << "tick " << i;
        ASSERT_LE(db15Word(table, 1), 3141) << "tick " << i;
        if (i == 3139) {
            EXPECT_EQ(db15Word(table, 1), 3141);
        }
        if (i == 3140) {
            EXPECT_EQ(db15Word(table, 1), 0);
        }
    }
    EXPECT_EQ(db15Word(table, 1), 2);
    EXPECT_EQ(db15Word(table, 0), 3143) << "word 0 counts every tick";
}

TEST_F(DemoDataTest, Db1BytesTwoAndThreeRunACycleOf101TicksCountingBytesZeroAndOne) {
    simulateTick(table); // bytes 0-1 = 1, bytes 2-3 = 0, byte 4 = 0x0A
    ticks(100);
    EXPECT_EQ(db1Pair(table, 2), 100);
    EXPECT_EQ(db1Pair(table, 0), 1);
    EXPECT_EQ(findDataBlock(table, 1)[4], 0x0A);
    simulateTick(table);
    EXPECT_EQ(db1Pair(table, 2), 0);
    EXPECT_EQ(db1Pair(table, 0), 2);
    EXPECT_EQ(findDataBlock(table, 1)[4], 0x02);
}

TEST_F(DemoDataTest, Db15Word1WrittenAsLargeValuesRestartsAtZero) {
    simulateTick(table);
    setDb15Word(table, 1, 60000);
    simulateTick(table);
    EXPECT_EQ(db15Word(table, 1), 0);
    setDb15Word(table, 1, 3141);
    simulateTick(table);
    EXPECT_EQ(db15Word(table, 1), 0);
    setDb15Word(table, 1, 3140);
    simulateTick(table);
    EXPECT_EQ(db15Word(table, 1), 3141);
    setDb15Word(table, 1, 65535);
    simulateTick(table);
    EXPECT_EQ(db15Word(table, 1), 0);
    simulateTick(table);
    EXPECT_EQ(db15Word(table, 1), 1);
}

TEST_F(DemoDataTest, Db15Word0WrapsFrom65535AndWord2IsOverwritten) {
    simulateTick(table);
    setDb15Word(table, 0, 65535);
    setDb15Word(table, 2, 0x1234);
    simulateTick(table);
    EXPECT_EQ(db15Word(table, 0), 0);
    EXPECT_EQ(db15Word(table, 2), 0);
}

TEST_F(DemoDataTest, Db1CounterWrittenAs200WrapsAndCountsOn) {
    simulateTick(table);
    setDb1Pair(table, 2, 200);
    simulateTick(table);
    EXPECT_EQ(db1Pair(table, 2), 0);
    EXPECT_EQ(db1Pair(table, 0), 2);
    EXPECT_EQ(findDataBlock(table, 1)[4], 0x02);
}

TEST_F(DemoDataTest, Db1CounterWrittenAsFFFFWrapsToZeroWithoutCountingOn) {
    simulateTick(table);
    setDb1Pair(table, 2, 0xFFFF);
    simulateTick(table);
    EXPECT_EQ(db1Pair(table, 2), 0);
    EXPECT_EQ(db1Pair(table, 0), 1);
    EXPECT_EQ(findDataBlock(table, 1)[4], 0x0A);
}

TEST_F(DemoDataTest, Db1BytesZeroAndOneWrapFrom65535) {
    simulateTick(table);
    setDb1Pair(table, 0, 0xFFFF);
    setDb1Pair(table, 2, 100);
    simulateTick(table);
    EXPECT_EQ(db1Pair(table, 0), 0);
    EXPECT_EQ(db1Pair(table, 2), 0);
    EXPECT_EQ(findDataBlock(table, 1)[4], 0x02);
}

TEST_F(DemoDataTest, FlagBitsAreDerivedEachTickNotLatched) {
    simulateTick(table);
    setDb15Word(table, 4, 0xC004);  // flags set by a client over bit 2 alone
    setDb15Word(table, 9, 0x3F06);  // bits 1 and 2: bit 15 only; bits 8-13 kept
    setDb15Word(table, 31, 0x001E); // bit 0 cleared: bit 14 goes, bit 15 stays
    const auto db1 = findDataBlock(table, 1);
    db1[6] = 0x00;
    db1[7] = 0xFF; // bits 6 and 7 go, the others stay
    db1[30] = 0x01;
    db1[31] = 0x80; // bit 0 alone: bit 6 only
    simulateTick(table);
    EXPECT_EQ(db15Word(table, 4), 0x0004);
    EXPECT_EQ(db15Word(table, 9), 0xBF06);
    EXPECT_EQ(db15Word(table, 31), 0x801E);
    EXPECT_EQ(db1[6], 0x00);
    EXPECT_EQ(db1[7], 0x3F);
    EXPECT_EQ(db1[30], 0x01);
    EXPECT_EQ(db1[31], 0x40);
}

TEST_F(DemoDataTest, BlocksCreatedByAClientBeforeTheFirstTickAreNotSeeded) {
    acquireDataBlock(table, 4, 1, 0); // an S7 read creates DB1 at 256 bytes
    ensureDataBlock(table, 15);       // an S5 fetch creates DB15 at 2048 bytes
    simulateTick(table);
    ASSERT_EQ(findDataBlock(table, 1).size(), 256u);
    ASSERT_EQ(findDataBlock(table, 15).size(), 2048u);
    EXPECT_EQ(db1Pair(table, 0), 0);
    EXPECT_EQ(db1Pair(table, 2), 1);
    EXPECT_EQ(findDataBlock(table, 1)[4], 0x00);
    EXPECT_EQ(findDataBlock(table, 1)[128], 0x00) << "no greeting";
    EXPECT_EQ(db15Word(table, 0), 1);
    EXPECT_EQ(db15Word(table, 1), 1);
    EXPECT_EQ(db15Word(table, 5), 0x0000) << "no seeded index to derive flags from";
    EXPECT_EQ(findDataBlock(table, 15)[130], 0x00) << "no greeting";
    ticks(99);
    EXPECT_EQ(db1Pair(table, 2), 100);
    EXPECT_EQ(findDataBlock(table, 1)[4], 0x00);
    simulateTick(table); // the 101st
    EXPECT_EQ(db1Pair(table, 2), 0);
    EXPECT_EQ(db1Pair(table, 0), 1);
    EXPECT_EQ(findDataBlock(table, 1)[4], 0x08);
}

TEST_F(DemoDataTest, TicksNeverTouchBytesFrom64On) {
    simulateTick(table);
    const auto db15 = findDataBlock(table, 15);
    db15[64] = 0xAB;
    db15[2047] = 0xCD;
    db15[130] = 'J';
    ticks(250);
    EXPECT_EQ(db15[64], 0xAB);
    EXPECT_EQ(db15[2047], 0xCD);
    EXPECT_EQ(db15[130], 'J');
    EXPECT_EQ(findDataBlock(table, 1)[131], 'e');
}

} // namespace
