// The program of a build without Lua (Debian has no MinGW build of it): a PLC runs none, and a
// program given is refused, naming why.
#include "program/program.h"

struct ProgramEngine {};

void ProgramEngineDelete::operator()(ProgramEngine *engine) const {
    delete engine;
}

bool programsAvailable() {
    return false;
}

std::string checkProgramSource(std::string_view, std::string_view) {
    return "--program: programs are not available in this build";
}

void restartProgram(ProgramRun &) {}

ProgramLoad replaceProgram(ProgramRun &, std::string) {
    return {false, {0, "programs are not available in this build"}};
}

bool programPass(ProgramRun &, Memory &, bool, std::int64_t) {
    return true;
}

std::int64_t programWaitLimit(const ProgramRun &, bool, std::int64_t) {
    return INT64_MAX;
}
