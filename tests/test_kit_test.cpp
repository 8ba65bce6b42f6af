// What tests built on the server rely on, as pure logic: the write journal's numbering and what it
// says it lost, and a manual clock moving a PLC's demo data, program and client clock exactly.
#include "core/log.h"
#include "core/traffic.h"
#include "plc/plc.h"

#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <memory>
#include <vector>

namespace {

void storeWrites(Traffic &traffic, int count, bool ok = true,
                 TrafficOperation operation = TrafficOperation::write) {
    const std::array<std::uint8_t, 1> byte{0x5A};
    const TrafficItem item{
        MemoryArea::flags, 0, 7, -1, 1, ok ? std::uint8_t{0xFF} : std::uint8_t{0x0A}, ok, byte};
    for (int i = 0; i < count; ++i) {
        recordExchange(
            traffic,
            {TrafficProtocol::s7, operation, 0, {127, 0, 0, 1}, 4000, std::span(&item, 1), 0, 0});
    }
}

TEST(WriteJournal, NumbersWritesInOrderAndTellsHowManyItNoLongerHas) {
    constexpr int full = static_cast<int>(journalLimit);
    struct Case {
        const char *meaning;
        int stored;
        bool emptied; // a reset after the first writes
        int storedAfter;
        std::uint64_t since;
        std::uint64_t next;
        std::uint64_t lost;
        std::uint64_t firstSeq; // 0: no entries
        std::size_t count;
    };
    const std::vector<Case> cases = {
        {"nothing stored yet", 0, false, 0, 0, 0, 0, 0, 0},
        {"everything since 0", 3, false, 0, 0, 3, 0, 1, 3},
        {"after the second", 3, false, 0, 2, 3, 0, 3, 1},
        {"after the latest: nothing, next stays", 3, false, 0, 3, 3, 0, 0, 0},
        {"a number not given out yet", 3, false, 0, 9, 3, 0, 0, 0},
        {"one past the limit: the oldest is lost", full + 1, false, 0, 0, full + 1, 1, 2,
         journalLimit},
        {"asked from among the lost", full + 5, false, 0, 3, full + 5, 2, 6, journalLimit},
        {"asked from the oldest kept", full + 5, false, 0, 5, full + 5, 0, 6, journalLimit},
        {"what a reset emptied is not lost", 4, true, 0, 0, 4, 0, 0, 0},
        {"numbering goes on after a reset", 4, true, 2, 0, 6, 0, 5, 2},
    };
    for (const Case &c : cases) {
        Traffic traffic;
        traffic.journal.kept = true;
        storeWrites(traffic, c.stored);
        if (c.emptied) {
            emptyJournal(traffic.journal);
        }
        storeWrites(traffic, c.storedAfter);
        const JournalSlice slice = journalSince(traffic.journal, c.since);
        EXPECT_EQ(slice.next, c.next) << c.meaning;
        EXPECT_EQ(slice.lost, c.lost) << c.meaning;
        ASSERT_EQ(slice.entries.size(), c.count) << c.meaning;
        for (std::size_t i = 0; i < slice.entries.size(); ++i) {
            EXPECT_EQ(slice.entries[i]->sequence, c.firstSeq + i) << c.meaning;
        }
    }
}

TEST(WriteJournal, KeepsOnlyStoredItemsOfWritesAndOnlyWhileSomeoneCanReadIt) {
    Traffic traffic;
    storeWrites(traffic, 2);
    EXPECT_TRUE(traffic.journal.entries.empty()) << "not kept: nobody reads it";
    traffic.journal.kept = true;
    storeWrites(traffic, 1, false);
    storeWrites(traffic, 1, true, TrafficOperation::read);
    EXPECT_TRUE(traffic.journal.entries.empty()) << "a refused item and a read are no writes";
    storeWrites(traffic, 1);
    ASSERT_EQ(traffic.journal.entries.size(), 1u);
    const JournalEntry &entry = traffic.journal.entries.front();
    EXPECT_EQ(entry.sequence, 1u);
    EXPECT_EQ(entry.bytes, std::vector<std::uint8_t>{0x5A});
    EXPECT_EQ(entry.start, 7u);
}

// A PLC on a manual clock with a program running a TON on M2.0 (output M2.1, elapsed MW4).
struct ManualPlc {
    std::unique_ptr<Plc> plc = std::make_unique<Plc>();
    std::vector<LogRecord> log;

    ManualPlc() {
        setLogCapture(&log);
        PlcSetup &setup = plc->setup;
        setup.cpu = findCpuProfile("s7-1500");
        setup.areaSizes = {16, 16, 64, 16, 16};
        setup.manualClock = true;
        const std::string source = "local t = TON(100)\n"
                                   "local input, q, et = tag('M2.0'), tag('M2.1'), tag('MW4:INT')\n"
                                   "function cycle()\n"
                                   "  t:run(input.value); q.value = t.q; et.value = t.et\n"
                                   "end\n";
        setup.program = {"t.lua", source, 20, 150, 64};
        plc->cpu.clock.heldHostTime = PlcDateTime{2026, 12, 31, 23, 59, 59, 950, 5};
        EXPECT_TRUE(renewPlc(*plc));
    }
    ~ManualPlc() { setLogCapture(nullptr); }
    ManualPlc(const ManualPlc &) = delete;
    ManualPlc &operator=(const ManualPlc &) = delete;

    std::span<std::uint8_t> flags() { return processArea(plc->memory.areas, MemoryArea::flags); }
    int word(std::size_t at) { return (flags()[at] << 8) | flags()[at + 1]; }
    // DB1 counts ticks in bytes 2-3 from 0 to 100, then once in bytes 0-1.
    int demoTicks() {
        const std::span<std::uint8_t> db1 = findDataBlock(plc->memory.blocks, 1);
        return ((db1[0] << 8) | db1[1]) * 101 + ((db1[2] << 8) | db1[3]);
    }
};

TEST(ManualClock, EveryTickAndCycleRunsAtItsOwnMomentAndNothingMovesBetween) {
    ManualPlc manual;
    Plc &plc = *manual.plc;
    // Passes of the loop on real time run nothing that goes by the PLC's time.
    runPlcProgram(plc, 5'000'000);
    EXPECT_EQ(plc.program.times.cycles, 1u) << "the first pass loads the program, runs a cycle";
    runPlcProgram(plc, 9'000'000);
    EXPECT_EQ(plc.program.times.cycles, 1u);
    // The demo blocks are seeded at the start; the tick due at 0 is counted from.
    ASSERT_EQ(advancePlcClock(plc, 0).nowMs, 0);
    const int demoStart = manual.demoTicks();

    manual.flags()[2] = 0x01; // the TON's input
    struct Step {
        std::int64_t advanceMs;
        std::int64_t nowMs;
        std::uint64_t cycles;
        int elapsed;
        bool q;
        int demoTicks; // after the first
    };
    const std::vector<Step> steps = {
        {0, 0, 0, 0, false, 0},
        {19, 19, 0, 0, false, 1}, // tick at 10; the cycle is due at 20
        {1, 20, 1, 0, false, 2},  // the first cycle to see the input starts the timer
        {85, 105, 4, 80, false, 10},
        {15, 120, 1, 100, true, 12},
        {3'600'000, 3'600'120, 180'000, 100, true, 360'012},
    };
    for (const Step &step : steps) {
        const ClockAdvance moved = advancePlcClock(plc, step.advanceMs * 1000);
        EXPECT_EQ(moved.nowMs, step.nowMs) << step.advanceMs;
        EXPECT_EQ(moved.cycles, step.cycles) << step.advanceMs;
        EXPECT_EQ(manual.word(4), step.elapsed) << step.advanceMs;
        EXPECT_EQ(manual.flags()[2] >> 1 & 1, step.q ? 1 : 0) << step.advanceMs;
        EXPECT_EQ(manual.demoTicks() - demoStart, step.demoTicks) << step.advanceMs;
    }
    // The clock a client reads moved by exactly the time asked, across the year's end.
    const PlcDateTime now = plcClockNow(plc.cpu.clock);
    EXPECT_EQ((std::array{now.year, now.month, now.day, now.hour, now.minute, now.second,
                          now.millisecond}),
              (std::array{2027, 1, 1, 1, 0, 0, 70}));
}

} // namespace
