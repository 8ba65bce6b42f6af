// The real program as a user starts it: banner, start line, listening, stopping, exit status.
#include "harness.h"
#include "process.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <string>
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
    EXPECT_EQ(errors.rfind("plcdouble: bad port: 70000 (expected 1-65535)\nusage: plcdouble", 0),
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

} // namespace
