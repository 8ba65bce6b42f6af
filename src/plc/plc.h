// One simulated PLC as one value: its memory, its CPU (profile, identity, operating state,
// clock), its fault rules, its connections and request rate, its listener, and the hooks into the
// process's capture and retained memory. The loop serves a list of them; every handler reaches
// its PLC through an explicit argument, so two PLCs in one process never share anything but the
// log, the readiness wait and the HTTP server.
#pragma once

#include "base/text.h"
#include "core/connection_table.h"
#include "core/fault_rules.h"
#include "core/traffic.h"
#include "memory/memory.h"
#include "platform/platform.h"
#include "plc/cpu_profile.h"
#include "plc/plc_clock.h"
#include "plc/retained_memory.h"
#include "program/program.h"

#include <array>
#include <cstdint>
#include <string>
#include <vector>

// The CPU's operating state in the real-CPU profiles: RUN or STOP, moved by the PLC stop and
// PLC start jobs (and the watch page) and reported in the state SZL. In STOP the demo data stands
// still; data access goes on, as on a real CPU.
enum class CpuRunState { run, stop };

struct Cpu {
    const CpuProfile *profile = &cpuProfileAt(0);
    IdentityOverrides identityTexts; // the texts that replace the profile's
    CpuRunState state = CpuRunState::run;
    PlcClock clock;
};

// The identity the CPU reports: its profile's, with its own texts applied.
inline CpuIdentity cpuIdentity(const Cpu &cpu) {
    return identityWith(*cpu.profile, cpu.identityTexts);
}

// Whether the CPU answers as a real CPU family does rather than as classic.
inline bool answersAsCpu(const Cpu &cpu) {
    return cpu.profile->behaviour == CpuBehaviour::realCpu;
}

// A data block the PLC starts with: its number, size and whole start image.
struct DataBlockSetup {
    std::uint16_t number;
    std::vector<std::uint8_t> image; // exactly the block's size
    std::string source;              // where the content came from, for --check
};

// What a PLC is made from, kept so that it can be made new again.
struct PlcSetup {
    std::string name = "plc"; // in the events file and the metrics
    Ipv4Address bindAddress{0, 0, 0, 0};
    std::uint16_t port = 102;
    const CpuProfile *cpu = &cpuProfileAt(0);
    IdentityOverrides identity;
    ProcessImageSizes areaSizes{};
    int connectionLimit = 2;                // clients served at once
    std::vector<DataBlockSetup> dataBlocks; // in ascending number
    bool strict = false;                    // only dataBlocks exist, at their sizes
    bool demo = true;                       // DB1 and DB15 animated
    std::vector<FaultRule> faults;
    std::uint64_t seed = defaultFaultSeed;
    ProgramSetup program; // no file: no program
    bool manualClock = false;
};

// The PLC's own time, which the demo data, the program's cycles and timers and the clock clients
// read go by. On the real clock it is the loop's; on a manual clock it starts at 0 and moves only
// when told (advancePlcClock), while connection idle limits and fault delays stay on real time.
struct PlcTime {
    bool manual = false;
    std::int64_t manualMicros = 0;
    std::int64_t nextDemoMicros = 0; // the next demo tick on the manual clock
};

// What the last readiness wait found for the PLC: the slots to serve, in slot order, and whether
// its listener has a client waiting.
struct PlcReadiness {
    bool listenerReady;
    int slotCount;
    std::array<int, maxConnections> slots;
};

struct Plc {
    PlcSetup setup;
    Memory memory;
    Cpu cpu;
    ConnectionTable connections;
    FaultRules faults;
    RetainedSaving retained;
    ProgramRun program;
    Traffic traffic;
    PlcTime time;
    platform::SocketHandle listener = platform::invalidSocket;
    std::uint16_t listenerPort = 0; // the port bound (a setup's port 0 asks for any)
    // The server's port in the capture: 102, so that Wireshark decodes it as it is, unless
    // another PLC of the process may be reached at the same address.
    std::uint16_t capturePort = captureServerPort;
    // The 10 ms tick (idle counting, demo data), started by the first pass.
    bool tickStarted = false;
    std::int64_t nextTickMicros = 0;
    PlcReadiness readiness{};
};

// Makes the PLC what its setup says, as at start: its memory (the declared blocks, the demo
// blocks where strict blocks need them, areas zeroed at their sizes), its CPU in RUN on the host's
// time, its fault rules with their counts at zero, its program to be loaded anew from the
// setup's source by the first pass, and no connections (any still open are closed). Listener,
// capture hook and retained saving stay as they are. False, with a log line, when the heap cannot
// supply a declared block.
bool renewPlc(Plc &plc);

// Puts the PLC back to its start while its clients stay connected: memory as the setup makes it
// (blocks created since are gone, demo values at their start, areas zeroed), CPU in RUN, the
// program loaded anew, the write journal emptied, the fault rules kept with their counts at zero.
// False, with a log line, when the heap cannot supply a declared block.
bool resetPlcMemory(Plc &plc);

// Records one exchange of the slot's client in the PLC's traffic: what was answered, the fault
// rule that shaped the answer (0: none) and the header error it carried (0: none).
void recordSlotExchange(Plc &plc, int slot, TrafficProtocol protocol, TrafficOperation operation,
                        int faultRule, std::uint16_t headerError = 0,
                        std::span<const TrafficItem> items = {});

// One 10 ms step of the demo data in DB1 and DB15, while the CPU runs.
void runDemoTick(Plc &plc);

// The program's part of a pass, on the PLC's time: startup and cycles while the CPU runs; a
// program that fails puts the CPU into STOP.
void runPlcProgram(Plc &plc, std::int64_t loopMicros);

// The PLC's time for a pass at loopMicros.
inline std::int64_t plcNowMicros(const Plc &plc, std::int64_t loopMicros) {
    return plc.time.manual ? plc.time.manualMicros : loopMicros;
}

inline constexpr std::int64_t demoTickMicros = 10'000;
inline constexpr std::int64_t largestClockAdvanceMs = 3'600'000;

struct ClockAdvance {
    std::int64_t nowMs;   // the PLC's time after it
    std::uint64_t cycles; // program cycles run on the way
};

// Moves a manual clock on: every demo tick and program cycle that falls in the time runs at its
// own moment, in order, and the clock clients read moves with it.
ClockAdvance advancePlcClock(Plc &plc, std::int64_t micros);
