// The watch page's HTTP server, driven by the server's one loop: no thread of its own, so the
// memory it shows and changes needs no lock. The loop adds waitHandle() to its readiness wait
// and calls httpPass on every pass.
#pragma once

#include "platform/platform.h"
#include "plc/plc.h"

#include <cstdint>
#include <string>
#include <vector>

struct HttpOptions {
    Ipv4Address address;
    std::uint16_t port;
    std::string token; // empty: none
    bool readOnly;
    // The PLCs the page shows and the API addresses, in the process's order: the first answers
    // the paths that name no PLC.
    std::vector<Plc *> plcs;
};

// False where this build has no HTTP server (the Windows build).
bool httpAvailable();

// Starts serving; on failure returns why (nothing is left open).
struct HttpStart {
    bool ok;
    std::uint16_t port; // the port bound
    std::string error;
};
HttpStart httpStart(const HttpOptions &options);

bool httpRunning();
// What the loop waits on while the server runs.
platform::SocketHandle httpWaitHandle();
// The longest the loop may wait before httpPass must run again.
std::int64_t httpWaitLimit(std::int64_t nowMicros);
// Serves what is ready (ready: the wait found the handle ready) and feeds the event streams.
void httpPass(std::int64_t nowMicros, bool ready);
void httpStop();
