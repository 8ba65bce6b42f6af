// libFuzzer target: arbitrary byte streams, cut at arbitrary points, through the real per-slot
// stream handling (frame_stream.cpp), handleFrame and every handler behind it.
//
// The server code runs in-process with its real listener on a loopback port. Clients are
// socketpairs whose server ends are placed in the connection table the way an accept places
// them, so the server's receive, send, close and compaction paths run on real descriptors
// without leaving TCP connections in TIME_WAIT at thousands of inputs a second.
//
// Input layout:
//   byte 0      options (see the option bits below)
//   byte 1      number of cut points k, low 4 bits (0-15)
//   2k bytes    cut points, 16-bit big-endian, taken modulo the stream length
//   the rest    the byte stream the client(s) send
//
// Besides the sanitizers, every input is checked for:
//   - replies: each client's received bytes are whole TPKT frames of at most 1024 bytes, of a
//     type the server sends (CC, DR, DC, DT);
//   - cleanup: once the clients hang up, the server closes every slot and its socket;
//   - framing: with one client and a still clock, the stream cut at the chosen points gives
//     exactly the replies, log lines and data block contents that the whole stream sent at once
//     gives.
#include "app/server.h"
#include "core/connection_table.h"
#include "core/log.h"
#include "memory/data_block_table.h"
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
    const auto slot = static_cast<std::size_t>(connectionTable.connectionCount);
    connectionTable.slots[slot].socket = client.serverFd;
    connectionTable.connectionCount += 1;
    return client;
}

void pass(bool tick) {
    if (tick) {
        now += tickMicros;
    }
    serverPass(now);
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

// Each client's reply stream must be whole frames of the kinds the server sends.
void checkReplies(const Bytes &stream) {
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

// A fresh server state for every run: no connections, no data blocks, DB1 and DB15 seeded.
void resetServerState() {
    serverReset();
    serverPass(now); // restarts the tick clock and seeds the demo blocks, the same in every run
    capturedLog.clear();
}

Outcome run(std::uint8_t options, const std::vector<std::size_t> &cuts, const std::uint8_t *stream,
            std::size_t streamSize) {
    resetServerState();
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
    for (int i = 0; i < settlePasses && connectionTable.connectionCount > 0; ++i) {
        pass(false);
    }
    if (connectionTable.connectionCount != 0) {
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
        const std::span<std::uint8_t> block = findDataBlock(db);
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
    // The server logs every exchange to stdout; libFuzzer reports on stderr.
    const int devNull = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
    if (devNull >= 0) {
        ::dup2(devNull, STDOUT_FILENO);
        ::close(devNull);
    }
    setLogCapture(&capturedLog);
    Options options;
    options.port = 0;
    options.bindAddress = {127, 0, 0, 1};
    if (!serverStart(options)) {
        fail("the server did not start");
    }
    serverPass(now); // starts the tick clock, so later runs tick only when told to
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

    const Outcome cut = run(options, cuts, stream, streamSize);
    const bool comparable =
        (options & (optionTwoClients | optionTickBetween)) == 0 && !cuts.empty();
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
