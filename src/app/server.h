// Start-up, one pass of the main loop, and the loop itself, over the list of PLCs the process
// serves.
#pragma once

#include "app/command_line.h"
#include "core/capture.h"
#include "core/connection_table.h"
#include "platform/platform.h"
#include "plc/plc.h"
#include "plc/retained_memory.h"

#include <array>
#include <cstdint>
#include <memory>
#include <vector>

// The loop's tick (idle counting, demo data) is the demo data's step.
inline constexpr std::int64_t tickMicros = demoTickMicros;
inline constexpr std::int32_t idleTickLimit = 6500;
// Connections the OS completes before the loop accepts them: at least this many, and as many
// as are served at once, so that many clients connecting together are not left waiting.
inline constexpr int listenBacklog = 4;

// What the process holds besides its PLCs: the one receive buffer, the capture file, the events
// file's numbering, the saver thread of the retained memory, and what the last readiness wait
// found beyond the PLCs.
struct Server {
    // Each PLC keeps its address: connection tables, the saver and the HTTP server point at it.
    std::vector<std::unique_ptr<Plc>> plcs;
    // The one buffer every receive writes into; its content is valid until the next receive.
    std::array<std::uint8_t, largestRequestFrame> receiveBuffer{};
    Capture capture;
    // The events file's lines (--events), numbered across every PLC; off unless eventsOn.
    bool eventsOn = false;
    EventLines events;
    RetainedSaver saver;
    bool watchConsole = false; // stdin is an interactive console: a key press ends the loop
    // Whether the last wait told which sockets are ready. A pass with no wait before it (tests)
    // serves every slot of every PLC and tries every listener.
    bool readinessKnown = false;
    bool httpReady = false; // the watch page's server has work
    // Where the watch page's server listens; port 0 while it does not.
    Ipv4Address httpAddress{};
    std::uint16_t httpPort = 0;
    // When the wait last asked the watch page's descriptor.
    std::int64_t httpAskedMicros = 0;
    // The sockets the wait watches, kept between waits so a wait allocates nothing.
    std::vector<platform::WaitEntry> waitEntries;
};

// Prints the banner and start line, sets up the PLC the options describe (addPlc) and, when
// asked for, the watch page. On failure it logs why and returns false. The options are taken by
// value: the PLC keeps their block images, so a caller done with them can move them in.
bool serverStart(Server &server, Options options);

// The same for a plant: every PLC of plant, in order (their log lines name them when there is
// more than one), and the watch page as the process's settings say.
bool serverStartPlant(Server &server, const Options &process, std::vector<Options> plant);

// A PLC shows in the capture under port 102 while its address alone tells it apart; where
// another PLC may be reached at the same address (the same bind, or one on every address), it
// shows under the port it listens on. Called once every PLC listens.
void chooseCapturePorts(const std::vector<std::unique_ptr<Plc>> &plcs);

// Adds a PLC as the options describe it: its memory with the declared blocks and the kept
// images (options.kept, read by readStateFolder), its listening socket and, with a state folder,
// its saving there. On failure it logs why, leaves the list as it was and returns nullptr.
Plc *addPlc(Server &server, Options options);

// One pass: for each PLC, serve its slots (those the last serverWait found ready, else every
// slot) in slot order, accept at most one client, and run the 10 ms tick (idle counting, demo
// data) when nowMicros has reached it. Never waits.
void serverPass(Server &server, std::int64_t nowMicros);

// Waits until a socket is ready or the next tick is due, whichever comes first.
void serverWait(Server &server, std::int64_t nowMicros);

// Runs passes until a stop is requested.
void serverRun(Server &server);

// Makes the PLC new again (renewPlc: its start memory, RUN, fault counts at zero, no
// connections), its listener and saving aside. Tests and the fuzzer call it between runs.
void resetPlc(Server &server, Plc &plc);

// Stops the watch page, saves what changed into each PLC's state folder, closes every client
// socket and listener, ends the capture and frees every PLC. Returns false when memory could not
// be saved.
bool serverShutdown(Server &server);

// The whole program: command line, start-up, loop, exit status.
int serverMain(int argc, char **argv);
