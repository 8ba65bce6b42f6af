#include "app/server.h"

#include "app/config_file.h"
#include "app/retained_memory.h"
#include "core/capture.h"
#include "core/connection_table.h"
#include "core/fault_rules.h"
#include "core/log.h"
#include "http/http_server.h"
#include "memory/data_block_table.h"
#include "memory/process_image.h"
#include "platform/platform.h"
#include "s7/cpu_profile.h"
#include "s7/cpu_state.h"
#include "s7/plc_clock.h"
#include "sim/demo_data.h"
#include "transport/frame_stream.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace {

platform::SocketHandle listener = platform::invalidSocket;
std::uint16_t listenerPort = 0;
bool tickClockStarted = false;
// What the data block table starts with, kept for serverReset: the declared blocks, whether only
// they exist, and whether the demo blocks are animated.
std::vector<DataBlockSetup> startBlocks;
bool strictBlocks = false;
bool demoRunning = true;
// The fault rules the server starts with, and their seed, for serverReset.
std::vector<FaultRule> startFaults;
std::uint64_t faultSeed = defaultFaultSeed;
bool watchConsole = false; // stdin is an interactive console: a key press ends the loop
std::int64_t nextTickMicros = 0;

// What the last readiness wait found, for the pass behind it: the slots to serve, in slot
// order, and whether the listener has a client waiting. A pass with no wait before it (tests)
// serves every slot and tries to accept. Only ready sockets are asked, so a pass costs what its
// ready connections need whatever the number of idle ones; and a non-blocking accept with an
// empty queue is not cheap on Linux (the kernel builds a whole socket before it looks).
struct Readiness {
    bool known;
    bool listenerReady;
    bool httpReady; // the watch page's server has work
    int slotCount;
    std::array<int, maxConnections> slots;
};
Readiness readiness{};
// When the wait last asked the watch page's descriptor.
constexpr std::int64_t httpAskEveryMicros = 1000;
std::int64_t httpAskedMicros = 0;

// The banner: a code page 437 double frame, drawn in UTF-8; every line 65 characters wide.
constexpr std::string_view bannerCredit =
    "plcdouble: an S7/S5 PLC stand-in serving data blocks over TCP";
static_assert(bannerCredit.size() == 61);

void printBanner() {
    std::string top = "\u2554";
    std::string bottom = "\u255A";
    for (int i = 0; i < 63; ++i) {
        top += "\u2550";
        bottom += "\u2550";
    }
    top += "\u2557";
    bottom += "\u255D";
    const std::string middle = "\u2551 " + std::string(bannerCredit) + " \u2551";
    logMessage(attributeBanner, "%s", top.c_str());
    logMessage(attributeBanner, "%s", middle.c_str());
    logMessage(attributeBanner, "%s", bottom.c_str());
}

const char *stepName(platform::ListenStep step) {
    switch (step) {
    case platform::ListenStep::create:
        return "create the socket";
    case platform::ListenStep::bind:
        return "bind";
    case platform::ListenStep::listen:
        return "listen";
    }
    return "listen";
}

void reportListenFailure(const Options &options, const platform::ListenResult &result) {
    const platform::Ipv4Address &address = options.bindAddress;
    const std::string hint = platform::listenFailureHint(result.errorCode, options.port);
    logMessage(attributeError, "Cannot listen on %d.%d.%d.%d port %d: %s failed: %s (%d)%s",
               address[0], address[1], address[2], address[3], options.port,
               stepName(result.failedAt), platform::describeError(result.errorCode).c_str(),
               result.errorCode, hint.c_str());
}

void acceptOne() {
    const platform::AcceptResult accepted = platform::acceptConnection(listener);
    if (accepted.socket == platform::invalidSocket) {
        return;
    }
    ConnectionEnds ends{};
    ends.clientAddress = accepted.peer;
    ends.clientPort = accepted.peerPort;
    ends.serverAddress = accepted.local;
    captureAccepted(ends);
    if (connectionTable.connectionCount >= connectionTable.limit) {
        logMessage(attributeError, "Incoming connection denied %d",
                   connectionTable.connectionCount);
        platform::closeSocket(accepted.socket);
        captureClosed(ends);
        return;
    }
    const int slot = connectionTable.connectionCount;
    if (slotAt(slot).socket != platform::invalidSocket) {
        // Cannot happen while the table stays compact; keep the old connection.
        logMessage(attributeError, "Conn already connected %d", connectionTable.connectionCount);
        platform::closeSocket(accepted.socket);
        captureClosed(ends);
        return;
    }
    slotAt(slot).socket = accepted.socket;
    slotAt(slot).ends = ends;
    slotAt(slot).lastActivityMicros = connectionTable.nowMicros;
    logMessage(attributeSlot0, "TCP conn from %d.%d.%d.%d (%d)", accepted.peer[0], accepted.peer[1],
               accepted.peer[2], accepted.peer[3], slot);
    connectionTable.connectionCount += 1;
}

// Data restarts the slot's idle count. While slot 0 carries no S7 traffic its data restarts
// slot 1's count too, unless slot 1 is stuck with a reply its client does not take.
void noteActivity(int slot) {
    slotAt(slot).idleTicks = 0;
    if (slot == 0 && slotAt(0).s7Active == 0 && !hasUnsentReply(1)) {
        slotAt(1).idleTicks = 0;
    }
}

void serveSlot(int slot) {
    if (slotAt(slot).socket == platform::invalidSocket) {
        return;
    }
    if (hasUnsentReply(slot)) {
        flushUnsentReply(slot);
        if (hasUnsentReply(slot)) {
            return; // its requests wait in the socket until the client takes its replies
        }
    }
    const platform::SocketHandle socket = slotAt(slot).socket;
    deliverHeldFrames(slot);
    if (slotAt(slot).socket != socket || hasUnsentReply(slot)) {
        return;
    }
    const std::size_t room = receiveRoom(slot);
    const platform::ReceiveResult received =
        platform::receiveBytes(socket, std::span(ReceiveBuffer).first(room));
    switch (received.outcome) {
    case platform::ReceiveOutcome::data:
        slotAt(slot).bytesIn += received.count;
        slotAt(slot).lastActivityMicros = connectionTable.nowMicros;
        deliverReceivedBytes(slot, ByteView(ReceiveBuffer).first(received.count));
        if (slotAt(slot).socket == socket) {
            noteActivity(slot);
        }
        return;
    case platform::ReceiveOutcome::noData:
        return;
    case platform::ReceiveOutcome::peerClosed:
    case platform::ReceiveOutcome::connectionLost:
        captureClientEnded(slotAt(slot).ends,
                           received.outcome == platform::ReceiveOutcome::connectionLost);
        closeConnection(slot);
        return;
    case platform::ReceiveOutcome::otherError:
        logMessage(attributeError, "Unknown TCP error 0x%08X",
                   static_cast<unsigned>(received.errorCode));
        return;
    }
}

void runTick() {
    int slot = 0;
    while (slot < connectionTable.connectionCount) {
        ConnectionSlot &connection = slotAt(slot);
        connection.idleTicks += 1;
        if (connection.idleTicks > idleTickLimit) {
            logMessage(attributeError, "Inactivity shutdown");
            closeConnection(slot);
            continue; // the connection that moved down is counted in its new place
        }
        ++slot;
    }
    if (cpuRunState() == CpuRunState::run && demoRunning) {
        simulateTick(); // a stopped CPU's program does not run
    }
}

// The declared blocks with their start images. With strict blocks the demo blocks are created
// now (the table admits no new block afterwards) and the table is fixed.
bool installDataBlocks() {
    for (const DataBlockSetup &block : startBlocks) {
        if (!declareDataBlock(block.number, block.image.size(), block.image)) {
            logMessage(attributeError, "Cannot create DB%d of %d bytes: out of memory",
                       static_cast<int>(block.number), static_cast<int>(block.image.size()));
            return false;
        }
    }
    if (strictBlocks) {
        if (demoRunning) {
            createDemoBlocks();
        }
        fixDataBlocks();
    }
    return true;
}

// Back to a server that has just started, listener aside, with an empty data block table.
void clearRun() {
    for (int slot = 0; slot < connectionTable.connectionCount; ++slot) {
        platform::closeSocket(slotAt(slot).socket);
        captureClosed(slotAt(slot).ends);
    }
    resetConnectionTable();
    ReceiveBuffer.fill(0);
    releaseDataBlocks();
    clearProcessImage();
    readiness.known = false;
    tickClockStarted = false;
    nextTickMicros = 0;
}

} // namespace

bool serverStart(Options options) {
    setActiveCpuProfile(*options.cpu, options.identity);
    setCpuRunState(CpuRunState::run);
    configureProcessImage(processImageSizes(options));
    resetPlcClock();
    printBanner();
    logMessage(attributePlain, "Simulator Started, Listening for connect - Press any key to stop");
    if (!options.configFile.empty()) {
        logMessage(attributePlain, "Configuration %s: %d data blocks declared%s%s",
                   options.configFile.c_str(), static_cast<int>(options.dataBlocks.size()),
                   options.strict ? ", strict" : "", options.demo ? "" : ", no demo");
    }
    startFaults = options.faults;
    faultSeed = options.seed;
    setFaultRules(startFaults, faultSeed);
    for (const FaultRule &rule : faultRules()) {
        logMessage(attributePlain, "Fault %d in force: %s", rule.id,
                   describeFaultRule(rule).c_str());
    }
    releaseDataBlocks();
    startBlocks = std::move(options.dataBlocks);
    strictBlocks = options.strict;
    demoRunning = options.demo;
    if (!installDataBlocks()) {
        return false;
    }
    if (!options.stateFolder.empty()) {
        // The kept images win over the configuration's start content.
        installKeptMemory(options.kept);
        logMessage(attributePlain, "Memory kept in %s: %d images loaded%s%s, saved every %d s",
                   options.stateFolder.c_str(), static_cast<int>(options.kept.images.size()),
                   options.kept.folderMissing ? " (folder created)" : "",
                   options.kept.unfinished.empty() ? "" : ", unfinished saves discarded",
                   options.saveEverySeconds);
        options.kept = KeptMemory{}; // the images are in the memory now
    }
    resetConnectionTable();
    setConnectionLimit(options.connections > 0 ? options.connections : options.cpu->connections);
    readiness.known = false;
    platform::startNetwork();
    const platform::ListenResult result = platform::openListener(
        options.bindAddress, options.port, std::max(listenBacklog, connectionTable.limit));
    if (result.socket == platform::invalidSocket) {
        reportListenFailure(options, result);
        return false;
    }
    listener = result.socket;
    listenerPort = result.port;
    if (options.httpPort != 0) {
        const HttpStart started = httpStart(
            {options.httpAddress, options.httpPort, options.httpToken, options.httpReadOnly});
        if (!started.ok) {
            logMessage(attributeError, "%s", started.error.c_str());
            return false;
        }
        const platform::Ipv4Address &web = options.httpAddress;
        logMessage(attributePlain, "Watch page on http://%d.%d.%d.%d:%d/%s%s", web[0], web[1],
                   web[2], web[3], started.port, options.httpToken.empty() ? "" : " (token)",
                   options.httpReadOnly ? " (read-only)" : "");
    }
    watchConsole = platform::stdinIsTerminal();
    tickClockStarted = false;
    if (!options.stateFolder.empty()) {
        return startRetainedSaving(options.stateFolder, options.saveEverySeconds);
    }
    return true;
}

std::uint16_t serverPort() {
    return listenerPort;
}

namespace {

// Serves the slots whose held replies are due; their sockets were not watched while they waited.
void releaseDueReplies(std::int64_t nowMicros) {
    for (int slot = 0; slot < connectionTable.connectionCount && connectionTable.heldSlots > 0;) {
        const std::int64_t release = heldReplyRelease(slot);
        const int countBefore = connectionTable.connectionCount;
        if (release != 0 && release <= nowMicros) {
            serveSlot(slot);
        }
        slot += connectionTable.connectionCount == countBefore ? 1 : 0;
    }
}

} // namespace

void serverPass(std::int64_t nowMicros) {
    setConnectionClock(nowMicros);
    // Connections first: a client that closed in the same wake-up as a new one connected frees
    // its slot before the newcomer is counted.
    const bool httpReady = !readiness.known || readiness.httpReady;
    if (readiness.known) {
        readiness.known = false;
        // A slot closing moves every slot above it down one; only the served slot can close.
        int closedSoFar = 0;
        for (int index = 0; index < readiness.slotCount; ++index) {
            const int countBefore = connectionTable.connectionCount;
            serveSlot(readiness.slots[static_cast<std::size_t>(index)] - closedSoFar);
            closedSoFar += countBefore - connectionTable.connectionCount;
        }
        if (readiness.listenerReady) {
            acceptOne();
        }
    } else {
        for (int slot = 0; slot < connectionTable.connectionCount; ++slot) {
            serveSlot(slot);
        }
        acceptOne();
    }
    if (connectionTable.heldSlots > 0) {
        releaseDueReplies(nowMicros);
    }
    if (!tickClockStarted) {
        tickClockStarted = true;
        nextTickMicros = nowMicros;
    }
    if (nowMicros >= nextTickMicros) {
        runTick();
        nextTickMicros += tickMicros;
        if (nextTickMicros <= nowMicros) {
            // Fell behind (a stopped process, a slow machine): keep the rhythm, skip the burst.
            nextTickMicros = nowMicros + tickMicros;
        }
    }
    advanceRequestRate(nowMicros);
    retainedSavingPass(nowMicros);
    if (httpRunning()) {
        httpPass(nowMicros, httpReady);
    }
    flushCapture(); // a crash loses at most this pass's records
}

void serverWait(std::int64_t nowMicros) {
    std::array<platform::WaitEntry, 2 + maxConnections> entries{};
    std::size_t count = 0;
    entries[count++] = {listener, true, false, false};
    // A save still copying memory wants the next pass sooner than the tick.
    std::int64_t timeout =
        std::min(tickClockStarted ? nextTickMicros - nowMicros : 0, retainedSavingWaitLimit());
    for (int slot = 0; slot < connectionTable.connectionCount; ++slot) {
        const bool pending = hasUnsentReply(slot);
        // A slot holding its replies back watches nothing until they are due.
        const std::int64_t release = heldReplyRelease(slot);
        const bool held = release != 0;
        if (held) {
            timeout = std::min(timeout, release - nowMicros);
        }
        entries[count++] = {slotAt(slot).socket, !pending, pending && !held, false};
    }
    const std::size_t slotEntries = count;
    if (httpRunning()) {
        // While clients keep the loop busy the watch page's descriptor is asked at most every
        // millisecond: one more descriptor in every wait costs the S7 side several percent,
        // and a page needs no answer within a millisecond. An idle loop always asks it.
        const bool busy = readiness.slotCount > 0;
        timeout = std::min(timeout, httpWaitLimit(nowMicros));
        if (!busy || nowMicros - httpAskedMicros >= httpAskEveryMicros) {
            entries[count++] = {httpWaitHandle(), true, false, false};
            httpAskedMicros = nowMicros;
        } else {
            timeout = std::min(timeout, httpAskedMicros + httpAskEveryMicros - nowMicros);
        }
    }
    const std::span<platform::WaitEntry> watched = std::span(entries).first(count);
    readiness.known = platform::waitForReadiness(watched, watchConsole, timeout);
    readiness.listenerReady = watched[0].ready;
    readiness.httpReady = count > slotEntries && watched[slotEntries].ready;
    readiness.slotCount = 0;
    for (std::size_t entry = 1; entry < slotEntries; ++entry) {
        if (watched[entry].ready) {
            readiness.slots[static_cast<std::size_t>(readiness.slotCount++)] =
                static_cast<int>(entry - 1);
        }
    }
}

void serverRun() {
    while (!platform::stopRequested()) {
        serverWait(platform::monotonicMicros());
        serverPass(platform::monotonicMicros());
    }
}

void serverReset() {
    clearRun();
    // A CPU stopped or a clock set by the last client does not outlive it.
    setCpuRunState(CpuRunState::run);
    resetPlcClock();
    installDataBlocks();
    setFaultRules(startFaults, faultSeed); // counts and the generator start again
}

void serverShutdown() {
    httpStop();
    finishRetainedSaving();
    clearRun();
    closeCapture();
    platform::closeSocket(listener);
    listener = platform::invalidSocket;
    listenerPort = 0;
}

int serverMain(int argc, char **argv) {
    std::vector<std::string_view> arguments;
    for (int i = 1; i < argc; ++i) {
        arguments.emplace_back(argv[i]);
    }
    const ParseResult parsed = parseCommandLine(arguments);
    if (!parsed.ok) {
        std::fprintf(stderr, "plcdouble: %s\n%s", parsed.error.c_str(), usageText);
        return 2;
    }
    if (parsed.options.showHelp) {
        std::fputs(usageText, stdout);
        return 0;
    }
    if (parsed.options.showVersion) {
        std::puts("plcdouble " PLCDOUBLE_VERSION);
        return 0;
    }
    // A file that cannot be used stops the program here, before anything listens.
    ConfigResult resolved = resolveOptions(arguments, parsed.options);
    if (!resolved.ok) {
        std::fprintf(stderr, "plcdouble: %s\n", resolved.error.c_str());
        return 2;
    }
    Options options = std::move(resolved.options);
    if (const std::string error = checkHttpOptions(options); !error.empty()) {
        std::fprintf(stderr, "plcdouble: %s\n", error.c_str());
        return 2;
    }
    if (options.httpPort != 0 && !httpAvailable()) {
        std::fprintf(stderr, "plcdouble: %s\n", httpStart({}).error.c_str());
        return 2;
    }
    // So does a kept image that cannot be used; the images are only read, so nothing is lost.
    if (const std::string error = readStateFolder(options, !options.check); !error.empty()) {
        std::fprintf(stderr, "plcdouble: %s\n", error.c_str());
        return 2;
    }
    if (options.check) {
        std::fputs(describeOptions(options).c_str(), stdout);
        return 0;
    }
    if (!options.pcap.empty()) {
        const CaptureOpenResult opened = openCapture(options.pcap);
        if (!opened.ok) {
            std::fprintf(stderr, "plcdouble: cannot open capture file %s: %s\n",
                         options.pcap.c_str(), opened.error.c_str());
            return 2;
        }
    }
    setLogColour(decideColour(options.colour, platform::stdoutIsTerminal(),
                              std::getenv("NO_COLOR") != nullptr));
    startLogOutput();
    platform::consoleStart();
    if (!serverStart(std::move(options))) {
        httpStop();
        closeCapture();
        finishLogOutput();
        platform::consoleRestore();
        releaseDataBlocks();
        return 1;
    }
    serverRun();
    httpStop();
    // The OS ends the connections still open as the process exits.
    for (int slot = 0; slot < connectionTable.connectionCount; ++slot) {
        captureClosed(slotAt(slot).ends);
    }
    closeCapture();
    const bool saved = finishRetainedSaving();
    releaseDataBlocks();
    finishLogOutput();
    platform::consoleRestore();
    return saved ? 0 : 1;
}
