// The CPU's operating state in the real-CPU profiles: RUN or STOP, moved by the PLC stop and
// PLC start jobs and reported in the state SZL. In STOP the demo data stands still; data access
// goes on, as on a real CPU.
#pragma once

enum class CpuRunState { run, stop };

CpuRunState cpuRunState();
void setCpuRunState(CpuRunState state);
