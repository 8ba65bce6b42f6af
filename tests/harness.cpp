#include "harness.h"

#include "app/server.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <memory>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <regex>
#include <sys/socket.h>
#include <unistd.h>

const char *const connectionRequestHex = "03 00 00 16 11 E0 00 00 00 01 00 C1 02 01 00 C2 02 01 02 "
                                         "C0 01 0A";
const char *const connectionConfirmSlot0Hex = "03 00 00 16 11 D0 00 01 01 00 00 C0 01 09 C1 02 4B "
                                              "54 C1 02 03 02";
const char *const setupRequestHex = "03 00 00 19 02 F0 80 32 01 00 00 00 01 00 08 00 00 F0 00 00 "
                                    "01 00 01 01 E0";
const char *const setupReplyHex = "03 00 00 1B 02 F0 80 32 03 00 00 00 01 00 08 00 00 00 00 F0 00 "
                                  "00 01 00 01 01 E0";

Bytes hex(std::string_view text) {
    Bytes bytes;
    int high = -1;
    for (const char c : text) {
        int value = -1;
        if (c >= '0' && c <= '9') {
            value = c - '0';
        } else if (c >= 'a' && c <= 'f') {
            value = c - 'a' + 10;
        } else if (c >= 'A' && c <= 'F') {
            value = c - 'A' + 10;
        } else {
            continue;
        }
        if (high < 0) {
            high = value;
        } else {
            bytes.push_back(static_cast<std::uint8_t>(high * 16 + value));
            high = -1;
        }
    }
    EXPECT_EQ(high, -1) << "odd number of hex digits in " << text;
    return bytes;
}

std::string toHex(const Bytes &bytes) {
    static const char digits[] = "0123456789ABCDEF";
    std::string text;
    for (const std::uint8_t byte : bytes) {
        if (!text.empty()) {
            text += ' ';
        }
        text += digits[byte >> 4];
        text += digits[byte & 0x0F];
    }
    return text;
}

Bytes operator+(Bytes left, const Bytes &right) {
    left.insert(left.end(), right.begin(), right.end());
    return left;
}

Bytes be16(std::size_t value) {
    return {static_cast<std::uint8_t>((value >> 8) & 0xFF),
            static_cast<std::uint8_t>(value & 0xFF)};
}

Bytes be24(std::size_t value) {
    return {static_cast<std::uint8_t>((value >> 16) & 0xFF),
            static_cast<std::uint8_t>((value >> 8) & 0xFF),
            static_cast<std::uint8_t>(value & 0xFF)};
}

Bytes isoDataFrame(const Bytes &payload) {
    return hex("03 00") + be16(7 + payload.size()) + hex("02 F0 80") + payload;
}

TestClient::TestClient(std::uint16_t port, int receiveBuffer)
    : fd(::socket(AF_INET, SOCK_STREAM, 0)) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const int enable = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &enable, sizeof enable);
    if (receiveBuffer > 0) {
        setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &receiveBuffer, sizeof receiveBuffer);
    }
    // Loopback connects complete from the listen backlog, before the server accepts.
    const int result = ::connect(fd, reinterpret_cast<sockaddr *>(&address), sizeof address);
    EXPECT_EQ(result, 0) << "connect: " << std::strerror(errno);
}

TestClient::~TestClient() {
    close();
}

void TestClient::close() {
    if (fd >= 0) {
        ::close(fd);
        fd = -1;
    }
}

void TestClient::send(const Bytes &bytes) {
    std::size_t sent = 0;
    while (sent < bytes.size()) {
        const ssize_t n = ::send(fd, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
        ASSERT_GT(n, 0) << "send: " << std::strerror(errno);
        sent += static_cast<std::size_t>(n);
    }
}

bool TestClient::trySend(const Bytes &bytes) {
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

Bytes TestClient::receiveExactly(std::size_t count, int timeoutMs) {
    Bytes received;
    pollfd watched{fd, POLLIN, 0};
    while (received.size() < count && ::poll(&watched, 1, timeoutMs) > 0) {
        std::uint8_t buffer[4096];
        const std::size_t want = std::min(sizeof buffer, count - received.size());
        const ssize_t n = ::recv(fd, buffer, want, MSG_DONTWAIT);
        if (n <= 0) {
            break;
        }
        received.insert(received.end(), buffer, buffer + n);
    }
    return received;
}

Bytes TestClient::receiveAvailable(int timeoutMs) {
    Bytes received;
    pollfd watched{fd, POLLIN, 0};
    int wait = timeoutMs;
    while (::poll(&watched, 1, wait) > 0) {
        std::uint8_t buffer[4096];
        const ssize_t n = ::recv(fd, buffer, sizeof buffer, MSG_DONTWAIT);
        if (n <= 0) {
            break;
        }
        received.insert(received.end(), buffer, buffer + n);
        wait = 20; // drain what follows close behind
    }
    return received;
}

Bytes TestClient::receiveNow() {
    Bytes received;
    for (;;) {
        std::uint8_t buffer[4096];
        const ssize_t n = ::recv(fd, buffer, sizeof buffer, MSG_DONTWAIT);
        if (n <= 0) {
            return received;
        }
        received.insert(received.end(), buffer, buffer + n);
    }
}

bool TestClient::closedByServer(int timeoutMs) {
    pollfd watched{fd, POLLIN, 0};
    while (::poll(&watched, 1, timeoutMs) > 0) {
        std::uint8_t buffer[4096];
        const ssize_t n = ::recv(fd, buffer, sizeof buffer, MSG_DONTWAIT);
        if (n == 0 || (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK)) {
            return true;
        }
        if (n < 0) {
            return false;
        }
    }
    return false;
}

void TestClient::setReceiveBuffer(int bytes) {
    setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &bytes, sizeof bytes);
}

void ServerTest::SetUp() {
    setLogCapture(&log);
    Options options;
    options.port = 0; // any free port
    options.bindAddress = {127, 0, 0, 1};
    if (cpu != nullptr) {
        options.cpu = cpu;
    }
    options.connections = connections;
    ASSERT_TRUE(serverStart(options));
    port = serverPort();
    ASSERT_NE(port, 0);
}

void ServerTest::TearDown() {
    serverShutdown();
    setLogCapture(nullptr);
}

void ServerTest::pass(int count) {
    for (int i = 0; i < count; ++i) {
        serverPass(now);
    }
}

void ServerTest::tick(int count) {
    for (int i = 0; i < count; ++i) {
        now += tickMicros;
        serverPass(now);
    }
}

Bytes ServerTest::exchange(TestClient &client, const Bytes &request) {
    client.send(request);
    pass();
    return client.receiveAvailable();
}

std::unique_ptr<TestClient> ServerTest::connect() {
    auto client = std::make_unique<TestClient>(port);
    pass();
    return client;
}

std::unique_ptr<TestClient> ServerTest::connectS7() {
    auto client = connect();
    const Bytes confirm = exchange(*client, hex(connectionRequestHex));
    EXPECT_EQ(confirm.size(), 22u);
    EXPECT_EQ(toHex(exchange(*client, hex(setupRequestHex))), toHex(hex(setupReplyHex)));
    return client;
}

std::unique_ptr<TestClient> ServerTest::connectIso() {
    auto client = connect();
    EXPECT_EQ(exchange(*client, hex(connectionRequestHex)).size(), 22u);
    return client;
}

std::vector<std::string> ServerTest::lines() const {
    static const std::regex timeStamp(R"(\d\d:\d\d:\d\d-\[)");
    std::vector<std::string> texts;
    for (const LogRecord &record : log) {
        texts.push_back(std::regex_replace(record.text, timeStamp, "hh:mm:ss-["));
    }
    return texts;
}

int ServerTest::attributeOf(const std::string &text) const {
    const std::vector<std::string> texts = lines();
    for (std::size_t i = 0; i < texts.size(); ++i) {
        if (texts[i] == text) {
            return log[i].attribute;
        }
    }
    return -1;
}

std::vector<std::string> ServerTest::attributedLines() const {
    const std::vector<std::string> texts = lines();
    std::vector<std::string> attributed;
    for (std::size_t i = 0; i < texts.size(); ++i) {
        attributed.push_back(std::to_string(log[i].attribute) + " " + texts[i]);
    }
    return attributed;
}
