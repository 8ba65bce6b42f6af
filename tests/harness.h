// Test harness: the real server code on a loopback port, driven pass by pass with an explicit
// clock, and plain blocking client sockets talking to it (or to the real program started by
// process.h).
#pragma once

#include "app/command_line.h"
#include "app/server.h"
#include "core/log.h"
#include "frames.h"
#include "plc/cpu_profile.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

// How long to wait for a reply that must not come: the server sends within the pass, and
// loopback delivers before send returns, so a short wait is enough.
constexpr int noReplyWaitMs = 20;

// A plain blocking client on a loopback port. No ASSERT macro stops it halfway, and only send
// reports a failure through gtest, so client threads can use it too (with trySend where they
// report errors their own way).
class TestClient {
public:
    // A receiveBuffer above 0 sets the socket's receive buffer before it connects, so the
    // window the server sees is small from the start. Loopback connects complete from the
    // listen backlog, before the server accepts; connected() tells whether this one did.
    // To 127.0.0.1 unless another loopback host (127.x.y.z in host order) is given.
    explicit TestClient(std::uint16_t port, int receiveBuffer = 0, std::uint32_t host = 0x7F000001);
    ~TestClient();
    TestClient(const TestClient &) = delete;
    TestClient &operator=(const TestClient &) = delete;

    bool connected() const { return isConnected; }
    // Sends all the bytes; false, and a test failure, if they could not all be sent.
    bool send(const Bytes &bytes);
    // Like send, but for a peer that may have been closed by the server or a caller that
    // reports the failure itself: false without a test failure.
    bool trySend(const Bytes &bytes);
    // Everything that has arrived, waiting up to timeoutMs for the first byte.
    Bytes receiveAvailable(int timeoutMs = 200);
    // Exactly count bytes, or fewer if they have not all arrived, waiting up to timeoutMs for
    // each piece. Does not wait for more once count bytes are there, so tight request loops
    // stay fast.
    Bytes receiveExactly(std::size_t count, int timeoutMs = 2000);
    // Everything that has arrived already, without waiting at all.
    Bytes receiveNow();
    // True when the server has closed the connection (end of stream or reset), after taking
    // whatever data arrives first.
    bool closedByServer(int timeoutMs = 200);
    // True when the server ends the connection (end of stream or reset) within timeoutMs
    // without sending anything first.
    bool closedWithoutData(int timeoutMs = 2000);
    // Stops taking replies: shrinks the receive buffer so the server's sends back up.
    void setReceiveBuffer(int bytes);
    // Ends the sending direction only (end of stream to the server), still able to receive.
    void shutdownSending();
    // Closes with a reset instead of an orderly end of stream.
    void abort();
    void close();
    int descriptor() const { return fd; }

private:
    int fd;
    bool isConnected = false;
};

// A loopback port that was free a moment ago.
std::uint16_t freeLoopbackPort();

// A folder of the running test's own under the test temp folder, named prefix + test name +
// process id; emptied when made and removed with everything in it at the end.
class TestFolder {
public:
    explicit TestFolder(const std::string &prefix);
    ~TestFolder();
    TestFolder(const TestFolder &) = delete;
    TestFolder &operator=(const TestFolder &) = delete;

    // The path of a file in the folder.
    std::string file(const std::string &name) const;
    // Writes content to a file in the folder (making folders on its way) and returns its path.
    std::string write(const std::string &name, const std::string &content) const;
    // The names of what the folder holds, sorted.
    std::vector<std::string> names() const;

    std::filesystem::path path;
};
// A client connected to a server that may still be starting: tries again until timeoutMs has
// passed; nullptr if it never connected.
std::unique_ptr<TestClient> connectWithRetry(std::uint16_t port, int timeoutMs);

class ServerTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    // Runs passes without moving the clock (no tick besides the very first pass's).
    void pass(int count = 1);
    // Moves the clock by one tick and runs a pass, count times.
    void tick(int count = 1);
    // Sends a request and returns the reply that the next pass produces.
    Bytes exchange(TestClient &client, const Bytes &request);
    // Sends a frame that must get no reply, runs a pass, and checks that none comes.
    void expectNoReply(TestClient &client, const Bytes &frame);
    // Connects a client and runs a pass so the server accepts it.
    std::unique_ptr<TestClient> connect();
    // Connects, sends the connection request and setup communication, checks both replies.
    std::unique_ptr<TestClient> connectS7();
    // Connects and sends the connection request only, as an S5 fetch/write client does; checks
    // that a 22-byte confirm comes back.
    std::unique_ptr<TestClient> connectIso();

    // The PLC the server started with, and its parts the tests look into.
    Plc &plc() { return *server.plcs.front(); }
    ConnectionTable &connectionTable() { return plc().connections; }
    std::span<std::uint8_t> dataBlock(std::size_t number) {
        return findDataBlock(plc().memory.blocks, number);
    }

    // Log lines with their time stamps replaced by "hh:mm:ss".
    std::vector<std::string> lines() const;
    // The attribute of the first line equal to text (after time stamps are replaced), or -1.
    int attributeOf(const std::string &text) const;
    bool logged(const std::string &text) const { return attributeOf(text) != -1; }
    // Every log line as "attribute text", time stamps replaced: "87 TPDU Size = A".
    std::vector<std::string> attributedLines() const;
    void clearLog() { log.clear(); }

    std::vector<LogRecord> log;
    Server server;
    std::int64_t now = 0;
    std::uint16_t port = 0;
    // The profile SetUp starts the server as (classic when null); a fixture's constructor may
    // choose another.
    const CpuProfile *cpu = nullptr;
    // Clients served at once (as --connections; 0: the profile's own count).
    int connections = 0;
    // When set, SetUp starts the server with these options (a loaded configuration) instead, on
    // a free loopback port; cpu and connections are then not used.
    const Options *startOptions = nullptr;
};
