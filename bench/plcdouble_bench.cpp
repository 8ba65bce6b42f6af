// plcdouble-bench: a load client for S7 servers. Each connection does the ISO-on-TCP
// connection request and Setup communication, then runs Read Var or Write Var jobs with one
// request outstanding, checks every reply byte for byte, and the run reports requests per
// second and round-trip latency. --baseline runs the same frame sizes against a minimal TCP
// ping-pong server (--serve-baseline, or a child process) instead: the machine's limit for this
// traffic pattern.
#include "bench_protocol.h"
#include "scada_client.h"

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <chrono>
#include <condition_variable>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

using Clock = std::chrono::steady_clock;
using Bytes = std::vector<std::uint8_t>;

constexpr int exitOk = 0;
constexpr int exitErrors = 1;
constexpr int exitUsage = 2;
constexpr int maxConnections = 64;    // the most a server serves (--connections 64)
constexpr std::size_t maxItems = 255; // the item count is one byte
constexpr std::size_t maxDataBlockBytes = 65534;
constexpr std::size_t receiveBufferSize = 64 * 1024;
constexpr int ioTimeoutSeconds = 2;
constexpr std::size_t maxReportedErrors = 5; // per connection; the rest are only counted
constexpr std::uint32_t readPatternSeed = 0x5EED0000u;

enum class Operation { read, write };

struct Options {
    std::string host = "127.0.0.1";
    std::uint16_t port = 102;
    int connections = 1;
    double seconds = 3.0;
    std::uint64_t requests = 0; // per connection; 0 = until the time is up
    Operation op = Operation::read;
    std::size_t bytes = 16;
    std::size_t items = 1;
    std::uint16_t firstDb = 100;
    std::uint64_t warmup = 200;
    std::uint8_t slot = bench::defaultSlot;
    std::uint16_t pdu = bench::defaultPduSize;
    bool baseline = false;
    bool freePort = false;
    bool portGiven = false;
    bool serveBaseline = false;
    int scada = 0; // PLCs to poll as a SCADA server does; 0: the usual jobs
    bool scadaOverPorts = false;
    double intervalMs = 100;
};

void printUsage(std::FILE *to) {
    std::fputs(
        "usage: plcdouble-bench [options]\n"
        "  --host H           server address (default 127.0.0.1)\n"
        "  --port N           server port (default 102)\n"
        "  --connections N    connections, 1-64, one outstanding request each (default 1);\n"
        "                     the server must serve that many (plcdouble --connections N)\n"
        "  --seconds S        measured time (default 3)\n"
        "  --requests N       stop each connection after N measured requests (default: none)\n"
        "  --op read|write    Read Var or Write Var jobs (default read)\n"
        "  --bytes N          bytes per item (default 16)\n"
        "  --items N          items per job (default 1)\n"
        "  --db N             data block of the first connection; the next one uses N+1\n"
        "                     (default 100)\n"
        "  --warmup N         unmeasured requests per connection before timing (default 200)\n"
        "  --slot N           CPU slot the connection request addresses, rack 0 (default 2;\n"
        "                     plcdouble --cpu s7-1200 and s7-1500 answer on 0 or 1)\n"
        "  --pdu N            PDU size asked for in setup communication (default 480); the\n"
        "                     jobs must fit what the server agrees\n"
        "  --baseline         ping-pong the same frame sizes with a minimal TCP server instead:\n"
        "                     the one at --host/--port when --port is given, else a child\n"
        "                     process of this program\n"
        "  --serve-baseline   be that minimal server on 127.0.0.1 --port (default: a free\n"
        "                     port) until SIGTERM or SIGINT\n"
        "  --free-port        print a free loopback TCP port and exit\n"
        "  --scada N          poll N PLCs as a SCADA server does, from one thread: one\n"
        "                     connection each, first a write of a pattern of the PLC's own\n"
        "                     into the items, then a Read Var of the --items items (DB1 and\n"
        "                     DB2 in turn, --bytes each) every --interval-ms, the PLCs' turns\n"
        "                     spread over the interval, for --seconds; PLC n (from 1) is at\n"
        "                     --host plus n, port --port\n"
        "  --spread port      with --scada: PLC n is at --host, port --port plus n instead\n"
        "  --interval-ms MS   with --scada: each PLC's poll interval (default 100)\n"
        "Prints one line of key=value results; exit status 1 when any reply was wrong.\n",
        to);
}

template <typename Number> bool parseNumber(std::string_view text, Number &value) {
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    return error == std::errc{} && end == text.data() + text.size();
}

std::optional<Options> parseOptions(int argc, char **argv) {
    Options options;
    for (int index = 1; index < argc; ++index) {
        const std::string_view name = argv[index];
        if (name == "--baseline") {
            options.baseline = true;
            continue;
        }
        if (name == "--serve-baseline") {
            options.serveBaseline = true;
            continue;
        }
        if (name == "--free-port") {
            options.freePort = true;
            continue;
        }
        if (name == "--help" || name == "-h") {
            printUsage(stdout);
            std::exit(exitOk);
        }
        if (index + 1 >= argc) {
            std::fprintf(stderr, "plcdouble-bench: %s needs a value\n", argv[index]);
            return std::nullopt;
        }
        const std::string_view value = argv[++index];
        bool good = true;
        if (name == "--host") {
            options.host = value;
        } else if (name == "--port") {
            good = parseNumber(value, options.port) && options.port != 0;
            options.portGiven = true;
        } else if (name == "--connections") {
            good = parseNumber(value, options.connections) && options.connections >= 1 &&
                   options.connections <= maxConnections;
        } else if (name == "--seconds") {
            options.seconds = std::strtod(std::string(value).c_str(), nullptr);
            good = options.seconds > 0 && options.seconds <= 3600;
        } else if (name == "--requests") {
            good = parseNumber(value, options.requests);
        } else if (name == "--op") {
            good = value == "read" || value == "write";
            options.op = value == "write" ? Operation::write : Operation::read;
        } else if (name == "--bytes") {
            good = parseNumber(value, options.bytes) && options.bytes >= 1;
        } else if (name == "--items") {
            good = parseNumber(value, options.items) && options.items >= 1 &&
                   options.items <= maxItems;
        } else if (name == "--db") {
            good = parseNumber(value, options.firstDb);
        } else if (name == "--warmup") {
            good = parseNumber(value, options.warmup);
        } else if (name == "--slot") {
            good = parseNumber(value, options.slot) && options.slot <= bench::largestSlot;
        } else if (name == "--scada") {
            good =
                parseNumber(value, options.scada) && options.scada >= 1 && options.scada <= 60000;
        } else if (name == "--spread") {
            good = value == "port" || value == "address";
            options.scadaOverPorts = value == "port";
        } else if (name == "--interval-ms") {
            options.intervalMs = std::strtod(std::string(value).c_str(), nullptr);
            good = options.intervalMs >= 0.1 && options.intervalMs <= 60000;
        } else if (name == "--pdu") {
            // Below a 10-byte header and one Read Var item no job fits.
            constexpr std::uint16_t smallestPdu = 32;
            good = parseNumber(value, options.pdu) && options.pdu >= smallestPdu;
        } else {
            std::fprintf(stderr, "plcdouble-bench: unknown option %s\n", argv[index - 1]);
            return std::nullopt;
        }
        if (!good) {
            std::fprintf(stderr, "plcdouble-bench: bad value '%s' for %s\n", argv[index],
                         argv[index - 1]);
            return std::nullopt;
        }
    }
    if (options.items * options.bytes > maxDataBlockBytes) {
        std::fprintf(stderr, "plcdouble-bench: --items x --bytes exceeds a data block\n");
        return std::nullopt;
    }
    return options;
}

// The options every socket of the run gets, on both sides of the baseline too.
void setNoDelay(int socket) {
    const int enable = 1;
    setsockopt(socket, IPPROTO_TCP, TCP_NODELAY, &enable, sizeof enable);
}

void setTimeouts(int socket) {
    const timeval timeout{ioTimeoutSeconds, 0};
    setsockopt(socket, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
    setsockopt(socket, SOL_SOCKET, SO_SNDTIMEO, &timeout, sizeof timeout);
}

std::string hexDump(std::span<const std::uint8_t> bytes) {
    constexpr std::size_t shown = 48;
    std::string text;
    char pair[4];
    for (std::size_t index = 0; index < bytes.size() && index < shown; ++index) {
        std::snprintf(pair, sizeof pair, "%02X ", bytes[index]);
        text += pair;
    }
    if (bytes.size() > shown) {
        text += "...";
    } else if (!text.empty()) {
        text.pop_back();
    }
    return text;
}

// A blocking client socket that hands out whole TPKT frames.
class Link {
public:
    Link() : buffer_(receiveBufferSize) {}
    Link(const Link &) = delete;
    Link &operator=(const Link &) = delete;
    ~Link() {
        if (socket_ >= 0) {
            ::close(socket_);
        }
    }

    bool open(const std::string &host, std::uint16_t port, std::string &error) {
        addrinfo hints{};
        hints.ai_family = AF_INET;
        hints.ai_socktype = SOCK_STREAM;
        addrinfo *found = nullptr;
        const std::string service = std::to_string(port);
        if (const int status = getaddrinfo(host.c_str(), service.c_str(), &hints, &found)) {
            error = "cannot resolve " + host + ": " + gai_strerror(status);
            return false;
        }
        socket_ = ::socket(AF_INET, SOCK_STREAM, 0);
        const bool connected =
            socket_ >= 0 && ::connect(socket_, found->ai_addr, found->ai_addrlen) == 0;
        freeaddrinfo(found);
        if (!connected) {
            error = "cannot connect to " + host + ":" + service + ": " + std::strerror(errno);
            return false;
        }
        setNoDelay(socket_);
        setTimeouts(socket_);
        return true;
    }

    bool send(std::span<const std::uint8_t> frame, std::string &error) {
        while (!frame.empty()) {
            const ssize_t sent = ::send(socket_, frame.data(), frame.size(), MSG_NOSIGNAL);
            if (sent <= 0) {
                error = std::string("send failed: ") + std::strerror(errno);
                return false;
            }
            frame = frame.subspan(static_cast<std::size_t>(sent));
        }
        return true;
    }

    // The next whole frame; empty with error set when the peer closed, timed out or sent
    // something that is not TPKT.
    std::span<const std::uint8_t> receiveFrame(std::string &error) {
        for (;;) {
            const std::size_t waiting = end_ - start_;
            if (waiting >= bench::tpktHeaderSize) {
                const auto header = std::span(buffer_).subspan(start_, bench::tpktHeaderSize);
                const std::size_t length = bench::tpktLength(header);
                if (length < bench::tpktHeaderSize) {
                    error = "not a TPKT frame: " + hexDump(std::span(buffer_).subspan(
                                                       start_, std::min<std::size_t>(waiting, 16)));
                    return {};
                }
                if (waiting >= length) {
                    const auto frame = std::span(buffer_).subspan(start_, length);
                    start_ += length;
                    return frame;
                }
            }
            if (start_ == end_) {
                start_ = end_ = 0;
            } else if (buffer_.size() - start_ < 2 * 0x10000) {
                // Keep room for the largest frame a TPKT header can announce.
                std::memmove(buffer_.data(), buffer_.data() + start_, waiting);
                start_ = 0;
                end_ = waiting;
            }
            const ssize_t got = ::recv(socket_, buffer_.data() + end_, buffer_.size() - end_, 0);
            if (got > 0) {
                end_ += static_cast<std::size_t>(got);
                continue;
            }
            if (got == 0) {
                error = "server closed the connection";
            } else if (errno == EAGAIN || errno == EWOULDBLOCK) {
                error = "no reply within " + std::to_string(ioTimeoutSeconds) + " s";
            } else if (errno == EINTR) {
                continue;
            } else {
                error = std::string("receive failed: ") + std::strerror(errno);
            }
            return {};
        }
    }

    // The exchange the measured loop does: one job out, one frame back.
    std::span<const std::uint8_t> exchange(std::span<const std::uint8_t> job, std::string &error) {
        if (!send(job, error)) {
            return {};
        }
        return receiveFrame(error);
    }

private:
    int socket_ = -1;
    Bytes buffer_;
    std::size_t start_ = 0;
    std::size_t end_ = 0;
};

// Set by SIGTERM/SIGINT in a --serve-baseline process.
volatile std::sig_atomic_t stopSignalled = 0;

extern "C" void onStopSignal(int /*signal*/) {
    stopSignalled = 1;
}

// The ping-pong peer: a single-threaded poll loop like the server's, in a process of its own
// like the server, so the scheduler treats both alike. It accepts clients with TCP_NODELAY and
// answers every whole frame with a frame of the size the job asks for in its S7 header's
// reserved word (see markBaselineReply), carrying the job's PDU reference. No protocol work.
class BaselineServer {
public:
    BaselineServer() : reply_(maxFrameSize, 0), chunk_(receiveBufferSize) {}
    BaselineServer(const BaselineServer &) = delete;
    BaselineServer &operator=(const BaselineServer &) = delete;
    ~BaselineServer() {
        for (const Client &client : clients_) {
            ::close(client.socket);
        }
        if (listener_ >= 0) {
            ::close(listener_);
        }
    }

    // Listens on the loopback port (0: any free one); returns the port, or 0 on failure.
    std::uint16_t listen(std::uint16_t port) {
        listener_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        const int enable = 1;
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        address.sin_port = htons(port);
        socklen_t size = sizeof address;
        if (listener_ < 0 ||
            setsockopt(listener_, SOL_SOCKET, SO_REUSEADDR, &enable, sizeof enable) != 0 ||
            ::bind(listener_, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0 ||
            ::listen(listener_, maxConnections) != 0 ||
            ::getsockname(listener_, reinterpret_cast<sockaddr *>(&address), &size) != 0) {
            return 0;
        }
        return ntohs(address.sin_port);
    }

    // Serves until a stop signal arrives or stopSocket (when not -1) becomes readable or
    // closes.
    void serve(int stopSocket) {
        std::vector<pollfd> watched;
        while (stopSignalled == 0) {
            ++wakeups_;
            watched.assign(1, pollfd{listener_, POLLIN, 0});
            for (const Client &client : clients_) {
                watched.push_back(pollfd{client.socket, POLLIN, 0});
            }
            if (stopSocket >= 0) {
                watched.push_back(pollfd{stopSocket, POLLIN, 0});
            }
            if (::poll(watched.data(), watched.size(), tickMillis) <= 0) {
                continue;
            }
            if (stopSocket >= 0 && watched.back().revents != 0) {
                return;
            }
            // Clients accepted below were not in this poll; they are served from the next one.
            const std::size_t polledClients = clients_.size();
            if ((watched[0].revents & POLLIN) != 0) {
                const int accepted =
                    ::accept4(listener_, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
                if (accepted >= 0) {
                    setNoDelay(accepted);
                    clients_.push_back(Client{accepted, {}});
                }
            }
            for (std::size_t index = 0; index < polledClients; ++index) {
                if (watched[index + 1].revents != 0 && !answer(clients_[index])) {
                    ::close(clients_[index].socket);
                    clients_[index].socket = -1;
                }
            }
            std::erase_if(clients_, [](const Client &client) { return client.socket < 0; });
        }
    }

    std::uint64_t wakeups() const { return wakeups_; }

private:
    struct Client {
        int socket;
        Bytes input;
    };

    static constexpr int tickMillis = 10; // wakes as often as the server's tick does
    static constexpr std::size_t maxFrameSize = 0xFFFF;

    // Reads what arrived and answers each whole frame; false when the client has gone.
    bool answer(Client &client) {
        const ssize_t got = ::recv(client.socket, chunk_.data(), chunk_.size(), 0);
        if (got <= 0) {
            return got < 0 && (errno == EAGAIN || errno == EINTR);
        }
        client.input.insert(client.input.end(), chunk_.begin(), chunk_.begin() + got);
        std::size_t used = 0;
        for (;;) {
            const auto rest = std::span(client.input).subspan(used);
            if (rest.size() < bench::tpktHeaderSize) {
                break;
            }
            const std::size_t length = bench::tpktLength(rest);
            if (length <= bench::baselineReplySizeOffset + 1) {
                return false; // not a frame this peer can answer
            }
            if (length > rest.size()) {
                break;
            }
            const std::size_t replySize =
                static_cast<std::size_t>(rest[bench::baselineReplySizeOffset] << 8 |
                                         rest[bench::baselineReplySizeOffset + 1]);
            if (replySize <= bench::pduReferenceOffset + 1) {
                return false;
            }
            reply_[0] = bench::tpktVersion;
            reply_[2] = rest[bench::baselineReplySizeOffset];
            reply_[3] = rest[bench::baselineReplySizeOffset + 1];
            reply_[bench::pduReferenceOffset] = rest[bench::pduReferenceOffset];
            reply_[bench::pduReferenceOffset + 1] = rest[bench::pduReferenceOffset + 1];
            if (!sendAll(client.socket, std::span(reply_).first(replySize))) {
                return false;
            }
            used += length;
        }
        client.input.erase(client.input.begin(),
                           client.input.begin() + static_cast<std::ptrdiff_t>(used));
        return true;
    }

    static bool sendAll(int socket, std::span<const std::uint8_t> left) {
        while (!left.empty()) {
            const ssize_t sent = ::send(socket, left.data(), left.size(), MSG_NOSIGNAL);
            if (sent > 0) {
                left = left.subspan(static_cast<std::size_t>(sent));
            } else if (sent < 0 && errno == EAGAIN) {
                pollfd writable{socket, POLLOUT, 0};
                if (::poll(&writable, 1, ioTimeoutSeconds * 1000) <= 0) {
                    return false;
                }
            } else {
                return false;
            }
        }
        return true;
    }

    Bytes reply_;
    Bytes chunk_;
    int listener_ = -1;
    std::vector<Client> clients_;
    std::uint64_t wakeups_ = 0;
};

double processCpuMillis() {
    timespec used{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &used);
    return static_cast<double>(used.tv_sec) * 1e3 + static_cast<double>(used.tv_nsec) / 1e6;
}

// --serve-baseline: the ping-pong peer as a long-running process, stopped by SIGTERM or SIGINT.
int serveBaseline(const Options &options) {
    struct sigaction action {};
    action.sa_handler = onStopSignal;
    sigemptyset(&action.sa_mask);
    sigaction(SIGTERM, &action, nullptr); // no SA_RESTART: the signal ends the wait at once
    sigaction(SIGINT, &action, nullptr);
    BaselineServer server;
    const std::uint16_t port = server.listen(options.portGiven ? options.port : 0);
    if (port == 0) {
        std::perror("plcdouble-bench: baseline server");
        return exitErrors;
    }
    std::printf("baseline server listening on 127.0.0.1 port %u\n", static_cast<unsigned>(port));
    std::fflush(stdout);
    server.serve(-1);
    std::printf("baseline_server_cpu_ms=%.3f wakeups=%llu\n", processCpuMillis(),
                static_cast<unsigned long long>(server.wakeups()));
    return exitOk;
}

// The ping-pong peer in a child process for a --baseline run without --port.
class BaselineChild {
public:
    BaselineChild(const BaselineChild &) = delete;
    BaselineChild &operator=(const BaselineChild &) = delete;
    BaselineChild() = default;
    ~BaselineChild() { stop(); }

    // Forks the child; returns its port, or 0 on failure. Call before starting any thread.
    std::uint16_t start() {
        int link[2];
        if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, link) != 0) {
            return 0;
        }
        auto server = std::make_unique<BaselineServer>();
        const std::uint16_t port = server->listen(0);
        if (port == 0) {
            ::close(link[0]);
            ::close(link[1]);
            return 0;
        }
        child_ = ::fork();
        if (child_ == 0) {
            ::close(link[0]);
            const double cpuStart = processCpuMillis();
            server->serve(link[1]);
            const double report[] = {processCpuMillis() - cpuStart,
                                     static_cast<double>(server->wakeups())};
            [[maybe_unused]] const ssize_t written = ::write(link[1], report, sizeof report);
            std::_Exit(exitOk);
        }
        ::close(link[1]);
        control_ = link[0];
        return child_ > 0 ? port : 0;
    }

    // Stops the child and collects its CPU time.
    void stop() {
        if (child_ <= 0) {
            return;
        }
        const char stopByte = 's';
        [[maybe_unused]] const ssize_t sent = ::write(control_, &stopByte, 1);
        double report[2] = {0, 0};
        if (::read(control_, report, sizeof report) == static_cast<ssize_t>(sizeof report)) {
            cpuMillis_ = report[0];
        }
        ::close(control_);
        ::waitpid(child_, nullptr, 0);
        child_ = -1;
    }

    double cpuMillis() const { return cpuMillis_; }

private:
    pid_t child_ = -1;
    int control_ = -1;
    double cpuMillis_ = 0;
};

// Lets the connections finish their set-up and warm-up before the clock starts together.
class StartLine {
public:
    explicit StartLine(int parties) : waiting_(parties) {}

    // Returns the moment every party arrived.
    Clock::time_point arriveAndWait() {
        std::unique_lock lock(mutex_);
        if (--waiting_ == 0) {
            start_ = Clock::now();
            released_.notify_all();
        } else {
            released_.wait(lock, [this] { return waiting_ == 0; });
        }
        return start_;
    }

    Clock::time_point start() {
        std::lock_guard lock(mutex_);
        return start_;
    }

private:
    std::mutex mutex_;
    std::condition_variable released_;
    int waiting_;
    Clock::time_point start_;
};

struct ConnectionResult {
    std::uint64_t requests = 0;
    std::uint64_t errors = 0;
    std::vector<std::int64_t> latencies; // nanoseconds, one per measured request
    Clock::time_point end;
    std::vector<std::string> messages;
};

class Connection {
public:
    Connection(const Options &options, int index, StartLine &startLine, std::uint16_t port)
        : options_(options), index_(index), startLine_(startLine), port_(port) {
        const auto db = static_cast<std::uint16_t>(options.firstDb + index);
        for (std::size_t item = 0; item < options.items; ++item) {
            items_.push_back(bench::Item{db, static_cast<std::uint16_t>(item * options.bytes),
                                         static_cast<std::uint16_t>(options.bytes)});
        }
        data_.resize(options.items * options.bytes);
    }

    ConnectionResult &result() { return result_; }
    std::size_t jobSize() const { return job_.size(); }
    std::size_t replySize() const { return expected_.size(); }

    void run() {
        const bool ready = connect() && prepareJobs() && (options_.baseline || writeInitial());
        bool alive = ready && warmUp();
        const Clock::time_point start = startLine_.arriveAndWait();
        if (alive) {
            const Clock::time_point deadline =
                start + std::chrono::duration_cast<Clock::duration>(
                            std::chrono::duration<double>(options_.seconds));
            alive = measure(deadline);
        }
        result_.end = Clock::now();
        if (alive && !options_.baseline && options_.op == Operation::write) {
            readBack();
        }
        if (!ready) {
            fail("could not start");
        }
    }

private:
    void fail(const std::string &message) {
        ++result_.errors;
        if (result_.messages.size() < maxReportedErrors) {
            result_.messages.push_back("connection " + std::to_string(index_ + 1) + ": " + message);
        }
    }

    // Compares a reply with the expected bytes; a mismatch is an error but the run goes on.
    void check(std::span<const std::uint8_t> got, std::span<const std::uint8_t> expected,
               const char *what) {
        if (got.size() == expected.size() && std::equal(got.begin(), got.end(), expected.begin())) {
            return;
        }
        fail(std::string("wrong ") + what + " reply\n  expected " + hexDump(expected) +
             "\n  got      " + hexDump(got));
    }

    bool connect() {
        std::string error;
        if (!link_.open(options_.baseline && !options_.portGiven ? std::string("127.0.0.1")
                                                                 : options_.host,
                        port_, error)) {
            fail(error);
            return false;
        }
        if (options_.baseline) {
            pduSize_ = options_.pdu;
            return true;
        }
        Bytes frame;
        bench::appendConnectionRequest(frame, options_.slot);
        auto reply = link_.exchange(frame, error);
        if (reply.empty() || !bench::isConnectionConfirm(reply)) {
            fail("no connection confirm: " + (reply.empty() ? error : hexDump(reply)));
            return false;
        }
        frame.clear();
        const std::uint16_t reference = nextReference();
        bench::appendSetupCommunicationJob(frame, reference, options_.pdu);
        reply = link_.exchange(frame, error);
        const bench::SetupReply setup = bench::parseSetupReply(reply, reference);
        if (!setup.valid) {
            fail("bad Setup communication reply: " + (reply.empty() ? error : hexDump(reply)));
            return false;
        }
        // The server may agree less than was asked, never more.
        pduSize_ = std::min(setup.pduSize, options_.pdu);
        return true;
    }

    // Builds the measured job and its expected reply once; the loop only patches them.
    bool prepareJobs() {
        if (options_.op == Operation::read) {
            bench::fillPattern(data_, readPatternSeed + static_cast<std::uint32_t>(index_));
            bench::appendReadVarJob(job_, 0, items_);
            bench::appendReadVarReply(expected_, 0, items_, data_);
        } else {
            bench::appendWriteVarJob(job_, 0, items_, data_);
            bench::appendWriteVarReply(expected_, 0, items_.size());
        }
        if (options_.baseline) {
            bench::markBaselineReply(job_, expected_.size());
        }
        if (bench::pduBytes(job_) > pduSize_ || bench::pduBytes(expected_) > pduSize_) {
            fail("a job of " + std::to_string(bench::pduBytes(job_)) + " or a reply of " +
                 std::to_string(bench::pduBytes(expected_)) + " bytes exceeds the " +
                 std::to_string(pduSize_) + "-byte PDU; use fewer --items or --bytes");
            return false;
        }
        return true;
    }

    std::uint16_t nextReference() { return ++reference_ == 0 ? ++reference_ : reference_; }

    // Read jobs need known contents to compare against: store the pattern first.
    bool writeInitial() {
        if (options_.op != Operation::read) {
            return true;
        }
        Bytes frame;
        Bytes expected;
        const std::uint16_t reference = nextReference();
        bench::appendWriteVarJob(frame, reference, items_, data_);
        bench::appendWriteVarReply(expected, reference, items_.size());
        std::string error;
        const auto reply = link_.exchange(frame, error);
        if (reply.empty()) {
            fail(error);
            return false;
        }
        check(reply, expected, "initial Write Var");
        return true;
    }

    // One request of the run's kind; false when the connection is unusable.
    bool oneRequest(std::int64_t *latency) {
        const std::uint16_t reference = nextReference();
        if (options_.op == Operation::write) {
            // A new pattern each time, so a server that ignores writes fails the read-back.
            ++writeSeed_;
            job_.clear();
            bench::fillPattern(data_, writeSeed_);
            bench::appendWriteVarJob(job_, reference, items_, data_);
            if (options_.baseline) {
                bench::markBaselineReply(job_, expected_.size());
            }
        } else {
            bench::setPduReference(job_, reference);
        }
        bench::setPduReference(expected_, reference);
        std::string error;
        const Clock::time_point sent = Clock::now();
        const auto reply = link_.exchange(job_, error);
        const Clock::time_point received = Clock::now();
        if (reply.empty()) {
            fail(error);
            return false;
        }
        if (latency != nullptr) {
            *latency =
                std::chrono::duration_cast<std::chrono::nanoseconds>(received - sent).count();
        }
        if (options_.baseline) {
            // The ping-pong peer only echoes the size and the reference.
            if (reply.size() != expected_.size() ||
                !std::equal(reply.begin() + bench::pduReferenceOffset,
                            reply.begin() + bench::pduReferenceOffset + 2,
                            expected_.begin() + bench::pduReferenceOffset)) {
                fail("wrong baseline reply: " + hexDump(reply));
            }
        } else {
            check(reply, expected_, options_.op == Operation::read ? "Read Var" : "Write Var");
        }
        return true;
    }

    bool warmUp() {
        for (std::uint64_t count = 0; count < options_.warmup; ++count) {
            if (!oneRequest(nullptr)) {
                return false;
            }
        }
        return true;
    }

    bool measure(Clock::time_point deadline) {
        // Enough room for a generous rate, so the loop does not reallocate while timing; the
        // connections share it.
        constexpr double expectedPerSecond = 100000;
        result_.latencies.reserve(
            options_.requests != 0 ? options_.requests
                                   : static_cast<std::size_t>(options_.seconds * expectedPerSecond /
                                                              options_.connections));
        while (options_.requests == 0 || result_.requests < options_.requests) {
            std::int64_t latency = 0;
            if (!oneRequest(&latency)) {
                return false;
            }
            ++result_.requests;
            result_.latencies.push_back(latency);
            if (Clock::now() >= deadline) {
                break;
            }
        }
        return true;
    }

    // After write jobs the blocks must hold the last pattern written.
    void readBack() {
        Bytes frame;
        Bytes expected;
        const std::uint16_t reference = nextReference();
        bench::appendReadVarJob(frame, reference, items_);
        bench::appendReadVarReply(expected, reference, items_, data_);
        std::string error;
        const auto reply = link_.exchange(frame, error);
        if (reply.empty()) {
            fail(error);
            return;
        }
        check(reply, expected, "read-back Read Var");
    }

    const Options &options_;
    int index_;
    StartLine &startLine_;
    std::uint16_t port_;
    Link link_;
    std::vector<bench::Item> items_;
    Bytes data_;
    Bytes job_;
    Bytes expected_;
    std::uint16_t pduSize_ = 0;
    std::uint16_t reference_ = 0;
    std::uint32_t writeSeed_ = 0;
    ConnectionResult result_;
};

int printFreePort() {
    const int probe = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof address;
    if (probe < 0 || ::bind(probe, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0 ||
        ::getsockname(probe, reinterpret_cast<sockaddr *>(&address), &size) != 0) {
        std::perror("plcdouble-bench: no free port");
        return exitErrors;
    }
    ::close(probe);
    std::printf("%u\n", static_cast<unsigned>(ntohs(address.sin_port)));
    return exitOk;
}

double percentileMicros(const std::vector<std::int64_t> &sorted, double fraction) {
    if (sorted.empty()) {
        return 0;
    }
    // The smallest sample with at least this fraction of samples at or below it.
    auto rank = static_cast<std::size_t>(fraction * static_cast<double>(sorted.size()) + 0.999999);
    rank = std::clamp<std::size_t>(rank, 1, sorted.size());
    return static_cast<double>(sorted[rank - 1]) / 1000.0;
}

} // namespace

int main(int argc, char **argv) {
    const std::optional<Options> parsed = parseOptions(argc, argv);
    if (!parsed) {
        printUsage(stderr);
        return exitUsage;
    }
    const Options &options = *parsed;
    if (options.freePort) {
        return printFreePort();
    }

    if (options.serveBaseline) {
        return serveBaseline(options);
    }
    if (options.scada > 0) {
        ScadaOptions scada;
        scada.plcs = options.scada;
        scada.host = options.host;
        scada.port = options.port;
        scada.spreadOverAddresses = !options.scadaOverPorts;
        scada.slot = options.slot;
        scada.items = options.items;
        scada.bytes = options.bytes;
        scada.intervalMicros = static_cast<std::int64_t>(options.intervalMs * 1000);
        scada.seconds = options.seconds;
        return runScada(scada);
    }

    std::optional<BaselineChild> baseline;
    std::uint16_t port = options.port;
    if (options.baseline && !options.portGiven) {
        baseline.emplace();
        port = baseline->start();
        if (port == 0) {
            std::perror("plcdouble-bench: baseline server");
            return exitErrors;
        }
    }

    StartLine startLine(options.connections);
    std::vector<std::unique_ptr<Connection>> connections;
    for (int index = 0; index < options.connections; ++index) {
        connections.push_back(std::make_unique<Connection>(options, index, startLine, port));
    }
    std::vector<std::thread> threads;
    const Clock::time_point begin = Clock::now();
    for (auto &connection : connections) {
        threads.emplace_back([&connection] { connection->run(); });
    }
    for (std::thread &thread : threads) {
        thread.join();
    }
    if (baseline) {
        baseline->stop();
    }

    std::uint64_t requests = 0;
    std::uint64_t errors = 0;
    std::vector<std::int64_t> latencies;
    Clock::time_point end = begin;
    for (auto &connection : connections) {
        ConnectionResult &result = connection->result();
        requests += result.requests;
        errors += result.errors;
        latencies.insert(latencies.end(), result.latencies.begin(), result.latencies.end());
        end = std::max(end, result.end);
        for (const std::string &message : result.messages) {
            std::fprintf(stderr, "plcdouble-bench: %s\n", message.c_str());
        }
    }
    std::sort(latencies.begin(), latencies.end());
    // The measured span runs from the common start, after set-up and warm-up, to the last
    // connection's last reply.
    const double seconds = std::chrono::duration<double>(end - startLine.start()).count();
    const double perSecond = seconds > 0 ? static_cast<double>(requests) / seconds : 0;
    std::printf("mode=%s op=%s bytes=%zu items=%zu connections=%d job_bytes=%zu reply_bytes=%zu "
                "requests=%llu errors=%llu seconds=%.3f rps=%.0f p50_us=%.1f p99_us=%.1f "
                "max_us=%.1f%s",
                options.baseline ? "baseline" : "s7",
                options.op == Operation::read ? "read" : "write", options.bytes, options.items,
                options.connections, connections[0]->jobSize(), connections[0]->replySize(),
                static_cast<unsigned long long>(requests), static_cast<unsigned long long>(errors),
                seconds, perSecond, percentileMicros(latencies, 0.50),
                percentileMicros(latencies, 0.99),
                latencies.empty() ? 0.0 : static_cast<double>(latencies.back()) / 1000.0,
                baseline ? " " : "\n");
    if (baseline) {
        // Goes on the same line, which the bench script reads as one record.
        std::printf("baseline_server_cpu_ms=%.3f\n", baseline->cpuMillis());
    }
    return errors == 0 && requests > 0 ? exitOk : exitErrors;
}
