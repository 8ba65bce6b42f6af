// The PLC program on an explicit clock: the standard blocks step by step, the cycle schedule,
// write handlers, and every way a program stops the CPU.
#include "core/log.h"
#include "program/program.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace {

// A program against its own memory (flags 64 bytes), passes driven at given milliseconds.
struct ProgramBench {
    std::unique_ptr<Memory> memory = std::make_unique<Memory>();
    ProgramRun run;
    std::vector<LogRecord> log;

    explicit ProgramBench(const std::string &source, int cycleMs = 1, int maxCycleMs = 150,
                          int memoryMb = 64) {
        setLogCapture(&log);
        configureProcessImage(memory->areas, {16, 16, 64, 16, 16});
        run.setup = {"t.lua", source, cycleMs, maxCycleMs, memoryMb};
        run.source = source;
        restartProgram(run);
    }
    ~ProgramBench() { setLogCapture(nullptr); }
    ProgramBench(const ProgramBench &) = delete;
    ProgramBench &operator=(const ProgramBench &) = delete;

    bool pass(std::int64_t ms, bool cpuRuns = true) {
        return programPass(run, *memory, cpuRuns, ms * 1000);
    }
    std::uint8_t &flag(std::size_t at) { return processArea(memory->areas, MemoryArea::flags)[at]; }
    int word(std::size_t at) { return static_cast<std::int16_t>((flag(at) << 8) | flag(at + 1)); }
    void write(std::size_t at, std::uint8_t value) {
        flag(at) = value;
        noteClientWrite(*memory, MemoryArea::flags, 0, at, 1);
    }
};

// Drives one block from the bits of MB0 (in, in2, r, ld) and shows its outputs in MB1 (q, q2)
// and MW2 (et, or cv for a counter).
std::string blockProgram(const std::string &make, const std::string &arguments) {
    return "local i, i2, r, ld = tag('M0.0'), tag('M0.1'), tag('M0.2'), tag('M0.3')\n"
           "local q, q2, shown = tag('M1.0'), tag('M1.1'), tag('MW2:INT')\n"
           "local fb = " +
           make +
           "\n"
           "function cycle()\n"
           "  local a, b = fb:run(" +
           arguments +
           ")\n"
           "  q.value = a; q2.value = b == true\n"
           "  shown.value = math.floor(fb.cv or fb.et or 0)\n"
           "end\n";
}

struct BlockStep {
    int atMs;
    std::uint8_t inputs; // bit 0 in, 1 in2, 2 r, 3 ld
    bool q;
    bool q2;
    int shown; // et or cv
};

struct BlockCase {
    const char *name;
    const char *make;
    const char *arguments;
    std::vector<BlockStep> steps;
};

TEST(ProgramBlocks, TimersTriggersAndCountersStepByStep) {
    const std::vector<BlockCase> cases = {
        {"TON: q after in held for pt, et stops at pt, in false resets",
         "TON(100)",
         "i.value",
         {{0, 1, false, false, 0},
          {50, 1, false, false, 50},
          {100, 1, true, false, 100},
          {150, 1, true, false, 100},
          {160, 0, false, false, 0},
          {170, 1, false, false, 0}}},
        {"TOF: q follows in up, holds pt after the fall",
         "TOF(100)",
         "i.value",
         {{0, 0, false, false, 0},
          {10, 1, true, false, 0},
          {20, 0, true, false, 0},
          {70, 0, true, false, 50},
          {120, 0, false, false, 100},
          {130, 1, true, false, 0}}},
        {"TP: a pulse of exactly pt, not retriggered, et held while in stays",
         "TP(100)",
         "i.value",
         {{0, 1, true, false, 0},
          {50, 0, true, false, 50},
          {60, 1, true, false, 60},
          {100, 1, false, false, 100},
          {110, 1, false, false, 100},
          {120, 0, false, false, 0},
          {130, 1, true, false, 0}}},
        {"R_TRIG: the first true counts as an edge, then once per rise",
         "R_TRIG()",
         "i.value",
         {{0, 1, true, false, 0},
          {1, 1, false, false, 0},
          {2, 0, false, false, 0},
          {3, 1, true, false, 0}}},
        {"F_TRIG: once per fall",
         "F_TRIG()",
         "i.value",
         {{0, 0, false, false, 0},
          {1, 1, false, false, 0},
          {2, 0, true, false, 0},
          {3, 0, false, false, 0}}},
        {"CTU: rising edges up to pv, r wins",
         "CTU(2)",
         "i.value, r.value",
         {{0, 1, false, false, 1},
          {1, 1, false, false, 1},
          {2, 0, false, false, 1},
          {3, 1, true, false, 2},
          {4, 0b0101, false, false, 0},
          {5, 0, false, false, 0}}},
        {"CTD: ld loads pv and wins, q at 0 and below",
         "CTD(2)",
         "i.value, ld.value",
         {{0, 0b1000, false, false, 2},
          {1, 1, false, false, 1},
          {2, 0, false, false, 1},
          {3, 1, true, false, 0},
          {4, 0, true, false, 0},
          {5, 1, true, false, -1}}},
        {"CTUD: both edges cancel, r wins over ld",
         "CTUD(2)",
         "i.value, i2.value, r.value, ld.value",
         {{0, 1, false, false, 1},
          {1, 0, false, false, 1},
          {2, 0b11, false, false, 1},
          {3, 0b1100, false, true, 0},
          {4, 0b1000, true, false, 2},
          {5, 0b10, false, false, 1}}},
        {"a number input: 0 is false",
         "R_TRIG()",
         "i.value and 1 or 0",
         {{0, 0, false, false, 0}, {1, 1, true, false, 0}}},
    };
    for (const BlockCase &row : cases) {
        SCOPED_TRACE(row.name);
        ProgramBench bench(blockProgram(row.make, row.arguments));
        for (const BlockStep &step : row.steps) {
            SCOPED_TRACE("at " + std::to_string(step.atMs) + " ms");
            bench.flag(0) = step.inputs;
            ASSERT_TRUE(bench.pass(step.atMs)) << bench.run.fault.text;
            EXPECT_EQ((bench.flag(1) & 1) != 0, step.q);
            EXPECT_EQ((bench.flag(1) & 2) != 0, step.q2);
            EXPECT_EQ(bench.word(2), step.shown);
        }
    }
}

TEST(ProgramCycle, StartupFirstThenCyclesOnScheduleALateOneOnceAndNoneInStop) {
    ProgramBench bench("local n, dt, s = tag('MW0:INT'), tag('MW2:INT'), tag('MW4:INT')\n"
                       "function startup() s.value = s.value + 1 end\n"
                       "function cycle(dt_ms) n.value = n.value + 1; dt.value = dt_ms end\n",
                       20);
    EXPECT_EQ(programWaitLimit(bench.run, true, 0), 0); // loading and startup are due
    ASSERT_TRUE(bench.pass(1000));
    EXPECT_EQ(bench.word(4), 1);
    EXPECT_EQ(bench.word(0), 1); // the first cycle right behind startup, dt 0
    EXPECT_EQ(bench.word(2), 0);
    EXPECT_EQ(programWaitLimit(bench.run, true, 1005 * 1000), 15'000);
    ASSERT_TRUE(bench.pass(1019));
    EXPECT_EQ(bench.word(0), 1);
    ASSERT_TRUE(bench.pass(1020));
    EXPECT_EQ(bench.word(0), 2);
    EXPECT_EQ(bench.word(2), 20);
    ASSERT_TRUE(bench.pass(1200)); // late by 160 ms: one cycle, no burst
    EXPECT_EQ(bench.word(0), 3);
    EXPECT_EQ(bench.word(2), 180);
    ASSERT_TRUE(bench.pass(1201));
    EXPECT_EQ(bench.word(0), 3);
    ASSERT_TRUE(bench.pass(1220));
    EXPECT_EQ(bench.word(0), 4);
    EXPECT_FLOAT_EQ(static_cast<float>(startLatenessP99(bench.run.lateness)), 160.0f);

    ASSERT_TRUE(bench.pass(1300, false)); // STOP: nothing runs
    EXPECT_EQ(bench.word(0), 4);
    EXPECT_EQ(programWaitLimit(bench.run, false, 1300 * 1000), INT64_MAX);
    EXPECT_EQ(programState(bench.run, false), ProgramState::stopped);
    ASSERT_TRUE(bench.pass(1400)); // RUN again: startup once more
    EXPECT_EQ(bench.word(4), 2);
    EXPECT_EQ(bench.word(0), 5);
    EXPECT_EQ(bench.run.times.cycles, 5u);
}

TEST(ProgramCycle, WriteHandlersRunOncePerCycleInOrderForWritesTouchingTheirTag) {
    ProgramBench bench("local log_ = tag('MW10:INT')\n"
                       "local function note(d) log_.value = log_.value * 10 + d end\n"
                       "on_write('MW4:INT', function(v) note(1) end)\n"
                       "on_write('M5.3', function(v) note(v and 2 or 3) end)\n"
                       "on_write(tag('MW4:INT'), function(v) note(4) end)\n"
                       "function cycle() end\n");
    ASSERT_TRUE(bench.pass(0));
    bench.write(6, 1); // beside the tags: nothing
    ASSERT_TRUE(bench.pass(1));
    EXPECT_EQ(bench.word(10), 0);
    bench.write(4, 1); // MW4's first byte: its two handlers, in order
    bench.write(4, 2); // twice before the cycle: once
    ASSERT_TRUE(bench.pass(2));
    EXPECT_EQ(bench.word(10), 14);
    bench.write(5, 0x08); // M5.3 lies in MW4 too: all three, in registration order
    ASSERT_TRUE(bench.pass(3));
    EXPECT_EQ(bench.word(10), 14124);
    bench.write(5, 0);
    ASSERT_TRUE(bench.pass(4, false)); // written in STOP: forgotten
    ASSERT_TRUE(bench.pass(5));
    EXPECT_EQ(bench.word(10), 14124);
}

struct StopCase {
    const char *name;
    const char *source;
    int memoryMb;
    int line;
    const char *text; // the start of the fault's text
};

TEST(ProgramStop, EachFailureStopsWithItsLineAndReason) {
    const std::vector<StopCase> cases = {
        {"runtime error", "function cycle()\n  local x\n  x.y = 1\nend\n", 64, 3,
         "attempt to index a nil value"},
        {"endless loop", "function cycle()\n  while true do end\nend\n", 64, 2,
         "cycle longer than 20 ms (max_cycle_ms)"},
        {"endless loop the program catches",
         "function cycle()\n  while true do pcall(function() while true do end end) end\nend\n", 64,
         2, "cycle longer than 20 ms"},
        {"memory past the cap",
         "local keep = {}\nfunction cycle()\n"
         "  for n = 1, 100 do keep[n] = string.rep('x', 1 << 20) .. n end\nend\n",
         4, 3, "memory past 4 MiB (program_memory_mb)"},
        {"memory refused inside a pcall",
         "function cycle()\n  pcall(string.rep, 'x', 1 << 24)\nend\n", 4, 2, "memory past 4 MiB"},
        {"a value that does not fit",
         "local w = tag('MW0:INT')\nfunction cycle()\n"
         "  w.value = 40000\nend\n",
         64, 3, "MW0:INT: 40000 does not fit INT"},
        {"a fraction into an integer",
         "local w = tag('MW0:INT')\nfunction cycle()\n"
         "  w.value = 2.5\nend\n",
         64, 3, "MW0:INT: INT takes an integer, not 2.5"},
        {"an error object", "function cycle()\n  error({})\nend\n", 64, 2,
         "error object is a table value"},
        {"error pointing at the caller",
         "local function check(x) if not x then error('bad call', 2) end end\n"
         "function cycle()\n  check(false)\nend\n",
         64, 3, "bad call"},
        {"a bad timer preset", "local t = TON(-1)\nfunction cycle() end\n", 64, 1,
         "TON: the preset time must be"},
        {"a block's run called with a dot",
         "local t = TON(5)\nfunction cycle()\n  t.run(true)\nend\n", 64, 3,
         "TON: call run with a colon"},
        {"no cycle function", "function startup() end\n", 64, 0,
         "the program has no function cycle(dt_ms)"},
        {"a bad address", "function cycle() end\nlocal t = tag('DB1.DBW2:REAL')\n", 64, 2,
         "'DB1.DBW2:REAL': REAL takes a double word"},
        {"an area past its end", "local t = tag('MW64')\nfunction cycle() end\n", 64, 1,
         "MW64: past the end of the flags (64 bytes)"},
        {"an error in startup", "function startup()\n  error('no')\nend\nfunction cycle() end\n",
         64, 2, "no"},
    };
    for (const StopCase &row : cases) {
        SCOPED_TRACE(row.name);
        ProgramBench bench(row.source, 1, 20, row.memoryMb);
        EXPECT_FALSE(bench.pass(0));
        EXPECT_EQ(programState(bench.run, false), ProgramState::error);
        EXPECT_EQ(bench.run.fault.line, row.line);
        EXPECT_TRUE(bench.run.fault.text.starts_with(row.text)) << bench.run.fault.text;
        ASSERT_FALSE(bench.log.empty());
        EXPECT_EQ(bench.log.back().attribute, attributeError);
        const std::string place = row.line > 0 ? "t.lua:" + std::to_string(row.line) : "t.lua";
        EXPECT_NE(bench.log.back().text.find("[program] CPU STOP: " + place + ": "),
                  std::string::npos)
            << bench.log.back().text;
    }
}

TEST(ProgramStop, AStartRunsStartupAgainAndAFailedTopLevelIsLoadedAgain) {
    ProgramBench bench("local mode, n = tag('MW0:INT'), tag('MW2:INT')\n"
                       "if mode.value == 1 then error('not now') end\n"
                       "function startup() n.value = 100 end\n"
                       "function cycle() n.value = n.value + 1\n"
                       "  if mode.value == 2 then error('stop here') end end\n");
    ASSERT_TRUE(bench.pass(0));
    EXPECT_EQ(bench.word(2), 101);
    bench.flag(1) = 2;
    EXPECT_FALSE(bench.pass(1));
    EXPECT_EQ(bench.word(2), 102);
    EXPECT_EQ(bench.run.fault.line, 5);
    bench.flag(1) = 0;
    ASSERT_TRUE(bench.pass(2, false));
    ASSERT_TRUE(bench.pass(3)); // RUN: startup, then the cycle
    EXPECT_EQ(bench.word(2), 101);
    EXPECT_EQ(programState(bench.run, true), ProgramState::running);

    // The same source failing in its top level: loaded again on each start.
    ProgramBench failing("local mode = tag('MW0:INT')\n"
                         "if mode.value == 0 then error('mode 0') end\n"
                         "function cycle() mode.value = 7 end\n");
    EXPECT_FALSE(failing.pass(0));
    failing.flag(1) = 1;
    ASSERT_TRUE(failing.pass(10));
    EXPECT_EQ(failing.word(0), 7);
}

TEST(ProgramReplace, ASyntaxErrorKeepsTheOldProgramOthersTakeOverAtTheNextPass) {
    ProgramBench bench("local n = tag('MW0:INT')\nfunction cycle() n.value = n.value + 1 end\n");
    ASSERT_TRUE(bench.pass(0));
    // Refused by the compiler alone: its top level, which would write, never runs.
    const ProgramLoad bad =
        replaceProgram(bench.run, "tag('MW2:INT').value = 9\nfunction cycle(\n");
    EXPECT_FALSE(bad.ok);
    EXPECT_EQ(bad.fault.line, 3);
    ASSERT_TRUE(bench.pass(1));
    EXPECT_EQ(bench.word(0), 2);
    EXPECT_EQ(bench.word(2), 0);
    ASSERT_TRUE(replaceProgram(bench.run,
                               "local n = tag('MW0:INT')\nfunction startup() n.value = 50 end\n"
                               "function cycle() n.value = n.value + 1 end\n")
                    .ok);
    ASSERT_TRUE(bench.pass(2));
    EXPECT_EQ(bench.word(0), 51);
    EXPECT_EQ(bench.run.times.cycles, 1u);
    // One that fails in its top level takes over, and stops the CPU at the next pass.
    ASSERT_TRUE(replaceProgram(bench.run, "function cycle() end\nerror('late')\n").ok);
    EXPECT_FALSE(bench.pass(3));
    EXPECT_EQ(bench.run.fault.line, 2);
    EXPECT_EQ(programState(bench.run, false), ProgramState::error);
}

TEST(ProgramSandbox, NoFilesNoOsNoBinaryChunks) {
    ProgramBench bench(
        "local r = tag('MW0:INT')\n"
        "local missing = (io == nil and 1 or 0) + (os == nil and 2 or 0) +\n"
        "  (package == nil and 4 or 0) + (debug == nil and 8 or 0) + (require == nil and 16 or 0)\n"
        "  + (dofile == nil and 32 or 0) + (loadfile == nil and 64 or 0)\n"
        "local f, why = load(string.dump(function() end))\n"
        "local text = load('return 5')\n"
        "if f == nil and why:find('binary') and text() == 5 then missing = missing + 128 end\n"
        "function cycle() r.value = missing end\n");
    ASSERT_TRUE(bench.pass(0)) << bench.run.fault.text;
    EXPECT_EQ(bench.word(0), 255);
}

TEST(ProgramSource, ASyntaxErrorNamesTheFileAndLine) {
    EXPECT_EQ(checkProgramSource("function cycle() end\n", "line.lua"), "");
    EXPECT_EQ(checkProgramSource("function cycle()\n  if then\nend\n", "line.lua"),
              "line.lua:2: unexpected symbol near 'then'");
}

} // namespace
