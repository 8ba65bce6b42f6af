// Everything a PLC's clients read and write: its data blocks and its fixed areas. A value of its
// own, so each PLC in a process has one and a test can make a fresh one.
#pragma once

#include "memory/data_block_table.h"
#include "memory/process_image.h"

struct Memory {
    DataBlockTable blocks;
    ProcessImage areas;
};
