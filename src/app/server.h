// Start-up, one pass of the main loop, and the loop itself.
#pragma once

#include "app/command_line.h"

#include <cstdint>

inline constexpr std::int64_t tickMicros = 10'000;
inline constexpr std::int32_t idleTickLimit = 6500;
// Connections the OS completes before the loop accepts them: at least this many, and as many
// as are served at once, so that many clients connecting together are not left waiting.
inline constexpr int listenBacklog = 4;

// Prints the banner and start line, installs the declared data blocks and the kept images
// (options.kept, read by readStateFolder), opens the listening socket and, with a state folder,
// starts saving the memory there. On failure it logs why and returns false. The options are
// taken by value: the server keeps their block images for serverReset, so a caller done with
// them can move them in.
bool serverStart(Options options);

// The port the listener is bound to (tests ask for port 0 and read the real one here).
std::uint16_t serverPort();

// One pass: serve the slots (those the last serverWait found ready, else every slot) in slot
// order, accept at most one client, and run the 10 ms tick (idle counting, demo data) when
// nowMicros has reached it. Never waits.
void serverPass(std::int64_t nowMicros);

// Waits until a socket is ready or the next tick is due, whichever comes first.
void serverWait(std::int64_t nowMicros);

// Runs passes until a stop is requested.
void serverRun();

// Back to the state of a server that has just started, listener aside: closes every client
// socket, empties the connection table, puts the data block table back to the declared start
// blocks (the demo blocks are seeded again on the next tick; kept images are not read again),
// zeroes the process image, puts the CPU in RUN with the host's time and restarts the tick clock.
// Tests and the fuzzer call it between runs.
void serverReset();

// Saves what changed into the state folder, if there is one, then closes every client socket
// and the listener, and frees every data block.
void serverShutdown();

// The whole program: command line, start-up, loop, exit status.
int serverMain(int argc, char **argv);
