#include "harness.h"

#include "app/server.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <fstream>
#include <memory>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <regex>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

TestClient::TestClient(std::uint16_t port, int receiveBuffer, std::uint32_t host)
    : fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(host);
    const int enable = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &enable, sizeof enable);
    if (receiveBuffer > 0) {
        setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &receiveBuffer, sizeof receiveBuffer);
    }
    isConnected = ::connect(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) == 0;
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

bool TestClient::send(const Bytes &bytes) {
    const bool sent = trySend(bytes);
    EXPECT_TRUE(sent) << "send: " << std::strerror(errno);
    return sent;
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

bool TestClient::closedWithoutData(int timeoutMs) {
    pollfd watched{fd, POLLIN, 0};
    if (::poll(&watched, 1, timeoutMs) <= 0) {
        return false;
    }
    std::uint8_t byte = 0;
    const ssize_t n = ::recv(fd, &byte, 1, 0);
    return n == 0 || (n < 0 && errno == ECONNRESET);
}

void TestClient::setReceiveBuffer(int bytes) {
    setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &bytes, sizeof bytes);
}

void TestClient::shutdownSending() {
    ::shutdown(fd, SHUT_WR);
}

void TestClient::abort() {
    if (fd >= 0) {
        const linger hard{1, 0};
        ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
    }
    close();
}

TestFolder::TestFolder(const std::string &prefix) {
    const ::testing::TestInfo *test = ::testing::UnitTest::GetInstance()->current_test_info();
    path = std::filesystem::path(::testing::TempDir()) /
           (prefix + std::string(test->name()) + "_" + std::to_string(::getpid()));
    std::filesystem::remove_all(path);
    std::filesystem::create_directories(path);
}

TestFolder::~TestFolder() {
    std::filesystem::remove_all(path);
}

std::string TestFolder::file(const std::string &name) const {
    return (path / name).string();
}

std::string TestFolder::write(const std::string &name, const std::string &content) const {
    const std::filesystem::path written = path / name;
    std::filesystem::create_directories(written.parent_path());
    std::ofstream(written, std::ios::binary) << content;
    return written.string();
}

std::vector<std::string> TestFolder::names() const {
    std::vector<std::string> found;
    for (const std::filesystem::directory_entry &entry :
         std::filesystem::directory_iterator(path)) {
        found.push_back(entry.path().filename().string());
    }
    std::sort(found.begin(), found.end());
    return found;
}

std::uint16_t freeLoopbackPort() {
    const int probe = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(probe, reinterpret_cast<sockaddr *>(&address), sizeof address);
    socklen_t length = sizeof address;
    ::getsockname(probe, reinterpret_cast<sockaddr *>(&address), &length);
    ::close(probe);
    return ntohs(address.sin_port);
}

std::unique_ptr<TestClient> connectWithRetry(std::uint16_t port, int timeoutMs) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        auto client = std::make_unique<TestClient>(port);
        if (client->connected()) {
            return client;
        }
        if (std::chrono::steady_clock::now() >= deadline) {
            return nullptr;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}

void ServerTest::SetUp() {
    setLogCapture(&log);
    Options options;
    if (startOptions != nullptr) {
        options = *startOptions;
    } else {
        if (cpu != nullptr) {
            options.cpu = cpu;
        }
        options.connections = connections;
    }
    options.port = 0; // any free port
    options.bindAddress = {127, 0, 0, 1};
    ASSERT_TRUE(serverStart(server, options));
    port = plc().listenerPort;
    ASSERT_NE(port, 0);
}

void ServerTest::TearDown() {
    serverShutdown(server);
    setLogCapture(nullptr);
}

void ServerTest::pass(int count) {
    for (int i = 0; i < count; ++i) {
        serverPass(server, now);
    }
}

void ServerTest::tick(int count) {
    for (int i = 0; i < count; ++i) {
        now += tickMicros;
        serverPass(server, now);
    }
}

Bytes ServerTest::exchange(TestClient &client, const Bytes &request) {
    client.send(request);
    pass();
    return client.receiveAvailable();
}

void ServerTest::expectNoReply(TestClient &client, const Bytes &frame) {
    client.send(frame);
    pass();
    EXPECT_EQ(toHex(client.receiveAvailable(noReplyWaitMs)), "");
}

std::unique_ptr<TestClient> ServerTest::connect() {
    auto client = std::make_unique<TestClient>(port);
    EXPECT_TRUE(client->connected()) << "connect to port " << port << ": " << std::strerror(errno);
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
