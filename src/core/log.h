// The console log: every line the server prints goes through logMessage.
#pragma once

#include "platform/platform.h"

#include <array>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

// A console text attribute in the Windows console's bit layout (foreground in bits 0-3,
// background in bits 4-7; 1 blue, 2 green, 4 red, 8 intensity).
using TextAttribute = int;

inline constexpr TextAttribute attributePlain = 7;
inline constexpr TextAttribute attributeSlot0 = 23;
inline constexpr TextAttribute attributeSlot1 = 30;
inline constexpr TextAttribute attributeBanner = 39;
inline constexpr TextAttribute attributeError = 70;
inline constexpr TextAttribute attributeWriteSlot0 = 87;
inline constexpr TextAttribute attributeWriteSlot1 = 94;
inline constexpr TextAttribute attributeConnectParameter = 87;
// What the PLC's program logs: light magenta, a colour no traffic line has.
inline constexpr TextAttribute attributeProgram = 13;

// Normal traffic of a slot: slot 0 and slot 1 have their own colours; the slots above take
// them in turn (even slots slot 0's, odd ones slot 1's).
TextAttribute trafficAttribute(int slot);
// S7 data stored into a data block by a slot.
TextAttribute writeAttribute(int slot);

// Whether lines are coloured; decided once at start-up from the command line and the terminal,
// before startLogOutput.
void setLogColour(bool colour);

// From here on a writer thread of its own writes the lines, taking them from a bounded queue
// (about 1 MiB), so an output that stops taking them (a paused pager, a stalled log shipper, a
// console in text selection) never holds the loop. While the queue is full, whole lines are
// dropped and counted; once the output takes lines again one line in attributeError says how
// many: "Log output stalled: 1234 lines dropped". Lines keep their order and leave at once while
// the output keeps up. Before this call (as in the tests) every line is written by the calling
// thread before logMessage returns.
void startLogOutput();

// Writes out what is queued, waiting at most about a second for a stalled output, and ends the
// writer thread. A writer still stuck in a write then is left behind: the process exits past it.
// The events file is closed once its lines are out.
void finishLogOutput();

// The events file (--events), opened by the caller: from here on writeEventLine hands lines to
// it. The writer thread writes them, from a queue of their own (4 MiB, lines of any length) on
// the terms of the console's: while it is full whole lines are dropped and counted, and once the
// file takes lines again one line {"op": "dropped", "count": N} stands where they went. Before
// startLogOutput (as in the tests) each line is written before writeEventLine returns. A write
// that fails ends the events with one log line ("Events file stopped: <reason>").
void startEventOutput(platform::FileHandle file);
// One line, without its line end.
void writeEventLine(std::string_view line);
// Closes the events file; what is still queued is not written (finishLogOutput writes it first).
void stopEventOutput();

// Lines dropped so far because the output did not take them: the console's and the events
// file's.
std::uint64_t droppedLogLines();
std::uint64_t droppedEventLines();

// Formats one line (at most 255 characters, cut at the first line break) and prints it in the
// given attribute.
[[gnu::format(printf, 2, 3)]] void logMessage(TextAttribute attribute, const char *format, ...);

// With more than one PLC in the process, every line about one names it after the time stamp:
// "hh:mm:ss-NAME-[slot] ...", and a line without a stamp of its own gets "hh:mm:ss-NAME ".
// The loop says whose work it is doing (setLogPlc, empty: no PLC's); with one PLC nothing
// changes.
void setLogNamesPlcs(bool names);
void setLogPlc(std::string_view name);

// The prefix of a traffic line, "hh:mm:ss-[slot]" in local time, and of a line about one item of
// an S7 request, "(item)hh:mm:ss-[slot]". The clock is read when the prefix is made.
struct LinePrefix {
    std::array<char, 96> characters; // room for a PLC name of 32 and any slot or item number
    const char *text() const { return characters.data(); }
};
LinePrefix slotPrefix(int slot);
// The same for a line about what is not a slot's: "hh:mm:ss-[http]".
LinePrefix namedPrefix(const char *name);
LinePrefix itemPrefix(int item, int slot);

// The last lines logged, for the watch page, numbered from 1 in the order logged. Kept only
// once asked for (a server without the page pays nothing for it).
inline constexpr std::size_t recentLogCapacity = 200;
struct RecentLogLine {
    std::uint64_t sequence;
    TextAttribute attribute;
    std::string text;
};
void keepRecentLog();
// The kept lines numbered above `after`, oldest first: at most the last 200.
std::vector<RecentLogLine> recentLogLines(std::uint64_t after);
// The number of the latest line logged while lines are kept; 0 before the first.
std::uint64_t latestLogSequence();

// Tests read the log through this: while a capture is set, every line is also recorded there.
struct LogRecord {
    TextAttribute attribute;
    std::string text;
};
void setLogCapture(std::vector<LogRecord> *capture);
