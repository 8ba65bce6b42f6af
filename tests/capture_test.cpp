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
    ASSERT_TRUE(openCapture(path).ok);
    auto client = connectS7();
    EXPECT_EQ(slotAt(0).ends.clientPort, localPort(*client));
    EXPECT_EQ(slotAt(0).ends.clientAddress, (platform::Ipv4Address{127, 0, 0, 1}));
    EXPECT_EQ(slotAt(0).ends.serverAddress, (platform::Ipv4Address{127, 0, 0, 1}));

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
    ASSERT_TRUE(openCapture("/dev/full").ok);
    auto client = connectS7();
    EXPECT_FALSE(captureRunning());
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

bool tsharkInstalled() {
    return std::system("command -v tshark >/dev/null 2>&1") == 0;
}

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
    std::size_t count = 0;
    while ((count = std::fread(buffer, 1, sizeof buffer, pipe)) > 0) {
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

// One packet of a capture as tshark decodes it.
struct Packet {
    std::string source; // IPv4 address
    std::uint16_t sourcePort;
    std::uint16_t destinationPort;
    bool syn;
    bool ack;
    bool fin;
    std::size_t tcpLength;
    std::string cotpType; // of the last COTP header in it, "0x0f" for DT; empty when none
    std::string rosctr;   // S7 PDU type: "1" job, "3" ack with data; empty when none
    std::string severity; // the expert infos' severities
};

std::vector<Packet> packets(const std::string &path) {
    const TsharkResult result =
        tshark(path, "ip",
               "-E occurrence=l -e ip.src -e tcp.srcport -e tcp.dstport "
               "-e tcp.flags.syn -e tcp.flags.ack -e tcp.flags.fin -e tcp.len "
               "-e cotp.type -e s7comm.header.rosctr -e _ws.expert.severity");
    EXPECT_TRUE(result.ok);
    std::vector<Packet> table;
    for (const std::string &line : result.lines) {
        std::vector<std::string> field;
        std::size_t start = 0;
        for (std::size_t tab; (tab = line.find('\t', start)) != std::string::npos;
             start = tab + 1) {
            field.push_back(line.substr(start, tab - start));
        }
        field.push_back(line.substr(start));
        if (field.size() != 10) {
            ADD_FAILURE() << "unexpected tshark line: " << line;
            continue;
        }
        table.push_back({field[0], static_cast<std::uint16_t>(std::stoul(field[1])),
                         static_cast<std::uint16_t>(std::stoul(field[2])), field[3] == "1",
                         field[4] == "1", field[5] == "1", std::stoul(field[6]), field[7], field[8],
                         field[9]});
    }
    return table;
}

template <typename Predicate>
std::size_t countOf(const std::vector<Packet> &table, Predicate predicate) {
    return static_cast<std::size_t>(std::count_if(table.begin(), table.end(), predicate));
}

// A client of the real program that keeps count of the S7 PDUs it sent and got back.
struct CountingClient {
    std::unique_ptr<TestClient> client;
    std::size_t s7Sent = 0;
    std::size_t s7Received = 0;

    // Sends a request frame and takes its answer: frames up to a DT frame that ends a PDU, or
    // one frame of another type (a connect confirm).
    Bytes ask(const Bytes &request) {
        client->send(request);
        if (request.size() > 7 && request[5] == 0xF0 && request[7] == 0x32) {
            ++s7Sent;
        }
        Bytes answer;
        Bytes pdu;
        for (;;) {
            const Bytes header = client->receiveExactly(4);
            if (header.size() < 4) {
                ADD_FAILURE() << "no answer to " << toHex(request);
                return answer;
            }
            const std::size_t length = std::size_t{header[2]} << 8 | header[3];
            const Bytes rest = client->receiveExactly(length - 4);
            answer = answer + header + rest;
            if (rest.size() < 3 || rest[1] != 0xF0) {
                return answer;
            }
            pdu.insert(pdu.end(), rest.begin() + 3, rest.end());
            if ((rest[2] & 0x80) != 0) {
                if (!pdu.empty() && pdu[0] == 0x32) {
                    ++s7Received;
                }
                return answer;
            }
        }
    }
};

// Waits until tshark finds count S7 PDUs in the file, which the server writes as it runs.
bool waitForS7Pdus(const std::string &path, std::size_t count) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (std::chrono::steady_clock::now() < deadline) {
        if (tshark(path, "s7comm").lines.size() == count) {
            return true;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return false;
}

// Nothing tshark finds wrong: no malformed packet, no expert warning or error (a TCP stream
// with a gap, an acknowledgement of data never sent), no bad checksum.
void expectCleanCapture(const std::string &path, const std::vector<Packet> &table) {
    const TsharkResult wrong = tshark(path,
                                      "_ws.malformed || _ws.expert.severity >= 0x600000 || "
                                      "ip.checksum.status != 1 || tcp.checksum.status != 1",
                                      "-o ip.check_checksum:TRUE -o tcp.check_checksum:TRUE "
                                      "-e frame.number -e _ws.expert.message");
    EXPECT_TRUE(wrong.ok);
    EXPECT_EQ(wrong.lines, std::vector<std::string>{});
    // The severity field reads as expected (the SYNs are chat notes), so a filter that can
    // match nothing cannot pass for a clean capture.
    EXPECT_GT(countOf(table, [](const Packet &p) { return p.severity.find("2097152") == 0; }), 0u);
}

class CaptureTshark : public ::testing::Test {
protected:
    void SetUp() override {
        if (!tsharkInstalled()) {
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

    ChildProcess start(std::vector<std::string> arguments) {
        port = freeLoopbackPort();
        arguments.insert(arguments.end(),
                         {"--port", std::to_string(port), "--color", "never", "--pcap", path});
        ChildProcess server = ChildProcess::start(arguments);
        server.readOutputUntil(startLine + "\n");
        return server;
    }

    CountingClient connectClient() {
        CountingClient counting{connectWithRetry(port, 2000)};
        EXPECT_NE(counting.client, nullptr);
        return counting;
    }

    std::string path;
    std::uint16_t port = 0;
};

TEST_F(CaptureTshark, TwoClassicClientsEveryRequestAndReplyDecodedAsS7comm) {
    ChildProcess server = start({});
    CountingClient first = connectClient();
    CountingClient second = connectClient();
    ASSERT_TRUE(first.client && second.client);
    // Interleaved, as two HMIs would talk.
    EXPECT_EQ(first.ask(hex(connectionRequestHex)).size(), 22u);
    EXPECT_EQ(second.ask(hex(connectionRequestHex)).size(), 22u);
    EXPECT_EQ(toHex(first.ask(hex(setupRequestHex))), toHex(hex(setupReplyHex)));
    EXPECT_EQ(toHex(second.ask(hex(setupRequestHex))), toHex(hex(setupReplyHex)));
    EXPECT_EQ(toHex(first.ask(writeVarRequest(1, 3, 10, hex("DE AD BE EF")))),
              toHex(writeVarReply(1)));
    EXPECT_EQ(toHex(second.ask(readVarRequest(1, 3, 10, 4))),
              toHex(readVarReply(1, hex("DE AD BE EF"))));
    EXPECT_EQ(toHex(first.ask(readVarRequest(2, {{3, 10, 1}, {3, 11, 3}, {4, 0, 2}}))),
              toHex(readVarReply(2, {hex("DE"), hex("AD BE EF"), hex("00 00")})));
    const std::uint16_t firstPort = localPort(*first.client);
    const std::uint16_t secondPort = localPort(*second.client);

    // The records are in the file while the server still runs: every pass flushes.
    const std::size_t s7Pdus = first.s7Sent + first.s7Received + second.s7Sent + second.s7Received;
    EXPECT_EQ(s7Pdus, 10u);
    EXPECT_TRUE(waitForS7Pdus(path, s7Pdus));

    // A third client while two are served is accepted and closed at once.
    auto refused = connectWithRetry(port, 2000);
    ASSERT_NE(refused, nullptr);
    EXPECT_TRUE(refused->closedWithoutData());
    const std::uint16_t refusedPort = localPort(*refused);
    EXPECT_EQ(toHex(first.ask(hex(disconnectRequestHex))), toHex(hex(disconnectConfirmHex)));
    second.client.reset(); // closes
    EXPECT_NE(server.readOutputUntil("TCP Dis-conn 0\n").find("TCP Dis-conn 0"), std::string::npos);
    EXPECT_EQ(server.stop(SIGTERM), 0);

    const std::vector<Packet> table = packets(path);
    const auto s7 = [](const char *rosctr) {
        return [rosctr](const Packet &p) { return p.rosctr == rosctr; };
    };
    const auto cotp = [](const char *type) {
        return [type](const Packet &p) { return p.cotpType == type; };
    };
    EXPECT_EQ(countOf(table, s7("1")), first.s7Sent + second.s7Sent);
    EXPECT_EQ(countOf(table, s7("3")), first.s7Received + second.s7Received);
    EXPECT_EQ(tshark(path, "s7comm").lines.size(), s7Pdus);
    EXPECT_EQ(countOf(table, cotp("0x0e")), 2u); // connection requests
    EXPECT_EQ(countOf(table, cotp("0x0d")), 2u); // confirms
    EXPECT_EQ(countOf(table, cotp("0x08")), 1u); // the disconnect request
    EXPECT_EQ(countOf(table, cotp("0x0c")), 1u); // its confirm
    expectCleanCapture(path, table);

    // Each connection under the client's real address and port, the server as port 102: a
    // handshake, its data, and a FIN from the server (the second client's own FIN first).
    struct Stream {
        std::uint16_t clientPort;
        std::size_t clientDataSegments;
        std::size_t serverDataSegments;
        std::size_t clientFins;
    };
    const Stream streams[] = {{firstPort, 5, 5, 0}, {secondPort, 3, 3, 1}, {refusedPort, 0, 0, 0}};
    for (const Stream &stream : streams) {
        SCOPED_TRACE("client port " + std::to_string(stream.clientPort));
        std::vector<Packet> fromClient;
        std::vector<Packet> fromServer;
        for (const Packet &p : table) {
            EXPECT_EQ(p.source, "127.0.0.1");
            if (p.sourcePort == stream.clientPort && p.destinationPort == 102) {
                fromClient.push_back(p);
            } else if (p.sourcePort == 102 && p.destinationPort == stream.clientPort) {
                fromServer.push_back(p);
            }
        }
        const auto syn = [](const Packet &p) { return p.syn; };
        const auto fin = [](const Packet &p) { return p.fin; };
        const auto data = [](const Packet &p) { return p.tcpLength > 0; };
        EXPECT_EQ(countOf(fromClient, syn), 1u);
        EXPECT_EQ(countOf(fromServer, syn), 1u);
        EXPECT_EQ(countOf(fromClient, data), stream.clientDataSegments);
        EXPECT_EQ(countOf(fromServer, data), stream.serverDataSegments);
        EXPECT_EQ(countOf(fromClient, fin), stream.clientFins);
        EXPECT_EQ(countOf(fromServer, fin), 1u);
    }
    EXPECT_EQ(countOf(table, [](const Packet &p) { return p.syn && !p.ack; }), 3u);
}

TEST_F(CaptureTshark, ProfileReplySplitIntoDtFramesIsReassembledIntoOneS7commReply) {
    ChildProcess server = start({"--cpu", "s7-300"});
    CountingClient client = connectClient();
    ASSERT_TRUE(client.client);
    // TPDU size 128 (code 07): a 200-byte read leaves as two DT frames.
    EXPECT_EQ(
        client.ask(hex("03 00 00 16 11 E0 00 00 00 01 00 C0 01 07 C1 02 01 00 C2 02 01 02")).size(),
        22u);
    client.ask(hex(setupRequestHex));
    const Bytes reply = client.ask(readVarRequest(1, 1, 0, 200));
    EXPECT_EQ(reply.size(), 132u + 100u); // 125 and 93 bytes of the PDU, 7 of headers each
    client.ask(readVarRequest(2, 1, 0, 4));
    EXPECT_EQ(client.s7Sent, 3u);
    EXPECT_EQ(client.s7Received, 3u);
    EXPECT_EQ(server.stop(SIGTERM), 0);

    EXPECT_EQ(tshark(path, "s7comm").lines.size(), 6u);
    const TsharkResult split =
        tshark(path, "s7comm.param.func == 0x04 && s7comm.header.rosctr == 3",
               "-e cotp.segment.count -e s7comm.data.length");
    EXPECT_TRUE(split.ok);
    EXPECT_EQ(split.lines, (std::vector<std::string>{"2\t200", "\t4"}));
    expectCleanCapture(path, packets(path));
}

} // namespace
