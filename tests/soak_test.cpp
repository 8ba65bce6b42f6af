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
#include "process.h"

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <dirent.h>
#include <filesystem>
#include <fstream>
#include <map>
#include <mutex>
#include <random>
#include <sstream>
#include <thread>
#include <unistd.h>

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

// -- The load ---------------------------------------------------------------------------------

using Shadow = std::map<std::size_t, Bytes>; // DB number -> the bytes the client expects there

class LoadClient {
public:
    LoadClient(int clientIndex, std::uint16_t port)
        : index(clientIndex), random(7919U * static_cast<unsigned>(clientIndex + 1)), client(port) {
    }

    // Connects, negotiates and creates the client's blocks. Returns an error text or "".
    std::string start() {
        if (!client.connected()) {
            return "connect failed";
        }
        client.send(hex(connectionRequestHex));
        if (client.receiveExactly(22, replyTimeoutMs).size() != 22) {
            return "no connection confirm";
        }
        client.send(hex(setupRequestHex));
        if (toHex(client.receiveExactly(27, replyTimeoutMs)) != toHex(hex(setupReplyHex))) {
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
        if (toHex(client.receiveExactly(11, replyTimeoutMs)) != toHex(hex(disconnectConfirmHex))) {
            return "no disconnect confirm";
        }
        return client.closedWithoutData(replyTimeoutMs) ? ""
                                                        : "not closed after the disconnect confirm";
    }

private:
    std::size_t pick(std::size_t bound) {
        return std::uniform_int_distribution<std::size_t>(0, bound - 1)(random);
    }

    std::string expect(const Bytes &request, const Bytes &expected, const char *what) {
        if (!client.trySend(request)) {
            return std::string(what) + ": send failed";
        }
        const Bytes reply = client.receiveExactly(expected.size(), replyTimeoutMs);
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
        return expect(writeVarRequest(reference, db, offset, data), writeVarReply(reference),
                      "S7 write");
    }

    std::string s7Read(const std::vector<ReadItem> &items) {
        std::vector<Bytes> itemData;
        for (const ReadItem &item : items) {
            const Bytes &block = shadow[item.db];
            itemData.emplace_back(block.begin() + static_cast<std::ptrdiff_t>(item.start),
                                  block.begin() +
                                      static_cast<std::ptrdiff_t>(item.start + item.length));
        }
        ++reference;
        return expect(readVarRequest(reference, items), readVarReply(reference, itemData),
                      "S7 read");
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
        return expect(s5WriteRequest(db, start, words), s5WriteReply(count), "S5 write");
    }

    std::string s5Fetch(std::size_t db, std::size_t start, std::size_t count) {
        const Bytes &block = shadow[db];
        Bytes words;
        for (std::size_t i = 0; i < count; ++i) {
            words.push_back(block[2 * (start + i) + 1]);
            words.push_back(block[2 * (start + i)]);
        }
        return expect(s5FetchRequest(db, start, count), s5FetchReply(start, words), "S5 fetch");
    }

    int index;
    std::mt19937 random;
    TestClient client;
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
    StartOptions options;
    if (override != nullptr) {
        options.binary = override;
    }
    const std::string logPath = (std::filesystem::temp_directory_path() /
                                 ("plcdouble-soak-" + std::to_string(::getpid()) + ".log"))
                                    .string();
    const std::uint16_t port = freeLoopbackPort();
    // The log goes to a file to be counted at the end; stderr stays the test's own, so a leak
    // report at exit shows in the test output.
    options.standardOutput = OutputTarget::toFile(logPath);
    options.standardError = OutputTarget::inherited();
    ChildProcess server = ChildProcess::start(
        {"--port", std::to_string(port), "--bind", "127.0.0.1", "--color", "never"}, options);
    ASSERT_TRUE(server.running()) << "cannot start " << options.binary;

    // Warm-up: the server is up once it accepts; one whole session brings every path in.
    {
        const std::unique_ptr<TestClient> probe = connectWithRetry(port, 10'000);
        ASSERT_NE(probe, nullptr) << "the server never accepted on port " << port;
        probe->send(hex(connectionRequestHex));
        ASSERT_EQ(probe->receiveExactly(22, replyTimeoutMs).size(), 22u);
        probe->send(hex(setupRequestHex));
        ASSERT_EQ(toHex(probe->receiveExactly(27, replyTimeoutMs)), toHex(hex(setupReplyHex)));
        probe->send(readVarRequest(1, 10, 0, 4));
        ASSERT_EQ(probe->receiveExactly(29, replyTimeoutMs).size(), 29u);
        probe->send(hex(disconnectRequestHex));
        ASSERT_EQ(probe->receiveExactly(11, replyTimeoutMs).size(), 11u);
        ASSERT_TRUE(probe->closedWithoutData(replyTimeoutMs));
    }
    const int startDescriptors = awaitDescriptors(server.pid(), openDescriptors(server.pid()));
    const long startKiB = residentKiB(server.pid());
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
            TestClient third(port);
            if (!third.connected() || !third.closedWithoutData(replyTimeoutMs)) {
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
    TestClient resident(port);
    ASSERT_TRUE(resident.connected());
    ASSERT_EQ(awaitDescriptors(server.pid(), startDescriptors + 1), startDescriptors + 1);
    std::uint16_t reference = 0;
    for (int cycle = 0; cycle < connectCycles; ++cycle) {
        {
            TestClient cycling(port);
            ASSERT_TRUE(cycling.connected()) << "cycle " << cycle;
            cycling.send(hex(connectionRequestHex));
            ASSERT_EQ(toHex(cycling.receiveExactly(22, replyTimeoutMs)),
                      toHex(hex(connectionConfirmSlot1Hex)))
                << "cycle " << cycle;
            cycling.send(hex(setupRequestHex));
            ASSERT_EQ(toHex(cycling.receiveExactly(27, replyTimeoutMs)), toHex(hex(setupReplyHex)))
                << "cycle " << cycle;
            switch (cycle % 3) {
            case 0:
                cycling.send(hex(disconnectRequestHex));
                ASSERT_EQ(toHex(cycling.receiveExactly(11, replyTimeoutMs)),
                          toHex(hex(disconnectConfirmHex)));
                ASSERT_TRUE(cycling.closedWithoutData(replyTimeoutMs)) << "cycle " << cycle;
                break;
            case 1:
                cycling.shutdownSending();
                ASSERT_TRUE(cycling.closedWithoutData(replyTimeoutMs)) << "cycle " << cycle;
                break;
            default:
                cycling.abort();
                break;
            }
        }
        ASSERT_EQ(awaitDescriptors(server.pid(), startDescriptors + 1), startDescriptors + 1)
            << "cycle " << cycle;
        if (cycle % 100 == 0) {
            // The long-lived client is served between the cycles.
            ++reference;
            resident.send(writeVarRequest(reference, 99, 0, hex("C0 FF EE")));
            ASSERT_EQ(toHex(resident.receiveExactly(22, replyTimeoutMs)),
                      toHex(writeVarReply(reference)));
        }
    }
    resident.abort();

    // Nothing left behind: descriptors as at the start, memory grown only by the blocks.
    EXPECT_EQ(awaitDescriptors(server.pid(), startDescriptors), startDescriptors);
    const long endKiB = residentKiB(server.pid());
    const long blocksKiB =
        static_cast<long>((loadClients * blocksPerClient * blockSize + residentBlockSize) / 1024);
    EXPECT_LE(endKiB - startKiB, blocksKiB + rssSlackKiB)
        << "resident memory " << startKiB << " KiB -> " << endKiB << " KiB";
    std::printf("soak: %d refusals; resident memory %ld KiB -> %ld KiB (blocks %ld KiB); %d "
                "descriptors\n",
                refusals.load(), startKiB, endKiB, blocksKiB, startDescriptors);

    EXPECT_EQ(server.stop(SIGTERM, 20'000), 0);
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
