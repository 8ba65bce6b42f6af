// The capture file (--pcap): its record layout byte for byte, the records reaching the file every
// pass, a file that stops taking them, a file that cannot be opened, and tshark decoding whole
// client runs of the real program from it.
#include "harness.h"
#include "process.h"

#include "core/capture.h"
#include "core/connection_table.h"
#include "core/log.h"

#include <algorithm>
#include <arpa/inet.h>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <netinet/in.h>
#include <sstream>
#include <sys/socket.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace {

const std::string startLine = "Simulator Started, Listening for connect - Press any key to stop";

std::string temporaryPath(const std::string &name) {
    return ::testing::TempDir() + "plcdouble_" + std::to_string(::getpid()) + "_" + name;
}

Bytes readWholeFile(const std::string &path) {
    std::ifstream file(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
}

bool contains(const Bytes &haystack, const Bytes &needle) {
    return std::search(haystack.begin(), haystack.end(), needle.begin(), needle.end()) !=
           haystack.end();
}

std::uint16_t localPort(const TestClient &client) {
    sockaddr_in address{};
    socklen_t length = sizeof address;
    ::getsockname(client.descriptor(), reinterpret_cast<sockaddr *>(&address), &length);
    return ntohs(address.sin_port);
}

// ---------------------------------------------------------------------------------------------
// Layout

TEST(CaptureRecord, FileHeaderAndOneDataSegmentByteForByte) {
    std::vector<std::uint8_t> out;
    appendCaptureFileHeader(out);
    // clang-format off
    EXPECT_EQ(toHex(out), toHex(hex(
        "D4 C3 B2 A1"  "02 00" "04 00"  // magic (microseconds), version 2.4
        "00 00 00 00"  "00 00 00 00"    // time zone, accuracy
        "FF FF 00 00"  "65 00 00 00"))); // snapshot length 65535, link type 101 (raw IPv4)
    // clang-format on

    out.clear();
    const Bytes setup =
        hex("03 00 00 19 02 F0 80 32 01 00 00 00 01 00 08 00 00 F0 00 00 01 00 01 01 E0");
    const CaptureSegment segment{.sourceAddress = {192, 168, 0, 10},
                                 .sourcePort = 49152,
                                 .destinationAddress = {10, 0, 0, 5},
                                 .destinationPort = 102,
                                 .sequence = 0x01000001,
                                 .acknowledgement = 0x01800017,
                                 .flags = tcpPush | tcpAck,
                                 .ipIdentification = 3};
    appendCaptureRecord(out, 1'700'000'000'123'456, segment, setup);
    // clang-format off
    EXPECT_EQ(toHex(out), toHex(hex(
        // record header: seconds, microseconds, captured and original length (40 + 25)
        "00 F1 53 65"  "40 E2 01 00"  "41 00 00 00"  "41 00 00 00"
        // IPv4: version and length 45, total length, identification 3, don't fragment,
        // TTL 64, TCP, header checksum, source, destination
        "45 00 00 41"  "00 03 40 00"  "40 06 6F FD"  "C0 A8 00 0A"  "0A 00 00 05"
        // TCP: ports 49152 -> 102, sequence, acknowledgement, 5 words, PSH ACK, window,
        // checksum, urgent
        "C0 00 00 66"  "01 00 00 01"  "01 80 00 17"  "50 18 FF FF"  "AE D0 00 00") + setup));
    // clang-format on
}

// ---------------------------------------------------------------------------------------------
// The server writing it (in process)

class CaptureTest : public ServerTest {
protected:
    void TearDown() override {
        ServerTest::TearDown(); // closes the capture
        if (!path.empty()) {
            std::remove(path.c_str());
        }
    }
    std::string path;
};

TEST_F(CaptureTest, EveryPassHandsItsFramesToTheFileWithTheClientsPort) {
    path = temporaryPath("pass.pcap");
    ASSERT_TRUE(openCapture(server.capture, path).ok);
    auto client = connectS7();
    EXPECT_EQ(slotAt(connectionTable(), 0).ends.clientPort, localPort(*client));
    EXPECT_EQ(slotAt(connectionTable(), 0).ends.clientAddress, (Ipv4Address{127, 0, 0, 1}));
    EXPECT_EQ(slotAt(connectionTable(), 0).ends.serverAddress, (Ipv4Address{127, 0, 0, 1}));

    const Bytes request = readVarRequest(7, 1, 0, 4);
    const Bytes reply = exchange(*client, request);
    ASSERT_FALSE(reply.empty());
    // The pass that handled them has written both, with the server still running.
    const Bytes written = readWholeFile(path);
    EXPECT_TRUE(contains(written, hex(setupRequestHex)));
    EXPECT_TRUE(contains(written, hex(setupReplyHex)));
    EXPECT_TRUE(contains(written, request));
    EXPECT_TRUE(contains(written, reply));
}

TEST_F(CaptureTest, AFullDiskStopsTheCaptureWithOneLineAndServingGoesOn) {
    // /dev/full opens as any file and fails every write with "No space left on device".
    ASSERT_TRUE(openCapture(server.capture, "/dev/full").ok);
    auto client = connectS7();
    EXPECT_FALSE(captureRunning(&server.capture));
    for (std::uint16_t reference = 1; reference <= 3; ++reference) {
        EXPECT_EQ(toHex(exchange(*client, readVarRequest(reference, 2, 0, 2))),
                  toHex(readVarReply(reference, hex("00 00"))));
    }
    const std::string line = "Capture stopped: No space left on device";
    EXPECT_EQ(attributeOf(line), attributeError);
    const std::vector<std::string> texts = lines();
    EXPECT_EQ(std::count(texts.begin(), texts.end(), line), 1);
}

// ---------------------------------------------------------------------------------------------
// The real program

TEST(CaptureBinary, AFileThatCannotBeOpenedStopsTheStartWithStatusTwo) {
    ChildProcess server = ChildProcess::start(
        {"--port", std::to_string(freeLoopbackPort()), "--pcap", "/nonexistent-dir/run.pcap"});
    EXPECT_EQ(server.waitForExit(), 2);
    EXPECT_EQ(server.readErrorUntil("\n"),
              "plcdouble: cannot open capture file /nonexistent-dir/run.pcap: No such file or "
              "directory\n");
    EXPECT_EQ(server.readOutputUntil(startLine), ""); // it never started
}

// tshark's output for a capture: one line per packet the filter keeps, with the fields asked
// for separated by tabs. ok is false when tshark failed (a bad filter, an unreadable file).
struct TsharkResult {
    bool ok;
    std::vector<std::string> lines;
};

TsharkResult tshark(const std::string &path, const std::string &filter,
                    const std::string &fields = "-e frame.number") {
    const std::string command =
        "tshark -n -r '" + path + "' -Y '" + filter + "' -T fields " + fields + " 2>/dev/null";
    FILE *pipe = ::popen(command.c_str(), "r");
    if (pipe == nullptr) {
        return {false, {}};
    }
    std::string output;
    char buffer[4096];
    for (std::size_t count; (count = std::fread(buffer, 1, sizeof buffer, pipe)) > 0;) {
        output.append(buffer, count);
    }
    const int status = ::pclose(pipe);
    TsharkResult result{WIFEXITED(status) && WEXITSTATUS(status) == 0, {}};
    std::size_t start = 0;
    for (std::size_t end; (end = output.find('\n', start)) != std::string::npos; start = end + 1) {
        result.lines.push_back(output.substr(start, end - start));
    }
    return result;
}

// Every TCP stream in the capture, in the order they start: a line per packet, "C " from the
// client or "S " from the server, then tshark's Info column with the client's port as "client"
// (and "->" for its arrow).
std::vector<std::vector<std::string>> streamsOf(const std::string &path) {
    const TsharkResult result =
        tshark(path, "tcp", "-e tcp.stream -e tcp.srcport -e tcp.dstport -e _ws.col.Info");
    EXPECT_TRUE(result.ok);
    std::vector<std::vector<std::string>> streams;
    for (const std::string &line : result.lines) {
        std::istringstream fields(line);
        std::size_t stream = 0;
        std::string source;
        std::string destination;
        std::string info;
        fields >> stream >> source >> destination;
        std::getline(fields >> std::ws, info);
        const std::string client = source == "102" ? destination : source;
        for (std::size_t at; (at = info.find(client)) != std::string::npos;) {
            info.replace(at, client.size(), "client");
        }
        if (const std::size_t arrow = info.find("\u2192"); arrow != std::string::npos) {
            info.replace(arrow, std::string_view("\u2192").size(), "->");
        }
        streams.resize(std::max(streams.size(), stream + 1));
        streams[stream].push_back((source == "102" ? "S " : "C ") + info);
    }
    return streams;
}

// A stream's packets behind the handshake that every accepted connection starts with.
std::vector<std::string> afterHandshake(std::vector<std::string> packets) {
    packets.insert(packets.begin(), {"C client -> 102 [SYN] Seq=0 Win=65535 Len=0",
                                     "S 102 -> client [SYN, ACK] Seq=0 Ack=1 Win=65535 Len=0",
                                     "C client -> 102 [ACK] Seq=1 Ack=1 Win=65535 Len=0"});
    return packets;
}

// Nothing tshark finds wrong: no malformed packet, no expert warning or error (a TCP stream with
// a gap, an acknowledgement of data never sent), no bad checksum.
void expectCleanCapture(const std::string &path) {
    const TsharkResult wrong = tshark(path,
                                      "_ws.malformed || _ws.expert.severity >= 0x600000 || "
                                      "ip.checksum.status != 1 || tcp.checksum.status != 1",
                                      "-o ip.check_checksum:TRUE -o tcp.check_checksum:TRUE "
                                      "-e frame.number -e _ws.expert.message");
    EXPECT_TRUE(wrong.ok);
    EXPECT_EQ(wrong.lines, std::vector<std::string>{});
    // The severity filter finds the SYNs' chat notes, so it cannot pass by matching nothing.
    EXPECT_GT(tshark(path, "_ws.expert.severity == 0x200000").lines.size(), 0u);
}

// A request sent by one of a test's clients and the reply it must get.
struct Step {
    std::size_t client;
    Bytes request;
    Bytes reply;
};

class CaptureTshark : public ::testing::Test {
protected:
    void SetUp() override {
        if (std::system("command -v tshark >/dev/null 2>&1") != 0) {
            GTEST_SKIP() << "tshark is not installed (scripts/deps.sh test installs it); the "
                            "capture is not checked against Wireshark's dissectors";
        }
        path = temporaryPath(
            std::string(::testing::UnitTest::GetInstance()->current_test_info()->name()) + ".pcap");
    }
    void TearDown() override {
        if (!path.empty() && !HasFailure()) {
            std::remove(path.c_str());
        }
    }

    // Starts the real program with the capture, and count clients connected to it.
    ChildProcess start(std::vector<std::string> arguments, std::size_t count) {
        port = freeLoopbackPort();
        arguments.insert(arguments.end(),
                         {"--port", std::to_string(port), "--color", "never", "--pcap", path});
        ChildProcess server = ChildProcess::start(arguments);
        server.readOutputUntil(startLine + "\n");
        for (std::size_t i = 0; i < count; ++i) {
            clients.push_back(connectWithRetry(port, 2000));
            EXPECT_NE(clients.back(), nullptr);
        }
        return server;
    }

    // Runs the steps in order; returns how many S7 PDUs went either way.
    std::size_t run(const std::vector<Step> &steps) {
        std::size_t s7Pdus = 0;
        for (const Step &step : steps) {
            TestClient &client = *clients.at(step.client);
            client.send(step.request);
            EXPECT_EQ(toHex(client.receiveExactly(step.reply.size())), toHex(step.reply));
            s7Pdus += step.request.at(7) == 0x32 ? 2u : 0u;
        }
        return s7Pdus;
    }

    std::string path;
    std::uint16_t port = 0;
    std::vector<std::unique_ptr<TestClient>> clients;
};

TEST_F(CaptureTshark, TwoClassicClientsEveryRequestAndReplyDecodedAsS7comm) {
    ChildProcess server = start({}, 2);
    ASSERT_TRUE(clients[0] && clients[1]);
    // Interleaved, as two HMIs would talk.
    std::size_t s7Pdus = run({
        {0, hex(connectionRequestHex), hex(connectionConfirmSlot0Hex)},
        {1, hex(connectionRequestHex), hex(connectionConfirmSlot1Hex)},
        {0, hex(setupRequestHex), hex(setupReplyHex)},
        {1, hex(setupRequestHex), hex(setupReplyHex)},
        {0, writeVarRequest(2, 3, 10, hex("DE AD BE EF")), writeVarReply(2)},
        {1, readVarRequest(2, 3, 10, 4), readVarReply(2, hex("DE AD BE EF"))},
        {0, readVarRequest(3, {{3, 10, 1}, {3, 11, 3}, {4, 0, 2}}),
         readVarReply(3, {hex("DE"), hex("AD BE EF"), hex("00 00")})},
    });
    // The records are in the file while the server still runs: every pass flushes.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (tshark(path, "s7comm").lines.size() != s7Pdus &&
           std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    EXPECT_EQ(tshark(path, "s7comm").lines.size(), s7Pdus);

    // A third client while two are served is accepted and closed at once.
    auto refused = connectWithRetry(port, 2000);
    ASSERT_NE(refused, nullptr);
    EXPECT_TRUE(refused->closedWithoutData());
    s7Pdus += run({{0, hex(disconnectRequestHex), hex(disconnectConfirmHex)}});
    clients[1].reset(); // its FIN, then the server's
    EXPECT_NE(server.readOutputUntil("TCP Dis-conn 0\n").find("TCP Dis-conn 0"), std::string::npos);
    EXPECT_EQ(server.stop(SIGTERM), 0);

    EXPECT_EQ(tshark(path, "s7comm").lines.size(), s7Pdus);
    expectCleanCapture(path);
    // Each connection under the client's real address and port, the server as port 102. The
    // sequence numbers of the FINs count every byte of the frames above them: the first client
    // sent 152 bytes (22 + 25 + 39 + 55 + 11) and got 123 (22 + 27 + 22 + 41 + 11).
    const std::vector<std::vector<std::string>> streams = streamsOf(path);
    ASSERT_EQ(streams.size(), 3u);
    EXPECT_EQ(streams[0], afterHandshake({
                              "C CR TPDU src-ref: 0x0001 dst-ref: 0x0000",
                              "S CC TPDU src-ref: 0x0100 dst-ref: 0x0001",
                              "C ROSCTR:[Job     ] Function:[Setup communication]",
                              "S ROSCTR:[Ack_Data] Function:[Setup communication]",
                              "C ROSCTR:[Job     ] Function:[Write Var]",
                              "S ROSCTR:[Ack_Data] Function:[Write Var]",
                              "C ROSCTR:[Job     ] Function:[Read Var]",
                              "S ROSCTR:[Ack_Data] Function:[Read Var]",
                              "C DR TPDU src-ref: 0x0005 dst-ref: 0x0100",
                              "S DC TPDU src-ref: 0x0100 dst-ref: 0x0005",
                              "S 102 -> client [FIN, ACK] Seq=124 Ack=153 Win=65535 Len=0",
                          }));
    EXPECT_EQ(streams[1], afterHandshake({
                              "C CR TPDU src-ref: 0x0001 dst-ref: 0x0000",
                              "S CC TPDU src-ref: 0x0200 dst-ref: 0x0001",
                              "C ROSCTR:[Job     ] Function:[Setup communication]",
                              "S ROSCTR:[Ack_Data] Function:[Setup communication]",
                              "C ROSCTR:[Job     ] Function:[Read Var]",
                              "S ROSCTR:[Ack_Data] Function:[Read Var]",
                              "C client -> 102 [FIN, ACK] Seq=79 Ack=79 Win=65535 Len=0",
                              "S 102 -> client [FIN, ACK] Seq=79 Ack=80 Win=65535 Len=0",
                          }));
    // The refused client: accepted, then closed at once.
    EXPECT_EQ(streams[2], afterHandshake({
                              "S 102 -> client [FIN, ACK] Seq=1 Ack=1 Win=65535 Len=0",
                          }));
}

TEST_F(CaptureTshark, ProfileReplySplitIntoDtFramesIsReassembledIntoOneS7commReply) {
    ChildProcess server = start({"--cpu", "s7-300"}, 1);
    ASSERT_TRUE(clients[0]);
    // TPDU size 128 (code 07): a 200-byte read leaves as two DT frames.
    TestClient &client = *clients[0];
    client.send(hex("03 00 00 16 11 E0 00 00 00 01 00 C0 01 07 C1 02 01 00 C2 02 01 02"));
    EXPECT_EQ(client.receiveExactly(22).size(), 22u);
    client.send(hex(setupRequestHex));
    EXPECT_EQ(client.receiveExactly(27).size(), 27u);
    client.send(readVarRequest(2, 1, 0, 200));
    EXPECT_EQ(client.receiveExactly(132 + 100).size(), 232u); // 125 + 93 PDU bytes, 7 + 7 header
    client.send(readVarRequest(3, 1, 0, 4));
    EXPECT_EQ(client.receiveExactly(29).size(), 29u);
    EXPECT_EQ(server.stop(SIGTERM), 0);

    EXPECT_EQ(tshark(path, "s7comm").lines.size(), 6u);
    const TsharkResult reads =
        tshark(path, "s7comm.param.func == 0x04 && s7comm.header.rosctr == 3",
               "-e cotp.segment.count -e s7comm.data.length");
    EXPECT_TRUE(reads.ok);
    EXPECT_EQ(reads.lines, (std::vector<std::string>{"2\t200", "\t4"}));
    expectCleanCapture(path);
}

} // namespace
