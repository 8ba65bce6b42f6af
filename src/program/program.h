// The PLC's program: a Lua 5.4 source run as a CPU runs its startup block and its main cycle.
// startup() runs after a start (and on every STOP to RUN), cycle(dt_ms) every cycle time while
// the CPU is in RUN, and the write handlers a program registered run at the start of the cycle
// that follows a client's write. The program reaches the PLC's memory through tags, has the
// standard timers and counters, and is watched as a CPU watches its cycle: an error, a cycle
// over the monitoring time or memory past the cap stops the CPU, not the server.
#pragma once

#include "memory/memory.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

inline constexpr int defaultCycleMs = 20;
inline constexpr int largestCycleMs = 10'000;
inline constexpr int defaultMaxCycleMs = 150;
inline constexpr int largestMaxCycleMs = 60'000;
inline constexpr int defaultProgramMemoryMb = 64;
inline constexpr int largestProgramMemoryMb = 4096;
// The largest source a program may have, from a file or an upload.
inline constexpr std::size_t largestProgramSource = std::size_t{1024} * 1024;

// What a PLC's program is made from.
struct ProgramSetup {
    std::string file;   // as given; empty: no program
    std::string source; // the file's text, read at start
    int cycleMs = defaultCycleMs;
    int maxCycleMs = defaultMaxCycleMs;
    int memoryMb = defaultProgramMemoryMb;
};

// Where and why the program stopped the CPU.
struct ProgramFault {
    int line = 0;     // 0 when the program was at no line of its own
    std::string text; // the message, without the file and line
};

// Cycle statistics since the program was loaded, in milliseconds of the host's clock.
struct CycleTimes {
    std::uint64_t cycles = 0;
    double lastMs = 0;
    double minMs = 0;
    double maxMs = 0;
    double totalMs = 0;
};

// Every cycle's time since the PLC was made, counted into buckets for GET /metrics. Unlike
// CycleTimes it is not started afresh by a new program, so its counts only grow.
inline constexpr std::array<double, 13> cycleBucketSeconds = {
    0.0001, 0.00025, 0.0005, 0.001, 0.0025, 0.005, 0.01, 0.025, 0.05, 0.1, 0.25, 0.5, 1.0};
struct CycleHistogram {
    // Cycles up to each bound (not cumulative); the last counts those above every bound.
    std::array<std::uint64_t, cycleBucketSeconds.size() + 1> counts{};
    double sumSeconds = 0;
    std::uint64_t cycles = 0;
};
void noteCycleSeconds(CycleHistogram &histogram, double seconds);

// How late cycles started against their schedule: the last samples, for the 99th percentile.
inline constexpr std::size_t lateSampleCount = 1024;
struct StartLateness {
    std::array<float, lateSampleCount> samplesMs{};
    std::size_t count = 0; // samples taken so far (the ring holds the last lateSampleCount)
};

struct ProgramEngine; // the interpreter with the program loaded
struct ProgramEngineDelete {
    void operator()(ProgramEngine *engine) const;
};

struct ProgramRun {
    ProgramSetup setup;
    std::string source; // what runs: the setup's, or the last upload
    std::unique_ptr<ProgramEngine, ProgramEngineDelete> engine; // none: no program
    bool started = false;      // startup() ran since the CPU last went to RUN
    bool clockStarted = false; // the first pass set the program's time origin
    std::int64_t originMicros = 0;
    std::int64_t nextCycleMicros = 0;
    std::int64_t lastCycleMicros = 0;
    std::int64_t lastPassMicros = 0;
    bool faulted = false; // the program stopped the CPU and has not run since
    ProgramFault fault;
    CycleTimes times;
    StartLateness lateness;
    CycleHistogram histogram;
};

// Whether this build runs programs at all.
bool programsAvailable();

// Whether the PLC has a program: a file given at the start, or a source downloaded since.
inline bool hasProgram(const ProgramRun &run) {
    return !run.setup.file.empty() || !run.source.empty();
}

// Compiles the source without running it: an empty text when it compiles, else
// "FILE:LINE: message".
std::string checkProgramSource(std::string_view source, std::string_view file);

struct ProgramLoad {
    bool ok = false;
    ProgramFault fault; // when not ok
};

// Drops the interpreter: the next pass in RUN loads the source anew (its top level, where tags
// and write handlers are made), runs startup() and then the cycles.
void restartProgram(ProgramRun &run);

// Replaces the program, as a download into a CPU: a source that does not compile is refused
// and the old program runs on; one that compiles takes the old one's place at once and is
// loaded and started by the next pass in RUN (a failure there stops the CPU as any other).
ProgramLoad replaceProgram(ProgramRun &run, std::string source);

// The program's part of a pass. While cpuRuns it runs startup() when the CPU came to RUN, and the
// write handlers and cycle(dt_ms) when the cycle is due (a late cycle runs once; no catch-up). In
// STOP it runs nothing and forgets client writes. Returns false when the program stopped the CPU:
// the fault is noted and logged, and the caller puts the CPU into STOP.
bool programPass(ProgramRun &run, Memory &memory, bool cpuRuns, std::int64_t nowMicros);

// How long the loop may wait before the program wants its next pass.
std::int64_t programWaitLimit(const ProgramRun &run, bool cpuRuns, std::int64_t nowMicros);

enum class ProgramState { none, running, stopped, error };
ProgramState programState(const ProgramRun &run, bool cpuRuns);
const char *programStateName(ProgramState state);

// The 99th percentile of the cycles' start lateness, in milliseconds; 0 before the first cycle.
double startLatenessP99(const StartLateness &lateness);
