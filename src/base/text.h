// Text as people and other programs write it: whole numbers, hex digits, IPv4 addresses, letter
// case. One reader and one writer of each, shared by the command line, the configuration file,
// the fault rules, the HTTP API, the address notation and the log.
#pragma once

#include "base/bytes.h"

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

// ---- whole numbers

enum class NumberBase {
    decimal,     // "1102"
    decimalOrHex // "10" or "0x0A"
};

// The text as a whole number within lowest..highest: digits only (no sign, no blanks, nothing
// behind them), or 0x and hex digits where base allows it. Nothing when it is not one.
std::optional<std::uint64_t> parseWholeNumber(std::string_view text, std::uint64_t lowest,
                                              std::uint64_t highest,
                                              NumberBase base = NumberBase::decimal);

// The decimal digits at the front of text, dropped from it; nothing when it starts with none. A
// number too large for 32 bits reads as the largest, which every range check then refuses.
std::optional<std::uint32_t> takeDecimal(std::string_view &text);

// ---- hex

// Two upper-case hex digits for a byte.
inline std::array<char, 2> hexDigits(std::uint8_t byte) {
    constexpr std::string_view digits = "0123456789ABCDEF";
    return {digits[byte >> 4], digits[byte & 0x0F]};
}

// "DEADBEEF": two digits a byte, nothing between them.
std::string hexText(ByteView bytes);

// "0x0A", "0x8104": the value in at least `digits` upper-case hex digits behind 0x.
std::string hexNumber(std::uint64_t value, int digits);

enum class HexBlanks {
    none,   // "DEADBEEF"
    between // "DE AD BEEF": groups of whole bytes parted by blanks, tabs or line breaks
};

struct HexParse {
    bool ok;
    std::vector<std::uint8_t> bytes;
    std::string error; // one line, when not ok
};

// Hex digits in either case as bytes.
HexParse parseHexBytes(std::string_view text, HexBlanks blanks);

// ---- IPv4

// Whether text matches pattern as a shell does: * any text (none too), ? one character, every
// other character itself.
bool globMatches(std::string_view pattern, std::string_view text);

using Ipv4Address = std::array<std::uint8_t, 4>; // network order, as in dotted notation

// Four decimal numbers 0-255 with dots between, as people write them.
std::optional<Ipv4Address> parseIpv4(std::string_view text);
std::string ipv4Text(const Ipv4Address &address);

// ---- time

// "2026-12-07T21:54:56.123456Z": microseconds since 1970-01-01 00:00 UTC in ISO 8601.
std::string isoTimeText(std::int64_t microsSinceEpoch);

// ---- letter case (ASCII only: names, keys and addresses are ASCII)

std::string asciiLower(std::string_view text);
std::string asciiUpper(std::string_view text);
