#include "app/retained_memory.h"

#include "core/log.h"
#include "memory/data_block_table.h"
#include "memory/memory_image.h"
#include "memory/process_image.h"
#include "platform/platform.h"
#include "sim/demo_data.h"

#include <algorithm>
#include <array>
#include <deque>
#include <limits>
#include <optional>
#include <span>
#include <string_view>
#include <utility>
#include <vector>

namespace {

// What the loop may hand over: at most this much waits for the saver at a time, and a pass
// copies at most this much (a 64 KiB block takes some microseconds to copy).
constexpr std::size_t queueLimitBytes = 4 << 20;
constexpr std::size_t passCopyBudget = 256 << 10;
// While a save is copying, passes come at least this often (a busy loop makes more).
constexpr std::int64_t copyPassMicros = 1'000;
constexpr std::int64_t microsPerSecond = 1'000'000;

// Every unit in the order a save visits them: the five areas, then DB0-DB2999.
constexpr std::size_t unitCount = processAreaCount + dataBlockCount;

ImageUnit unitAt(std::size_t index) {
    return index < processAreaCount ? areaUnit(static_cast<ProcessArea>(index))
                                    : dataBlockUnit(index - processAreaCount);
}

std::span<std::uint8_t> unitBytes(ImageUnit unit) {
    return unit.kind == ImageKind::dataBlock ? findDataBlock(unit.number)
                                             : processArea(unitArea(unit));
}

bool unitChanged(ImageUnit unit) {
    return unit.kind == ImageKind::dataBlock ? dataBlockChanged(unit.number)
                                             : processAreaChanged(unitArea(unit));
}

void markUnitChanged(ImageUnit unit) {
    if (unit.kind == ImageKind::dataBlock) {
        markDataBlockChanged(unit.number);
    } else {
        markProcessAreaChanged(unitArea(unit));
    }
}

void clearUnitChanged(ImageUnit unit) {
    if (unit.kind == ImageKind::dataBlock) {
        clearDataBlockChanged(unit.number);
    } else {
        clearProcessAreaChanged(unitArea(unit));
    }
}

bool anythingChanged() {
    for (std::size_t area = 0; area < processAreaCount; ++area) {
        if (processAreaChanged(static_cast<ProcessArea>(area))) {
            return true;
        }
    }
    return anyDataBlockChanged();
}

std::string pathIn(const std::string &folder, std::string_view name) {
    const bool separated = !folder.empty() && (folder.back() == '/' || folder.back() == '\\');
    return folder + (separated ? "" : "/") + std::string(name);
}

std::string describe(int errorCode) {
    return platform::describeError(errorCode);
}

// ---------------------------------------------------------------------------------------------
// Reading the folder at start

bool isDemoBlock(std::size_t number) {
    return number == demoBlockS7Order || number == demoBlockS5Order;
}

// Why an image of size bytes cannot be served as unit with these options, or an empty text.
std::string fitError(const Options &options, const ProcessImageSizes &sizes, ImageUnit unit,
                     std::size_t size) {
    const std::string held = "holds " + std::to_string(size) + " bytes";
    if (unit.kind != ImageKind::dataBlock) {
        const std::size_t expected = processAreaSize(sizes, unitArea(unit));
        if (size == expected) {
            return {};
        }
        if (expected == 0) {
            return held + ", but this CPU has no " + unitText(unit);
        }
        return held + ", but the " + unitText(unit) + " are " + std::to_string(expected) + " bytes";
    }
    const std::string name = unitText(unit);
    if (size == 0 || size > largestDataBlock) {
        return held + "; a data block holds 1-65534";
    }
    if (options.strict) {
        const auto declared = std::find_if(
            options.dataBlocks.begin(), options.dataBlocks.end(),
            [unit](const DataBlockSetup &block) { return block.number == unit.number; });
        if (declared != options.dataBlocks.end()) {
            if (declared->image.size() != size) {
                return held + ", but " + name + " is declared with " +
                       std::to_string(declared->image.size());
            }
        } else if (options.demo && isDemoBlock(unit.number)) {
            if (size != initialSizeS5) {
                return held + ", but " + name + " is the demo's block of " +
                       std::to_string(initialSizeS5);
            }
        } else {
            return name + " is not declared, and with strict = true only declared blocks exist";
        }
    }
    if (options.demo && isDemoBlock(unit.number) && size < demoAnimatedBytes) {
        return held + ", but " + name + " is animated by the demo and needs at least " +
               std::to_string(demoAnimatedBytes) + " (or demo = false)";
    }
    return {};
}

// The unit a leftover temporary file of a save belongs to.
std::optional<ImageUnit> unfinishedSaveOf(std::string_view name) {
    if (!name.ends_with(temporarySuffix)) {
        return std::nullopt;
    }
    return imageUnitFromName(name.substr(0, name.size() - temporarySuffix.size()));
}

// ---------------------------------------------------------------------------------------------
// Saving

struct SaveJob {
    ImageUnit unit;
    std::vector<std::uint8_t> content; // a copy taken by the loop
};

struct SaveFailure {
    std::optional<ImageUnit> unit; // none for the folder itself
    std::string error;
};

// Shared between the loop and the saver thread, under the saver lock. The folder is set before
// the thread starts and only read afterwards.
struct SaverShare {
    std::string folder;
    std::deque<SaveJob> queue;
    std::size_t queuedBytes = 0;
    bool busy = false; // the saver holds a job it took, or is flushing the folder
    bool stopping = false;
    bool running = false;
    // What the saver did since the loop last looked.
    std::size_t savedImages = 0;
    std::size_t savedBytes = 0;
    std::vector<SaveFailure> failures;
};
SaverShare share;

// The loop's own bookkeeping.
struct SavingState {
    bool active = false;
    std::int64_t periodMicros = 0;
    bool clockStarted = false;
    std::int64_t nextSaveMicros = 0;
    // A save under way: the next unit to look at, and what it has done so far.
    bool underWay = false;
    std::size_t cursor = 0;
    std::int64_t startedMicros = 0;     // on the monotonic clock, for the log
    std::int64_t longestStepMicros = 0; // the most one pass spent on the save
    std::size_t images = 0;
    std::size_t bytes = 0;
    std::size_t failed = 0;
    std::string firstFailure;
    // Copies taken and not yet in the saver's queue, and the saver as last seen.
    std::vector<SaveJob> outbox;
    std::size_t outboxBytes = 0;
    std::size_t queuedBytesSeen = 0;
    bool saverIdleSeen = true;
    std::vector<SaveFailure> failures; // taken from the saver, not yet marked again
};
SavingState saving;

// Writes the image next to its final name, has it put on the disk and renames it over the old
// one: a crash at any point leaves the old image or the new one, whole. The checksum is worked
// out here, on the saver's thread. Returns why it failed, or an empty text.
std::string saveImage(const std::string &folder, const SaveJob &job) {
    const std::array<std::uint8_t, imageHeaderSize> header = imageHeader(job.unit, job.content);
    const std::string target = pathIn(folder, imageFileName(job.unit));
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

// The saver thread: takes one job at a time under the lock and writes it without the lock. Once
// the queue runs empty it puts the folder's renames on the disk before it reports itself idle.
void runSaver() {
    bool renamedSinceFlush = false;
    platform::lockSaver();
    for (;;) {
        while (share.queue.empty() && !share.stopping) {
            platform::waitSaver(-1);
        }
        if (share.queue.empty()) {
            break; // stopping, and nothing left
        }
        SaveJob job = std::move(share.queue.front());
        share.queue.pop_front();
        share.busy = true;
        platform::unlockSaver();
        const std::string error = saveImage(share.folder, job);
        platform::lockSaver();

        share.queuedBytes -= job.content.size();
        if (error.empty()) {
            share.savedImages += 1;
            share.savedBytes += job.content.size();
            renamedSinceFlush = true;
        } else {
            share.failures.push_back({job.unit, error});
        }
        if (share.queue.empty() && renamedSinceFlush) {
            platform::unlockSaver();
            const int code = platform::flushFolder(share.folder);
            platform::lockSaver();
            if (code != 0) {
                share.failures.push_back(
                    {std::nullopt, share.folder + ": cannot flush the folder: " + describe(code)});
            }
            renamedSinceFlush = false;
        }
        share.busy = false;
        platform::wakeSaverWaiters();
    }
    share.running = false;
    platform::wakeSaverWaiters();
    platform::unlockSaver();
}

// With the saver lock held: hands the copies over and takes what the saver reported.
void tradeWithSaver() {
    for (SaveJob &job : saving.outbox) {
        share.queuedBytes += job.content.size();
        share.queue.push_back(std::move(job));
    }
    if (!saving.outbox.empty()) {
        platform::wakeSaverWaiters();
    }
    saving.outbox.clear();
    saving.outboxBytes = 0;
    saving.queuedBytesSeen = share.queuedBytes;
    saving.saverIdleSeen = share.queue.empty() && !share.busy;
    saving.images += std::exchange(share.savedImages, 0);
    saving.bytes += std::exchange(share.savedBytes, 0);
    for (SaveFailure &failure : share.failures) {
        saving.failures.push_back(std::move(failure));
    }
    share.failures.clear();
}

// Without the lock: counts the failures the saver reported, and marks the units it could not
// save changed again so the next save tries them once more.
void noteFailures() {
    for (const SaveFailure &failure : saving.failures) {
        if (failure.unit && !unitBytes(*failure.unit).empty()) {
            markUnitChanged(*failure.unit);
        }
        if (saving.failed++ == 0) {
            saving.firstFailure = failure.error;
        }
    }
    saving.failures.clear();
}

// The loop's turn with the saver: never waits for it. When the saver holds the lock at this
// moment (it does only for a queue operation) the copies wait for the next pass.
void tradeIfFree() {
    if (platform::tryLockSaver()) {
        tradeWithSaver();
        platform::unlockSaver();
    }
    noteFailures();
}

// The loop's turn with the saver at exit, when nothing else is left to do: waits for the lock.
void trade() {
    platform::lockSaver();
    tradeWithSaver();
    platform::unlockSaver();
    noteFailures();
}

// Copies the changed units from the cursor on into the outbox, clearing their marks: a unit
// written after its copy was taken is marked again and goes into the next save. Stops once
// budget bytes are copied, or where the saver's queue (as last seen) and the outbox would hold
// more than the queue's limit; the next call goes on from there.
void copyChanged(std::size_t budget) {
    std::size_t copied = 0;
    for (; saving.cursor < unitCount; ++saving.cursor) {
        const ImageUnit unit = unitAt(saving.cursor);
        if (!unitChanged(unit)) {
            continue;
        }
        const std::span<const std::uint8_t> bytes = unitBytes(unit);
        const std::size_t waiting = saving.queuedBytesSeen + saving.outboxBytes;
        if ((copied > 0 && copied + bytes.size() > budget) ||
            (waiting > 0 && waiting + bytes.size() > queueLimitBytes)) {
            return;
        }
        saving.outbox.push_back({unit, std::vector<std::uint8_t>(bytes.begin(), bytes.end())});
        saving.outboxBytes += bytes.size();
        clearUnitChanged(unit);
        copied += bytes.size();
    }
}

void beginSave() {
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
void logSave(bool atExit) {
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

std::string readStateFolder(Options &options, bool prepare) {
    options.kept = KeptMemory{};
    const std::string &folder = options.stateFolder;
    if (folder.empty()) {
        return {};
    }
    platform::FolderListing listing = platform::listFolder(folder);
    if (listing.errorCode != 0) {
        if (!platform::isMissingError(listing.errorCode)) {
            return folder + ": cannot read the folder: " + describe(listing.errorCode);
        }
        options.kept.folderMissing = true;
        if (prepare) {
            if (const int error = platform::createFolder(folder); error != 0) {
                return folder + ": cannot create the folder: " + describe(error);
            }
        }
        return {};
    }
    std::sort(listing.names.begin(), listing.names.end());
    const ProcessImageSizes sizes = processImageSizes(options);
    for (const std::string &name : listing.names) {
        if (unfinishedSaveOf(name)) {
            options.kept.unfinished.push_back(name);
            continue;
        }
        const std::optional<ImageUnit> unit = imageUnitFromName(name);
        if (!unit) {
            continue; // not ours
        }
        const std::string path = pathIn(folder, name);
        // One byte more than any image holds, so that a longer file shows as one.
        platform::FileRead read = platform::readFile(path, largestImageFile + 1);
        if (read.errorCode != 0) {
            return path + ": cannot read: " + describe(read.errorCode);
        }
        const ImageCheck check = checkImage(read.bytes, *unit);
        if (!check.ok) {
            return path + ": " + check.error;
        }
        if (const std::string error = fitError(options, sizes, *unit, check.content.size());
            !error.empty()) {
            return path + ": " + error;
        }
        read.bytes.erase(read.bytes.begin(), read.bytes.begin() + imageHeaderSize);
        options.kept.images.push_back({*unit, std::move(read.bytes)});
    }
    if (prepare) {
        for (const std::string &name : options.kept.unfinished) {
            const std::string path = pathIn(folder, name);
            if (const int error = platform::removeFile(path); error != 0) {
                return path + ": cannot remove this unfinished save: " + describe(error);
            }
        }
    }
    return {};
}

void installKeptMemory(const KeptMemory &kept) {
    for (const KeptImage &image : kept.images) {
        const std::span<std::uint8_t> bytes = unitBytes(image.unit);
        if (bytes.size() == image.content.size()) {
            std::copy(image.content.begin(), image.content.end(), bytes.begin());
        } else if (!declareDataBlock(image.unit.number, image.content.size(), image.content)) {
            // Only data blocks differ in size from what is there; the areas were checked.
            logMessage(attributeError, "Cannot create DB%d of %d bytes: out of memory",
                       static_cast<int>(image.unit.number), static_cast<int>(image.content.size()));
            continue;
        }
        clearUnitChanged(image.unit);
    }
}

bool startRetainedSaving(const std::string &folder, int saveEverySeconds) {
    finishRetainedSaving(); // a saver still running from an earlier start
    platform::lockSaver();
    share = SaverShare{};
    share.folder = folder;
    share.running = true;
    platform::unlockSaver();
    if (!platform::startSaverThread(runSaver)) {
        share.running = false;
        logMessage(attributeError, "Cannot start the thread that saves the memory to %s",
                   folder.c_str());
        return false;
    }
    saving = SavingState{};
    saving.active = true;
    saving.periodMicros = saveEverySeconds * microsPerSecond;
    return true;
}

void retainedSavingPass(std::int64_t nowMicros) {
    if (!saving.active) {
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
        if (!anythingChanged()) {
            return;
        }
        beginSave();
    }
    const std::int64_t stepStart = platform::monotonicMicros();
    copyChanged(passCopyBudget);
    tradeIfFree();
    saving.longestStepMicros =
        std::max(saving.longestStepMicros, platform::monotonicMicros() - stepStart);
    if (saving.cursor == unitCount && saving.outbox.empty() && saving.saverIdleSeen) {
        saving.underWay = false;
        logSave(false);
    }
}

std::int64_t retainedSavingWaitLimit() {
    if (saving.underWay && saving.cursor < unitCount) {
        return copyPassMicros;
    }
    return std::numeric_limits<std::int64_t>::max();
}

bool retainedSaveUnderWay() {
    return saving.underWay;
}

bool finishRetainedSaving() {
    if (!saving.active) {
        return true;
    }
    // A save under way is taken over: what it could not save so far is marked again, and what
    // it copied already is no longer marked, so everything from the first unit on is what is left.
    trade();
    beginSave();
    for (;;) {
        copyChanged(queueLimitBytes);
        platform::lockSaver();
        tradeWithSaver();
        const bool handedOver = saving.cursor == unitCount;
        if (!handedOver) {
            platform::waitSaver(-1); // until the saver has written a job and made room
        }
        platform::unlockSaver();
        noteFailures();
        if (handedOver) {
            break;
        }
    }
    platform::lockSaver();
    share.stopping = true;
    platform::wakeSaverWaiters();
    while (share.running) {
        platform::waitSaver(-1);
    }
    tradeWithSaver();
    platform::unlockSaver();
    noteFailures();
    logSave(true);
    saving.active = false;
    saving.underWay = false;
    return saving.failed == 0;
}
