// What the stream fuzzer relies on in the real-CPU profiles, and what the profile code does for
// every item of every job: item names in the log lines.
#include "harness.h"

#include "s7/item_access.h"

#include <string>
#include <vector>

namespace {

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
