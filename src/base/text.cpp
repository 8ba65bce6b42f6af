#include "base/text.h"

#include <array>
#include <charconv>
#include <chrono>
#include <cstdio>
#include <limits>

std::optional<std::uint64_t> parseWholeNumber(std::string_view text, std::uint64_t lowest,
                                              std::uint64_t highest, NumberBase base) {
    int radix = 10;
    if (base == NumberBase::decimalOrHex && text.size() > 2 && text[0] == '0' &&
        (text[1] == 'x' || text[1] == 'X')) {
        text.remove_prefix(2);
        radix = 16;
    }
    // from_chars takes a sign for signed types only, so "-1" and "+1" are refused here too.
    std::uint64_t value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value, radix);
    if (text.empty() || error != std::errc{} || end != text.data() + text.size() ||
        value < lowest || value > highest) {
        return std::nullopt;
    }
    return value;
}

std::optional<std::uint32_t> takeDecimal(std::string_view &text) {
    std::size_t digits = 0;
    while (digits < text.size() && text[digits] >= '0' && text[digits] <= '9') {
        ++digits;
    }
    if (digits == 0) {
        return std::nullopt;
    }
    std::uint32_t value = 0;
    const std::from_chars_result result = std::from_chars(text.data(), text.data() + digits, value);
    text.remove_prefix(digits);
    return result.ec == std::errc{} ? value : std::numeric_limits<std::uint32_t>::max();
}

std::string hexText(ByteView bytes) {
    std::string text(bytes.size() * 2, '0');
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        const std::array<char, 2> pair = hexDigits(bytes[i]);
        text[2 * i] = pair[0];
        text[2 * i + 1] = pair[1];
    }
    return text;
}

std::string hexNumber(std::uint64_t value, int digits) {
    std::array<char, 20> text{};
    const std::to_chars_result written =
        std::to_chars(text.data(), text.data() + text.size(), value, 16);
    const auto length = static_cast<std::size_t>(written.ptr - text.data());
    const auto width = static_cast<std::size_t>(digits > 0 ? digits : 0);
    // Appended piece by piece: GCC 12 at -O3 warns falsely (-Wrestrict) about "0x" + string.
    std::string number("0x");
    number.append(width > length ? width - length : 0, '0');
    for (std::size_t i = 0; i < length; ++i) {
        const char c = text[i];
        number.push_back(c >= 'a' && c <= 'f' ? static_cast<char>(c - 'a' + 'A') : c);
    }
    return number;
}

namespace {

std::optional<std::uint8_t> hexValue(char c) {
    if (c >= '0' && c <= '9') {
        return static_cast<std::uint8_t>(c - '0');
    }
    if (c >= 'a' && c <= 'f') {
        return static_cast<std::uint8_t>(c - 'a' + 10);
    }
    if (c >= 'A' && c <= 'F') {
        return static_cast<std::uint8_t>(c - 'A' + 10);
    }
    return std::nullopt;
}

bool isBlank(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\r';
}

} // namespace

HexParse parseHexBytes(std::string_view text, HexBlanks blanks) {
    HexParse parse{true, {}, {}};
    std::size_t at = 0;
    while (at < text.size()) {
        if (blanks == HexBlanks::between && isBlank(text[at])) {
            ++at;
            continue;
        }
        std::size_t end = at;
        while (end < text.size() && !(blanks == HexBlanks::between && isBlank(text[end]))) {
            ++end;
        }
        const std::string_view group = text.substr(at, end - at);
        // Appended piece by piece: GCC 12 at -O3 warns falsely (-Wrestrict) about "'" + string.
        std::string quoted("'");
        quoted.append(group).append("'");
        if (group.size() % 2 != 0) {
            return {false, {}, quoted + " is not whole bytes (two digits each)"};
        }
        for (std::size_t i = 0; i < group.size(); i += 2) {
            const std::optional<std::uint8_t> high = hexValue(group[i]);
            const std::optional<std::uint8_t> low = hexValue(group[i + 1]);
            if (!high || !low) {
                return {false, {}, quoted + " is not hexadecimal"};
            }
            parse.bytes.push_back(static_cast<std::uint8_t>(*high << 4 | *low));
        }
        at = end;
    }
    return parse;
}

std::optional<Ipv4Address> parseIpv4(std::string_view text) {
    Ipv4Address address{};
    for (std::size_t part = 0; part < address.size(); ++part) {
        const std::size_t dot = text.find('.');
        const bool last = part + 1 == address.size();
        if (last != (dot == std::string_view::npos)) {
            return std::nullopt;
        }
        const std::string_view field = last ? text : text.substr(0, dot);
        const std::optional<std::uint64_t> value = parseWholeNumber(field, 0, 255);
        if (!value || field.size() > 3) {
            return std::nullopt;
        }
        address[part] = static_cast<std::uint8_t>(*value);
        text = last ? std::string_view{} : text.substr(dot + 1);
    }
    return address;
}

std::string ipv4Text(const Ipv4Address &address) {
    return std::to_string(address[0]) + "." + std::to_string(address[1]) + "." +
           std::to_string(address[2]) + "." + std::to_string(address[3]);
}

std::string asciiLower(std::string_view text) {
    std::string out(text);
    for (char &c : out) {
        c = c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
    }
    return out;
}

std::string asciiUpper(std::string_view text) {
    std::string out(text);
    for (char &c : out) {
        c = c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c;
    }
    return out;
}

std::string isoTimeText(std::int64_t microsSinceEpoch) {
    namespace chrono = std::chrono;
    const chrono::sys_time<chrono::microseconds> point{chrono::microseconds{microsSinceEpoch}};
    const chrono::sys_days date = chrono::floor<chrono::days>(point);
    const chrono::year_month_day calendar{date};
    const chrono::hh_mm_ss<chrono::microseconds> clock{point - date};
    std::array<char, 40> text{};
    std::snprintf(text.data(), text.size(), "%04d-%02u-%02uT%02d:%02d:%02d.%06dZ",
                  static_cast<int>(calendar.year()), static_cast<unsigned>(calendar.month()),
                  static_cast<unsigned>(calendar.day()), static_cast<int>(clock.hours().count()),
                  static_cast<int>(clock.minutes().count()),
                  static_cast<int>(clock.seconds().count()),
                  static_cast<int>(clock.subseconds().count()));
    return text.data();
}

bool globMatches(std::string_view pattern, std::string_view text) {
    // The classic backtracking walk: on a mismatch, the last * takes one character more.
    std::size_t p = 0;
    std::size_t t = 0;
    std::size_t starAt = std::string_view::npos;
    std::size_t starText = 0;
    while (t < text.size()) {
        if (p < pattern.size() && (pattern[p] == '?' || pattern[p] == text[t])) {
            ++p;
            ++t;
        } else if (p < pattern.size() && pattern[p] == '*') {
            starAt = p++;
            starText = t;
        } else if (starAt != std::string_view::npos) {
            p = starAt + 1;
            t = ++starText;
        } else {
            return false;
        }
    }
    while (p < pattern.size() && pattern[p] == '*') {
        ++p;
    }
    return p == pattern.size();
}
