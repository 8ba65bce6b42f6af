#include "app/server.h"

#include "app/config_file.h"
#include "app/state_folder.h"
#include "core/log.h"
#include "http/http_server.h"
#include "platform/platform.h"
#include "transport/frame_stream.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace {

// While clients keep the loop busy the watch page's descriptor is asked at most this often.
constexpr std::int64_t httpAskEveryMicros = 1000;

// The grid the ticks' wake-ups fall on.
constexpr std::int64_t tickGridMicros = 1000;

// Wait set tags: the watch page's descriptor is 0; PLC n's sockets are (n + 1) << 8 plus the
// slot, its listener that plus listenerPart. A slot's tag follows it when it moves down.
constexpr std::uint64_t httpTag = 0;
constexpr std::uint64_t listenerPart = 0xFF;
constexpr int tagShift = 8;
static_assert(maxConnections < static_cast<int>(listenerPart));
// Ready sockets one wait reports at most: every socket of a 1,000-PLC plant and more. Any beyond
// it stay ready for the next wait, which reports them first.
constexpr std::size_t readyTagRoom = 4096;

std::uint64_t plcTag(std::uint32_t index) {
    return (std::uint64_t{index} + 1) << tagShift;
}

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

void reportListenFailure(const PlcSetup &setup, const platform::ListenResult &result) {
    const std::string hint = platform::listenFailureHint(result.errorCode, setup.port);
    logMessage(attributeError, "Cannot listen on %s port %d: %s failed: %s (%d)%s",
               ipv4Text(setup.bindAddress).c_str(), setup.port, stepName(result.failedAt),
               platform::describeError(result.errorCode).c_str(), result.errorCode, hint.c_str());
}

// A client accepted by TCP and closed at once: it never had a slot.
void recordDenied(Plc &plc, const platform::AcceptResult &accepted) {
    recordExchange(plc.traffic, {TrafficProtocol::s7,
                                 TrafficOperation::refused,
                                 -1,
                                 accepted.peer,
                                 accepted.peerPort,
                                 {},
                                 0,
                                 0,
                                 true});
}

void acceptOne(Plc &plc) {
    ConnectionTable &table = plc.connections;
    const platform::AcceptResult accepted = platform::acceptConnection(plc.listener);
    if (accepted.socket == platform::invalidSocket) {
        return;
    }
    ConnectionEnds ends{};
    ends.clientAddress = accepted.peer;
    ends.clientPort = accepted.peerPort;
    ends.serverAddress = accepted.local;
    ends.serverPort = plc.capturePort;
    captureAccepted(table.capture, ends);
    if (table.connectionCount >= table.limit) {
        logMessage(attributeError, "Incoming connection denied %d", table.connectionCount);
        recordDenied(plc, accepted);
        platform::closeSocket(accepted.socket);
        captureClosed(table.capture, ends);
        return;
    }
    if (slotStillHeld(table, table.connectionCount)) {
        // Cannot happen while the table stays compact; keep the old connection.
        logMessage(attributeError, "Conn already connected %d", table.connectionCount);
        recordDenied(plc, accepted);
        platform::closeSocket(accepted.socket);
        captureClosed(table.capture, ends);
        return;
    }
    const int slot = takeSlot(table, accepted.socket, ends);
    logMessage(attributeSlot0, "TCP conn from %s (%d)", ipv4Text(accepted.peer).c_str(), slot);
}

// Data restarts the slot's idle count. While slot 0 carries no S7 traffic its data restarts
// slot 1's count too, unless slot 1 is stuck with a reply its client does not take.
void noteActivity(ConnectionTable &table, int slot) {
    slotAt(table, slot).idleTicks = 0;
    if (slot == 0 && table.connectionCount > 1 && slotAt(table, 0).s7Active == 0 &&
        !hasUnsentReply(table, 1)) {
        slotAt(table, 1).idleTicks = 0;
    }
}

void serveSlot(Server &server, Plc &plc, int slot) {
    ConnectionTable &table = plc.connections;
    if (slotAt(table, slot).socket == platform::invalidSocket) {
        return;
    }
    plc.slotsServed = true; // what its socket waits for may change
    if (hasUnsentReply(table, slot)) {
        flushUnsentReply(table, slot);
        if (hasUnsentReply(table, slot)) {
            return; // its requests wait in the socket until the client takes its replies
        }
    }
    const platform::SocketHandle socket = slotAt(table, slot).socket;
    deliverHeldFrames(plc, slot);
    if (slotAt(table, slot).socket != socket || hasUnsentReply(table, slot)) {
        return;
    }
    const std::size_t room = receiveRoom(plc, slot);
    const platform::ReceiveResult received =
        platform::receiveBytes(socket, std::span(server.receiveBuffer).first(room));
    switch (received.outcome) {
    case platform::ReceiveOutcome::data:
        slotAt(table, slot).bytesIn += received.count;
        slotAt(table, slot).lastActivityMicros = table.nowMicros;
        deliverReceivedBytes(plc, slot, ByteView(server.receiveBuffer).first(received.count));
        if (slotAt(table, slot).socket == socket) {
            noteActivity(table, slot);
        }
        return;
    case platform::ReceiveOutcome::noData:
        return;
    case platform::ReceiveOutcome::peerClosed:
    case platform::ReceiveOutcome::connectionLost:
        captureClientEnded(table.capture, slotAt(table, slot).ends,
                           received.outcome == platform::ReceiveOutcome::connectionLost);
        closeConnection(table, slot);
        return;
    case platform::ReceiveOutcome::otherError:
        logMessage(attributeError, "Unknown TCP error 0x%08X",
                   static_cast<unsigned>(received.errorCode));
        return;
    }
}

void runTick(Plc &plc) {
    ConnectionTable &table = plc.connections;
    int slot = 0;
    while (slot < table.connectionCount) {
        ConnectionSlot &connection = slotAt(table, slot);
        connection.idleTicks += 1;
        if (connection.idleTicks > idleTickLimit) {
            logMessage(attributeError, "Inactivity shutdown");
            closeConnection(table, slot);
            continue; // the connection that moved down is counted in its new place
        }
        ++slot;
    }
    if (!plc.time.manual) {
        runDemoTick(plc); // on a manual clock the demo data moves with that clock
    }
}

// Serves the slots whose held replies are due; their sockets were not watched while they waited.
void releaseDueReplies(Server &server, Plc &plc, std::int64_t nowMicros) {
    ConnectionTable &table = plc.connections;
    for (int slot = 0; slot < table.connectionCount && table.heldSlots > 0;) {
        const std::int64_t release = heldReplyRelease(table, slot);
        const int countBefore = table.connectionCount;
        if (release != 0 && release <= nowMicros) {
            serveSlot(server, plc, slot);
        }
        slot += table.connectionCount == countBefore ? 1 : 0;
    }
}

// One PLC's part of a pass. Connections first: a client that closed in the same wake-up as a
// new one connected frees its slot before the newcomer is counted.
void passPlc(Server &server, Plc &plc, bool readinessKnown, std::int64_t nowMicros) {
    setLogPlc(plc.setup.name);
    ConnectionTable &table = plc.connections;
    table.nowMicros = nowMicros;
    if (readinessKnown) {
        // A slot closing moves every slot above it down one; only the served slot can close.
        int closedSoFar = 0;
        for (int index = 0; index < plc.readiness.slotCount; ++index) {
            const int slot = plc.readiness.slots[static_cast<std::size_t>(index)] - closedSoFar;
            const int countBefore = table.connectionCount;
            if (slot < countBefore) {
                serveSlot(server, plc, slot);
            }
            closedSoFar += countBefore - table.connectionCount;
        }
        if (plc.readiness.listenerReady) {
            acceptOne(plc);
        }
    } else {
        for (int slot = 0; slot < table.connectionCount; ++slot) {
            serveSlot(server, plc, slot);
        }
        acceptOne(plc);
    }
    if (table.heldSlots > 0) {
        releaseDueReplies(server, plc, nowMicros);
    }
    if (!plc.tickStarted) {
        plc.tickStarted = true;
        plc.nextTickMicros = nowMicros;
    }
    if (nowMicros >= plc.nextTickMicros) {
        runTick(plc);
        plc.nextTickMicros += tickMicros;
        if (plc.nextTickMicros <= nowMicros) {
            // Fell behind (a stopped process, a slow machine): keep the rhythm, skip the burst.
            plc.nextTickMicros = nowMicros + tickMicros;
        }
    }
    runPlcProgram(plc, nowMicros);
    advanceRequestRate(table.requestRate, nowMicros);
    retainedSavingPass(plc.retained, plc.memory, nowMicros);
}

// Whether the requests-per-second ring still shows requests, so the loop must move it on.
bool countingRequests(const RequestRate &rate) {
    return std::any_of(rate.counts.begin(), rate.counts.end(),
                       [](std::uint32_t count) { return count != 0; });
}

// When the PLC next needs a pass though none of its sockets is ready, or notDue. A PLC with no
// connection, no demo data running, no program and nothing to save needs none.
std::int64_t plcDueMicros(const Plc &plc, std::int64_t nowMicros) {
    if (!plc.tickStarted) {
        return nowMicros;
    }
    const ConnectionTable &table = plc.connections;
    std::int64_t due = notDue;
    // The tick counts idle connections and steps the demo data; a manual clock's demo data
    // moves with that clock.
    const bool demoRuns = plc.setup.demo && plc.cpu.state == CpuRunState::run && !plc.time.manual;
    if (table.connectionCount > 0 || demoRuns) {
        // On a grid, so a plant's ticks share wake-ups (the tick keeps its rhythm, served at most
        // a grid step late) instead of waking the loop for each PLC's own.
        due = (plc.nextTickMicros + tickGridMicros - 1) / tickGridMicros * tickGridMicros;
    }
    // A slot holding its replies back watches nothing until they are due.
    for (int slot = 0; slot < table.connectionCount && table.heldSlots > 0; ++slot) {
        const std::int64_t release = heldReplyRelease(table, slot);
        if (release != 0) {
            due = std::min(due, release);
        }
    }
    due = std::min(due, retainedSavingDue(plc.retained, plc.memory, nowMicros));
    if (!plc.time.manual) {
        // A manual clock's cycles are run by whoever moves it; every pass catches up the rest.
        const std::int64_t wait =
            programWaitLimit(plc.program, plc.cpu.state == CpuRunState::run, nowMicros);
        if (wait != INT64_MAX) {
            due = std::min(due, nowMicros + wait);
        }
    }
    // With a connection the tick passes the PLC often enough to move the ring on.
    if (table.connectionCount == 0 && countingRequests(table.requestRate)) {
        due = std::min(due, table.requestRate.secondEndMicros);
    }
    return due;
}

// Marks the PLC as passed since the last wait.
void touchPlc(Server &server, Plc &plc) {
    if (!plc.touched) {
        plc.touched = true;
        server.touchedPlcs.push_back(plc.index);
    }
}

// Puts the PLC into the current pass's list, once, with nothing found ready yet.
void listPlc(Server &server, Plc &plc) {
    if (!plc.listed) {
        plc.listed = true;
        plc.readiness.listenerReady = false;
        plc.readiness.slotCount = 0;
        server.servedPlcs.push_back(plc.index);
    }
}

// The PLCs a pass after a wait serves: those with a socket the wait found ready, and those due,
// in index order, each with its ready slots in slot order.
void listServedPlcs(Server &server, std::int64_t nowMicros) {
    std::vector<std::uint32_t> &served = server.servedPlcs;
    served.clear();
    for (std::size_t entry = 0; entry < server.readyCount; ++entry) {
        const std::uint64_t tag = server.readyTags[entry];
        const std::uint64_t index = (tag >> tagShift) - 1;
        if (tag == httpTag || index >= server.plcs.size()) {
            continue;
        }
        Plc &plc = *server.plcs[index];
        listPlc(server, plc);
        PlcReadiness &readiness = plc.readiness;
        const std::uint64_t part = tag & ((1U << tagShift) - 1);
        if (part == listenerPart) {
            readiness.listenerReady = true;
        } else if (readiness.slotCount < maxConnections) {
            readiness.slots[static_cast<std::size_t>(readiness.slotCount++)] =
                static_cast<int>(part);
        }
    }
    const std::size_t readyPlcs = served.size();
    std::vector<std::uint32_t> &due = server.duePlcs;
    due.clear();
    takeDue(server.dueTimes, nowMicros, due);
    for (const std::uint32_t index : due) {
        if (index < server.plcs.size()) {
            listPlc(server, *server.plcs[index]);
        }
    }
    std::sort(served.begin(), served.end());
    for (std::size_t position = 0; position < readyPlcs; ++position) {
        PlcReadiness &readiness = server.plcs[served[position]]->readiness;
        if (readiness.slotCount > 1) {
            std::sort(readiness.slots.begin(), readiness.slots.begin() + readiness.slotCount);
        }
    }
}

// Watches the watch page's descriptor for interest, registering it the first time.
void watchHttp(Server &server, platform::Interest interest) {
    const platform::SocketHandle handle = httpWaitHandle();
    if (handle != server.httpWatched) {
        if (server.httpWatched != platform::invalidSocket) {
            platform::unwatchSocket(*server.waitSet, server.httpWatched);
        }
        server.httpWatched = handle;
        server.httpInterest = interest;
        if (handle != platform::invalidSocket) {
            platform::watchSocket(*server.waitSet, handle, httpTag, interest);
        }
    } else if (interest != server.httpInterest && handle != platform::invalidSocket) {
        server.httpInterest = interest;
        platform::changeWatch(*server.waitSet, handle, httpTag, interest);
    }
}

} // namespace

Plc *addPlc(Server &server, Options options) {
    const std::string stateFolder = std::move(options.stateFolder);
    const int saveEverySeconds = options.saveEverySeconds;
    const KeptMemory kept = std::move(options.kept);
    auto plc = std::make_unique<Plc>();
    plc->setup = plcSetupOf(std::move(options));
    plc->connections.capture = &server.capture;
    plc->connections.traffic = &plc->traffic;
    plc->traffic.events = server.eventsOn ? &server.events : nullptr;
    plc->traffic.plcName = plc->setup.name;
    if (!renewPlc(*plc)) {
        return nullptr;
    }
    for (const FaultRule &rule : plc->faults.rules) {
        logMessage(attributePlain, "Fault %d in force: %s", rule.id,
                   describeFaultRule(rule).c_str());
    }
    if (!stateFolder.empty()) {
        // The kept images win over the configuration's start content.
        installKeptMemory(plc->memory, kept);
        logMessage(attributePlain, "Memory kept in %s: %d images loaded%s%s, saved every %d s",
                   stateFolder.c_str(), static_cast<int>(kept.images.size()),
                   kept.folderMissing ? " (folder created)" : "",
                   kept.unfinished.empty() ? "" : ", unfinished saves discarded", saveEverySeconds);
    }
    platform::startNetwork();
    if (!server.waitSet) {
        int error = 0;
        server.waitSet = platform::openWaitSet(error);
        if (!server.waitSet) {
            logMessage(attributeError, "Cannot watch sockets: %s (%d)",
                       platform::describeError(error).c_str(), error);
            return nullptr;
        }
        server.readyTags = std::make_unique_for_overwrite<std::uint64_t[]>(readyTagRoom);
    }
    const platform::ListenResult result = platform::openListener(
        plc->setup.bindAddress, plc->setup.port, std::max(listenBacklog, plc->connections.limit));
    if (result.socket == platform::invalidSocket) {
        reportListenFailure(plc->setup, result);
        return nullptr;
    }
    plc->listener = result.socket;
    plc->listenerPort = result.port;
    if (!stateFolder.empty()) {
        if (!startSaver(server.saver)) {
            logMessage(attributeError, "Cannot start the thread that saves the memory to %s",
                       stateFolder.c_str());
            platform::closeSocket(plc->listener);
            return nullptr;
        }
        startRetainedSaving(plc->retained, server.saver, stateFolder, saveEverySeconds);
    }
    plc->index = static_cast<std::uint32_t>(server.plcs.size());
    plc->connections.waitSet = server.waitSet.get();
    plc->connections.waitTag = plcTag(plc->index);
    platform::watchSocket(*server.waitSet, plc->listener, plcTag(plc->index) + listenerPart,
                          platform::Interest::read);
    server.readinessKnown = false;
    server.plcs.push_back(std::move(plc));
    // Its tick starts with the first pass, which the next wait must not put off.
    touchPlc(server, *server.plcs.back());
    return server.plcs.back().get();
}

void chooseCapturePorts(const std::vector<std::unique_ptr<Plc>> &plcs) {
    std::map<Ipv4Address, int> sharing;
    for (const std::unique_ptr<Plc> &plc : plcs) {
        ++sharing[plc->setup.bindAddress];
    }
    const Ipv4Address any{0, 0, 0, 0};
    const int onEveryAddress = sharing.contains(any) ? sharing[any] : 0;
    for (const std::unique_ptr<Plc> &plc : plcs) {
        const bool alone = plc->setup.bindAddress == any
                               ? plcs.size() == 1
                               : sharing[plc->setup.bindAddress] == 1 && onEveryAddress == 0;
        plc->capturePort = alone ? captureServerPort : plc->listenerPort;
    }
}

bool serverStartPlant(Server &server, const Options &process, std::vector<Options> plant) {
    printBanner();
    logMessage(attributePlain, "Simulator Started, Listening for connect - Press any key to stop");
    const bool several = plant.size() > 1;
    setLogNamesPlcs(several);
    if (several) {
        logMessage(attributePlain, "Plant %s: %d PLCs", process.configFile.c_str(),
                   static_cast<int>(plant.size()));
    } else if (!process.configFile.empty()) {
        const Options &options = plant.front();
        logMessage(attributePlain, "Configuration %s: %d data blocks declared%s%s",
                   options.configFile.c_str(), static_cast<int>(options.dataBlocks.size()),
                   options.strict ? ", strict" : "", options.demo ? "" : ", no demo");
    }
    if (!several && !plant.front().programFile.empty()) {
        const Options &options = plant.front();
        logMessage(attributePlain, "Program %s: cycle %d ms, cycle monitoring %d ms, memory %d MiB",
                   options.programFile.c_str(), options.cycleMs, options.maxCycleMs,
                   options.programMemoryMb);
    }
    server.plcs.reserve(server.plcs.size() + plant.size());
    for (Options &options : plant) {
        setLogPlc(options.plcName);
        const bool added = addPlc(server, std::move(options)) != nullptr;
        setLogPlc({});
        if (!added) {
            return false;
        }
    }
    chooseCapturePorts(server.plcs);
    if (process.http) {
        HttpOptions served{
            process.httpAddress, process.httpPort, process.httpToken, process.httpReadOnly, {}};
        for (const std::unique_ptr<Plc> &each : server.plcs) {
            served.plcs.push_back(each.get());
        }
        const HttpStart started = httpStart(served);
        if (!started.ok) {
            logMessage(attributeError, "%s", started.error.c_str());
            return false;
        }
        server.httpAddress = process.httpAddress;
        server.httpPort = started.port;
        logMessage(attributePlain, "Watch page on http://%s:%d/%s%s",
                   ipv4Text(process.httpAddress).c_str(), started.port,
                   process.httpToken.empty() ? "" : " (token)",
                   process.httpReadOnly ? " (read-only)" : "");
    }
    server.watchConsole = platform::stdinIsTerminal();
    return true;
}

bool serverStart(Server &server, Options options) {
    // The process's settings are the PLC's own less its memory, which stays out of the copy.
    std::vector<DataBlockSetup> blocks = std::move(options.dataBlocks);
    KeptMemory kept = std::move(options.kept);
    const Options process = options;
    options.dataBlocks = std::move(blocks);
    options.kept = std::move(kept);
    std::vector<Options> plant;
    plant.push_back(std::move(options));
    return serverStartPlant(server, process, std::move(plant));
}

namespace {

// Reads each PLC's program (a file many PLCs share is read and compiled once) and state folder.
std::string preparePlant(std::vector<Options> &plant, bool prepare) {
    std::map<std::string, std::string> programs; // file: its source
    for (Options &plc : plant) {
        if (plc.programFile.empty()) {
            continue;
        }
        if (const auto known = programs.find(plc.programFile); known != programs.end()) {
            plc.programSource = known->second;
            continue;
        }
        if (std::string error = readProgramFile(plc); !error.empty()) {
            return plant.size() > 1 ? "plc " + plc.plcName + ": " + error : error;
        }
        programs.emplace(plc.programFile, plc.programSource);
    }
    for (Options &plc : plant) {
        if (std::string error = readStateFolder(plc, prepare); !error.empty()) {
            return plant.size() > 1 ? "plc " + plc.plcName + ": " + error : error;
        }
    }
    return {};
}

std::string readyFileText(const Server &server) {
    const Plc &plc = *server.plcs.front();
    // A listener on every address is reached at the loopback address.
    const Ipv4Address any{0, 0, 0, 0};
    const auto reachable = [&any](const Ipv4Address &address) {
        return ipv4Text(address == any ? Ipv4Address{127, 0, 0, 1} : address);
    };
    std::string text = "{\"pid\": ";
    text += std::to_string(platform::processId());
    text += ", \"s7\": {\"address\": \"";
    text += reachable(plc.setup.bindAddress);
    text += "\", \"port\": ";
    text += std::to_string(plc.listenerPort);
    text += "}, \"http\": ";
    if (server.httpPort == 0) {
        text += "null";
    } else {
        text += "{\"address\": \"";
        text += reachable(server.httpAddress);
        text += "\", \"port\": ";
        text += std::to_string(server.httpPort);
        text += '}';
    }
    text += ", \"plcs\": [";
    for (const std::unique_ptr<Plc> &each : server.plcs) {
        text += each == server.plcs.front() ? "" : ", ";
        text += "{\"name\": \"";
        text += each->setup.name; // names are letters, digits, _ and -: nothing to escape
        text += "\", \"address\": \"";
        text += reachable(each->setup.bindAddress);
        text += "\", \"port\": ";
        text += std::to_string(each->listenerPort);
        text += '}';
    }
    text += "]}\n";
    return text;
}

std::string writeReadyFile(const Server &server, const std::string &path) {
    const std::string text = readyFileText(server);
    // Written aside and renamed into place, so a reader never sees half of it.
    std::string aside = path;
    aside += ".part";
    const std::span<const std::uint8_t> bytes(reinterpret_cast<const std::uint8_t *>(text.data()),
                                              text.size());
    const std::array<std::span<const std::uint8_t>, 1> parts = {bytes};
    int error = platform::writeFileToDisk(aside, parts);
    if (error == 0) {
        error = platform::replaceFile(aside, path);
    }
    if (error != 0) {
        platform::removeFile(aside);
        std::string reason = "cannot write the ready file ";
        reason += path;
        reason += ": ";
        reason += platform::describeError(error);
        return reason;
    }
    return {};
}

} // namespace

void serverPass(Server &server, std::int64_t nowMicros) {
    const bool readinessKnown = server.readinessKnown;
    server.readinessKnown = false;
    const bool httpReady = !readinessKnown || server.httpReady;
    if (readinessKnown) {
        listServedPlcs(server, nowMicros);
        for (const std::uint32_t index : server.servedPlcs) {
            Plc &plc = *server.plcs[index];
            plc.listed = false;
            passPlc(server, plc, true, nowMicros);
            touchPlc(server, plc);
        }
    } else {
        for (const std::unique_ptr<Plc> &plc : server.plcs) {
            passPlc(server, *plc, false, nowMicros);
            touchPlc(server, *plc);
        }
    }
    server.readyCount = 0;
    setLogPlc({}); // what follows is no PLC's own
    if (httpRunning()) {
        httpPass(nowMicros, httpReady);
        touchPlc(server, *server.plcs.front()); // the PLC the watch page serves
    }
    flushCapture(server.capture); // a crash loses at most this pass's records
}

std::int64_t serverWaitLimit(Server &server, std::int64_t nowMicros) {
    for (const std::uint32_t index : server.touchedPlcs) {
        Plc &plc = *server.plcs[index];
        plc.touched = false;
        if (plc.slotsServed) {
            // Only serving a slot sends or holds replies; a pass of timers alone changes none.
            plc.slotsServed = false;
            updateWatches(plc.connections);
        }
        setDue(server.dueTimes, index, plcDueMicros(plc, nowMicros));
    }
    server.touchedPlcs.clear();
    const std::int64_t due = earliestDue(server.dueTimes);
    return due == notDue ? INT64_MAX : std::max<std::int64_t>(due - nowMicros, 0);
}

void serverWait(Server &server, std::int64_t nowMicros) {
    std::int64_t timeout = serverWaitLimit(server, nowMicros);
    if (httpRunning()) {
        // While clients keep the loop busy the watch page's descriptor is asked at most every
        // millisecond: a page needs no answer within a millisecond. An idle loop always asks it.
        timeout = std::min(timeout, httpWaitLimit(nowMicros));
        platform::Interest interest = platform::Interest::read;
        if (server.clientsReady && nowMicros - server.httpAskedMicros < httpAskEveryMicros) {
            interest = platform::Interest::none;
            timeout = std::min(timeout, server.httpAskedMicros + httpAskEveryMicros - nowMicros);
        } else {
            server.httpAskedMicros = nowMicros;
        }
        watchHttp(server, interest);
    }
    const platform::WaitResult result =
        platform::waitForReady(*server.waitSet, std::span(server.readyTags.get(), readyTagRoom),
                               server.watchConsole, timeout);
    server.readinessKnown = result.known;
    server.readyCount = result.known ? result.count : 0;
    server.httpReady = false;
    server.clientsReady = false;
    for (std::size_t entry = 0; entry < server.readyCount; ++entry) {
        const std::uint64_t tag = server.readyTags[entry];
        if (tag == httpTag) {
            server.httpReady = true;
        } else if ((tag & ((1U << tagShift) - 1)) != listenerPart) {
            server.clientsReady = true;
        }
    }
}

void serverRun(Server &server) {
    while (!platform::stopRequested()) {
        serverWait(server, platform::monotonicMicros());
        serverPass(server, platform::monotonicMicros());
    }
}

void resetPlc(Server &server, Plc &plc) {
    renewPlc(plc);
    server.readinessKnown = false;
}

bool serverShutdown(Server &server) {
    if (server.httpWatched != platform::invalidSocket) {
        platform::unwatchSocket(*server.waitSet, server.httpWatched);
        server.httpWatched = platform::invalidSocket;
    }
    httpStop();
    bool saved = true;
    for (const std::unique_ptr<Plc> &plc : server.plcs) {
        setLogPlc(plc->setup.name);
        saved = finishRetainedSaving(plc->retained, plc->memory) && saved;
    }
    setLogPlc({});
    if (server.saver.running) {
        stopSaver(server.saver);
    }
    for (const std::unique_ptr<Plc> &plc : server.plcs) {
        closeAllConnections(plc->connections);
        plc->connections.waitSet = nullptr;
        platform::unwatchSocket(*server.waitSet, plc->listener);
        platform::closeSocket(plc->listener);
    }
    closeCapture(server.capture);
    server.plcs.clear();
    server.readinessKnown = false;
    server.readyCount = 0;
    server.touchedPlcs.clear();
    clearDue(server.dueTimes);
    return saved;
}

int serverMain(int argc, char **argv) {
    std::vector<std::string_view> arguments;
    for (int i = 1; i < argc; ++i) {
        arguments.emplace_back(argv[i]);
    }
    const ParseResult parsed = parseCommandLine(arguments);
    if (!parsed.ok) {
        std::fprintf(stderr, "plcdouble: %s\n%s", parsed.error.c_str(), usageText().c_str());
        return 2;
    }
    if (parsed.options.showHelp) {
        std::fputs(usageText().c_str(), stdout);
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
    std::vector<Options> plant = std::move(resolved.plant);
    if (options.exitWithParent) {
        // Before anything else: a parent that ends during the start still ends this process.
        if (const std::string error = platform::stopWithParent(); !error.empty()) {
            std::fprintf(stderr, "plcdouble: %s\n", error.c_str());
            return 2;
        }
    }
    if (const std::string error = checkHttpOptions(options); !error.empty()) {
        std::fprintf(stderr, "plcdouble: %s\n", error.c_str());
        return 2;
    }
    if (options.http && !httpAvailable()) {
        std::fprintf(stderr, "plcdouble: %s\n", httpStart({}).error.c_str());
        return 2;
    }
    // So does a program that cannot be read or does not compile, and a kept image that cannot
    // be used; the images are only read, so nothing is lost.
    if (const std::string error = preparePlant(plant, !options.check); !error.empty()) {
        std::fprintf(stderr, "plcdouble: %s\n", error.c_str());
        return 2;
    }
    if (options.check) {
        std::fputs(describePlant(options, plant).c_str(), stdout);
        return 0;
    }
    Server server;
    if (!options.pcap.empty()) {
        const CaptureOpenResult opened = openCapture(server.capture, options.pcap);
        if (!opened.ok) {
            std::fprintf(stderr, "plcdouble: cannot open capture file %s: %s\n",
                         options.pcap.c_str(), opened.error.c_str());
            return 2;
        }
    }
    if (!options.eventsFile.empty()) {
        const platform::FileResult opened = platform::createFile(options.eventsFile);
        if (opened.file == platform::invalidFile) {
            std::fprintf(stderr, "plcdouble: cannot open events file %s: %s\n",
                         options.eventsFile.c_str(),
                         platform::describeError(opened.errorCode).c_str());
            return 2;
        }
        startEventOutput(opened.file); // the log closes it
        server.eventsOn = true;
        server.events.withReadData = options.eventsData;
    }
    setLogColour(decideColour(options.colour, platform::stdoutIsTerminal(),
                              std::getenv("NO_COLOR") != nullptr));
    startLogOutput();
    platform::consoleStart();
    const std::string readyFile = options.readyFile;
    const bool started = serverStartPlant(server, options, std::move(plant));
    std::string readyError;
    if (started && !readyFile.empty()) {
        readyError = writeReadyFile(server, readyFile);
    }
    if (started && readyError.empty()) {
        serverRun(server);
    }
    const bool saved = serverShutdown(server);
    if (started && readyError.empty() && !readyFile.empty()) {
        platform::removeFile(readyFile); // a server that has ended is not ready
    }
    finishLogOutput();
    platform::consoleRestore();
    if (!readyError.empty()) {
        std::fprintf(stderr, "plcdouble: %s\n", readyError.c_str());
        return 2;
    }
    return started && saved ? 0 : 1;
}
