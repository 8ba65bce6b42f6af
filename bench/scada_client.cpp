#include "scada_client.h"

#include "bench_protocol.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <functional>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <queue>
#include <span>
#include <string>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>
#include <utility>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;
using Bytes = std::vector<std::uint8_t>;

constexpr std::uint32_t patternSeed = 0x5CADA000u;
constexpr int setupTimeoutSeconds = 5;
constexpr std::size_t receiveRoom = 4096;
constexpr std::size_t reportedFailures = 5;

std::int64_t microsSince(Clock::time_point start, Clock::time_point now) {
    return std::chrono::duration_cast<std::chrono::microseconds>(now - start).count();
}

// One PLC's connection: its job, the exact reply it expects, and the request in flight.
struct Poller {
    int socket = -1;
    Bytes job;
    Bytes expected;
    Bytes received;
    std::uint16_t reference = 0;
    bool outstanding = false;
    bool dead = false;
    Clock::time_point sentAt;
};

struct Tally {
    std::uint64_t sent = 0;
    std::uint64_t replies = 0;
    std::uint64_t lost = 0;    // no reply within the timeout, or none at all
    std::uint64_t failed = 0;  // a wrong reply, a closed or broken connection
    std::uint64_t skipped = 0; // polls due while the previous one was still out
    std::size_t outstanding = 0;
    std::vector<std::int64_t> nanos;
    std::vector<std::string> messages;

    void fail(std::size_t plc, const std::string &what) {
        ++failed;
        if (messages.size() < reportedFailures) {
            messages.push_back("PLC " + std::to_string(plc + 1) + ": " + what);
        }
    }
};

bool sendAll(int socket, std::span<const std::uint8_t> bytes) {
    while (!bytes.empty()) {
        const ssize_t sent = ::send(socket, bytes.data(), bytes.size(), MSG_NOSIGNAL);
        if (sent <= 0) {
            return false;
        }
        bytes = bytes.subspan(static_cast<std::size_t>(sent));
    }
    return true;
}

// One whole TPKT frame on a blocking socket; empty on a close, a timeout or garbage.
Bytes receiveFrame(int socket) {
    Bytes frame(bench::tpktHeaderSize);
    std::size_t have = 0;
    std::size_t want = bench::tpktHeaderSize;
    while (have < want) {
        const ssize_t got = ::recv(socket, frame.data() + have, want - have, 0);
        if (got <= 0) {
            return {};
        }
        have += static_cast<std::size_t>(got);
        if (have == bench::tpktHeaderSize && want == bench::tpktHeaderSize) {
            want = bench::tpktLength(frame);
            if (want < bench::tpktHeaderSize) {
                return {};
            }
            frame.resize(want);
        }
    }
    return frame;
}

// Connects to PLC n, sets the connection up, writes its pattern into the polled items and
// builds the poll job and the reply it must get. Empty text on success, else why not.
std::string setUp(const ScadaOptions &options, std::size_t plc, Poller &poller) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    if (::inet_pton(AF_INET, options.host.c_str(), &address.sin_addr) != 1) {
        return "bad address " + options.host;
    }
    const auto step = static_cast<std::uint32_t>(plc + 1);
    if (options.spreadOverAddresses) {
        address.sin_addr.s_addr = htonl(ntohl(address.sin_addr.s_addr) + step);
        address.sin_port = htons(options.port);
    } else {
        address.sin_port = htons(static_cast<std::uint16_t>(options.port + step));
    }
    poller.socket = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const timeval timeout{setupTimeoutSeconds, 0};
    ::setsockopt(poller.socket, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
    ::setsockopt(poller.socket, SOL_SOCKET, SO_SNDTIMEO, &timeout, sizeof timeout);
    const int enable = 1;
    ::setsockopt(poller.socket, IPPROTO_TCP, TCP_NODELAY, &enable, sizeof enable);
    if (::connect(poller.socket, reinterpret_cast<const sockaddr *>(&address), sizeof address) !=
        0) {
        char text[INET_ADDRSTRLEN] = {};
        ::inet_ntop(AF_INET, &address.sin_addr, text, sizeof text);
        return std::string("cannot connect to ") + text + ":" +
               std::to_string(ntohs(address.sin_port)) + ": " + std::strerror(errno);
    }
    Bytes frame;
    bench::appendConnectionRequest(frame, options.slot);
    if (!sendAll(poller.socket, frame) ||
        !bench::isConnectionConfirm(receiveFrame(poller.socket))) {
        return "no connection confirm";
    }
    frame.clear();
    bench::appendSetupCommunicationJob(frame, 1);
    if (!sendAll(poller.socket, frame)) {
        return "setup communication not sent";
    }
    const bench::SetupReply setup = bench::parseSetupReply(receiveFrame(poller.socket), 1);
    if (!setup.valid) {
        return "no setup communication reply";
    }
    // Items alternate between DB1 and DB2, so both blocks of every PLC are read.
    std::vector<bench::Item> items;
    for (std::size_t item = 0; item < options.items; ++item) {
        items.push_back({static_cast<std::uint16_t>(1 + item % 2),
                         static_cast<std::uint16_t>(item / 2 * options.bytes),
                         static_cast<std::uint16_t>(options.bytes)});
    }
    // A pattern of this PLC's own: a reply from another PLC never matches.
    Bytes data(options.items * options.bytes);
    bench::fillPattern(data, patternSeed + static_cast<std::uint32_t>(plc));
    Bytes reply;
    frame.clear();
    bench::appendWriteVarJob(frame, 2, items, data);
    bench::appendReadVarJob(poller.job, 3, items);
    bench::appendReadVarReply(poller.expected, 3, items, data);
    bench::appendWriteVarReply(reply, 2, items.size());
    if (bench::pduBytes(frame) > setup.pduSize ||
        bench::pduBytes(poller.expected) > setup.pduSize) {
        return "the items exceed the " + std::to_string(setup.pduSize) + "-byte PDU";
    }
    if (!sendAll(poller.socket, frame) || receiveFrame(poller.socket) != reply) {
        return "the pattern write was not confirmed";
    }
    poller.reference = 3;
    poller.received.reserve(receiveRoom);
    return {};
}

// Takes what arrived on the poller's socket and checks every whole reply.
void takeReplies(std::size_t plc, Poller &poller, Tally &tally, Clock::time_point now,
                 std::int64_t timeoutMicros) {
    std::uint8_t chunk[receiveRoom];
    for (;;) {
        const ssize_t got = ::recv(poller.socket, chunk, sizeof chunk, MSG_DONTWAIT);
        if (got > 0) {
            poller.received.insert(poller.received.end(), chunk, chunk + got);
            continue;
        }
        if (got == 0 || (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)) {
            poller.dead = true;
            tally.outstanding -= poller.outstanding ? 1 : 0;
            tally.fail(plc, got == 0 ? "the server closed the connection"
                                     : std::string("receive failed: ") + std::strerror(errno));
            return;
        }
        if (errno != EINTR) {
            break;
        }
    }
    std::size_t start = 0;
    while (poller.received.size() - start >= bench::tpktHeaderSize) {
        const std::size_t length =
            bench::tpktLength(std::span(poller.received).subspan(start, bench::tpktHeaderSize));
        if (length < bench::tpktHeaderSize) {
            poller.dead = true;
            tally.outstanding -= poller.outstanding ? 1 : 0;
            tally.fail(plc, "not a TPKT frame");
            return;
        }
        if (poller.received.size() - start < length) {
            break;
        }
        const auto frame = std::span(poller.received).subspan(start, length);
        start += length;
        if (!poller.outstanding) {
            tally.fail(plc, "a reply to no request");
            continue;
        }
        poller.outstanding = false;
        tally.outstanding -= 1;
        bench::setPduReference(poller.expected, poller.reference);
        if (!std::equal(frame.begin(), frame.end(), poller.expected.begin(),
                        poller.expected.end())) {
            tally.fail(plc, "wrong Read Var reply");
            continue;
        }
        const std::int64_t nanos =
            std::chrono::duration_cast<std::chrono::nanoseconds>(now - poller.sentAt).count();
        if (nanos > timeoutMicros * 1000) {
            ++tally.lost; // too late to count as answered
            continue;
        }
        ++tally.replies;
        tally.nanos.push_back(nanos);
    }
    poller.received.erase(poller.received.begin(),
                          poller.received.begin() + static_cast<std::ptrdiff_t>(start));
}

double percentileMicros(const std::vector<std::int64_t> &sorted, double fraction) {
    if (sorted.empty()) {
        return 0;
    }
    const auto index = static_cast<std::size_t>(fraction * static_cast<double>(sorted.size() - 1));
    return static_cast<double>(sorted[index]) / 1000.0;
}

} // namespace

int runScada(const ScadaOptions &options) {
    const auto count = static_cast<std::size_t>(options.plcs);
    std::vector<Poller> pollers(count);
    const Clock::time_point setUpStart = Clock::now();
    for (std::size_t plc = 0; plc < count; ++plc) {
        if (const std::string error = setUp(options, plc, pollers[plc]); !error.empty()) {
            std::fprintf(stderr, "plcdouble-bench: PLC %zu: %s\n", plc + 1, error.c_str());
            return 1;
        }
    }
    const double setUpSeconds = std::chrono::duration<double>(Clock::now() - setUpStart).count();
    const int watcher = ::epoll_create1(EPOLL_CLOEXEC);
    for (std::size_t plc = 0; plc < count; ++plc) {
        epoll_event event{};
        event.events = EPOLLIN;
        event.data.u64 = plc;
        ::epoll_ctl(watcher, EPOLL_CTL_ADD, pollers[plc].socket, &event);
    }

    // Each PLC is polled every interval, the PLCs' turns spread evenly over it, as independent
    // poll timers drift apart: due times in microseconds from the start, earliest first.
    using Due = std::pair<std::int64_t, std::size_t>;
    std::priority_queue<Due, std::vector<Due>, std::greater<>> due;
    for (std::size_t plc = 0; plc < count; ++plc) {
        due.emplace(options.intervalMicros * static_cast<std::int64_t>(plc) /
                        static_cast<std::int64_t>(count),
                    plc);
    }
    Tally tally;
    tally.nanos.reserve(static_cast<std::size_t>(options.seconds * 1e6 /
                                                 static_cast<double>(options.intervalMicros)) *
                        count);
    const auto runMicros = static_cast<std::int64_t>(options.seconds * 1e6);
    std::vector<epoll_event> events(count);
    const Clock::time_point start = Clock::now();
    for (;;) {
        Clock::time_point now = Clock::now();
        std::int64_t elapsed = microsSince(start, now);
        while (!due.empty() && due.top().first <= elapsed) {
            const auto [when, plc] = due.top();
            due.pop();
            Poller &poller = pollers[plc];
            if (poller.dead) {
                continue;
            }
            if (poller.outstanding) {
                ++tally.skipped; // the previous poll is still out: this one waits its turn
            } else {
                poller.reference = static_cast<std::uint16_t>(poller.reference + 1);
                bench::setPduReference(poller.job, poller.reference);
                poller.sentAt = Clock::now();
                if (sendAll(poller.socket, poller.job)) {
                    poller.outstanding = true;
                    ++tally.outstanding;
                    ++tally.sent;
                } else {
                    poller.dead = true;
                    tally.fail(plc, std::string("send failed: ") + std::strerror(errno));
                }
            }
            if (when + options.intervalMicros < runMicros) {
                due.emplace(when + options.intervalMicros, plc);
            }
        }
        if (due.empty() &&
            (tally.outstanding == 0 || elapsed >= runMicros + options.replyTimeoutMicros)) {
            break;
        }
        const std::int64_t until =
            due.empty() ? runMicros + options.replyTimeoutMicros : due.top().first;
        const std::int64_t wait = std::max<std::int64_t>(until - elapsed, 0);
        const timespec timeout{static_cast<time_t>(wait / 1'000'000),
                               static_cast<long>(wait % 1'000'000 * 1000)};
        const int ready = ::epoll_pwait2(watcher, events.data(), static_cast<int>(events.size()),
                                         &timeout, nullptr);
        now = Clock::now();
        for (int index = 0; index < ready; ++index) {
            const auto plc =
                static_cast<std::size_t>(events[static_cast<std::size_t>(index)].data.u64);
            if (!pollers[plc].dead) {
                takeReplies(plc, pollers[plc], tally, now, options.replyTimeoutMicros);
                if (pollers[plc].dead) {
                    ::epoll_ctl(watcher, EPOLL_CTL_DEL, pollers[plc].socket, nullptr);
                }
            }
        }
    }
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    for (Poller &poller : pollers) {
        if (poller.outstanding && !poller.dead) {
            ++tally.lost;
        }
        ::close(poller.socket);
    }
    ::close(watcher);
    for (const std::string &message : tally.messages) {
        std::fprintf(stderr, "plcdouble-bench: %s\n", message.c_str());
    }
    std::sort(tally.nanos.begin(), tally.nanos.end());
    std::printf(
        "mode=scada plcs=%d items=%zu bytes=%zu interval_ms=%.1f setup_s=%.3f "
        "seconds=%.3f sent=%llu replies=%llu lost=%llu failed=%llu skipped=%llu "
        "rps=%.0f p50_us=%.1f p99_us=%.1f max_us=%.1f\n",
        options.plcs, options.items, options.bytes,
        static_cast<double>(options.intervalMicros) / 1000.0, setUpSeconds, seconds,
        static_cast<unsigned long long>(tally.sent), static_cast<unsigned long long>(tally.replies),
        static_cast<unsigned long long>(tally.lost), static_cast<unsigned long long>(tally.failed),
        static_cast<unsigned long long>(tally.skipped),
        static_cast<double>(tally.replies) / options.seconds, percentileMicros(tally.nanos, 0.50),
        percentileMicros(tally.nanos, 0.99),
        tally.nanos.empty() ? 0.0 : static_cast<double>(tally.nanos.back()) / 1000.0);
    return tally.lost == 0 && tally.failed == 0 && tally.replies > 0 ? 0 : 1;
}
