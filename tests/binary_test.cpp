// The real program as a user starts it: banner, start line, listening, stopping, exit status.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <spawn.h>
#include <string>
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

} // namespace
