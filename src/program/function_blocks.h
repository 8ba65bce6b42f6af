// The standard timers, edge detectors and counters of IEC 61131-3 as a program sees them, and
// the few changes to the base library a program runs with: Lua source, loaded before the
// program's own.
#pragma once

#include <string_view>

extern const std::string_view functionBlocksSource;
