// libFuzzer target: arbitrary byte streams, cut at arbitrary points, through the real per-slot
// stream handling (frame_stream.cpp), handleFrame and every handler behind it.
//
// The server code runs in-process with its real listener on a loopback port. Clients are
// socketpairs whose server ends are placed in the connection table the way an accept places
// them, so the server's receive, send, close and compaction paths run on real descriptors
// without leaving TCP connections in TIME_WAIT at thousands of inputs a second.
//
// The server answers as classic or, chosen per input by two option bits, as a real-CPU profile
// (s7-1500, s7-300, s7-1200), so the profile paths run too: the connect with its TSAPs and TPDU
// size, DT split and join, the negotiated PDU, every area and element size, userdata (SZL in
// parts, clock, block lists) and CPU stop and start. The host clock behind the PLC clock is
// held at one moment, so clock answers and SZL time stamps repeat from run to run.
//
// Input layout:
//   byte 0      options (see the option bits below)
//   byte 1      number of cut points k, low 4 bits (0-15)
//   2k bytes    cut points, 16-bit big-endian, taken modulo the stream length
//   the rest    the byte stream the client(s) send
//
// Option bit 6 puts a set of fault rules in force (item codes, header errors, delays, requests
// left unanswered, dropped and refused connections); a run with them moves the clock one
// millisecond a pass while a reply is held, so held replies leave and hang-ups are noticed.
//
// Besides the sanitizers, every input is checked for:
//   - replies: each client's received bytes are whole TPKT frames of at most 1024 bytes, of a
//     type the server sends (CC, DR, DC, DT); in a profile besides, no DT frame is longer than
//     the TPDU size the confirm agreed, and every S7 PDU, joined from its DT frames, fits the
//     PDU that setup communication agreed (the profile's largest before) and holds exactly the
//     parameters and data its header announces;
//   - cleanup: once the clients hang up, the server closes every slot and its socket;
//   - framing: with one client, a still clock and no fault rules, the stream cut at the chosen
//   points gives
//     exactly the replies, log lines and data block contents that the whole stream sent at once
//     gives.
#include "app/server.h"
#include "core/connection_table.h"
#include "core/fault_rules.h"
#include "core/log.h"
#include "memory/data_block_table.h"
#include "plc/cpu_profile.h"
#include "plc/plc.h"
#include "plc/plc_clock.h"
#include "sim/demo_data.h"
#include "transport/transport.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <string>
#include <string_view>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

extern "C" int LLVMFuzzerInitialize(int *argc, char ***argv);
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size);

namespace {

using Bytes = std::vector<std::uint8_t>;

// Option bits of input byte 0.
constexpr std::uint8_t optionTwoClients = 0x01;   // chunks alternate between two clients
constexpr std::uint8_t optionLazyReader = 0x02;   // clients read replies only when stuck
constexpr std::uint8_t optionTickBetween = 0x04;  // the clock moves one tick between chunks
constexpr std::uint8_t optionFirstHangsUp = 0x08; // client 0 hangs up halfway (slot 1 moves)
// Bits 4 and 5 pick what the server answers as. The three profiles cover both slot ranges, the
// smallest and the largest PDU a profile agrees (240 and 960) and a CPU without timers.
constexpr unsigned optionProfileShift = 4;
constexpr unsigned optionProfileMask = 0x03;
constexpr std::uint8_t optionFaults = 0x40;
constexpr std::array<std::string_view, 8> fuzzedFaultRules = {
    "on=read,area=DB1,probability=0.3,item_code=0x0A",
    "on=write,every=3,header_error=0x8104",
    "on=szl,every=2,header_error=0x8104",
    "every=4,delay_ms=2",
    "on=setup,every=5,delay_ms=1",
    "after=5,every=7,no_reply=true",
    "after=9,every=13,close=true",
    "on=connect,after=1,every=3,refuse=true"};
constexpr std::array<std::string_view, 4> fuzzedProfiles = {"classic", "s7-1500", "s7-300",
                                                            "s7-1200"};
// The moment the host clock is held at: the last second but one of a leap day, so that a clock
// set by an input shifts across the day, month and leap-year boundaries.
constexpr PlcDateTime heldHostTime = {2024, 2, 29, 23, 59, 58, 765, 0};

constexpr std::size_t maxCutPoints = 15;
constexpr std::size_t headerSize = 2;
// A small send buffer on the server's side, so replies back up and the unsent-reply path runs.
constexpr int serverSendBuffer = 4096;
// Passes allowed for the server to settle once the input is sent; far more than it needs.
constexpr int settlePasses = 64;
constexpr int quietPasses = 3;
constexpr std::size_t largestFrame = 1024;
constexpr std::size_t tpktHeader = 4;

std::int64_t now = 0;
std::vector<LogRecord> capturedLog;
Options startOptions;
Server server;

Plc &plc() {
    return *server.plcs.front();
}
bool showRuns = false;

[[noreturn]] void fail(const char *what) {
    std::fprintf(stderr, "stream_fuzzer: %s\n", what);
    std::abort();
}

struct Client {
    int fd = -1;       // the client's end
    int serverFd = -1; // the end the server holds
    bool hungUp = false;
    Bytes received;
};

void drain(Client &client) {
    if (client.fd < 0) {
        return;
    }
    for (;;) {
        std::array<std::uint8_t, 4096> buffer{};
        const ssize_t n = ::recv(client.fd, buffer.data(), buffer.size(), MSG_DONTWAIT);
        if (n <= 0) {
            return;
        }
        client.received.insert(client.received.end(), buffer.begin(), buffer.begin() + n);
    }
}

// Places a new socketpair in the next free slot, as the listener's accept does.
Client attachClient() {
    Client client;
    int ends[2] = {-1, -1};
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0, ends) != 0) {
        fail("socketpair failed");
    }
    const int size = serverSendBuffer;
    ::setsockopt(ends[0], SOL_SOCKET, SO_SNDBUF, &size, sizeof size);
    client.serverFd = ends[0];
    client.fd = ends[1];
    if (takeSlot(plc().connections, client.serverFd, {}) < 0) {
        fail("no free slot for a client");
    }
    return client;
}

void pass(bool tick) {
    if (tick) {
        now += tickMicros;
    } else if (plc().connections.heldSlots > 0) {
        now += 1000; // held replies are due within a few passes
    }
    serverPass(server, now);
}

// Sends bytes, running passes while the socket is full; a lazy reader drains only then.
void sendAll(Client &client, const std::uint8_t *bytes, std::size_t count, bool lazy) {
    std::size_t sent = 0;
    int stuck = 0;
    while (sent < count && !client.hungUp) {
        const ssize_t n = ::send(client.fd, bytes + sent, count - sent, MSG_NOSIGNAL);
        if (n > 0) {
            sent += static_cast<std::size_t>(n);
            stuck = 0;
            continue;
        }
        if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK) {
            client.hungUp = true; // the server closed its end
            return;
        }
        if (++stuck > settlePasses) {
            fail("the server stopped taking bytes although its client reads every reply");
        }
        if (lazy || stuck > 1) {
            drain(client);
        }
        pass(false);
    }
}

void hangUp(Client &client) {
    if (client.fd >= 0) {
        drain(client);
        ::close(client.fd);
        client.fd = -1;
    }
    client.hungUp = true;
}

// What a profile's replies on one connection must keep to, followed through its reply stream.
struct ProfileReplyLimits {
    std::size_t tpduSize = 0; // agreed by the latest confirm; 0: none yet, replies are not split
    std::size_t pduLength;    // agreed by the latest setup reply
    Bytes joined;             // the S7 PDU whose DT frames have come so far
};

// S7 header, offsets from the protocol id: 1 message type, 6..7 parameter length, 8..9 data
// length; ack and ack-data add error class and code. A setup reply's parameters: 0 function
// 0xF0, 6..7 the PDU length.
constexpr std::size_t s7ParameterLengthOffset = 6;
constexpr std::size_t s7DataLengthOffset = 8;
constexpr std::size_t s7JobHeaderSize = 10;
constexpr std::size_t s7AckHeaderSize = 12;
constexpr std::size_t setupPduLengthOffset = 6;

std::size_t u16(const Bytes &bytes, std::size_t at) {
    return (std::size_t{bytes[at]} << 8) | bytes[at + 1];
}

// A whole S7 PDU a profile sent: within the agreed PDU, and exactly as long as its header says.
void checkProfilePdu(ProfileReplyLimits &limits) {
    const Bytes &pdu = limits.joined;
    if (pdu.empty() || pdu[0] != 0x32) {
        return; // S5 replies have their own layout
    }
    if (pdu.size() > limits.pduLength) {
        fail("a profile's reply exceeds the agreed PDU");
    }
    const std::uint8_t type = pdu.size() > 1 ? pdu[1] : 0;
    const std::size_t header = type == 2 || type == 3 ? s7AckHeaderSize : s7JobHeaderSize;
    if (pdu.size() < header) {
        fail("a profile's reply ends inside its S7 header");
    }
    const std::size_t parameters = u16(pdu, s7ParameterLengthOffset);
    if (header + parameters + u16(pdu, s7DataLengthOffset) != pdu.size()) {
        fail("a profile's reply is not as long as its S7 header says");
    }
    if (type == 3 && parameters >= 8 && pdu[header] == 0xF0) {
        limits.pduLength = u16(pdu, header + setupPduLengthOffset);
    }
}

// One frame of a profile's reply stream: confirms set the TPDU size, DT frames are joined.
void followProfileFrame(const std::uint8_t *frame, std::size_t length, ProfileReplyLimits &limits) {
    const std::uint8_t type = frame[5];
    if (type == 0xD0) {
        // Parameters from byte 11 up to the end of the LI: the TPDU size is C0 01 code.
        const std::size_t end = std::min<std::size_t>(length, 5 + std::size_t{frame[4]});
        for (std::size_t at = 11; at + 2 <= end && at + 2 + frame[at + 1] <= end;
             at += 2 + frame[at + 1]) {
            if (frame[at] == 0xC0 && frame[at + 1] == 1) {
                limits.tpduSize = std::size_t{1} << (frame[at + 2] & 0x0F);
            }
        }
        return;
    }
    if (type != 0xF0) {
        return;
    }
    if (limits.tpduSize != 0 && length > tpktHeader + limits.tpduSize) {
        fail("a profile's DT frame exceeds the agreed TPDU size");
    }
    limits.joined.insert(limits.joined.end(), frame + 7, frame + length);
    if ((frame[6] & 0x80) != 0) {
        checkProfilePdu(limits);
        limits.joined.clear();
    }
}

// Each client's reply stream must be whole frames of the kinds the server sends.
void checkReplies(const Bytes &stream) {
    const bool profile = answersAsCpu(plc().cpu);
    ProfileReplyLimits limits;
    limits.pduLength = plc().cpu.profile->maxPduLength;
    std::size_t at = 0;
    while (at < stream.size()) {
        if (stream.size() - at < tpktHeader) {
            fail("reply stream ends inside a TPKT header");
        }
        const std::size_t length = (std::size_t{stream[at + 2]} << 8) | stream[at + 3];
        if (stream[at] != 3 || stream[at + 1] != 0 || length < 7 || length > largestFrame) {
            fail("reply with a bad TPKT header");
        }
        if (stream.size() - at < length) {
            fail("reply cut short");
        }
        const std::uint8_t type = stream[at + 5];
        if (type != 0xD0 && type != 0x80 && type != 0xC0 && type != 0xF0) {
            fail("reply of a COTP type the server never sends");
        }
        if (profile) {
            followProfileFrame(stream.data() + at, length, limits);
        }
        at += length;
    }
}

// Time stamps differ between runs; everything else of a line must not.
std::string withoutTimeStamps(std::string text) {
    for (std::size_t i = 0; i + 9 <= text.size(); ++i) {
        const auto digit = [&](std::size_t k) { return text[i + k] >= '0' && text[i + k] <= '9'; };
        if (digit(0) && digit(1) && text[i + 2] == ':' && digit(3) && digit(4) &&
            text[i + 5] == ':' && digit(6) && digit(7) && text[i + 8] == '-') {
            text.replace(i, 8, "hh:mm:ss");
        }
    }
    return text;
}

struct Outcome {
    Bytes replies;
    std::vector<std::string> log;
    std::vector<std::pair<std::size_t, Bytes>> blocks;
};

// The server answering as the profile the options pick; it starts again when that changes.
void answerAs(std::uint8_t options) {
    const std::string_view name =
        fuzzedProfiles[(options >> optionProfileShift) & optionProfileMask];
    if (plc().cpu.profile->name == name) {
        return;
    }
    serverShutdown(server);
    startOptions.cpu = findCpuProfile(name);
    if (startOptions.cpu == nullptr || !serverStart(server, startOptions)) {
        fail("the server did not start as another CPU");
    }
    holdHostClock(plc().cpu.clock, heldHostTime);
}

// A fresh server state for every run: no connections, no data blocks, DB1 and DB15 seeded, the
// CPU in RUN with the held clock and no offset.
void resetServerState() {
    resetPlc(server, plc());
    serverPass(server,
               now); // restarts the tick clock and seeds the demo blocks, the same in every run
    capturedLog.clear();
}

void putFaultRulesInForce() {
    std::vector<FaultRule> rules;
    for (const std::string_view text : fuzzedFaultRules) {
        const FaultRuleParse parsed = parseFaultRuleText(text);
        if (!parsed.ok) {
            fail("a fuzzed fault rule does not parse");
        }
        rules.push_back(parsed.rule);
    }
    setFaultRules(plc().faults, std::move(rules), defaultFaultSeed);
}

Outcome run(std::uint8_t options, const std::vector<std::size_t> &cuts, const std::uint8_t *stream,
            std::size_t streamSize) {
    resetServerState();
    if ((options & optionFaults) != 0) {
        putFaultRulesInForce();
    }
    const bool twoClients = (options & optionTwoClients) != 0;
    const bool lazy = (options & optionLazyReader) != 0;
    const bool tick = (options & optionTickBetween) != 0;
    const bool firstHangsUp = twoClients && (options & optionFirstHangsUp) != 0;

    std::array<Client, 2> clients;
    clients[0] = attachClient();
    if (twoClients) {
        clients[1] = attachClient();
    }
    const std::size_t chunkCount = cuts.size() + 1;
    std::size_t from = 0;
    for (std::size_t chunk = 0; chunk < chunkCount; ++chunk) {
        const std::size_t to = chunk < cuts.size() ? cuts[chunk] : streamSize;
        Client &client = clients[twoClients ? chunk % 2 : 0];
        if (firstHangsUp && chunk == chunkCount / 2) {
            hangUp(clients[0]);
        }
        if (!client.hungUp) {
            sendAll(client, stream + from, to - from, lazy);
        }
        from = to;
        pass(tick);
        if (!lazy) {
            for (Client &each : clients) {
                drain(each);
            }
        }
    }
    // Settle: passes until the replies stop coming (held frames and unsent replies move on).
    int quiet = 0;
    for (int i = 0; i < settlePasses && quiet < quietPasses; ++i) {
        pass(false);
        std::size_t before = 0;
        std::size_t after = 0;
        for (Client &each : clients) {
            before += each.received.size();
            drain(each);
            after += each.received.size();
        }
        quiet = after == before ? quiet + 1 : 0;
    }
    Outcome outcome;
    outcome.replies = clients[0].received;
    for (Client &each : clients) {
        checkReplies(each.received);
        hangUp(each);
    }
    for (int i = 0; i < settlePasses && plc().connections.connectionCount > 0; ++i) {
        pass(false);
    }
    if (plc().connections.connectionCount != 0) {
        fail("a slot stayed open after its client hung up");
    }
    for (const Client &each : clients) {
        if (each.serverFd >= 0 && ::fcntl(each.serverFd, F_GETFD) != -1) {
            fail("the server kept the socket of a closed slot open");
        }
    }
    for (const LogRecord &record : capturedLog) {
        outcome.log.push_back(std::to_string(record.attribute) + " " +
                              withoutTimeStamps(record.text));
    }
    for (std::size_t db = 0; db < dataBlockCount; ++db) {
        const std::span<std::uint8_t> block = findDataBlock(plc().memory.blocks, db);
        if (!block.empty()) {
            outcome.blocks.emplace_back(db, Bytes(block.begin(), block.end()));
        }
    }
    return outcome;
}

// What a failing run did, for the report that goes with a reproducer.
void report(const char *name, const Outcome &outcome) {
    std::fprintf(stderr, "--- %s run: %zu reply bytes\n", name, outcome.replies.size());
    for (std::size_t i = 0; i < outcome.replies.size(); ++i) {
        std::fprintf(stderr, "%02X%s", outcome.replies[i], (i + 1) % 32 == 0 ? "\n" : " ");
    }
    std::fprintf(stderr, "\n");
    for (const std::string &line : outcome.log) {
        std::fprintf(stderr, "  %s\n", line.c_str());
    }
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int * /*argc*/, char *** /*argv*/) {
    // PLCDOUBLE_FUZZ_SHOW=1 plcdouble_fuzz INPUT shows what the server did with an input.
    showRuns = std::getenv("PLCDOUBLE_FUZZ_SHOW") != nullptr;
    // The server logs every exchange to stdout; libFuzzer reports on stderr.
    const int devNull = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
    if (devNull >= 0) {
        ::dup2(devNull, STDOUT_FILENO);
        ::close(devNull);
    }
    setLogCapture(&capturedLog);
    startOptions.port = 0;
    startOptions.bindAddress = {127, 0, 0, 1};
    if (!serverStart(server, startOptions)) {
        fail("the server did not start");
    }
    holdHostClock(plc().cpu.clock, heldHostTime);
    serverPass(server, now); // starts the tick clock, so later runs tick only when told to
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    if (size < headerSize) {
        return 0;
    }
    const std::uint8_t options = data[0];
    const std::size_t cutCount = std::min<std::size_t>(data[1] & 0x0F, maxCutPoints);
    if (size < headerSize + 2 * cutCount) {
        return 0;
    }
    const std::uint8_t *stream = data + headerSize + 2 * cutCount;
    const std::size_t streamSize = size - headerSize - 2 * cutCount;
    std::vector<std::size_t> cuts;
    if (streamSize > 0) {
        for (std::size_t i = 0; i < cutCount; ++i) {
            const std::size_t raw =
                (std::size_t{data[headerSize + 2 * i]} << 8) | data[headerSize + 2 * i + 1];
            cuts.push_back(raw % streamSize);
        }
    }
    std::sort(cuts.begin(), cuts.end());

    answerAs(options);
    const Outcome cut = run(options, cuts, stream, streamSize);
    if (showRuns) {
        report("cut", cut);
    }
    // Delays move the clock, and with it the demo data, by how the stream was cut.
    const bool comparable =
        (options & (optionTwoClients | optionTickBetween | optionFaults)) == 0 && !cuts.empty();
    if (comparable) {
        const Outcome whole = run(options, {}, stream, streamSize);
        if (cut.replies != whole.replies || cut.log != whole.log) {
            report("cut", cut);
            report("whole", whole);
            fail("cutting the stream changed the replies or the log");
        }
        if (cut.blocks != whole.blocks) {
            fail("cutting the stream changed the data blocks");
        }
    }
    return 0;
}
