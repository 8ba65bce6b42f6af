// Retained memory (--state DIR): the data blocks and areas kept in a folder across runs, as a
// real CPU keeps its retentive memory across a power cycle. One image file per block or area
// (memory/memory_image.h), read at start over the configuration's start content, and written
// while the server runs by a saver thread of its own: the loop only copies what changed and
// hands the copies over, so no reply waits for the disk.
#pragma once

#include "app/command_line.h"

#include <cstdint>
#include <string>

// Reads every image in options.stateFolder into options.kept and checks each against what the
// options serve: a whole, intact image; in strict mode a declared block of exactly its size; an
// area of exactly the size the CPU has. Returns the first problem as one line naming the file
// ("state/db5.img: checksum mismatch (...)"), or an empty text. Images are only read, so a start
// that stops here changes nothing. With prepare set (a start, not --check), once every image was
// found good, creates the folder when it is missing and removes the temporary files of saves
// that never completed.
std::string readStateFolder(Options &options, bool prepare);

// Puts the kept images into the memory the server has just set up, replacing the configuration's
// start content, and leaves them unmarked: they are on the disk already.
void installKeptMemory(const KeptMemory &kept);

// Starts the saver thread for folder. From then on retainedSavingPass saves, every
// saveEverySeconds, the blocks and areas marked changed. False (and a log line) when the thread
// cannot be started.
bool startRetainedSaving(const std::string &folder, int saveEverySeconds);

// The loop's part, once per pass: starts a save when it is due and something changed, copies a
// bounded amount of changed memory to the saver (so a pass takes what copying that costs, never
// what writing it costs), and logs a save once the saver has finished it. Nothing without a
// state folder.
void retainedSavingPass(std::int64_t nowMicros);

// How long the loop may wait before its next pass: while a save is still copying, about a
// millisecond, so the copies keep up with a fast disk; otherwise as long as it likes.
std::int64_t retainedSavingWaitLimit();

// Whether a save has been started and not yet finished.
bool retainedSaveUnderWay();

// Saves everything still marked changed, waits until the saver has put it on the disk, and ends
// the saver. Returns false when an image could not be saved (the log says which and why). Does
// nothing, and returns true, when no saving was started.
bool finishRetainedSaving();
