#include "plc/plc.h"

#include "core/log.h"
#include "sim/demo_data.h"

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
    // In place: a fresh table would be 48 KiB on the stack on its way in.
    DataBlockTable &blocks = plc.memory.blocks;
    for (DataBlock &block : blocks.slots) {
        block = DataBlock{};
    }
    blocks.fixed = false;
    blocks.changedCount = 0;
    configureProcessImage(plc.memory.areas, setup.areaSizes);
    clearClientWrites(plc.memory.clientWrites);
    if (!installDataBlocks(plc.memory.blocks, setup)) {
        return false;
    }
    ProgramRun &program = plc.program;
    program.setup = setup.program;
    program.source = setup.program.source;
    program.clockStarted = false;
    restartProgram(program);
    return true;
}

void runPlcProgram(Plc &plc, std::int64_t nowMicros) {
    if (!programPass(plc.program, plc.memory, plc.cpu.state == CpuRunState::run, nowMicros)) {
        plc.cpu.state = CpuRunState::stop;
    }
}
