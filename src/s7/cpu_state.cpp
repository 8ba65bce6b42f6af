#include "s7/cpu_state.h"

namespace {

CpuRunState runState = CpuRunState::run;

} // namespace

CpuRunState cpuRunState() {
    return runState;
}

void setCpuRunState(CpuRunState state) {
    runState = state;
}
