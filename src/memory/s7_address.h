// Addresses in the S7 notation a PLC programmer writes, and the values stored at them:
//
//   DB1.DBX4.3   DB1.DBB2   DB1.DBW2   DB1.DBD4:REAL   DB1.DBW8:INT   DB1.DBB128:STRING[20]
//   MB3   MW10   MD12:REAL   IB0   QW2   I0.0   Q1.7   M3.2   T5   C3
//
// X, B, W and D give the width (bit, byte, word, double word); a type behind a colon says how
// those bytes are read, and must fit the width (REAL takes a double word). Letters may be in
// either case, and a leading % (as TIA Portal writes absolute addresses) is allowed. Inside a
// data block's own settings the block is implied: DBX8.1, DBW0:INT.
#pragma once

#include "base/memory_area.h"

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <variant>

enum class S7Type {
    boolType,
    byteType,
    wordType,
    dwordType,
    charType,
    sintType,
    usintType,
    intType,
    uintType,
    dintType,
    udintType,
    realType,
    stringType,
    timerType,
    counterType,
};

struct S7Address {
    MemoryArea area;
    std::uint16_t dbNumber;   // data blocks only; 0 elsewhere
    std::uint32_t byteOffset; // timers and counters: the element number
    int bit;                  // 0-7 for a BOOL, -1 otherwise
    S7Type type;
    std::uint16_t stringCapacity; // STRING[n]: n (STRING alone is STRING[254], as in STEP 7)
};

enum class AddressScope {
    anyArea,    // "DB1.DBW2", "MW10", "T5"
    inDataBlock // the block is implied: "DBW2"
};

struct AddressParse {
    bool ok;
    S7Address address;
    std::string error; // why not, when not ok
};

inline constexpr std::uint16_t largestStringCapacity = 254;

AddressParse parseS7Address(std::string_view original, AddressScope scope);

// The bytes the address covers: 1 for a bit, 2 + n for STRING[n], 2 for a timer or counter.
std::size_t addressByteWidth(const S7Address &address);

// The type's name as written after the colon: "INT", "STRING[20]".
std::string s7TypeName(const S7Address &address);

// Where the address's bytes start in its area: the byte offset, or for a timer or counter its
// element number times 2.
std::size_t addressByteStart(const S7Address &address);

// A start value as the configuration gives it.
using StartValue = std::variant<bool, std::int64_t, double, std::string_view>;

// Stores value at the address inside block, as S7 keeps it: numbers big-endian, REAL as an IEEE
// single, a bit alone in its byte, STRING[n] as n, the current length, then the characters
// (Latin-1, one byte each). Returns why it cannot (wrong kind of value, out of range, past the
// block's end), or an empty string when stored.
std::string storeStartValue(const S7Address &address, const StartValue &value,
                            std::span<std::uint8_t> block);

// A value as read back from memory: BOOL as bool, the integer types (and TIMER, COUNTER) as
// integers, REAL as double, CHAR and STRING as UTF-8 text (a string's current length, at most its
// capacity).
using S7Value = std::variant<bool, std::int64_t, double, std::string>;

struct ValueLoad {
    bool ok;
    S7Value value;
    std::string error; // the address runs past the end of area
};

// The value at the address inside area, the reverse of storeStartValue.
ValueLoad loadS7Value(const S7Address &address, std::span<const std::uint8_t> area);
