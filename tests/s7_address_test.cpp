// The S7 address notation and the start values stored at an address: one table of addresses,
// valid and invalid, with what each means; one table of values with the bytes they become.
#include "memory/s7_address.h"

#include "frames.h"

#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <type_traits>
#include <variant>
#include <vector>

namespace {

// An address as "area offset[.bit] TYPE width": "DB1 4.3 BOOL 1", "M 12 REAL 4", "T 5 TIMER 2".
std::string meaning(const S7Address &address) {
    // A stream, not string concatenation: GCC 12 at -O3 takes short string assignments here for
    // overlapping copies (-Wrestrict, a known false positive).
    std::ostringstream text;
    switch (address.area) {
    case MemoryArea::inputs:
        text << 'I';
        break;
    case MemoryArea::outputs:
        text << 'Q';
        break;
    case MemoryArea::flags:
        text << 'M';
        break;
    case MemoryArea::dataBlock:
        text << "DB" << address.dbNumber;
        break;
    case MemoryArea::timers:
        text << 'T';
        break;
    case MemoryArea::counters:
        text << 'C';
        break;
    }
    text << ' ' << address.byteOffset;
    if (address.bit >= 0) {
        text << '.' << address.bit;
    }
    text << ' ' << s7TypeName(address) << ' ' << addressByteWidth(address);
    return text.str();
}

struct AddressRow {
    const char *text;
    AddressScope scope;
    const char *expected; // the meaning, or the error message
};

constexpr AddressScope any = AddressScope::anyArea;
constexpr AddressScope inDb = AddressScope::inDataBlock;

TEST(S7Address, EachAddressMeansWhatItSaysOrIsRefusedWithTheReason) {
    // clang-format off
    const AddressRow rows[] = {
        // What a watch list holds.
        {"DB1.DBX4.3",              any,  "DB1 4.3 BOOL 1"},
        {"DB1.DBB2",                any,  "DB1 2 BYTE 1"},
        {"DB1.DBW2",                any,  "DB1 2 WORD 2"},
        {"DB1.DBD4",                any,  "DB1 4 DWORD 4"},
        {"DB1.DBD4:REAL",           any,  "DB1 4 REAL 4"},
        {"DB1.DBW8:INT",            any,  "DB1 8 INT 2"},
        {"DB1.DBB128:STRING",       any,  "DB1 128 STRING[254] 256"},
        {"DB2999.DBB10:STRING[20]", any,  "DB2999 10 STRING[20] 22"},
        {"MB3",                     any,  "M 3 BYTE 1"},
        {"MW10",                    any,  "M 10 WORD 2"},
        {"MD12:REAL",               any,  "M 12 REAL 4"},
        {"I0.0",                    any,  "I 0.0 BOOL 1"},
        {"Q1.7",                    any,  "Q 1.7 BOOL 1"},
        {"M3.2:BOOL",               any,  "M 3.2 BOOL 1"},
        {"IW4:INT",                 any,  "I 4 INT 2"},
        {"QD8:DINT",                any,  "Q 8 DINT 4"},
        {"MB0:CHAR",                any,  "M 0 CHAR 1"},
        {"MB1:SINT",                any,  "M 1 SINT 1"},
        {"MB2:USINT",               any,  "M 2 USINT 1"},
        {"MW4:UINT",                any,  "M 4 UINT 2"},
        {"MD8:UDINT",               any,  "M 8 UDINT 4"},
        {"T5",                      any,  "T 5 TIMER 2"},
        {"C3",                      any,  "C 3 COUNTER 2"},
        {"T65535",                  any,  "T 65535 TIMER 2"},
        // Either case, TIA Portal's %, leading zeros; the last bytes of 64 KiB.
        {"%db1.dbx4.3",             any,  "DB1 4.3 BOOL 1"},
        {"md12:Real",               any,  "M 12 REAL 4"},
        {"MW010",                   any,  "M 10 WORD 2"},
        {"MW65534",                 any,  "M 65534 WORD 2"},
        {"MB65535",                 any,  "M 65535 BYTE 1"},
        // Inside a data block's own settings.
        {"DBW0:INT",                inDb, "DB0 0 INT 2"},
        {"DBX8.1",                  inDb, "DB0 8.1 BOOL 1"},
        {"DBB10:STRING[20]",        inDb, "DB0 10 STRING[20] 22"},
        {"dbd4:real",               inDb, "DB0 4 REAL 4"},

        // Refused, with the reason.
        {"",                        any,  "empty address"},
        {"DB1",                     any,  "'DB1': expected DBX, DBB, DBW or DBD after the block number"},
        {"DB1.MW2",                 any,  "'DB1.MW2': expected DBX, DBB, DBW or DBD after the block number"},
        {"DB0.DBW0",                any,  "'DB0.DBW0': DB numbers run 1-2999"},
        {"DB3000.DBW0",             any,  "'DB3000.DBW0': DB numbers run 1-2999"},
        {"DB1.DBW",                 any,  "'DB1.DBW': the number is missing"},
        {"DB1.DBX4",                any,  "'DB1.DBX4': a bit address ends in .0-.7"},
        {"DB1.DBX4.8",              any,  "'DB1.DBX4.8': bit numbers run 0-7"},
        {"DB1.DBB2.1",              any,  "'DB1.DBB2.1': unexpected '.1'"},
        {"DB1.DBW2:REAL",           any,  "'DB1.DBW2:REAL': REAL takes a double word, not a word"},
        {"DB1.DBX0.0:INT",          any,  "'DB1.DBX0.0:INT': INT takes a word, not a bit"},
        {"MB0:BOOL",                any,  "'MB0:BOOL': BOOL takes a bit, not a byte"},
        {"MW10:FOO",                any,  "'MW10:FOO': unknown type FOO"},
        {"MW10:",                   any,  "'MW10:': a type must follow the colon"},
        {"MB0:STRING[0]",           any,  "'MB0:STRING[0]': STRING length 0 is not 1-254"},
        {"MB0:STRING[255]",         any,  "'MB0:STRING[255]': STRING length 255 is not 1-254"},
        {"MB0:STRING[x]",           any,  "'MB0:STRING[x]': bad STRING length: STRING[X] (expected STRING[n])"},
        {"MW0:INT[2]",              any,  "'MW0:INT[2]': only STRING takes a length: INT[2]"},
        {"DBW0",                    any,  "'DBW0': name the block first, as in DB1.DBW0"},
        {"X5",                      any,  "'X5': unknown area (expected DB, I, Q, M, T or C)"},
        {"I0",                      any,  "'I0': a bit address ends in .0-.7"},
        {"IX0.0",                   any,  "'IX0.0': expected a number at 'X0.0'"},
        {"M-1.0",                   any,  "'M-1.0': expected a number at '-1.0'"},
        {"MW65535",                 any,  "'MW65535': runs past byte 65535"},
        {"MB99999999999",           any,  "'MB99999999999': runs past byte 65535"},
        {"MB0:STRING[254]",         any,  "M 0 STRING[254] 256"},
        {"MB65280:STRING",          any,  "M 65280 STRING[254] 256"},
        {"MB65281:STRING",          any,  "'MB65281:STRING': runs past byte 65535"},
        {"T5:INT",                  any,  "'T5:INT': INT takes a word, not a timer"},
        {"T65536",                  any,  "'T65536': element numbers run 0-65535"},
        {"MW10 ",                   any,  "'MW10 ': unexpected ' '"},
        {"DB1.DBW0",                inDb, "'DB1.DBW0': the block is implied here; leave out the DB number"},
        {"MW0",                     inDb, "'MW0': a data block holds DBX, DBB, DBW and DBD addresses only"},
        {"T5",                      inDb, "'T5': a data block holds DBX, DBB, DBW and DBD addresses only"},
    };
    // clang-format on
    for (const AddressRow &row : rows) {
        SCOPED_TRACE(row.text);
        const AddressParse parsed = parseS7Address(row.text, row.scope);
        EXPECT_EQ(parsed.ok ? meaning(parsed.address) : parsed.error, row.expected);
    }
}

struct ValueRow {
    const char *address; // inside the block
    StartValue value;
    std::uint8_t fill;    // every byte of the 8-byte block before the value is stored
    const char *expected; // the bytes the address covers, or the error message
};

TEST(S7Address, StartValuesAreStoredAsS7KeepsThemOrRefusedWithTheReason) {
    using namespace std::string_view_literals;
    // clang-format off
    const ValueRow rows[] = {
        // Integers, big-endian and two's complement, at the edges of their ranges.
        {"DBW0:INT",        std::int64_t{-5},          0x00, "FF FB"},
        {"DBW0:INT",        std::int64_t{32767},       0x00, "7F FF"},
        {"DBW0:INT",        std::int64_t{-32768},      0x00, "80 00"},
        {"DBW0:INT",        std::int64_t{32768},       0x00, "32768 does not fit INT (-32768 to 32767)"},
        {"DBW0:INT",        std::int64_t{-32769},      0x00, "-32769 does not fit INT (-32768 to 32767)"},
        {"DBW2",            std::int64_t{0xBEEF},      0x00, "BE EF"},
        {"DBW2",            std::int64_t{-1},          0x00, "-1 does not fit WORD (0 to 65535)"},
        {"DBW2:UINT",       std::int64_t{65535},       0x00, "FF FF"},
        {"DBB1",            std::int64_t{255},         0x00, "FF"},
        {"DBB1",            std::int64_t{256},         0x00, "256 does not fit BYTE (0 to 255)"},
        {"DBB1:SINT",       std::int64_t{-128},        0x00, "80"},
        {"DBB1:USINT",      std::int64_t{-1},          0x00, "-1 does not fit USINT (0 to 255)"},
        {"DBD4:DINT",       std::int64_t{-2},          0x00, "FF FF FF FE"},
        {"DBD4:DINT",       std::int64_t{2147483648},  0x00, "2147483648 does not fit DINT (-2147483648 to 2147483647)"},
        {"DBD4:UDINT",      std::int64_t{4294967295},  0x00, "FF FF FF FF"},
        {"DBD4",            std::int64_t{0x12345678},  0x00, "12 34 56 78"},
        // REAL: an IEEE single, from a float or an integer.
        {"DBD4:REAL",       3.25,                      0x00, "40 50 00 00"},
        {"DBD4:REAL",       std::int64_t{1},           0x00, "3F 80 00 00"},
        {"DBD4:REAL",       -0.5,                      0x00, "BF 00 00 00"},
        {"DBD4:REAL",       1e39,                      0x00, "1e+39 does not fit REAL"},
        {"DBD4:REAL",       "3.25"sv,                  0x00, "REAL takes a number, not a string"},
        // A bit changes alone; its neighbours keep what they hold.
        {"DBX3.1",          true,                      0x00, "02"},
        {"DBX3.1",          false,                     0xFF, "FD"},
        {"DBX3.7",          true,                      0x11, "91"},
        {"DBX3.0",          std::int64_t{1},           0x00, "BOOL takes true or false, not an integer"},
        // Text: Latin-1, one byte a character; STRING[n] as n, the length, the characters.
        {"DBB0:CHAR",       "A"sv,                     0x00, "41"},
        {"DBB0:CHAR",       "AB"sv,                    0x00, "CHAR takes one character, not 2"},
        {"DBB0:STRING[4]",  "pump"sv,                  0x00, "04 04 70 75 6D 70"},
        {"DBB0:STRING[4]",  "p1"sv,                    0xAA, "04 02 70 31 AA AA"},
        {"DBB0:STRING[4]",  ""sv,                      0x00, "04 00 00 00 00 00"},
        {"DBB0:STRING[4]",  "pumps"sv,                 0x00, "STRING[4] holds 4 characters, not 5"},
        {"DBB0:STRING[3]",  "\xC2\xB0" "C"sv,          0x00, "03 02 B0 43 00"},
        {"DBB0:STRING[3]",  "\xE2\x82\xAC"sv,          0x00, "U+20AC is not a Latin-1 character"},
        {"DBB0:STRING[3]",  "\xC2"sv,                  0x00, "not valid UTF-8"},
        {"DBB0:STRING[4]",  std::int64_t{5},           0x00, "STRING takes a string, not an integer"},
        {"DBW0:INT",        "5"sv,                     0x00, "INT takes an integer, not a string"},
        {"DBW0:INT",        2.5,                       0x00, "INT takes an integer, not a float"},
        // The block's end.
        {"DBD4:REAL",       0.0,                       0x00, "00 00 00 00"},
        {"DBD6:REAL",       0.0,                       0x00, "ends at byte 10, past the end (8 bytes)"},
        {"DBB3:STRING[4]",  "x"sv,                     0x00, "ends at byte 9, past the end (8 bytes)"},
        {"DBB2:STRING[3]",  "x"sv,                     0x00, "03 01 78 00 00"},
    };
    // clang-format on
    for (const ValueRow &row : rows) {
        SCOPED_TRACE(row.address);
        const AddressParse parsed = parseS7Address(row.address, AddressScope::inDataBlock);
        ASSERT_TRUE(parsed.ok) << parsed.error;
        Bytes block(8, row.fill);
        const Bytes before = block;
        const std::string error = storeStartValue(parsed.address, row.value, block);
        if (!error.empty()) {
            EXPECT_EQ(error, row.expected);
            EXPECT_EQ(toHex(block), toHex(before)) << "a refused value changes nothing";
            continue;
        }
        const std::size_t start = parsed.address.byteOffset;
        const std::size_t width = addressByteWidth(parsed.address);
        EXPECT_EQ(toHex(Bytes(block.begin() + static_cast<std::ptrdiff_t>(start),
                              block.begin() + static_cast<std::ptrdiff_t>(start + width))),
                  toHex(hex(row.expected)));
        // Nothing outside the address changed.
        for (std::size_t i = 0; i < block.size(); ++i) {
            if (i < start || i >= start + width) {
                EXPECT_EQ(block[i], row.fill) << "byte " << i;
            }
        }
    }
}

// Reading back: what the watch page shows for the bytes at an address.
struct ReadRow {
    const char *address;
    const char *bytes;    // the area from byte 0
    const char *expected; // the value as text, or the error
};

std::string valueText(const S7Value &value) {
    std::ostringstream text;
    std::visit(
        [&text](const auto &held) {
            using Held = std::decay_t<decltype(held)>;
            if constexpr (std::is_same_v<Held, bool>) {
                text << (held ? "true" : "false");
            } else if constexpr (std::is_same_v<Held, std::string>) {
                text << '"' << held << '"';
            } else {
                text << held;
            }
        },
        value);
    return text.str();
}

TEST(S7Address, EachTypeReadsBackFromItsBytes) {
    // clang-format off
    const ReadRow rows[] = {
        {"DB1.DBW0:INT",           "FF FB",                "-5"},
        {"DB1.DBW0",               "FF FB",                "65531"},
        {"DB1.DBB1:SINT",          "00 80",                "-128"},
        {"DB1.DBD0:DINT",          "FF FF FF FE",          "-2"},
        {"DB1.DBD0:UDINT",         "FF FF FF FF",          "4294967295"},
        {"DB1.DBD0:REAL",          "40 50 00 00",          "3.25"},
        {"DB1.DBX1.1",             "00 02",                "true"},
        {"DB1.DBX1.0",             "00 02",                "false"},
        {"MB0:CHAR",               "E9",                   "\"\xC3\xA9\""}, // Latin-1 e-acute as UTF-8
        {"MB0:STRING[4]",          "04 02 70 31 78 78",    "\"p1\""},
        {"MB0:STRING[2]",          "02 09 70 31 78 78",    "\"p1\""},     // a length past the capacity is cut
        {"T1",                     "00 00 01 2C",          "300"},          // element 1: bytes 2-3
        {"C2",                     "00 00 00 00",          "ends at byte 6, past the end (4 bytes)"},
        {"DB1.DBD2:REAL",          "00 00 00 00",          "ends at byte 6, past the end (4 bytes)"},
    };
    // clang-format on
    for (const ReadRow &row : rows) {
        SCOPED_TRACE(row.address);
        const AddressParse parsed = parseS7Address(row.address, AddressScope::anyArea);
        ASSERT_TRUE(parsed.ok) << parsed.error;
        const ValueLoad load = loadS7Value(parsed.address, hex(row.bytes));
        EXPECT_EQ(load.ok ? valueText(load.value) : load.error, row.expected);
    }
}

} // namespace
