// The data block table on its own: creation sizes, growth to need + 64, the 65534-byte limit,
// and zero-filled new bytes.
#include "memory/data_block_table.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <limits>
#include <span>

namespace {

class DataBlockTest : public ::testing::Test {
protected:
    DataBlockTable table;
};

bool allZero(std::span<const std::uint8_t> bytes) {
    return std::all_of(bytes.begin(), bytes.end(), [](std::uint8_t b) { return b == 0; });
}

// Gives every byte a value that depends on its position and is never zero.
void fillPattern(std::span<std::uint8_t> bytes) {
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        bytes[i] = static_cast<std::uint8_t>(i % 251 + 1);
    }
}

bool holdsPattern(std::span<const std::uint8_t> bytes) {
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        if (bytes[i] != static_cast<std::uint8_t>(i % 251 + 1)) {
            return false;
        }
    }
    return true;
}

TEST_F(DataBlockTest, TableStartsEmpty) {
    EXPECT_TRUE(findDataBlock(table, 0).empty());
    EXPECT_TRUE(findDataBlock(table, 2999).empty());
    EXPECT_EQ(table.slots[10].bytes, nullptr);
    EXPECT_EQ(table.slots[10].size, 0);
}

TEST_F(DataBlockTest, FirstAcquireOfFourBytesCreates256ZeroBytes) {
    const auto block = acquireDataBlock(table, 4, 10, 0);
    ASSERT_EQ(block.size(), 256u);
    EXPECT_TRUE(allZero(block));
    EXPECT_EQ(table.slots[10].size, 256);
    EXPECT_EQ(findDataBlock(table, 10).data(), block.data());
    EXPECT_TRUE(findDataBlock(table, 9).empty());
    EXPECT_TRUE(findDataBlock(table, 11).empty());
}

TEST_F(DataBlockTest, AcquireOfZeroBytesAtOffsetZeroCreatesOrReturnsTheBlockUnchanged) {
    auto block = acquireDataBlock(table, 0, 12, 0);
    ASSERT_EQ(block.size(), 256u);
    block[255] = 0x5A;
    block = acquireDataBlock(table, 0, 12, 0);
    ASSERT_EQ(block.size(), 256u);
    EXPECT_EQ(block[255], 0x5A);
}

TEST_F(DataBlockTest, RangeEndingExactlyAtTheSizeDoesNotGrow) {
    auto block = acquireDataBlock(table, 4, 10, 0);
    fillPattern(block);
    block = acquireDataBlock(table, 4, 10, 252); // need 256 == size
    ASSERT_EQ(block.size(), 256u);
    EXPECT_TRUE(holdsPattern(block));
}

TEST_F(DataBlockTest, RangeOneByteBeyondTheSizeGrowsTo321KeepingOldAndZeroingNewBytes) {
    auto block = acquireDataBlock(table, 4, 10, 0);
    fillPattern(block);
    block = acquireDataBlock(table, 4, 10, 253); // need 257: grown to 257 + 64
    ASSERT_EQ(block.size(), 321u);
    EXPECT_EQ(table.slots[10].size, 321);
    EXPECT_TRUE(holdsPattern(block.first(256)));
    EXPECT_TRUE(allZero(block.subspan(256)));
}

TEST_F(DataBlockTest, NewBlockWithRangeBeyond256IsCreatedAndGrownTo374InOneCall) {
    const auto block = acquireDataBlock(table, 10, 11, 300);
    ASSERT_EQ(block.size(), 374u);
    EXPECT_EQ(table.slots[11].size, 374);
    EXPECT_TRUE(allZero(block));
}

TEST_F(DataBlockTest, GrowthZeroesEveryNewByteEvenOverReusedHeap) {
    // Blocks freed in between leave non-zero bytes on the heap that growth may pick up.
    for (std::size_t db = 100; db < 110; ++db) {
        fillPattern(acquireDataBlock(table, 8000, db, 0));
    }
    table = DataBlockTable{};
    auto block = acquireDataBlock(table, 4, 13, 0);
    fillPattern(block);
    block = acquireDataBlock(table, 1, 13, 7999); // need 8000
    ASSERT_EQ(block.size(), 8064u);
    EXPECT_TRUE(holdsPattern(block.first(256)));
    EXPECT_TRUE(allZero(block.subspan(256)));
}

TEST_F(DataBlockTest, RangeEndingAt65470IsServedAtTheLargestSize) {
    auto block = acquireDataBlock(table, 4, 14, 0);
    fillPattern(block);
    block = acquireDataBlock(table, 70, 14, 65400); // need 65470, + 64 = 65534
    ASSERT_EQ(block.size(), 65534u);
    EXPECT_EQ(table.slots[14].size, 65534);
    EXPECT_TRUE(holdsPattern(block.first(256)));
    EXPECT_TRUE(allZero(block.subspan(256)));
    EXPECT_EQ(acquireDataBlock(table, 0, 14, 65534).size(), 0u)
        << "need 65534 + 64 is over the limit";
    EXPECT_EQ(acquireDataBlock(table, 64, 14, 65406).size(), 65534u) << "need 65470 again: served";
}

TEST_F(DataBlockTest, RangeEndingAt65471IsRefusedLeavingANewBlockAt256ZeroBytes) {
    EXPECT_TRUE(acquireDataBlock(table, 71, 15, 65400).empty());
    const auto block = findDataBlock(table, 15);
    ASSERT_EQ(block.size(), 256u);
    EXPECT_EQ(table.slots[15].size, 256);
    EXPECT_TRUE(allZero(block));
}

TEST_F(DataBlockTest, RefusedRangeLeavesAnExistingBlockAsItWas) {
    auto block = acquireDataBlock(table, 10, 16, 300);
    fillPattern(block);
    EXPECT_TRUE(acquireDataBlock(table, 1, 16, 65470).empty());
    block = findDataBlock(table, 16);
    ASSERT_EQ(block.size(), 374u);
    EXPECT_TRUE(holdsPattern(block));
}

TEST_F(DataBlockTest, HugeCountsAndOffsetsAreRefusedWithoutWrappingAround) {
    constexpr std::size_t most = std::numeric_limits<std::size_t>::max();
    EXPECT_TRUE(acquireDataBlock(table, most, 17, 0).empty());
    EXPECT_TRUE(acquireDataBlock(table, 0, 17, most).empty());
    EXPECT_TRUE(acquireDataBlock(table, most, 17, 1).empty()); // offset + count wraps to 0
    EXPECT_TRUE(acquireDataBlock(table, 0xFFFFFFFFu, 17, 0xFFFFFFFFu).empty());
    // The largest S7 request: a 24-bit bit address (2097151 bytes) and 65535 bytes.
    EXPECT_TRUE(acquireDataBlock(table, 0xFFFF, 17, 0x1FFFFF).empty());
    EXPECT_EQ(findDataBlock(table, 17).size(), 256u);
}

TEST_F(DataBlockTest, Db2999IsTheLastSlotAnd3000IsNeverStored) {
    EXPECT_EQ(acquireDataBlock(table, 4, 2999, 0).size(), 256u);
    EXPECT_EQ(ensureDataBlock(table, 2998).size(), 2048u);
    EXPECT_TRUE(acquireDataBlock(table, 4, 3000, 0).empty());
    EXPECT_TRUE(ensureDataBlock(table, 3000).empty());
    EXPECT_TRUE(findDataBlock(table, 3000).empty());
}

TEST_F(DataBlockTest, EnsureCreates2048ZeroBytesAndLaterEnsuresReturnItUnchanged) {
    auto block = ensureDataBlock(table, 20);
    ASSERT_EQ(block.size(), 2048u);
    EXPECT_EQ(table.slots[20].size, 2048);
    EXPECT_TRUE(allZero(block));
    fillPattern(block);
    block = ensureDataBlock(table, 20);
    ASSERT_EQ(block.size(), 2048u);
    EXPECT_TRUE(holdsPattern(block));
}

TEST_F(DataBlockTest, EnsureReturnsAnS7BlockAtWhateverSizeItHas) {
    acquireDataBlock(table, 4, 21, 0);
    EXPECT_EQ(ensureDataBlock(table, 21).size(), 256u);
    acquireDataBlock(table, 4, 22, 3000);
    EXPECT_EQ(ensureDataBlock(table, 22).size(), 3068u);
}

TEST_F(DataBlockTest, AcquireInsideAn2048ByteBlockDoesNotGrowItAndBeyondGrowsToNeedPlus64) {
    auto block = ensureDataBlock(table, 23);
    fillPattern(block);
    block = acquireDataBlock(table, 4, 23, 100);
    ASSERT_EQ(block.size(), 2048u);
    EXPECT_TRUE(holdsPattern(block));
    block = acquireDataBlock(table, 4, 23, 2044); // need 2048 == size
    EXPECT_EQ(block.size(), 2048u);
    block = acquireDataBlock(table, 8, 23, 3000);
    ASSERT_EQ(block.size(), 3072u);
    EXPECT_TRUE(holdsPattern(block.first(2048)));
    EXPECT_TRUE(allZero(block.subspan(2048)));
}

TEST_F(DataBlockTest, AFreshTableEmptiesEverySlot) {
    acquireDataBlock(table, 4, 0, 0);
    ensureDataBlock(table, 1);
    ensureDataBlock(table, 2999);
    table = DataBlockTable{};
    for (const std::size_t db : {0u, 1u, 2999u}) {
        EXPECT_TRUE(findDataBlock(table, db).empty()) << "DB" << db;
        EXPECT_EQ(table.slots[db].bytes, nullptr);
        EXPECT_EQ(table.slots[db].size, 0);
    }
    EXPECT_EQ(ensureDataBlock(table, 1).size(), 2048u) << "a released number starts afresh";
}

} // namespace
