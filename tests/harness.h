// Test harness: the real server code on a loopback port, driven pass by pass with an explicit
// clock, and plain blocking client sockets talking to it.
#pragma once

#include "core/log.h"
#include "s7/cpu_profile.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

using Bytes = std::vector<std::uint8_t>;

// "03 00 00 16" -> bytes. Spaces are ignored.
Bytes hex(std::string_view text);
std::string toHex(const Bytes &bytes);

// Building frames in tests: concatenation and big-endian fields.
Bytes operator+(Bytes left, const Bytes &right);
Bytes be16(std::size_t value);
Bytes be24(std::size_t value);
// An ISO data frame (TPKT header with the frame's real length, COTP DT) around a payload.
Bytes isoDataFrame(const Bytes &payload);

class TestClient {
public:
    // A receiveBuffer above 0 sets the socket's receive buffer before it connects, so the
    // window the server sees is small from the start.
    explicit TestClient(std::uint16_t port, int receiveBuffer = 0);
    ~TestClient();
    TestClient(const TestClient &) = delete;
    TestClient &operator=(const TestClient &) = delete;

    void send(const Bytes &bytes);
    // Like send, but for a peer that may have been closed by the server: false when the bytes
    // could not all be sent.
    bool trySend(const Bytes &bytes);
    // Everything that has arrived, waiting up to timeoutMs for the first byte.
    Bytes receiveAvailable(int timeoutMs = 200);
    // Exactly count bytes, or fewer if they have not all arrived within timeoutMs. Does not wait
    // for more once count bytes are there, so tight request loops stay fast.
    Bytes receiveExactly(std::size_t count, int timeoutMs = 2000);
    // Everything that has arrived already, without waiting at all.
    Bytes receiveNow();
    // True when the server has closed the connection (end of stream or reset).
    bool closedByServer(int timeoutMs = 200);
    // Stops taking replies: shrinks the receive buffer so the server's sends back up.
    void setReceiveBuffer(int bytes);
    void close();
    int descriptor() const { return fd; }

private:
    int fd;
};

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
    // Connects a client and runs a pass so the server accepts it.
    std::unique_ptr<TestClient> connect();
    // Connects, sends the connection request and setup communication, checks both replies.
    std::unique_ptr<TestClient> connectS7();
    // Connects and sends the connection request only, as an S5 fetch/write client does; checks
    // that a 22-byte confirm comes back.
    std::unique_ptr<TestClient> connectIso();

    // Log lines with their time stamps replaced by "hh:mm:ss".
    std::vector<std::string> lines() const;
    // The attribute of the first line equal to text (after time stamps are replaced), or -1.
    int attributeOf(const std::string &text) const;
    bool logged(const std::string &text) const { return attributeOf(text) != -1; }
    // Every log line as "attribute text", time stamps replaced: "87 TPDU Size = A".
    std::vector<std::string> attributedLines() const;
    void clearLog() { log.clear(); }

    std::vector<LogRecord> log;
    std::int64_t now = 0;
    std::uint16_t port = 0;
    // The profile SetUp starts the server as (classic when null); a fixture's constructor may
    // choose another.
    const CpuProfile *cpu = nullptr;
    // Clients served at once (as --connections; 0: the profile's own count).
    int connections = 0;
};

// The standard frames of an S7 session start.
extern const char *const connectionRequestHex;
extern const char *const connectionConfirmSlot0Hex;
extern const char *const setupRequestHex;
extern const char *const setupReplyHex;
