// The real program as a user starts it: banner, start line, listening, stopping, exit status,
// and a log whose reader stalls.
#include "harness.h"
#include "process.h"

#include <arpa/inet.h>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <memory>
#include <netinet/in.h>
#include <poll.h>
#include <string>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

const std::string startLine = "Simulator Started, Listening for connect - Press any key to stop";

std::string repeat(const std::string &piece, int count) {
    std::string text;
    for (int i = 0; i < count; ++i) {
        text += piece;
    }
    return text;
}

TEST(Binary, PrintsBannerAndStartLineServesAndStopsOnSigtermWithStatusZero) {
    const std::uint16_t port = freeLoopbackPort();
    ChildProcess server = ChildProcess::start({"--port", std::to_string(port), "--color", "never"});
    const std::string output = server.readOutputUntil(startLine + "\n");
    const std::string expectedStart =
        "\u2554" + repeat("\u2550", 63) + "\u2557\n" +
        "\u2551 plcdouble: an S7/S5 PLC stand-in serving data blocks over TCP \u2551\n" + "\u255A" +
        repeat("\u2550", 63) + "\u255D\n" + startLine + "\n";
    EXPECT_EQ(output, expectedStart);

    // With stdin not a terminal it keeps running and serves a client.
    // The start line comes before the listener opens, so the client may have to try again.
    auto client = connectWithRetry(port, 2000);
    EXPECT_NE(client, nullptr);
    EXPECT_NE(server.readOutputUntil("TCP conn from 127.0.0.1 (0)\n").find("TCP conn"),
              std::string::npos);
    client.reset();

    EXPECT_EQ(server.stop(SIGTERM), 0);
}

TEST(Binary, ColourAlwaysPaintsTheBannerAndLeavesTheStartLinePlain) {
    ChildProcess server =
        ChildProcess::start({"--port", std::to_string(freeLoopbackPort()), "--color", "always"});
    const std::string output = server.readOutputUntil(startLine + "\n");
    EXPECT_EQ(output.rfind("\x1b[37;42m\u2554", 0), 0u);
    EXPECT_NE(output.find("\u255D\x1b[0m\n" + startLine + "\n"), std::string::npos);
    EXPECT_EQ(server.stop(SIGINT), 0);
}

TEST(Binary, PortInUseFailsWithStatusOneAndAnErrorLine) {
    const int holder = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_ANY);
    ASSERT_EQ(::bind(holder, reinterpret_cast<sockaddr *>(&address), sizeof address), 0);
    ASSERT_EQ(::listen(holder, 1), 0);
    socklen_t length = sizeof address;
    ::getsockname(holder, reinterpret_cast<sockaddr *>(&address), &length);
    const std::string port = std::to_string(ntohs(address.sin_port));

    ChildProcess server = ChildProcess::start({"--port", port, "--color", "never"});
    EXPECT_EQ(server.waitForExit(), 1);
    const std::string output = server.readOutputUntil("\nnever-printed");
    EXPECT_NE(output.find(startLine + "\nCannot listen on 0.0.0.0 port " + port +
                          ": bind failed: Address already in use"),
              std::string::npos)
        << output;
    ::close(holder);
}

TEST(Binary, BadArgumentPrintsOneLineAndUsageOnStderrWithStatusTwo) {
    ChildProcess server = ChildProcess::start({"--port", "70000"});
    EXPECT_EQ(server.waitForExit(), 2);
    const std::string errors = server.readErrorUntil("\nnever-printed");
    EXPECT_EQ(
        errors.rfind(
            "plcdouble: bad port: 70000 (expected 0-65535, 0 for any free port)\nusage: plcdouble",
            0),
        0u)
        << errors;
    EXPECT_EQ(server.readOutputUntil("never-printed", 100), "");
}

TEST(Binary, HelpAndVersionExitZero) {
    ChildProcess help = ChildProcess::start({"--help"});
    EXPECT_EQ(help.waitForExit(), 0);
    EXPECT_EQ(help.readOutputUntil("never-printed").rfind("usage: plcdouble", 0), 0u);
    ChildProcess version = ChildProcess::start({"--version"});
    EXPECT_EQ(version.waitForExit(), 0);
    EXPECT_EQ(version.readOutputUntil("never-printed"), "plcdouble 0.1.0\n");
}

// -- A log whose reader stalls ------------------------------------------------------------------

using Clock = std::chrono::steady_clock;

constexpr std::size_t itemsPerJob = 19;
constexpr std::size_t itemBytes = 2;

// Job j reads itemsPerJob items of 2 bytes; item i of it is line number itemsPerJob * j + i of
// the traffic, and its address says so: DB 10 + j / 1000, byte 2 * (itemsPerJob * (j % 1000) + i).
Bytes stallJob(std::size_t job, std::uint16_t reference) {
    Bytes parameters = {0x04, static_cast<std::uint8_t>(itemsPerJob)};
    for (std::size_t item = 0; item < itemsPerJob; ++item) {
        const std::size_t offset = itemBytes * (itemsPerJob * (job % 1000) + item);
        parameters = parameters + hex("12 0A 10 02") + be16(itemBytes) + be16(10 + job / 1000) +
                     hex("84") + be24(offset * 8);
    }
    return isoDataFrame(hex("32 01 00 00") + be16(reference) + be16(parameters.size()) +
                        hex("00 00") + parameters);
}

// Fresh blocks are zero-filled.
Bytes stallReply(std::uint16_t reference) {
    Bytes section;
    for (std::size_t item = 0; item < itemsPerJob; ++item) {
        section = section + hex("FF 04") + be16(itemBytes * 8) + Bytes(itemBytes, 0);
    }
    return hex("03 00") + be16(21 + section.size()) + hex("02 F0 80 32 03 00 00") +
           be16(reference) + hex("00 02") + be16(section.size()) + hex("00 00 04") +
           Bytes{static_cast<std::uint8_t>(itemsPerJob)} + section;
}

// The server's stdout, read only when the test says so.
class LogPipe {
public:
    explicit LogPipe(int descriptor) : fd(descriptor) {}

    std::string seen;

    // Reads until text has arrived (true), the stream ends or timeoutMs pass.
    bool readUntil(const std::string &text, int timeoutMs) {
        const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
        while (seen.find(text) == std::string::npos && !ended && Clock::now() < deadline) {
            readSome(10);
        }
        return seen.find(text) != std::string::npos;
    }
    // Reads until nothing has come for quietMs.
    void readUntilQuiet(int quietMs) {
        while (readSome(quietMs) && !ended) {
        }
    }
    // Reads until the stream ends (true) or timeoutMs pass.
    bool readToEnd(int timeoutMs) {
        const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
        while (!ended && Clock::now() < deadline) {
            readSome(10);
        }
        return ended;
    }

private:
    int fd;
    // False when nothing arrived within waitMs.
    bool readSome(int waitMs) {
        pollfd watched{fd, POLLIN, 0};
        if (::poll(&watched, 1, waitMs) <= 0) {
            return false;
        }
        char buffer[65536];
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n <= 0) {
            ended = true;
            return false;
        }
        seen.append(buffer, static_cast<std::size_t>(n));
        return true;
    }
    bool ended = false;
};

// A connected S7 session in slot 0 of the server at port, which has just started.
std::unique_ptr<TestClient> startSession(std::uint16_t port, LogPipe &log) {
    connectWithRetry(port, 10'000)->close();              // waits until it listens
    EXPECT_TRUE(log.readUntil("TCP Dis-conn 0", 10'000)); // slot 0 is free again
    auto client = std::make_unique<TestClient>(port);
    client->send(hex(connectionRequestHex));
    EXPECT_EQ(client->receiveExactly(22).size(), 22u);
    client->send(hex(setupRequestHex));
    EXPECT_EQ(toHex(client->receiveExactly(27)), toHex(hex(setupReplyHex)));
    return client;
}

// The traffic line number of a line that a stallJob item logs; false for any other line.
bool trafficLineNumber(const std::string &line, std::size_t &number) {
    unsigned item = 0;
    unsigned db = 0;
    unsigned offset = 0;
    int end = -1;
    if (std::sscanf(line.c_str(),
                    "\x1b[37;44m(%u)%*2d:%*2d:%*2d-[0] Sending S7 data DB%u,%u l=2\x1b[0m%n", &item,
                    &db, &offset, &end) != 3 ||
        end != static_cast<int>(line.size())) {
        return false;
    }
    number = (db - 10) * 1000 * itemsPerJob + offset / itemBytes;
    EXPECT_EQ(number % itemsPerJob, item) << line;
    return true;
}

// Runs the jobs one at a time; returns how many were answered right before the first that was
// not (within 2 s).
std::size_t runStallJobs(TestClient &client, std::size_t jobs) {
    for (std::size_t job = 0; job < jobs; ++job) {
        const auto reference = static_cast<std::uint16_t>(job + 1);
        client.send(stallJob(job, reference));
        const Bytes expected = stallReply(reference);
        if (client.receiveExactly(expected.size()) != expected) {
            return job;
        }
    }
    return jobs;
}

TEST(Binary, StalledLogNeverHoldsRequestsAndSaysHowManyLinesItDropped) {
    constexpr std::size_t jobs = 5000; // 95,000 lines: the queue overflows several times over
    const std::uint16_t port = freeLoopbackPort();
    ChildProcess server =
        ChildProcess::start({"--port", std::to_string(port), "--color", "always"});
    LogPipe log(server.outputFd());
    std::unique_ptr<TestClient> client = startSession(port, log);
    // A reader that keeps up sees each line at once.
    EXPECT_TRUE(log.readUntil("Sending S7 PDU Response\x1b[0m\n", 250)) << log.seen;

    // From here on nobody reads the log until every request is answered.
    EXPECT_EQ(runStallJobs(*client, jobs), jobs);

    // Reading again lets the output resume: the lost lines are reported, then the program ends
    // and the rest of the queue comes out.
    EXPECT_TRUE(log.readUntil("lines dropped", 10'000));
    log.readUntilQuiet(300);
    ::kill(server.pid(), SIGTERM);
    EXPECT_TRUE(log.readToEnd(10'000));
    EXPECT_EQ(server.waitForExit(), 0);
    client->close();

    // Every traffic line is whole and in order; each gap is one notice that counts exactly the
    // lines missing there.
    const std::string noticeStart = "\x1b[33;41mLog output stalled: ";
    const std::string noticeEnd = " lines dropped\x1b[0m";
    std::size_t next = 0; // the traffic line expected next
    std::size_t owed = 0; // lines a notice said were dropped, not yet skipped
    std::size_t notices = 0;
    std::size_t written = 0;
    ASSERT_FALSE(log.seen.empty());
    ASSERT_EQ(log.seen.back(), '\n');
    for (std::size_t begin = 0, end = 0; begin < log.seen.size(); begin = end + 1) {
        end = log.seen.find('\n', begin);
        const std::string line = log.seen.substr(begin, end - begin);
        std::size_t number = 0;
        if (line.rfind(noticeStart, 0) == 0 &&
            line.size() > noticeStart.size() + noticeEnd.size() &&
            line.substr(line.size() - noticeEnd.size()) == noticeEnd) {
            EXPECT_EQ(owed, 0u) << "two notices for one gap: " << line;
            owed += std::stoul(line.substr(noticeStart.size()));
            ++notices;
        } else if (trafficLineNumber(line, number)) {
            ASSERT_EQ(number, next + owed) << line;
            next = number + 1;
            owed = 0;
            ++written;
        } else {
            // Start-up lines, before the traffic and whole: coloured from start to end.
            ASSERT_EQ(written, 0u) << line;
            ASSERT_TRUE(line == startLine ||
                        (line.rfind("\x1b[", 0) == 0 && line.find("\x1b[0m") == line.size() - 4))
                << line;
        }
    }
    EXPECT_EQ(next + owed, jobs * itemsPerJob);
    EXPECT_GE(notices, 1u);
    EXPECT_LT(written, jobs * itemsPerJob);
}

TEST(Binary, SigtermEndsTheServerWithinAboutASecondWhileItsLogIsStalled) {
    const std::uint16_t port = freeLoopbackPort();
    ChildProcess server = ChildProcess::start({"--port", std::to_string(port), "--color", "never"});
    LogPipe log(server.outputFd());
    std::unique_ptr<TestClient> client = startSession(port, log);
    // 9,500 lines, some 440 kB: the pipe takes what it can hold (a page per write of whole
    // lines, so less than its 64 KiB) and the server's writer waits on it.
    EXPECT_EQ(runStallJobs(*client, 500), 500u);
    int unread = 0;
    ASSERT_EQ(::ioctl(server.outputFd(), FIONREAD, &unread), 0);
    EXPECT_GE(unread, 32 * 1024);

    const auto signalled = Clock::now();
    ::kill(server.pid(), SIGTERM);
    EXPECT_EQ(server.waitForExit(), 0);
    const auto took =
        std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - signalled).count();
    EXPECT_LT(took, 2000) << "ms from SIGTERM to exit";
}

} // namespace
