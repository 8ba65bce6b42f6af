// The real program as a user starts it: banner, start line, listening, stopping, exit status,
// and a log whose reader stalls.
#include "harness.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <spawn.h>
#include <string>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

extern char **environ;

namespace {

struct Running {
    pid_t pid = -1;
    int stdoutFd = -1;
    int stderrFd = -1;
};

// Starts the binary with stdin from /dev/null and both output streams on pipes.
Running start(const std::vector<std::string> &arguments) {
    int out[2];
    int err[2];
    EXPECT_EQ(::pipe(out), 0);
    EXPECT_EQ(::pipe(err), 0);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
    posix_spawn_file_actions_adddup2(&actions, err[1], STDERR_FILENO);
    posix_spawn_file_actions_addclose(&actions, out[0]);
    posix_spawn_file_actions_addclose(&actions, err[0]);
    std::vector<char *> argv;
    std::string binary = PLCDOUBLE_BINARY;
    argv.push_back(binary.data());
    std::vector<std::string> copies = arguments;
    for (std::string &argument : copies) {
        argv.push_back(argument.data());
    }
    argv.push_back(nullptr);
    Running running;
    EXPECT_EQ(posix_spawn(&running.pid, binary.c_str(), &actions, nullptr, argv.data(), environ),
              0);
    posix_spawn_file_actions_destroy(&actions);
    ::close(out[1]);
    ::close(err[1]);
    running.stdoutFd = out[0];
    running.stderrFd = err[0];
    return running;
}

// Reads from fd until text appears, the stream ends, or the time is up.
std::string readUntil(int fd, const std::string &text, int timeoutMs = 10000) {
    std::string seen;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (seen.find(text) == std::string::npos && std::chrono::steady_clock::now() < deadline) {
        pollfd watched{fd, POLLIN, 0};
        if (::poll(&watched, 1, 100) <= 0) {
            continue;
        }
        char buffer[4096];
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n <= 0) {
            break;
        }
        seen.append(buffer, static_cast<std::size_t>(n));
    }
    return seen;
}

int waitForExit(pid_t pid, int timeoutMs = 10000) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    int status = 0;
    while (std::chrono::steady_clock::now() < deadline) {
        const pid_t done = ::waitpid(pid, &status, WNOHANG);
        if (done == pid) {
            return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        }
        ::usleep(10'000);
    }
    ::kill(pid, SIGKILL);
    ::waitpid(pid, &status, 0);
    return -1;
}

// A port that was free a moment ago.
std::uint16_t freePort() {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(fd, reinterpret_cast<sockaddr *>(&address), sizeof address);
    socklen_t length = sizeof address;
    ::getsockname(fd, reinterpret_cast<sockaddr *>(&address), &length);
    ::close(fd);
    return ntohs(address.sin_port);
}

// The start line comes before the listener opens, so a client may have to try again.
int connectWithRetry(std::uint16_t port) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    for (int attempt = 0; attempt < 200; ++attempt) {
        const int client = ::socket(AF_INET, SOCK_STREAM, 0);
        if (::connect(client, reinterpret_cast<sockaddr *>(&address), sizeof address) == 0) {
            return client;
        }
        ::close(client);
        ::usleep(10'000);
    }
    return -1;
}

const std::string startLine = "Simulator Started, Listening for connect - Press any key to stop";

std::string repeat(const std::string &piece, int count) {
    std::string text;
    for (int i = 0; i < count; ++i) {
        text += piece;
    }
    return text;
}

TEST(Binary, PrintsBannerAndStartLineServesAndStopsOnSigtermWithStatusZero) {
    const std::uint16_t port = freePort();
    Running server = start({"--port", std::to_string(port), "--color", "never"});
    const std::string output = readUntil(server.stdoutFd, startLine + "\n");
    const std::string expectedStart =
        "\u2554" + repeat("\u2550", 63) + "\u2557\n" +
        "\u2551 plcdouble: an S7/S5 PLC stand-in serving data blocks over TCP \u2551\n" + "\u255A" +
        repeat("\u2550", 63) + "\u255D\n" + startLine + "\n";
    EXPECT_EQ(output, expectedStart);

    // With stdin not a terminal it keeps running and serves a client.
    const int client = connectWithRetry(port);
    EXPECT_GE(client, 0);
    EXPECT_NE(readUntil(server.stdoutFd, "TCP conn from 127.0.0.1 (0)\n").find("TCP conn"),
              std::string::npos);
    ::close(client);

    ::kill(server.pid, SIGTERM);
    EXPECT_EQ(waitForExit(server.pid), 0);
    ::close(server.stdoutFd);
    ::close(server.stderrFd);
}

TEST(Binary, ColourAlwaysPaintsTheBannerAndLeavesTheStartLinePlain) {
    Running server = start({"--port", std::to_string(freePort()), "--color", "always"});
    const std::string output = readUntil(server.stdoutFd, startLine + "\n");
    EXPECT_EQ(output.rfind("\x1b[37;42m\u2554", 0), 0u);
    EXPECT_NE(output.find("\u255D\x1b[0m\n" + startLine + "\n"), std::string::npos);
    ::kill(server.pid, SIGINT);
    EXPECT_EQ(waitForExit(server.pid), 0);
    ::close(server.stdoutFd);
    ::close(server.stderrFd);
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

    Running server = start({"--port", port, "--color", "never"});
    EXPECT_EQ(waitForExit(server.pid), 1);
    const std::string output = readUntil(server.stdoutFd, "\nnever-printed");
    EXPECT_NE(output.find(startLine + "\nCannot listen on 0.0.0.0 port " + port +
                          ": bind failed: Address already in use"),
              std::string::npos)
        << output;
    ::close(holder);
    ::close(server.stdoutFd);
    ::close(server.stderrFd);
}

TEST(Binary, BadArgumentPrintsOneLineAndUsageOnStderrWithStatusTwo) {
    Running server = start({"--port", "70000"});
    EXPECT_EQ(waitForExit(server.pid), 2);
    const std::string errors = readUntil(server.stderrFd, "\nnever-printed");
    EXPECT_EQ(errors.rfind("plcdouble: bad port: 70000 (expected 1-65535)\nusage: plcdouble", 0),
              0u)
        << errors;
    EXPECT_EQ(readUntil(server.stdoutFd, "never-printed", 100), "");
    ::close(server.stdoutFd);
    ::close(server.stderrFd);
}

TEST(Binary, HelpAndVersionExitZero) {
    Running help = start({"--help"});
    EXPECT_EQ(waitForExit(help.pid), 0);
    EXPECT_EQ(readUntil(help.stdoutFd, "never-printed").rfind("usage: plcdouble", 0), 0u);
    Running version = start({"--version"});
    EXPECT_EQ(waitForExit(version.pid), 0);
    EXPECT_EQ(readUntil(version.stdoutFd, "never-printed"), "plcdouble 0.1.0\n");
    for (const Running &running : {help, version}) {
        ::close(running.stdoutFd);
        ::close(running.stderrFd);
    }
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
    ::close(connectWithRetry(port));                      // waits until it listens
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
    const std::uint16_t port = freePort();
    Running server = start({"--port", std::to_string(port), "--color", "always"});
    LogPipe log(server.stdoutFd);
    std::unique_ptr<TestClient> client = startSession(port, log);
    // A reader that keeps up sees each line at once.
    EXPECT_TRUE(log.readUntil("Sending S7 PDU Response\x1b[0m\n", 250)) << log.seen;

    // From here on nobody reads the log until every request is answered.
    EXPECT_EQ(runStallJobs(*client, jobs), jobs);

    // Reading again lets the output resume: the lost lines are reported, then the program ends
    // and the rest of the queue comes out.
    EXPECT_TRUE(log.readUntil("lines dropped", 10'000));
    log.readUntilQuiet(300);
    ::kill(server.pid, SIGTERM);
    EXPECT_TRUE(log.readToEnd(10'000));
    EXPECT_EQ(waitForExit(server.pid), 0);
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
    ::close(server.stdoutFd);
    ::close(server.stderrFd);
}

TEST(Binary, SigtermEndsTheServerWithinAboutASecondWhileItsLogIsStalled) {
    const std::uint16_t port = freePort();
    Running server = start({"--port", std::to_string(port), "--color", "never"});
    LogPipe log(server.stdoutFd);
    std::unique_ptr<TestClient> client = startSession(port, log);
    // 9,500 lines, some 440 kB: the pipe takes what it can hold (a page per write of whole
    // lines, so less than its 64 KiB) and the server's writer waits on it.
    EXPECT_EQ(runStallJobs(*client, 500), 500u);
    int unread = 0;
    ASSERT_EQ(::ioctl(server.stdoutFd, FIONREAD, &unread), 0);
    EXPECT_GE(unread, 32 * 1024);

    const auto signalled = Clock::now();
    ::kill(server.pid, SIGTERM);
    EXPECT_EQ(waitForExit(server.pid), 0);
    const auto took =
        std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - signalled).count();
    EXPECT_LT(took, 2000) << "ms from SIGTERM to exit";
    ::close(server.stdoutFd);
    ::close(server.stderrFd);
}

} // namespace
