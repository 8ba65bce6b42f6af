// Demo values in DB1 and DB15 that change on every tick, so a client sees live data at once.
#pragma once

inline constexpr int demoBlockS5Order = 15; // counters held least significant byte first
inline constexpr int demoBlockS7Order = 1;  // counters held most significant byte first

// Advances both demo blocks by one tick, creating and seeding them on first use.
void simulateTick();
