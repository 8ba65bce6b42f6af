// Soak: the real plcdouble binary as its own process, under a bounded load from several client
// threads. Two clients do a mixed S7/S5 read and write load of 100,000 requests, every reply
// checked byte for byte against a shadow copy of their data blocks, while a third keeps
// connecting and is refused each time; then 1,000 connect/disconnect cycles in three styles.
// Afterwards the server's open descriptors are back where they started, its resident memory
// has grown by no more than the data blocks it created, the log counts every connection, and
// it exits with status 0 on SIGTERM (under AddressSanitizer that includes its leak check).
//
// PLCDOUBLE_SOAK_BINARY runs it against another build (for example build/release/plcdouble).
#include "harness.h"

#include <arpa/inet.h>
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <mutex>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <random>
#include <spawn.h>
#include <sstream>
#include <sys/socket.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

extern char **environ;

namespace {

using Clock = std::chrono::steady_clock;

constexpr int loadClients = 2;
constexpr int requestsPerLoadClient = 50'000;
constexpr int connectCycles = 1'000;
constexpr int minimumRefusals = 200;
constexpr int maxRefusals = 2'000;
constexpr auto phaseTimeLimit = std::chrono::seconds(60);
constexpr int replyTimeoutMs = 5'000;

// Each load client owns 50 data blocks (S5 reaches DB0-DB255, so they lie below 256), each
// created by its first S5 fetch at 2048 bytes; every access stays inside them, so nothing grows.
constexpr std::size_t blocksPerClient = 50;
constexpr std::size_t firstLoadBlock = 100;
constexpr std::size_t blockSize = 2048;
// The long-lived client of the second phase writes DB99, created by S7 at 256 bytes.
constexpr std::size_t residentBlockSize = 256;
// Room for the OS's page rounding, the stack and the allocator's own bookkeeping; a leak of a
// few bytes per request (100,000 of them) or per connection (about 1,600) would exceed it.
constexpr long rssSlackKiB = 512;

// -- The server process ----------------------------------------------------------------------

std::uint16_t freeLoopbackPort() {
    const int probe = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(probe, reinterpret_cast<sockaddr *>(&address), sizeof address);
    socklen_t length = sizeof address;
    ::getsockname(probe, reinterpret_cast<sockaddr *>(&address), &length);
    ::close(probe);
    return ntohs(address.sin_port);
}

int openDescriptors(pid_t pid) {
    const std::string path = "/proc/" + std::to_string(pid) + "/fd";
    DIR *directory = ::opendir(path.c_str());
    if (directory == nullptr) {
        return -1;
    }
    int count = 0;
    while (const dirent *entry = ::readdir(directory)) {
        if (entry->d_name[0] != '.') {
            ++count;
        }
    }
    ::closedir(directory);
    return count;
}

long residentKiB(pid_t pid) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("VmRSS:", 0) == 0) {
            return std::strtol(line.c_str() + 6, nullptr, 10);
        }
    }
    return -1;
}

class ServerProcess {
public:
    ServerProcess(const std::string &binary, std::uint16_t port, const std::string &logPath) {
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
        posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, logPath.c_str(),
                                         O_WRONLY | O_CREAT | O_TRUNC, 0644);
        const std::string portText = std::to_string(port);
        std::vector<std::string> arguments = {binary,      "--port",  portText, "--bind",
                                              "127.0.0.1", "--color", "never"};
        std::vector<char *> argv;
        for (std::string &argument : arguments) {
            argv.push_back(argument.data());
        }
        argv.push_back(nullptr);
        if (::posix_spawn(&pid, binary.c_str(), &actions, nullptr, argv.data(), environ) != 0) {
            pid = -1;
        }
        posix_spawn_file_actions_destroy(&actions);
    }
    ~ServerProcess() {
        if (pid > 0) {
            ::kill(pid, SIGKILL);
            ::waitpid(pid, nullptr, 0);
        }
    }
    ServerProcess(const ServerProcess &) = delete;
    ServerProcess &operator=(const ServerProcess &) = delete;

    // Stops the server with SIGTERM and returns its exit status (-1 if it did not exit in time).
    int stop() {
        ::kill(pid, SIGTERM);
        const Clock::time_point deadline = Clock::now() + std::chrono::seconds(20);
        int status = 0;
        while (Clock::now() < deadline) {
            if (::waitpid(pid, &status, WNOHANG) == pid) {
                pid = -1;
                return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        return -1;
    }

    pid_t pid = -1;
};

// Waits until the server's descriptor count is expected; returns the last count seen.
int awaitDescriptors(pid_t pid, int expected) {
    const Clock::time_point deadline = Clock::now() + std::chrono::seconds(5);
    int count = openDescriptors(pid);
    while (count != expected && Clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
        count = openDescriptors(pid);
    }
    return count;
}

// -- A blocking client ------------------------------------------------------------------------

class Client {
public:
    explicit Client(std::uint16_t port) : fd(::socket(AF_INET, SOCK_STREAM, 0)) {
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(port);
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        const int enable = 1;
        ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &enable, sizeof enable);
        connected = ::connect(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) == 0;
    }
    ~Client() {
        if (fd >= 0) {
            ::close(fd);
        }
    }
    Client(const Client &) = delete;
    Client &operator=(const Client &) = delete;

    bool send(const Bytes &bytes) {
        std::size_t sent = 0;
        while (sent < bytes.size()) {
            const ssize_t n = ::send(fd, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
            if (n <= 0) {
                return false;
            }
            sent += static_cast<std::size_t>(n);
        }
        return true;
    }

    Bytes receive(std::size_t count) {
        Bytes received(count);
        std::size_t at = 0;
        pollfd watched{fd, POLLIN, 0};
        while (at<count && ::poll(&watched, 1, replyTimeoutMs)> 0) {
            const ssize_t n = ::recv(fd, received.data() + at, count - at, 0);
            if (n <= 0) {
                break;
            }
            at += static_cast<std::size_t>(n);
        }
        received.resize(at);
        return received;
    }

    // True when the server ends the connection (end of stream or reset) within the timeout
    // without sending anything first.
    bool closedWithoutData() {
        pollfd watched{fd, POLLIN, 0};
        if (::poll(&watched, 1, replyTimeoutMs) <= 0) {
            return false;
        }
        std::uint8_t byte = 0;
        const ssize_t n = ::recv(fd, &byte, 1, 0);
        return n == 0 || (n < 0 && errno == ECONNRESET);
    }

    void shutdownSending() { ::shutdown(fd, SHUT_WR); }

    // Closes with a reset instead of an orderly end of stream.
    void abort() {
        const linger hard{1, 0};
        ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
        ::close(fd);
        fd = -1;
    }

    bool connected = false;

private:
    int fd;
};

// -- Frames -----------------------------------------------------------------------------------

const char *const disconnectRequestHex = "03 00 00 0B 06 80 01 00 00 05 00";

struct ReadItem {
    std::size_t db;
    std::size_t offset;
    std::size_t count;
};

Bytes s7Item(std::size_t count, std::size_t db, std::size_t offset) {
    return hex("12 0A 10 02") + be16(count) + be16(db) + hex("84") + be24(offset * 8);
}

Bytes readJob(std::uint16_t reference, const std::vector<ReadItem> &items) {
    Bytes parameters = {0x04, static_cast<std::uint8_t>(items.size())};
    for (const ReadItem &item : items) {
        parameters = parameters + s7Item(item.count, item.db, item.offset);
    }
    return isoDataFrame(hex("32 01 00 00") + be16(reference) + be16(parameters.size()) +
                        hex("00 00") + parameters);
}

Bytes writeJob(std::uint16_t reference, std::size_t db, std::size_t offset, const Bytes &data) {
    return isoDataFrame(hex("32 01 00 00") + be16(reference) + hex("00 0E") +
                        be16(4 + data.size()) + hex("05 01") + s7Item(data.size(), db, offset) +
                        hex("00 04") + be16(data.size() * 8) + data);
}

Bytes writeReply(std::uint16_t reference) {
    return hex("03 00 00 16 02 F0 80 32 03 00 00") + be16(reference) +
           hex("00 02 00 01 00 00 05 01 FF");
}

Bytes s5Request(std::uint8_t op, std::size_t db, std::size_t start, std::size_t count,
                const Bytes &words = {}) {
    return isoDataFrame(hex("53 35 10 01 03") + Bytes{op} + hex("03 08 01") +
                        Bytes{static_cast<std::uint8_t>(db)} + be16(start) + be16(count) +
                        hex("FF 02") + words);
}

// -- The load ---------------------------------------------------------------------------------

using Shadow = std::map<std::size_t, Bytes>; // DB number -> the bytes the client expects there

class LoadClient {
public:
    LoadClient(int clientIndex, std::uint16_t port)
        : index(clientIndex), random(7919U * static_cast<unsigned>(clientIndex + 1)), client(port) {
    }

    // Connects, negotiates and creates the client's blocks. Returns an error text or "".
    std::string start() {
        if (!client.connected) {
            return "connect failed";
        }
        client.send(hex(connectionRequestHex));
        if (client.receive(22).size() != 22) {
            return "no connection confirm";
        }
        client.send(hex(setupRequestHex));
        if (toHex(client.receive(27)) != toHex(hex(setupReplyHex))) {
            return "setup reply differs";
        }
        for (std::size_t i = 0; i < blocksPerClient; ++i) {
            const std::size_t db = firstLoadBlock + blocksPerClient * std::size_t(index) + i;
            shadow[db] = Bytes(blockSize, 0);
            // Creates the block at 2048 zero bytes; the reply shows one zero word.
            if (std::string error = s5Fetch(db, 0, 1); !error.empty()) {
                return error;
            }
        }
        return "";
    }

    // One request of a random kind, its reply checked. Returns an error text or "".
    std::string step() {
        const std::size_t kind = pick(100);
        const std::size_t db =
            firstLoadBlock + blocksPerClient * std::size_t(index) + pick(blocksPerClient);
        if (kind < 40) {
            const std::size_t size = 1 + pick(200);
            const std::size_t offset = pick(blockSize - size + 1);
            return s7Write(db, offset, size);
        }
        if (kind < 80) {
            std::vector<ReadItem> items;
            const std::size_t itemCount = 1 + pick(3);
            for (std::size_t i = 0; i < itemCount; ++i) {
                const std::size_t itemDb =
                    firstLoadBlock + blocksPerClient * std::size_t(index) + pick(blocksPerClient);
                const std::size_t count = 1 + pick(100);
                items.push_back({itemDb, pick(blockSize - count + 1), count});
            }
            return s7Read(items);
        }
        if (kind < 90) {
            const std::size_t count = 1 + pick(50);
            return s5Write(db, pick(blockSize / 2 - count + 1), count);
        }
        const std::size_t count = 1 + pick(60);
        return s5Fetch(db, pick(blockSize / 2 - count + 1), count);
    }

    std::string finish() {
        client.send(hex(disconnectRequestHex));
        if (toHex(client.receive(11)) != "03 00 00 0B 06 C0 00 05 01 00 00") {
            return "no disconnect confirm";
        }
        return client.closedWithoutData() ? "" : "not closed after the disconnect confirm";
    }

private:
    std::size_t pick(std::size_t bound) {
        return std::uniform_int_distribution<std::size_t>(0, bound - 1)(random);
    }

    std::string expect(const Bytes &request, const Bytes &expected, const char *what) {
        if (!client.send(request)) {
            return std::string(what) + ": send failed";
        }
        const Bytes reply = client.receive(expected.size());
        if (reply != expected) {
            return std::string(what) + ": expected " + toHex(expected) + " got " + toHex(reply);
        }
        return "";
    }

    std::string s7Write(std::size_t db, std::size_t offset, std::size_t size) {
        Bytes data(size);
        for (std::uint8_t &byte : data) {
            byte = static_cast<std::uint8_t>(pick(256));
        }
        std::copy(data.begin(), data.end(),
                  shadow[db].begin() + static_cast<std::ptrdiff_t>(offset));
        ++reference;
        return expect(writeJob(reference, db, offset, data), writeReply(reference), "S7 write");
    }

    std::string s7Read(const std::vector<ReadItem> &items) {
        Bytes section;
        for (const ReadItem &item : items) {
            if (section.size() % 2 == 1) {
                section.push_back(0); // fill byte before an item at an odd position
            }
            const Bytes &block = shadow[item.db];
            section = section + hex("FF 04") + be16(item.count * 8) +
                      Bytes(block.begin() + static_cast<std::ptrdiff_t>(item.offset),
                            block.begin() + static_cast<std::ptrdiff_t>(item.offset + item.count));
        }
        ++reference;
        const Bytes expected = hex("03 00") + be16(21 + section.size()) +
                               hex("02 F0 80 32 03 00 00") + be16(reference) + hex("00 02") +
                               be16(section.size()) + hex("00 00 04") +
                               Bytes{static_cast<std::uint8_t>(items.size())} + section;
        return expect(readJob(reference, items), expected, "S7 read");
    }

    // Words travel big-endian and are held least significant byte first.
    std::string s5Write(std::size_t db, std::size_t start, std::size_t count) {
        Bytes words(2 * count);
        for (std::uint8_t &byte : words) {
            byte = static_cast<std::uint8_t>(pick(256));
        }
        Bytes &block = shadow[db];
        for (std::size_t i = 0; i < count; ++i) {
            block[2 * (start + i)] = words[2 * i + 1];
            block[2 * (start + i) + 1] = words[2 * i];
        }
        const Bytes expected = hex("03 00 00 17 02 F0 80 53 35 10 01 03 04 08 00 00 FF 07") +
                               Bytes{static_cast<std::uint8_t>(count >> 8)} + hex("00 00 00 00");
        return expect(s5Request(3, db, start, count, words), expected, "S5 write");
    }

    std::string s5Fetch(std::size_t db, std::size_t start, std::size_t count) {
        const Bytes &block = shadow[db];
        Bytes words;
        for (std::size_t i = 0; i < count; ++i) {
            words.push_back(block[2 * (start + i) + 1]);
            words.push_back(block[2 * (start + i)]);
        }
        const Bytes expected =
            hex("03 00") + be16(23 + 2 * count) + hex("02 F0 80 53 35 10 01 03 06 08 00 00 FF 07") +
            Bytes{static_cast<std::uint8_t>(start & 0xFF)} + be16(count) + hex("00 00") + words;
        return expect(s5Request(5, db, start, count), expected, "S5 fetch");
    }

    int index;
    std::mt19937 random;
    Client client;
    Shadow shadow;
    std::uint16_t reference = 0;
};

std::string readFile(const std::string &path) {
    std::ifstream file(path);
    std::stringstream text;
    text << file.rdbuf();
    return text.str();
}

int countLines(const std::string &log, const std::string &needle) {
    int count = 0;
    std::istringstream lines(log);
    std::string line;
    while (std::getline(lines, line)) {
        count += line.find(needle) != std::string::npos ? 1 : 0;
    }
    return count;
}

TEST(SoakTest, HundredThousandRequestsThousandReconnectsAndRefusalsLeaveNothingBehind) {
    const char *override = std::getenv("PLCDOUBLE_SOAK_BINARY");
    const std::string binary = override != nullptr ? override : PLCDOUBLE_BINARY;
    const std::string logPath = (std::filesystem::temp_directory_path() /
                                 ("plcdouble-soak-" + std::to_string(::getpid()) + ".log"))
                                    .string();
    const std::uint16_t port = freeLoopbackPort();
    ServerProcess server(binary, port, logPath);
    ASSERT_GT(server.pid, 0) << "cannot start " << binary;

    // Warm-up: the server is up once it accepts; one whole session brings every path in.
    {
        const Clock::time_point deadline = Clock::now() + std::chrono::seconds(10);
        bool up = false;
        while (!up && Clock::now() < deadline) {
            Client probe(port);
            up = probe.connected;
            if (!up) {
                std::this_thread::sleep_for(std::chrono::milliseconds(20));
                continue;
            }
            probe.send(hex(connectionRequestHex));
            ASSERT_EQ(probe.receive(22).size(), 22u);
            probe.send(hex(setupRequestHex));
            ASSERT_EQ(toHex(probe.receive(27)), toHex(hex(setupReplyHex)));
            probe.send(readJob(1, {{10, 0, 4}}));
            ASSERT_EQ(probe.receive(29).size(), 29u);
            probe.send(hex(disconnectRequestHex));
            ASSERT_EQ(probe.receive(11).size(), 11u);
            ASSERT_TRUE(probe.closedWithoutData());
        }
        ASSERT_TRUE(up) << "the server never accepted on port " << port;
    }
    const int startDescriptors = awaitDescriptors(server.pid, openDescriptors(server.pid));
    const long startKiB = residentKiB(server.pid);
    ASSERT_GT(startDescriptors, 0);
    ASSERT_GT(startKiB, 0);

    // Phase 1: two load clients; a third keeps knocking while both are connected.
    std::mutex errorsLock;
    std::vector<std::string> errors;
    const auto report = [&](const std::string &error) {
        std::lock_guard<std::mutex> hold(errorsLock);
        errors.push_back(error);
    };
    std::atomic<int> loadersReady{0};
    std::atomic<int> loadersDone{0};
    std::atomic<bool> floodDone{false};
    std::atomic<int> refusals{0};
    const Clock::time_point phaseDeadline = Clock::now() + phaseTimeLimit;

    std::vector<std::thread> threads;
    for (int index = 0; index < loadClients; ++index) {
        threads.emplace_back([&, index] {
            LoadClient load(index, port);
            std::string error = load.start();
            loadersReady += 1;
            for (int i = 0; error.empty() && i < requestsPerLoadClient; ++i) {
                error = load.step();
                if (Clock::now() > phaseDeadline) {
                    error = "out of time after " + std::to_string(i) + " requests";
                }
            }
            loadersDone += 1;
            // Stay connected until the refused clients are done, so none of them gets a slot.
            while (!floodDone && Clock::now() < phaseDeadline) {
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
            }
            if (error.empty()) {
                error = load.finish();
            }
            if (!error.empty()) {
                report("load client " + std::to_string(index) + ": " + error);
            }
        });
    }
    threads.emplace_back([&] {
        while (loadersReady < loadClients && Clock::now() < phaseDeadline) {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        while ((loadersDone < loadClients || refusals < minimumRefusals) &&
               refusals < maxRefusals && Clock::now() < phaseDeadline) {
            Client third(port);
            if (!third.connected || !third.closedWithoutData()) {
                report("a third client was not refused at once");
                break;
            }
            refusals += 1;
        }
        floodDone = true;
    });
    for (std::thread &thread : threads) {
        thread.join();
    }
    for (const std::string &error : errors) {
        ADD_FAILURE() << error;
    }
    ASSERT_TRUE(errors.empty());
    EXPECT_GE(refusals, minimumRefusals);

    // Phase 2: connect/disconnect cycles beside a long-lived client, in three styles: ISO
    // disconnect, TCP end of stream, TCP reset. After each the server's descriptors are back.
    Client resident(port);
    ASSERT_TRUE(resident.connected);
    ASSERT_EQ(awaitDescriptors(server.pid, startDescriptors + 1), startDescriptors + 1);
    std::uint16_t reference = 0;
    for (int cycle = 0; cycle < connectCycles; ++cycle) {
        {
            Client cycling(port);
            ASSERT_TRUE(cycling.connected) << "cycle " << cycle;
            cycling.send(hex(connectionRequestHex));
            ASSERT_EQ(toHex(cycling.receive(22)),
                      "03 00 00 16 11 D0 00 01 02 00 00 C0 01 09 C1 02 4B 54 C1 02 03 02")
                << "cycle " << cycle;
            cycling.send(hex(setupRequestHex));
            ASSERT_EQ(toHex(cycling.receive(27)), toHex(hex(setupReplyHex))) << "cycle " << cycle;
            switch (cycle % 3) {
            case 0:
                cycling.send(hex(disconnectRequestHex));
                ASSERT_EQ(toHex(cycling.receive(11)), "03 00 00 0B 06 C0 00 05 01 00 00");
                ASSERT_TRUE(cycling.closedWithoutData()) << "cycle " << cycle;
                break;
            case 1:
                cycling.shutdownSending();
                ASSERT_TRUE(cycling.closedWithoutData()) << "cycle " << cycle;
                break;
            default:
                cycling.abort();
                break;
            }
        }
        ASSERT_EQ(awaitDescriptors(server.pid, startDescriptors + 1), startDescriptors + 1)
            << "cycle " << cycle;
        if (cycle % 100 == 0) {
            // The long-lived client is served between the cycles.
            ++reference;
            resident.send(writeJob(reference, 99, 0, hex("C0 FF EE")));
            ASSERT_EQ(toHex(resident.receive(22)), toHex(writeReply(reference)));
        }
    }
    resident.abort();

    // Nothing left behind: descriptors as at the start, memory grown only by the blocks.
    EXPECT_EQ(awaitDescriptors(server.pid, startDescriptors), startDescriptors);
    const long endKiB = residentKiB(server.pid);
    const long blocksKiB =
        static_cast<long>((loadClients * blocksPerClient * blockSize + residentBlockSize) / 1024);
    EXPECT_LE(endKiB - startKiB, blocksKiB + rssSlackKiB)
        << "resident memory " << startKiB << " KiB -> " << endKiB << " KiB";
    std::printf("soak: %d refusals; resident memory %ld KiB -> %ld KiB (blocks %ld KiB); %d "
                "descriptors\n",
                refusals.load(), startKiB, endKiB, blocksKiB, startDescriptors);

    EXPECT_EQ(server.stop(), 0);
    const std::string log = readFile(logPath);
    std::filesystem::remove(logPath);
    EXPECT_EQ(countLines(log, "Incoming connection denied 2"), refusals.load());
    // Warm-up, the two load clients, the long-lived client and every cycle.
    const int connections = 1 + loadClients + 1 + connectCycles;
    EXPECT_EQ(countLines(log, "TCP conn from 127.0.0.1"), connections);
    EXPECT_EQ(countLines(log, "TCP Dis-conn"), connections);
    EXPECT_EQ(countLines(log, "Inactivity shutdown"), 0);
    EXPECT_EQ(countLines(log, "Unknown TCP error"), 0);
    EXPECT_EQ(countLines(log, "refused"), 0);
    EXPECT_EQ(countLines(log, "NAK"), 0);
}

} // namespace
