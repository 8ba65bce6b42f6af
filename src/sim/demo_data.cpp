#include "sim/demo_data.h"

#include "base/bytes.h"

#include <cmath>
#include <cstdint>
#include <span>
#include <string_view>

namespace {

constexpr std::size_t seededCounterWords = 32;
constexpr std::size_t greetingOffset = 128;
constexpr std::uint8_t greetingCapacity = 32;
constexpr std::string_view greeting = "Hello there";

constexpr unsigned db15CycleLimit = 3141; // word 1 runs 0..3141
constexpr unsigned db1CycleLimit = 100;   // bytes 2-3 run 0..100
constexpr std::size_t db15FirstFlagWord = 4;
constexpr std::size_t db15LastFlagWord = 31;
static_assert(2 * db15LastFlagWord + 1 < demoAnimatedBytes);
constexpr std::size_t db1FirstFlagByte = 6;
constexpr std::size_t db1LastFlagByte = 30;
static_assert(db1LastFlagByte + 1 < demoAnimatedBytes);
constexpr std::uint8_t db1ToggledBit = 0x08;

// DB15's counters are words held least significant byte first, as S5 keeps them; DB1's most
// significant byte first, as S7 reads them.
std::uint16_t readWordLsbFirst(std::span<const std::uint8_t> block, std::size_t word) {
    return readU16le(block, 2 * word);
}

void writeWordLsbFirst(std::span<std::uint8_t> block, std::size_t word, std::uint16_t value) {
    writeU16le(block, 2 * word, value);
}

void seedDemoBlock(std::span<std::uint8_t> block) {
    for (std::size_t word = 0; word < seededCounterWords; ++word) {
        writeWordLsbFirst(block, word, static_cast<std::uint16_t>(word));
    }
    // An S7 string: maximum length, current length, then the characters.
    block[greetingOffset] = greetingCapacity;
    block[greetingOffset + 1] = static_cast<std::uint8_t>(greeting.size());
    for (std::size_t i = 0; i < greeting.size(); ++i) {
        block[greetingOffset + 2 + i] = static_cast<std::uint8_t>(greeting[i]);
    }
}

// The block for a demo DB number, created and seeded when nothing used that number before.
std::span<std::uint8_t> demoBlock(DataBlockTable &blocks, int dbNumber) {
    const bool isNew = findDataBlock(blocks, static_cast<std::size_t>(dbNumber)).empty();
    const std::span<std::uint8_t> block =
        ensureDataBlock(blocks, static_cast<std::size_t>(dbNumber));
    if (isNew && !block.empty()) {
        seedDemoBlock(block);
    }
    return block;
}

// The odd byte of a pair mirrors the even byte: bit 6 copies bit 0, bit 7 is bits 1 AND 2.
void deriveFlags(std::uint8_t even, std::uint8_t &odd) {
    std::uint8_t flags = static_cast<std::uint8_t>(odd & 0x3F);
    if ((even & 0x01) != 0) {
        flags = static_cast<std::uint8_t>(flags | 0x40);
    }
    if ((even & 0x06) == 0x06) {
        flags = static_cast<std::uint8_t>(flags | 0x80);
    }
    odd = flags;
}

// A sine of whole multiples of 500 radians, truncated: the result is always 0, kept as the
// animation defines it.
std::uint16_t sineWord(std::uint16_t phase) {
    const unsigned multiple = phase / 500u + 1u;
    const auto x = static_cast<float>(multiple * 500.0);
    const auto truncated = static_cast<long>(std::sin(static_cast<double>(x)));
    return static_cast<std::uint16_t>(static_cast<unsigned long>(truncated) & 0xFFFFu);
}

void tickDb15(std::span<std::uint8_t> block) {
    writeWordLsbFirst(block, 1, static_cast<std::uint16_t>(readWordLsbFirst(block, 1) + 1));
    writeWordLsbFirst(block, 0, static_cast<std::uint16_t>(readWordLsbFirst(block, 0) + 1));
    if (readWordLsbFirst(block, 1) > db15CycleLimit) {
        writeWordLsbFirst(block, 1, 0);
    }
    writeWordLsbFirst(block, 2, sineWord(readWordLsbFirst(block, 1)));
    for (std::size_t word = db15FirstFlagWord; word <= db15LastFlagWord; ++word) {
        deriveFlags(block[2 * word], block[2 * word + 1]);
    }
}

void tickDb1(std::span<std::uint8_t> block) {
    const auto counter = static_cast<std::uint16_t>(readU16be(block, 2) + 1);
    writeU16be(block, 2, counter);
    if (counter > db1CycleLimit) {
        writeU16be(block, 2, 0);
        writeU16be(block, 0, static_cast<std::uint16_t>(readU16be(block, 0) + 1));
        block[4] = static_cast<std::uint8_t>(block[4] ^ db1ToggledBit);
    }
    for (std::size_t even = db1FirstFlagByte; even <= db1LastFlagByte; even += 2) {
        deriveFlags(block[even], block[even + 1]);
    }
}

} // namespace

void simulateTick(DataBlockTable &blocks) {
    // Blocks that S7 created hold at least 256 bytes and declared ones at least 64; the updates
    // touch bytes 0-63 only.
    const std::span<std::uint8_t> db15 = demoBlock(blocks, demoBlockS5Order);
    if (!db15.empty()) {
        tickDb15(db15);
        markDataBlockChanged(blocks, demoBlockS5Order);
    }
    const std::span<std::uint8_t> db1 = demoBlock(blocks, demoBlockS7Order);
    if (!db1.empty()) {
        tickDb1(db1);
        markDataBlockChanged(blocks, demoBlockS7Order);
    }
}

void createDemoBlocks(DataBlockTable &blocks) {
    demoBlock(blocks, demoBlockS5Order);
    demoBlock(blocks, demoBlockS7Order);
}
