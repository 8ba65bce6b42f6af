// The CPU's clock as the S7 clients read and set it in the real-CPU profiles: the host's local
// time plus an offset, one clock per PLC. A clock set keeps the offset to the host clock until
// the PLC starts again; the host clock itself is never changed.
#pragma once

#include "base/bytes.h"

#include <cstddef>
#include <cstdint>
#include <optional>

struct PlcDateTime {
    int year; // four digits; the BCD form holds 1990-2089
    int month;
    int day;
    int hour;
    int minute;
    int second;
    int millisecond;
    int weekday; // 1 Sunday ... 7 Saturday, as the BCD form counts
};

struct PlcClock {
    std::int64_t offsetMilliseconds = 0; // from the host clock; 0 until a client sets the clock
    // The host clock held at one moment, so that every clock answer and time stamp repeats
    // exactly (the fuzzer compares runs byte for byte; tests check whole replies). A set clock
    // still keeps its offset to the held time. None: the platform's clock.
    std::optional<PlcDateTime> heldHostTime;
};

PlcDateTime plcClockNow(const PlcClock &clock);
void setPlcClock(PlcClock &clock, const PlcDateTime &time);
void holdHostClock(PlcClock &clock, const PlcDateTime &time);

// The 8-byte BCD date and time of the clock services and SZL time stamps:
//
//   0 year (two digits)  1 month  2 day  3 hour  4 minute  5 second
//   6 milliseconds, hundreds and tens   7 high nibble milliseconds' units, low nibble weekday
inline constexpr std::size_t bcdDateTimeSize = 8;
void writeBcdDateTime(ByteBuffer out, std::size_t at, const PlcDateTime &time);
// False when a digit is not BCD or a field is out of range. The weekday is taken from the date,
// whatever the client sent.
bool readBcdDateTime(ByteView in, std::size_t at, PlcDateTime &time);

// Calendar arithmetic on local date and times, weekday included.
PlcDateTime shiftDateTime(const PlcDateTime &time, std::int64_t milliseconds);
std::int64_t millisecondsBetween(const PlcDateTime &from, const PlcDateTime &to);
