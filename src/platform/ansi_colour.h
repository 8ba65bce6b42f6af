// How a console text attribute (Windows bits: 1 blue, 2 green, 4 red, 8 intensity; the low
// nibble the foreground, the high nibble the background) is shown on an ANSI terminal.
#pragma once

#include <array>
#include <cstddef>
#include <string_view>

namespace platform {

struct AnsiSequence {
    std::array<char, 16> text;
    std::size_t length;

    std::string_view view() const { return {text.data(), length}; }
};

// The SGR sequence that selects the attribute's colours, e.g. 0x17 -> "\x1b[37;44m".
AnsiSequence ansiSequenceFor(int attribute);

inline constexpr std::string_view ansiReset = "\x1b[0m";

} // namespace platform
