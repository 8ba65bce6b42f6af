// The state folder (--state DIR) as found at start: the images kept there, checked against what
// the options serve before anything listens.
#pragma once

#include "app/command_line.h"

#include <string>

// Reads every image in options.stateFolder into options.kept and checks each against what the
// options serve: a whole, intact image; in strict mode a declared block of exactly its size; an
// area of exactly the size the CPU has. Returns the first problem as one line naming the file
// ("state/db5.img: checksum mismatch (...)"), or an empty text. Images are only read, so a start
// that stops here changes nothing. With prepare set (a start, not --check), once every image was
// found good, creates the folder when it is missing and removes the temporary files of saves
// that never completed.
std::string readStateFolder(Options &options, bool prepare);
