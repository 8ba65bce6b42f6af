#include "plc/plc.h"

#include "core/log.h"
#include "sim/demo_data.h"

#include <algorithm>
#include <climits>

namespace {

// The declared blocks with their start images. With strict blocks the demo blocks are created
// now (the table admits no new block afterwards) and the table is fixed.
bool installDataBlocks(DataBlockTable &blocks, const PlcSetup &setup) {
    for (const DataBlockSetup &block : setup.dataBlocks) {
        if (!declareDataBlock(blocks, block.number, block.image.size(), block.image)) {
            logMessage(attributeError, "Cannot create DB%d of %d bytes: out of memory",
                       static_cast<int>(block.number), static_cast<int>(block.image.size()));
            return false;
        }
    }
    if (setup.strict) {
        if (setup.demo) {
            createDemoBlocks(blocks);
        }
        fixDataBlocks(blocks);
    }
    return true;
}

// The memory as the setup makes it: the declared blocks and nothing else, the areas zeroed.
bool renewMemory(Plc &plc) {
    const PlcSetup &setup = plc.setup;
    plc.memory.blocks = DataBlockTable{};
    configureProcessImage(plc.memory.areas, setup.areaSizes);
    clearClientWrites(plc.memory.clientWrites);
    if (!installDataBlocks(plc.memory.blocks, setup)) {
        return false;
    }
    if (setup.demo && setup.manualClock) {
        // On the real clock the first tick makes them; a manual clock's may be far off.
        createDemoBlocks(plc.memory.blocks);
    }
    return true;
}

// The program from the setup's source, loaded anew by the next pass in RUN.
void renewProgram(Plc &plc) {
    ProgramRun &program = plc.program;
    program.setup = plc.setup.program;
    program.source = plc.setup.program.source;
    program.clockStarted = false;
    restartProgram(program);
}

} // namespace

bool renewPlc(Plc &plc) {
    const PlcSetup &setup = plc.setup;
    closeAllConnections(plc.connections);
    setUpConnectionTable(plc.connections, setup.connectionLimit);
    plc.cpu.profile = setup.cpu;
    plc.cpu.identityTexts = setup.identity;
    plc.cpu.state = CpuRunState::run;
    plc.cpu.clock.offsetMilliseconds = 0;
    setFaultRules(plc.faults, setup.faults, setup.seed);
    plc.tickStarted = false;
    plc.nextTickMicros = 0;
    plc.readiness = {};
    plc.time = {setup.manualClock, 0, 0};
    if (setup.manualClock && !plc.cpu.clock.heldHostTime) {
        // The clock clients read stands at the start's time until the manual clock moves it.
        holdHostClock(plc.cpu.clock, plcClockNow(plc.cpu.clock));
    }
    emptyJournal(plc.traffic.journal);
    if (!renewMemory(plc)) {
        return false;
    }
    renewProgram(plc);
    return true;
}

bool resetPlcMemory(Plc &plc) {
    plc.cpu.state = CpuRunState::run;
    plc.cpu.clock.offsetMilliseconds = 0;
    restartFaultCounts(plc.faults, plc.setup.seed);
    emptyJournal(plc.traffic.journal);
    const bool renewed = renewMemory(plc);
    // What is kept in a state folder follows: the start values are saved as any change is.
    DataBlockTable &blocks = plc.memory.blocks;
    for (std::size_t number = nextExistingDataBlock(blocks, 0); number < dataBlockCount;
         number = nextExistingDataBlock(blocks, number + 1)) {
        markDataBlockChanged(blocks, number);
    }
    for (const MemoryArea area : fixedAreas) {
        markProcessAreaChanged(plc.memory.areas, area);
    }
    renewProgram(plc);
    return renewed;
}

void recordSlotExchange(Plc &plc, int slot, TrafficProtocol protocol, TrafficOperation operation,
                        int faultRule, std::uint16_t headerError,
                        std::span<const TrafficItem> items) {
    Exchange exchange = slotExchange(plc.connections, slot, protocol, operation);
    exchange.items = items;
    exchange.faultRule = faultRule;
    exchange.headerError = headerError;
    recordExchange(plc.traffic, exchange);
}

void runDemoTick(Plc &plc) {
    if (plc.cpu.state == CpuRunState::run && plc.setup.demo) {
        simulateTick(plc.memory.blocks); // a stopped CPU's program does not run
    }
}

void runPlcProgram(Plc &plc, std::int64_t loopMicros) {
    if (!programPass(plc.program, plc.memory, plc.cpu.state == CpuRunState::run,
                     plcNowMicros(plc, loopMicros))) {
        plc.cpu.state = CpuRunState::stop;
    }
}

ClockAdvance advancePlcClock(Plc &plc, std::int64_t micros) {
    PlcTime &time = plc.time;
    const std::int64_t end = time.manualMicros + micros;
    const std::uint64_t cyclesBefore = plc.program.times.cycles;
    for (;;) {
        const bool runs = plc.cpu.state == CpuRunState::run;
        const std::int64_t programWait = programWaitLimit(plc.program, runs, time.manualMicros);
        const std::int64_t cycleDue =
            programWait == INT64_MAX ? INT64_MAX : time.manualMicros + programWait;
        const std::int64_t next = std::min(time.nextDemoMicros, cycleDue);
        if (next > end) {
            break;
        }
        time.manualMicros = std::max(time.manualMicros, next);
        if (time.nextDemoMicros <= time.manualMicros) {
            runDemoTick(plc);
            time.nextDemoMicros += demoTickMicros;
        }
        if (cycleDue <= time.manualMicros) {
            runPlcProgram(plc, time.manualMicros);
        }
    }
    time.manualMicros = end;
    if (plc.cpu.clock.heldHostTime) {
        plc.cpu.clock.heldHostTime = shiftDateTime(*plc.cpu.clock.heldHostTime, micros / 1000);
    }
    return {end / 1000, plc.program.times.cycles - cyclesBefore};
}
