#include "memory/s7_address.h"

#include "base/text.h"
#include "memory/data_block_table.h"

#include <array>
#include <bit>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <limits>
#include <optional>

namespace {

// The widths a mnemonic gives: bit, byte, word, double word, and the two element areas.
enum class Width { bit, byte, word, dword, timer, counter };

struct TypeRow {
    std::string_view name;
    S7Type type;
    Width width;
    std::size_t bytes; // STRING: the two length bytes; the characters come on top
    std::int64_t lowest;
    std::int64_t highest; // integer types; both 0 for the others
};

constexpr std::int64_t int32Lowest = std::numeric_limits<std::int32_t>::min();
constexpr std::int64_t int32Highest = std::numeric_limits<std::int32_t>::max();
constexpr std::int64_t uint32Highest = std::numeric_limits<std::uint32_t>::max();

// clang-format off
constexpr std::array<TypeRow, 15> typeRows = {{
    // name      type                  width          bytes  lowest       highest
    {"BOOL",     S7Type::boolType,     Width::bit,     1,    0,           0},
    {"BYTE",     S7Type::byteType,     Width::byte,    1,    0,           255},
    {"CHAR",     S7Type::charType,     Width::byte,    1,    0,           0},
    {"SINT",     S7Type::sintType,     Width::byte,    1,    -128,        127},
    {"USINT",    S7Type::usintType,    Width::byte,    1,    0,           255},
    {"STRING",   S7Type::stringType,   Width::byte,    2,    0,           0},
    {"WORD",     S7Type::wordType,     Width::word,    2,    0,           65535},
    {"INT",      S7Type::intType,      Width::word,    2,    -32768,      32767},
    {"UINT",     S7Type::uintType,     Width::word,    2,    0,           65535},
    {"DWORD",    S7Type::dwordType,    Width::dword,   4,    0,           uint32Highest},
    {"DINT",     S7Type::dintType,     Width::dword,   4,    int32Lowest, int32Highest},
    {"UDINT",    S7Type::udintType,    Width::dword,   4,    0,           uint32Highest},
    {"REAL",     S7Type::realType,     Width::dword,   4,    0,           0},
    {"TIMER",    S7Type::timerType,    Width::timer,   2,    0,           65535},
    {"COUNTER",  S7Type::counterType,  Width::counter, 2,    0,           65535},
}};
// clang-format on

// What each width reads as when no type is given.
constexpr std::array<S7Type, 6> defaultTypes = {S7Type::boolType,  S7Type::byteType,
                                                S7Type::wordType,  S7Type::dwordType,
                                                S7Type::timerType, S7Type::counterType};

constexpr std::array<std::string_view, 6> widthNames = {"a bit",         "a byte",  "a word",
                                                        "a double word", "a timer", "a counter"};

// Every byte of an address lies below this: the areas and blocks are at most 64 KiB.
constexpr std::size_t addressableBytes = 65536;

const TypeRow &rowOf(S7Type type) {
    for (const TypeRow &row : typeRows) {
        if (row.type == type) {
            return row;
        }
    }
    return typeRows[0]; // every S7Type has a row
}

const TypeRow *findType(std::string_view name) {
    for (const TypeRow &row : typeRows) {
        if (row.name == name) {
            return &row;
        }
    }
    return nullptr;
}

std::string_view widthName(Width width) {
    return widthNames.at(static_cast<std::size_t>(width));
}

AddressParse failure(std::string error) {
    return {false, {}, std::move(error)};
}

bool takePrefix(std::string_view &text, std::string_view prefix) {
    if (!text.starts_with(prefix)) {
        return false;
    }
    text.remove_prefix(prefix.size());
    return true;
}

bool startsWithDigit(std::string_view text) {
    return !text.empty() && text[0] >= '0' && text[0] <= '9';
}

std::optional<Width> widthLetter(char letter) {
    switch (letter) {
    case 'X':
        return Width::bit;
    case 'B':
        return Width::byte;
    case 'W':
        return Width::word;
    case 'D':
        return Width::dword;
    default:
        return std::nullopt;
    }
}

struct TypeChoice {
    const TypeRow *row;
    std::uint16_t stringCapacity;
    std::string error;
};

// The text behind the colon: a type name, STRING with an optional [n].
TypeChoice chooseType(std::string_view text) {
    if (text.empty()) {
        return {nullptr, 0, "a type must follow the colon"};
    }
    std::string_view name = text.substr(0, text.find('['));
    const TypeRow *row = findType(name);
    if (row == nullptr) {
        return {nullptr, 0, "unknown type " + std::string(text)};
    }
    std::string_view rest = text.substr(name.size());
    if (rest.empty()) {
        return {
            row, row->type == S7Type::stringType ? largestStringCapacity : std::uint16_t{0}, {}};
    }
    if (row->type != S7Type::stringType) {
        return {nullptr, 0, "only STRING takes a length: " + std::string(text)};
    }
    rest.remove_prefix(1); // '['
    const std::optional<std::uint32_t> capacity = takeDecimal(rest);
    if (!capacity || rest != "]") {
        return {nullptr, 0, "bad STRING length: " + std::string(text) + " (expected STRING[n])"};
    }
    if (*capacity < 1 || *capacity > largestStringCapacity) {
        return {nullptr, 0, "STRING length " + std::to_string(*capacity) + " is not 1-254"};
    }
    return {row, static_cast<std::uint16_t>(*capacity), {}};
}

} // namespace

AddressParse parseS7Address(std::string_view original, AddressScope scope) {
    const std::string upper = asciiUpper(original);
    std::string_view text = upper;
    takePrefix(text, "%");
    const std::size_t colon = text.find(':');
    const std::string_view typeText =
        colon == std::string_view::npos ? std::string_view{} : text.substr(colon + 1);
    text = text.substr(0, colon);
    if (text.empty()) {
        return failure("empty address");
    }
    // Appended piece by piece: GCC 12 warns falsely (-Wrestrict) about "'" + std::string.
    std::string quoted = "'";
    quoted.append(original).append("'");

    S7Address address{MemoryArea::dataBlock, 0, 0, -1, S7Type::byteType, 0};
    Width width = Width::byte;
    if (text.starts_with("DB") && startsWithDigit(text.substr(2))) {
        if (scope == AddressScope::inDataBlock) {
            return failure(quoted + ": the block is implied here; leave out the DB number");
        }
        text.remove_prefix(2);
        const std::optional<std::uint32_t> number = takeDecimal(text);
        if (!number || *number < 1 || *number >= dataBlockCount) {
            return failure(quoted + ": DB numbers run 1-2999");
        }
        address.dbNumber = static_cast<std::uint16_t>(*number);
        if (!takePrefix(text, ".DB") || text.empty() || !widthLetter(text[0])) {
            return failure(quoted + ": expected DBX, DBB, DBW or DBD after the block number");
        }
        width = *widthLetter(text[0]);
        text.remove_prefix(1);
    } else if (text.starts_with("DB") && text.size() > 2 && widthLetter(text[2])) {
        if (scope == AddressScope::anyArea) {
            return failure(quoted + ": name the block first, as in DB1." +
                           std::string(original.substr(original.starts_with("%") ? 1 : 0)));
        }
        width = *widthLetter(text[2]);
        text.remove_prefix(3);
    } else if (scope == AddressScope::inDataBlock) {
        return failure(quoted + ": a data block holds DBX, DBB, DBW and DBD addresses only");
    } else {
        switch (text[0]) {
        case 'I':
            address.area = MemoryArea::inputs;
            break;
        case 'Q':
            address.area = MemoryArea::outputs;
            break;
        case 'M':
            address.area = MemoryArea::flags;
            break;
        case 'T':
            address.area = MemoryArea::timers;
            width = Width::timer;
            break;
        case 'C':
            address.area = MemoryArea::counters;
            width = Width::counter;
            break;
        default:
            return failure(quoted + ": unknown area (expected DB, I, Q, M, T or C)");
        }
        text.remove_prefix(1);
        if (!countsElements(address.area)) {
            // I0.0 is a bit; IB0, IW0 and ID0 are a byte, a word and a double word.
            const std::optional<Width> letter =
                text.empty() || text[0] == 'X' ? std::nullopt : widthLetter(text[0]);
            width = letter.value_or(Width::bit);
            if (letter) {
                text.remove_prefix(1);
            }
        }
    }

    const std::optional<std::uint32_t> number = takeDecimal(text);
    if (!number) {
        return failure(quoted + (text.empty()
                                     ? std::string(": the number is missing")
                                     : ": expected a number at '" + std::string(text) + "'"));
    }
    address.byteOffset = *number;
    if (width == Width::bit) {
        if (!takePrefix(text, ".")) {
            return failure(quoted + ": a bit address ends in .0-.7");
        }
        const std::optional<std::uint32_t> bit = takeDecimal(text);
        if (!bit || *bit > 7) {
            return failure(quoted + ": bit numbers run 0-7");
        }
        address.bit = static_cast<int>(*bit);
    }
    if (!text.empty()) {
        return failure(quoted + ": unexpected '" + std::string(text) + "'");
    }

    address.type = defaultTypes.at(static_cast<std::size_t>(width));
    if (colon != std::string_view::npos) {
        const TypeChoice choice = chooseType(typeText);
        if (choice.row == nullptr) {
            return failure(quoted + ": " + choice.error);
        }
        if (choice.row->width != width) {
            return failure(quoted + ": " + std::string(choice.row->name) + " takes " +
                           std::string(widthName(choice.row->width)) + ", not " +
                           std::string(widthName(width)));
        }
        address.type = choice.row->type;
        address.stringCapacity = choice.stringCapacity;
    }
    if (width == Width::timer || width == Width::counter) {
        if (address.byteOffset >= addressableBytes) {
            return failure(quoted + ": element numbers run 0-65535");
        }
    } else if (address.byteOffset + addressByteWidth(address) > addressableBytes) {
        return failure(quoted + ": runs past byte 65535");
    }
    return {true, address, {}};
}

std::size_t addressByteWidth(const S7Address &address) {
    return rowOf(address.type).bytes + (address.type == S7Type::stringType
                                            ? static_cast<std::size_t>(address.stringCapacity)
                                            : 0);
}

std::string s7TypeName(const S7Address &address) {
    std::string name(rowOf(address.type).name);
    if (address.type == S7Type::stringType) {
        name.append("[").append(std::to_string(address.stringCapacity)).append("]");
    }
    return name;
}

namespace {

std::string_view kindName(const StartValue &value) {
    constexpr std::array<std::string_view, 4> names = {"true/false", "an integer", "a float",
                                                       "a string"};
    return names.at(value.index());
}

// UTF-8 to one byte a character; S7 strings hold Latin-1 (the first 256 code points).
std::optional<std::string> toLatin1(std::string_view text, std::string &error) {
    std::string out;
    for (std::size_t i = 0; i < text.size();) {
        const auto lead = static_cast<unsigned char>(text[i]);
        std::uint32_t point = lead;
        std::size_t length = 1;
        if (lead >= 0x80) {
            length = lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : lead >= 0xC0 ? 2 : 0;
            if (length == 0 || i + length > text.size()) {
                error = "not valid UTF-8";
                return std::nullopt;
            }
            point = lead & (0x7Fu >> length);
            for (std::size_t k = 1; k < length; ++k) {
                point = (point << 6) | (static_cast<unsigned char>(text[i + k]) & 0x3Fu);
            }
        }
        if (point > 0xFF) {
            char code[16];
            std::snprintf(code, sizeof code, "U+%04X", static_cast<unsigned>(point));
            error = std::string(code) + " is not a Latin-1 character";
            return std::nullopt;
        }
        out += static_cast<char>(point);
        i += length;
    }
    return out;
}

std::string storeText(const S7Address &address, std::string_view text,
                      std::span<std::uint8_t> bytes) {
    std::string error;
    const std::optional<std::string> latin1 = toLatin1(text, error);
    if (!latin1) {
        return error;
    }
    if (address.type == S7Type::charType) {
        if (latin1->size() != 1) {
            return "CHAR takes one character, not " + std::to_string(latin1->size());
        }
        bytes[0] = static_cast<std::uint8_t>((*latin1)[0]);
        return {};
    }
    if (latin1->size() > address.stringCapacity) {
        return s7TypeName(address) + " holds " + std::to_string(address.stringCapacity) +
               " characters, not " + std::to_string(latin1->size());
    }
    bytes[0] = static_cast<std::uint8_t>(address.stringCapacity);
    bytes[1] = static_cast<std::uint8_t>(latin1->size());
    for (std::size_t i = 0; i < latin1->size(); ++i) {
        bytes[2 + i] = static_cast<std::uint8_t>((*latin1)[i]);
    }
    return {};
}

std::string storeReal(const StartValue &value, std::span<std::uint8_t> bytes) {
    double number = 0;
    if (const auto *integer = std::get_if<std::int64_t>(&value)) {
        number = static_cast<double>(*integer);
    } else if (const auto *real = std::get_if<double>(&value)) {
        number = *real;
    } else {
        return "REAL takes a number, not " + std::string(kindName(value));
    }
    if (std::isfinite(number) && std::fabs(number) > std::numeric_limits<float>::max()) {
        char text[32];
        std::snprintf(text, sizeof text, "%g", number);
        return std::string(text) + " does not fit REAL";
    }
    writeBigEndian(bytes, std::bit_cast<std::uint32_t>(static_cast<float>(number)));
    return {};
}

} // namespace

std::size_t addressByteStart(const S7Address &address) {
    return countsElements(address.area) ? std::size_t{address.byteOffset} * 2 : address.byteOffset;
}

namespace {

std::string pastTheEnd(std::size_t end, std::size_t size) {
    return "ends at byte " + std::to_string(end) + ", past the end (" + std::to_string(size) +
           " bytes)";
}

std::string latin1ToUtf8(std::span<const std::uint8_t> bytes) {
    std::string text;
    for (const std::uint8_t byte : bytes) {
        if (byte < 0x80) {
            text += static_cast<char>(byte);
        } else {
            text += static_cast<char>(0xC0 | (byte >> 6));
            text += static_cast<char>(0x80 | (byte & 0x3F));
        }
    }
    return text;
}

} // namespace

ValueLoad loadS7Value(const S7Address &address, std::span<const std::uint8_t> area) {
    const std::size_t width = addressByteWidth(address);
    const std::size_t start = addressByteStart(address);
    if (start > area.size() || width > area.size() - start) {
        return {false, {}, pastTheEnd(start + width, area.size())};
    }
    const std::span<const std::uint8_t> bytes = area.subspan(start, width);
    const std::uint64_t raw = readBigEndian(bytes.first(std::min<std::size_t>(width, 4)));
    switch (address.type) {
    case S7Type::boolType:
        return {true, ((bytes[0] >> address.bit) & 1) != 0, {}};
    case S7Type::realType:
        return {
            true, static_cast<double>(std::bit_cast<float>(static_cast<std::uint32_t>(raw))), {}};
    case S7Type::charType:
        return {true, latin1ToUtf8(bytes), {}};
    case S7Type::stringType: {
        const std::size_t length = std::min<std::size_t>(bytes[1], address.stringCapacity);
        return {true, latin1ToUtf8(bytes.subspan(2, length)), {}};
    }
    case S7Type::sintType:
        return {true, std::int64_t{static_cast<std::int8_t>(raw)}, {}};
    case S7Type::intType:
        return {true, std::int64_t{static_cast<std::int16_t>(raw)}, {}};
    case S7Type::dintType:
        return {true, std::int64_t{static_cast<std::int32_t>(raw)}, {}};
    default:
        return {true, static_cast<std::int64_t>(raw), {}};
    }
}

std::string storeStartValue(const S7Address &address, const StartValue &value,
                            std::span<std::uint8_t> block) {
    const TypeRow &row = rowOf(address.type);
    const std::size_t width = addressByteWidth(address);
    const std::size_t start = addressByteStart(address);
    if (start > block.size() || width > block.size() - start) {
        return pastTheEnd(start + width, block.size());
    }
    const std::span<std::uint8_t> bytes = block.subspan(start, width);
    switch (address.type) {
    case S7Type::boolType: {
        const bool *flag = std::get_if<bool>(&value);
        if (flag == nullptr) {
            return "BOOL takes true or false, not " + std::string(kindName(value));
        }
        const auto mask = static_cast<std::uint8_t>(1u << address.bit);
        bytes[0] = *flag ? static_cast<std::uint8_t>(bytes[0] | mask)
                         : static_cast<std::uint8_t>(bytes[0] & ~mask);
        return {};
    }
    case S7Type::realType:
        return storeReal(value, bytes);
    case S7Type::charType:
    case S7Type::stringType: {
        const auto *text = std::get_if<std::string_view>(&value);
        if (text == nullptr) {
            return std::string(row.name) + " takes a string, not " + std::string(kindName(value));
        }
        return storeText(address, *text, bytes);
    }
    default: {
        const auto *integer = std::get_if<std::int64_t>(&value);
        if (integer == nullptr) {
            return std::string(row.name) + " takes an integer, not " + std::string(kindName(value));
        }
        if (*integer < row.lowest || *integer > row.highest) {
            return std::to_string(*integer) + " does not fit " + std::string(row.name) + " (" +
                   std::to_string(row.lowest) + " to " + std::to_string(row.highest) + ")";
        }
        // Two's complement in the field's width: the low bytes of the 64-bit pattern.
        writeBigEndian(bytes, static_cast<std::uint64_t>(*integer));
        return {};
    }
    }
}
