// Demo values in DB1 and DB15 that change on every tick, so a client sees live data at once.
#pragma once

#include "memory/data_block_table.h"

#include <cstddef>

inline constexpr int demoBlockS5Order = 15; // counters held least significant byte first
inline constexpr int demoBlockS7Order = 1;  // counters held most significant byte first

// The bytes at the start of each demo block that the ticks change; a block declared under a demo
// number must hold at least these.
inline constexpr std::size_t demoAnimatedBytes = 64;

// Advances both demo blocks by one tick, creating and seeding them on first use.
void simulateTick(DataBlockTable &blocks);

// Creates and seeds the demo blocks that do not exist yet, as the first tick would; for a table
// that will be fixed before the first tick.
void createDemoBlocks(DataBlockTable &blocks);
