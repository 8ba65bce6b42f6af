#include "core/log.h"

#include "platform/platform.h"

#include <array>
#include <cstdarg>
#include <cstdio>
#include <string_view>

namespace {

constexpr std::size_t lineBufferSize = 256;

bool logColour = false;
std::vector<LogRecord> *logCapture = nullptr;

} // namespace

// Slots above 1 alternate the two colours: even slots as slot 0, odd ones as slot 1.
TextAttribute trafficAttribute(int slot) {
    return slot % 2 == 0 ? attributeSlot0 : attributeSlot1;
}

TextAttribute writeAttribute(int slot) {
    return slot % 2 == 0 ? attributeWriteSlot0 : attributeWriteSlot1;
}

LinePrefix slotPrefix(int slot) {
    const platform::LocalTime now = platform::localTime();
    LinePrefix prefix{};
    std::snprintf(prefix.characters.data(), prefix.characters.size(), "%02d:%02d:%02d-[%d]",
                  now.hour, now.minute, now.second, slot);
    return prefix;
}

LinePrefix itemPrefix(int item, int slot) {
    const platform::LocalTime now = platform::localTime();
    LinePrefix prefix{};
    std::snprintf(prefix.characters.data(), prefix.characters.size(), "(%d)%02d:%02d:%02d-[%d]",
                  item, now.hour, now.minute, now.second, slot);
    return prefix;
}

void setLogColour(bool colour) {
    logColour = colour;
}

void setLogCapture(std::vector<LogRecord> *capture) {
    logCapture = capture;
}

void logMessage(TextAttribute attribute, const char *format, ...) {
    std::array<char, lineBufferSize> line{};
    va_list arguments;
    va_start(arguments, format);
    const int formatted = std::vsnprintf(line.data(), line.size(), format, arguments);
    va_end(arguments);
    if (formatted < 0) {
        return;
    }
    std::string_view text(line.data());
    // Every call is exactly one console line.
    const std::size_t lineBreak = text.find_first_of("\r\n");
    if (lineBreak != std::string_view::npos) {
        text = text.substr(0, lineBreak);
    }
    platform::writeConsoleLine(attribute, text, logColour);
    if (logCapture != nullptr) {
        logCapture->push_back({attribute, std::string(text)});
    }
}
