#include "plc/plc_clock.h"

#include "platform/platform.h"

#include <chrono>

namespace {

namespace chrono = std::chrono;
using TimePoint = chrono::sys_time<chrono::milliseconds>;

// Local date and times are counted on the system clock's calendar without a zone: only
// differences and calendar fields are used, so the zone never matters.

// The BCD form's two-digit year: 90-99 are 1990-1999, 00-89 are 2000-2089.
constexpr int bcdCenturyPivot = 90;

TimePoint toTimePoint(const PlcDateTime &time) {
    const chrono::sys_days date{chrono::year{time.year} /
                                chrono::month{static_cast<unsigned>(time.month)} /
                                chrono::day{static_cast<unsigned>(time.day)}};
    return date + chrono::hours{time.hour} + chrono::minutes{time.minute} +
           chrono::seconds{time.second} + chrono::milliseconds{time.millisecond};
}

PlcDateTime fromTimePoint(TimePoint point) {
    const chrono::sys_days date = chrono::floor<chrono::days>(point);
    const chrono::year_month_day calendar{date};
    const chrono::hh_mm_ss<chrono::milliseconds> clock{point - date};
    return {static_cast<int>(calendar.year()),
            static_cast<int>(static_cast<unsigned>(calendar.month())),
            static_cast<int>(static_cast<unsigned>(calendar.day())),
            static_cast<int>(clock.hours().count()),
            static_cast<int>(clock.minutes().count()),
            static_cast<int>(clock.seconds().count()),
            static_cast<int>(clock.subseconds().count()),
            static_cast<int>(chrono::weekday{date}.c_encoding()) + 1};
}

PlcDateTime hostNow(const PlcClock &clock) {
    if (clock.heldHostTime) {
        return *clock.heldHostTime;
    }
    const platform::LocalDateTime now = platform::localDateTime();
    return fromTimePoint(toTimePoint(
        {now.year, now.month, now.day, now.hour, now.minute, now.second, now.millisecond, 0}));
}

std::uint8_t toBcd(int value) {
    return static_cast<std::uint8_t>(((value / 10 % 10) << 4) | (value % 10));
}

// The value of a BCD byte, or -1 when a nibble is above 9.
int fromBcd(std::uint8_t byte) {
    const int high = byte >> 4;
    const int low = byte & 0x0F;
    return high > 9 || low > 9 ? -1 : high * 10 + low;
}

} // namespace

PlcDateTime shiftDateTime(const PlcDateTime &time, std::int64_t milliseconds) {
    return fromTimePoint(toTimePoint(time) + chrono::milliseconds{milliseconds});
}

std::int64_t millisecondsBetween(const PlcDateTime &from, const PlcDateTime &to) {
    return (toTimePoint(to) - toTimePoint(from)).count();
}

PlcDateTime plcClockNow(const PlcClock &clock) {
    return shiftDateTime(hostNow(clock), clock.offsetMilliseconds);
}

void setPlcClock(PlcClock &clock, const PlcDateTime &time) {
    clock.offsetMilliseconds = millisecondsBetween(hostNow(clock), time);
}

void holdHostClock(PlcClock &clock, const PlcDateTime &time) {
    clock.heldHostTime = shiftDateTime(time, 0); // the weekday from the date, as the clock gives it
}

void writeBcdDateTime(ByteBuffer out, std::size_t at, const PlcDateTime &time) {
    // clang-format off
    out[at]     = toBcd(time.year % 100);
    out[at + 1] = toBcd(time.month);
    out[at + 2] = toBcd(time.day);
    out[at + 3] = toBcd(time.hour);
    out[at + 4] = toBcd(time.minute);
    out[at + 5] = toBcd(time.second);
    out[at + 6] = toBcd(time.millisecond / 10);
    out[at + 7] = static_cast<std::uint8_t>(((time.millisecond % 10) << 4) | (time.weekday & 0x0F));
    // clang-format on
}

bool readBcdDateTime(ByteView in, std::size_t at, PlcDateTime &time) {
    const int year = fromBcd(readU8(in, at));
    const int month = fromBcd(readU8(in, at + 1));
    const int day = fromBcd(readU8(in, at + 2));
    const int hour = fromBcd(readU8(in, at + 3));
    const int minute = fromBcd(readU8(in, at + 4));
    const int second = fromBcd(readU8(in, at + 5));
    const int millisecondsHigh = fromBcd(readU8(in, at + 6));
    const int millisecondsUnits = readU8(in, at + 7) >> 4;
    if (year < 0 || month < 0 || day < 0 || hour < 0 || hour > 23 || minute < 0 || minute > 59 ||
        second < 0 || second > 59 || millisecondsHigh < 0 || millisecondsUnits > 9) {
        return false;
    }
    const int fullYear = year >= bcdCenturyPivot ? 1900 + year : 2000 + year;
    const chrono::year_month_day date{chrono::year{fullYear} /
                                      chrono::month{static_cast<unsigned>(month)} /
                                      chrono::day{static_cast<unsigned>(day)}};
    if (!date.ok()) {
        return false;
    }
    time = fromTimePoint(toTimePoint({fullYear, month, day, hour, minute, second,
                                      millisecondsHigh * 10 + millisecondsUnits, 0}));
    return true;
}
