#include "program/program.h"

#include <algorithm>

ProgramState programState(const ProgramRun &run, bool cpuRuns) {
    if (!hasProgram(run)) {
        return ProgramState::none;
    }
    if (run.faulted) {
        return ProgramState::error;
    }
    return cpuRuns ? ProgramState::running : ProgramState::stopped;
}

const char *programStateName(ProgramState state) {
    switch (state) {
    case ProgramState::none:
        return "none";
    case ProgramState::running:
        return "running";
    case ProgramState::stopped:
        return "stopped";
    case ProgramState::error:
        return "error";
    }
    return "none";
}

double startLatenessP99(const StartLateness &lateness) {
    const std::size_t count = std::min(lateness.count, lateSampleCount);
    if (count == 0) {
        return 0;
    }
    std::array<float, lateSampleCount> sorted = lateness.samplesMs;
    auto *const end = sorted.begin() + static_cast<std::ptrdiff_t>(count);
    const std::size_t rank = (count * 99 + 99) / 100 - 1;
    std::nth_element(sorted.begin(), sorted.begin() + static_cast<std::ptrdiff_t>(rank), end);
    return sorted[rank];
}

void noteCycleSeconds(CycleHistogram &histogram, double seconds) {
    // A cycle exactly on a bound counts into that bound's bucket, as "le" says.
    const auto *const bound =
        std::lower_bound(cycleBucketSeconds.begin(), cycleBucketSeconds.end(), seconds);
    histogram.counts[static_cast<std::size_t>(bound - cycleBucketSeconds.begin())] += 1;
    histogram.sumSeconds += seconds;
    histogram.cycles += 1;
}
