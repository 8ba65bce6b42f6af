// Retained memory (--state DIR): the data blocks and areas kept in a folder across runs, as a
// real CPU keeps its retentive memory across a power cycle. One image file per block or area
// (memory/memory_image.h), read at start over the configuration's start content, and written
// while the server runs by a saver thread: the loop only copies what changed and hands the copies
// over, so no reply waits for the disk.
//
// The saver thread and its queue serve the whole process (RetainedSaver); each PLC with a state
// folder keeps its own bookkeeping of what to save and when (RetainedSaving).
#pragma once

#include "memory/memory.h"
#include "memory/memory_image.h"

#include <cstdint>
#include <deque>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

inline constexpr int defaultSaveEverySeconds = 10;
inline constexpr int largestSaveEverySeconds = 86400;

// An image read from the state folder at start, checked: it replaces the start content of its
// data block or area.
struct KeptImage {
    ImageUnit unit;
    std::vector<std::uint8_t> content;
};

// The memory kept in the state folder, as found at start.
struct KeptMemory {
    std::vector<KeptImage> images;       // in file name order
    std::vector<std::string> unfinished; // temporary files of saves that never completed
    bool folderMissing = false;          // created at start
};

// The path of a file in the folder.
std::string pathInFolder(const std::string &folder, std::string_view name);

// Puts the kept images into memory that has just been set up, replacing the configuration's
// start content, and leaves them unmarked: they are on the disk already.
void installKeptMemory(Memory &memory, const KeptMemory &kept);

struct RetainedSaving;

// One copy the loop took, for the saver to write.
struct SaveJob {
    RetainedSaving *owner;
    std::string folder;
    ImageUnit unit;
    std::vector<std::uint8_t> content;
};

// What the saver did with one job, for its owner to take.
struct SaveReport {
    RetainedSaving *owner;
    std::optional<ImageUnit> unit; // none for the folder itself
    std::size_t bytes;             // saved; 0 with an error
    std::string error;             // empty when saved
};

// The saver thread and what it shares with the loop thread, under the platform's saver lock.
struct RetainedSaver {
    std::deque<SaveJob> queue;
    std::size_t queuedBytes = 0;
    bool busy = false; // the saver holds a job it took, or is flushing a folder
    bool stopping = false;
    bool running = false;
    std::vector<SaveReport> reports; // since the owners last looked
};

// Starts the saver thread unless it runs already; false when it cannot be started.
bool startSaver(RetainedSaver &saver);
// Ends the saver thread once the queue is empty; every PLC has finished its saving before.
void stopSaver(RetainedSaver &saver);

// One PLC's saving: the loop's own bookkeeping.
struct RetainedSaving {
    RetainedSaver *saver = nullptr; // none: no state folder
    std::string folder;
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
    std::vector<SaveReport> failures; // taken from the saver, not yet marked again
};

// From now on retainedSavingPass saves the PLC's memory into folder every saveEverySeconds.
void startRetainedSaving(RetainedSaving &saving, RetainedSaver &saver, const std::string &folder,
                         int saveEverySeconds);

// The loop's part, once per pass: starts a save when it is due and something changed, copies a
// bounded amount of changed memory to the saver (so a pass takes what copying that costs, never
// what writing it costs), and logs a save once the saver has finished it. Nothing without a
// state folder.
void retainedSavingPass(RetainedSaving &saving, Memory &memory, std::int64_t nowMicros);

// How long the loop may wait before its next pass: while a save is still copying, about a
// millisecond, so the copies keep up with a fast disk; otherwise as long as it likes.
std::int64_t retainedSavingWaitLimit(const RetainedSaving &saving);

// When the loop must next pass for the saving's sake, at nowMicros: soon while a save is under
// way, at the next save time while something changed, never (INT64_MAX) while nothing did or
// without a state folder.
std::int64_t retainedSavingDue(const RetainedSaving &saving, const Memory &memory,
                               std::int64_t nowMicros);

// Saves everything still marked changed and waits until the saver has put it on the disk.
// Returns false when an image could not be saved (the log says which and why). Does nothing, and
// returns true, without a state folder.
bool finishRetainedSaving(RetainedSaving &saving, Memory &memory);
