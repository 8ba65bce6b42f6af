#include "platform/ansi_colour.h"

namespace platform {
namespace {

constexpr int blueBit = 1;
constexpr int greenBit = 2;
constexpr int redBit = 4;
constexpr int intensityBit = 8;

// ANSI numbers its colours red 1, green 2, blue 4: the reverse of the console's bit order.
int ansiColourIndex(int nibble) {
    return ((nibble & redBit) != 0 ? 1 : 0) + ((nibble & greenBit) != 0 ? 2 : 0) +
           ((nibble & blueBit) != 0 ? 4 : 0);
}

std::size_t appendNumber(AnsiSequence &sequence, std::size_t at, int value) {
    if (value >= 100) {
        sequence.text[at++] = static_cast<char>('0' + value / 100);
    }
    if (value >= 10) {
        sequence.text[at++] = static_cast<char>('0' + value / 10 % 10);
    }
    sequence.text[at++] = static_cast<char>('0' + value % 10);
    return at;
}

} // namespace

AnsiSequence ansiSequenceFor(int attribute) {
    const int foreground = attribute & 0x0F;
    const int background = (attribute >> 4) & 0x0F;
    const int foregroundCode =
        ((foreground & intensityBit) != 0 ? 90 : 30) + ansiColourIndex(foreground);
    const int backgroundCode =
        ((background & intensityBit) != 0 ? 100 : 40) + ansiColourIndex(background);

    AnsiSequence sequence{};
    std::size_t at = 0;
    sequence.text[at++] = '\x1b';
    sequence.text[at++] = '[';
    at = appendNumber(sequence, at, foregroundCode);
    sequence.text[at++] = ';';
    at = appendNumber(sequence, at, backgroundCode);
    sequence.text[at++] = 'm';
    sequence.length = at;
    return sequence;
}

} // namespace platform
