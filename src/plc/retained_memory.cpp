#include "plc/retained_memory.h"

#include "core/log.h"
#include "platform/platform.h"

#include <algorithm>
#include <array>
#include <limits>
#include <span>
#include <string_view>
#include <utility>

namespace {

// What the loop may hand over: at most this much waits for the saver at a time, and a pass
// copies at most this much (a 64 KiB block takes some microseconds to copy).
constexpr std::size_t queueLimitBytes = 4 << 20;
constexpr std::size_t passCopyBudget = 256 << 10;
// While a save is copying, passes come at least this often (a busy loop makes more).
constexpr std::int64_t copyPassMicros = 1'000;
// How often a save whose copies are all handed over looks whether the saver has written them.
constexpr std::int64_t savePollMicros = 10'000;
constexpr std::int64_t microsPerSecond = 1'000'000;

// Every unit in the order a save visits them: the five areas, then DB0-DB2999.
constexpr std::size_t unitCount = fixedAreaCount + dataBlockCount;

ImageUnit unitAt(std::size_t index) {
    return index < fixedAreaCount ? areaUnit(fixedAreas[index])
                                  : dataBlockUnit(index - fixedAreaCount);
}

std::span<std::uint8_t> unitBytes(Memory &memory, ImageUnit unit) {
    return unit.area == MemoryArea::dataBlock ? findDataBlock(memory.blocks, unit.number)
                                              : processArea(memory.areas, unit.area);
}

bool unitChanged(const Memory &memory, ImageUnit unit) {
    return unit.area == MemoryArea::dataBlock ? dataBlockChanged(memory.blocks, unit.number)
                                              : processAreaChanged(memory.areas, unit.area);
}

void markUnitChanged(Memory &memory, ImageUnit unit) {
    markMemoryChanged(memory, unit.area, unit.number);
}

void clearUnitChanged(Memory &memory, ImageUnit unit) {
    if (unit.area == MemoryArea::dataBlock) {
        clearDataBlockChanged(memory.blocks, unit.number);
    } else {
        clearProcessAreaChanged(memory.areas, unit.area);
    }
}

bool anythingChanged(const Memory &memory) {
    return anyDataBlockChanged(memory.blocks) ||
           std::any_of(fixedAreas.begin(), fixedAreas.end(), [&memory](MemoryArea area) {
               return processAreaChanged(memory.areas, area);
           });
}

std::string describe(int errorCode) {
    return platform::describeError(errorCode);
}

// Writes the image next to its final name, has it put on the disk and renames it over the old
// one: a crash at any point leaves the old image or the new one, whole. The checksum is worked
// out here, on the saver's thread. Returns why it failed, or an empty text.
std::string saveImage(const SaveJob &job) {
    const std::array<std::uint8_t, imageHeaderSize> header = imageHeader(job.unit, job.content);
    const std::string target = pathInFolder(job.folder, imageFileName(job.unit));
    const std::string temporary = target + std::string(temporarySuffix);
    const std::array<std::span<const std::uint8_t>, 2> parts = {std::span(header),
                                                                std::span(job.content)};
    if (const int error = platform::writeFileToDisk(temporary, parts); error != 0) {
        return temporary + ": cannot write: " + describe(error);
    }
    if (const int error = platform::replaceFile(temporary, target); error != 0) {
        platform::removeFile(temporary);
        return target + ": cannot replace: " + describe(error);
    }
    return {};
}

// A folder renamed into since the last flush, and whose saving it is.
struct Renamed {
    std::string folder;
    RetainedSaving *owner;
};

// The saver thread: takes one job at a time under the lock and writes it without the lock. Once
// the queue runs empty it puts the folders' renames on the disk before it reports itself idle.
void runSaver(void *context) {
    RetainedSaver &saver = *static_cast<RetainedSaver *>(context);
    std::vector<Renamed> renamed;
    platform::lockSaver();
    for (;;) {
        while (saver.queue.empty() && !saver.stopping) {
            platform::waitSaver(-1);
        }
        if (saver.queue.empty()) {
            break; // stopping, and nothing left
        }
        SaveJob job = std::move(saver.queue.front());
        saver.queue.pop_front();
        saver.busy = true;
        platform::unlockSaver();
        const std::string error = saveImage(job);
        platform::lockSaver();

        saver.queuedBytes -= job.content.size();
        saver.reports.push_back(
            {job.owner, job.unit, error.empty() ? job.content.size() : 0, error});
        if (error.empty() &&
            std::none_of(renamed.begin(), renamed.end(),
                         [&job](const Renamed &done) { return done.folder == job.folder; })) {
            renamed.push_back({job.folder, job.owner});
        }
        if (saver.queue.empty() && !renamed.empty()) {
            platform::unlockSaver();
            std::vector<SaveReport> flushFailures;
            for (const Renamed &done : renamed) {
                if (const int code = platform::flushFolder(done.folder); code != 0) {
                    flushFailures.push_back(
                        {done.owner, std::nullopt, 0,
                         done.folder + ": cannot flush the folder: " + describe(code)});
                }
            }
            platform::lockSaver();
            for (SaveReport &failure : flushFailures) {
                saver.reports.push_back(std::move(failure));
            }
            renamed.clear();
        }
        saver.busy = false;
        platform::wakeSaverWaiters();
    }
    saver.running = false;
    platform::wakeSaverWaiters();
    platform::unlockSaver();
}

// With the saver lock held: hands the copies over and takes what the saver reported on them.
void tradeWithSaver(RetainedSaving &saving) {
    RetainedSaver &saver = *saving.saver;
    for (SaveJob &job : saving.outbox) {
        saver.queuedBytes += job.content.size();
        saver.queue.push_back(std::move(job));
    }
    if (!saving.outbox.empty()) {
        platform::wakeSaverWaiters();
    }
    saving.outbox.clear();
    saving.outboxBytes = 0;
    saving.queuedBytesSeen = saver.queuedBytes;
    saving.saverIdleSeen = saver.queue.empty() && !saver.busy;
    const auto mine = std::stable_partition(
        saver.reports.begin(), saver.reports.end(),
        [&saving](const SaveReport &report) { return report.owner != &saving; });
    for (auto report = mine; report != saver.reports.end(); ++report) {
        if (report->error.empty()) {
            saving.images += 1;
            saving.bytes += report->bytes;
        } else {
            saving.failures.push_back(std::move(*report));
        }
    }
    saver.reports.erase(mine, saver.reports.end());
}

// Without the lock: counts the failures the saver reported, and marks the units it could not
// save changed again so the next save tries them once more.
void noteFailures(RetainedSaving &saving, Memory &memory) {
    for (const SaveReport &failure : saving.failures) {
        if (failure.unit && !unitBytes(memory, *failure.unit).empty()) {
            markUnitChanged(memory, *failure.unit);
        }
        if (saving.failed++ == 0) {
            saving.firstFailure = failure.error;
        }
    }
    saving.failures.clear();
}

// The loop's turn with the saver: never waits for it. When the saver holds the lock at this
// moment (it does only for a queue operation) the copies wait for the next pass.
void tradeIfFree(RetainedSaving &saving, Memory &memory) {
    if (platform::tryLockSaver()) {
        tradeWithSaver(saving);
        platform::unlockSaver();
    }
    noteFailures(saving, memory);
}

// Copies the changed units from the cursor on into the outbox, clearing their marks: a unit
// written after its copy was taken is marked again and goes into the next save. Stops once
// budget bytes are copied, or where the saver's queue (as last seen) and the outbox would hold
// more than the queue's limit; the next call goes on from there.
void copyChanged(RetainedSaving &saving, Memory &memory, std::size_t budget) {
    std::size_t copied = 0;
    for (; saving.cursor < unitCount; ++saving.cursor) {
        const ImageUnit unit = unitAt(saving.cursor);
        if (!unitChanged(memory, unit)) {
            continue;
        }
        const std::span<const std::uint8_t> bytes = unitBytes(memory, unit);
        const std::size_t waiting = saving.queuedBytesSeen + saving.outboxBytes;
        if ((copied > 0 && copied + bytes.size() > budget) ||
            (waiting > 0 && waiting + bytes.size() > queueLimitBytes)) {
            return;
        }
        saving.outbox.push_back(
            {&saving, saving.folder, unit, std::vector<std::uint8_t>(bytes.begin(), bytes.end())});
        saving.outboxBytes += bytes.size();
        clearUnitChanged(memory, unit);
        copied += bytes.size();
    }
}

void beginSave(RetainedSaving &saving) {
    saving.underWay = true;
    saving.cursor = 0;
    saving.startedMicros = platform::monotonicMicros();
    saving.longestStepMicros = 0;
    saving.images = 0;
    saving.bytes = 0;
    saving.failed = 0;
    saving.firstFailure.clear();
}

// One line for a save that has finished: what it wrote, how long it took and the most one pass
// of the loop spent on it; and what it could not write.
void logSave(const RetainedSaving &saving, bool atExit) {
    const char *when = atExit ? " at exit" : "";
    const auto tookMillis =
        static_cast<int>((platform::monotonicMicros() - saving.startedMicros) / 1000);
    const auto images = static_cast<int>(saving.images);
    const auto kibibytes = static_cast<int>((saving.bytes + 1023) / 1024);
    if (saving.images > 0 || saving.failed == 0) {
        if (atExit) {
            // The loop is over: nothing waited for this save.
            logMessage(attributePlain, "Memory saved at exit: %d images, %d KiB, %d ms", images,
                       kibibytes, tookMillis);
        } else {
            logMessage(attributePlain, "Memory saved: %d images, %d KiB, %d ms, longest pass %d us",
                       images, kibibytes, tookMillis, static_cast<int>(saving.longestStepMicros));
        }
    }
    if (saving.failed > 0) {
        logMessage(attributeError, "Memory not saved%s: %d images failed, the first: %s", when,
                   static_cast<int>(saving.failed), saving.firstFailure.c_str());
    }
}

} // namespace

std::string pathInFolder(const std::string &folder, std::string_view name) {
    const bool separated = !folder.empty() && (folder.back() == '/' || folder.back() == '\\');
    return folder + (separated ? "" : "/") + std::string(name);
}

void installKeptMemory(Memory &memory, const KeptMemory &kept) {
    for (const KeptImage &image : kept.images) {
        const std::span<std::uint8_t> bytes = unitBytes(memory, image.unit);
        if (bytes.size() == image.content.size()) {
            std::copy(image.content.begin(), image.content.end(), bytes.begin());
        } else if (!declareDataBlock(memory.blocks, image.unit.number, image.content.size(),
                                     image.content)) {
            // Only data blocks differ in size from what is there; the areas were checked.
            logMessage(attributeError, "Cannot create DB%d of %d bytes: out of memory",
                       static_cast<int>(image.unit.number), static_cast<int>(image.content.size()));
            continue;
        }
        clearUnitChanged(memory, image.unit);
    }
}

bool startSaver(RetainedSaver &saver) {
    if (saver.running) {
        return true;
    }
    platform::lockSaver();
    saver.stopping = false;
    saver.running = true;
    platform::unlockSaver();
    if (!platform::startSaverThread(runSaver, &saver)) {
        saver.running = false;
        return false;
    }
    return true;
}

void stopSaver(RetainedSaver &saver) {
    platform::lockSaver();
    saver.stopping = true;
    platform::wakeSaverWaiters();
    while (saver.running) {
        platform::waitSaver(-1);
    }
    platform::unlockSaver();
}

void startRetainedSaving(RetainedSaving &saving, RetainedSaver &saver, const std::string &folder,
                         int saveEverySeconds) {
    saving = RetainedSaving{};
    saving.saver = &saver;
    saving.folder = folder;
    saving.periodMicros = saveEverySeconds * microsPerSecond;
}

void retainedSavingPass(RetainedSaving &saving, Memory &memory, std::int64_t nowMicros) {
    if (saving.saver == nullptr) {
        return;
    }
    if (!saving.clockStarted) {
        saving.clockStarted = true;
        saving.nextSaveMicros = nowMicros + saving.periodMicros;
    }
    if (!saving.underWay) {
        if (nowMicros < saving.nextSaveMicros) {
            return;
        }
        saving.nextSaveMicros = nowMicros + saving.periodMicros;
        if (!anythingChanged(memory)) {
            return;
        }
        beginSave(saving);
    }
    const std::int64_t stepStart = platform::monotonicMicros();
    copyChanged(saving, memory, passCopyBudget);
    tradeIfFree(saving, memory);
    saving.longestStepMicros =
        std::max(saving.longestStepMicros, platform::monotonicMicros() - stepStart);
    if (saving.cursor == unitCount && saving.outbox.empty() && saving.saverIdleSeen) {
        saving.underWay = false;
        logSave(saving, false);
    }
}

std::int64_t retainedSavingWaitLimit(const RetainedSaving &saving) {
    if (saving.underWay && saving.cursor < unitCount) {
        return copyPassMicros;
    }
    return std::numeric_limits<std::int64_t>::max();
}

std::int64_t retainedSavingDue(const RetainedSaving &saving, const Memory &memory,
                               std::int64_t nowMicros) {
    if (saving.saver == nullptr) {
        return std::numeric_limits<std::int64_t>::max();
    }
    if (!saving.clockStarted) {
        return nowMicros;
    }
    if (saving.underWay) {
        // Copying, or waiting for the saver to finish the last copies, which it does not tell.
        return nowMicros + (saving.cursor < unitCount ? copyPassMicros : savePollMicros);
    }
    // Nothing to save wakes nobody: a change comes from a pass, which starts an overdue save.
    return anythingChanged(memory) ? saving.nextSaveMicros
                                   : std::numeric_limits<std::int64_t>::max();
}

bool finishRetainedSaving(RetainedSaving &saving, Memory &memory) {
    if (saving.saver == nullptr) {
        return true;
    }
    // A save under way is taken over: what it could not save so far is marked again, and what
    // it copied already is no longer marked, so everything from the first unit on is what is left.
    platform::lockSaver();
    tradeWithSaver(saving);
    platform::unlockSaver();
    noteFailures(saving, memory);
    beginSave(saving);
    // Hands everything over, waiting for room in the queue, then until the saver has written it.
    for (;;) {
        copyChanged(saving, memory, queueLimitBytes);
        platform::lockSaver();
        tradeWithSaver(saving);
        const bool done = saving.cursor == unitCount && saving.saverIdleSeen;
        if (!done) {
            platform::waitSaver(-1); // until the saver has written a job
            tradeWithSaver(saving);
        }
        platform::unlockSaver();
        noteFailures(saving, memory);
        if (done || (saving.cursor == unitCount && saving.saverIdleSeen)) {
            break;
        }
    }
    logSave(saving, true);
    saving.saver = nullptr;
    saving.underWay = false;
    return saving.failed == 0;
}
