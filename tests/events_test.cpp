// The events file and the metrics: every field of an event line against known exchanges in
// classic and as a real CPU, the dropped line of the events queue, the time stamps, and the real
// program writing its events and serving GET /metrics, read back by a small exposition-format
// reader.
#include "harness.h"
#include "process.h"

#include "core/log_queue.h"
#include "core/traffic.h"
#include "http/http_api.h"
#include "http/metrics.h"

#include <arpa/inet.h>
#include <fstream>
#include <map>
#include <netinet/in.h>
#include <regex>
#include <sstream>
#include <sys/socket.h>

#include <nlohmann/json.hpp>

namespace {

using json = nlohmann::json;
using Lines = std::vector<std::string>;

std::vector<json> readEvents(const std::string &path) {
    std::vector<json> events;
    std::ifstream file(path);
    for (std::string line; std::getline(file, line);) {
        events.push_back(json::parse(line));
    }
    return events;
}

std::string hexCode(const json &value, int digits) {
    return value.is_null() ? "-" : hexNumber(value.get<std::uint64_t>(), digits);
}

// An event as one short line, every field but time, seq, plc and peer:
// "slot proto op item... fault error", an item as "DB5@2x3=FF:C0FFEE" (area, block, start,
// .bit, size, code, :hex; an unknown area as "?"). A null shows as "-", "?" or not at all, so a
// 0 where null belongs differs.
std::string describe(const json &event) {
    EXPECT_EQ(event.size(), 10u) << event.dump();
    std::string text = event["slot"].is_null() ? "-" : event["slot"].dump();
    text += " " + event["proto"].get<std::string>() + " " + event["op"].get<std::string>();
    for (const json &item : event["items"]) {
        text += " " + (item["area"].is_null() ? "?" : item["area"].get<std::string>()) +
                (item["db"].is_null() ? "" : item["db"].dump()) + "@" + item["start"].dump() +
                (item["bit"].is_null() ? "" : "." + item["bit"].dump()) + "x" +
                item["size"].dump() + "=" + hexCode(item["code"], 2).substr(2);
        if (item.contains("hex")) {
            text += ":" + item["hex"].get<std::string>();
        }
    }
    const std::string fault = event["fault"].is_null() ? "-" : event["fault"].dump();
    return text + " fault=" + fault + " error=" + hexCode(event["error"], 4);
}

std::string localPeer(const TestClient &client) {
    sockaddr_in address{};
    socklen_t length = sizeof address;
    ::getsockname(client.descriptor(), reinterpret_cast<sockaddr *>(&address), &length);
    return "127.0.0.1:" + std::to_string(ntohs(address.sin_port));
}

// The server in the test's process writing its events straight into a file.
class EventsTest : public ServerTest {
protected:
    void SetUp() override {
        const platform::FileResult opened = platform::createFile(path);
        ASSERT_NE(opened.file, platform::invalidFile);
        startEventOutput(opened.file);
        server.eventsOn = true;
        ServerTest::SetUp();
    }
    void TearDown() override {
        ServerTest::TearDown();
        stopEventOutput();
    }

    struct Row {
        int client;
        Bytes frame; // empty: the client closes
        Lines events;
    };
    // Sends each row's frame from its client (or closes it) and checks the lines that come of
    // it; their time, number, PLC and client on the way.
    void check(std::vector<std::unique_ptr<TestClient>> &clients, const std::vector<Row> &rows) {
        std::size_t seen = readEvents(path).size();
        for (const Row &row : rows) {
            SCOPED_TRACE(toHex(row.frame));
            TestClient &client = *clients[static_cast<std::size_t>(row.client)];
            const std::string peer = localPeer(client);
            const std::string before = isoTimeText(platform::wallClockMicros());
            if (row.frame.empty()) {
                client.close();
            } else {
                client.send(row.frame);
            }
            pass();
            const std::vector<json> events = readEvents(path);
            Lines described;
            for (std::size_t i = seen; i < events.size(); ++i) {
                described.push_back(describe(events[i]));
                EXPECT_EQ(events[i]["seq"], i + 1);
                EXPECT_EQ(events[i]["plc"], "plc");
                EXPECT_EQ(events[i]["peer"], peer);
                const std::string time = events[i]["time"];
                EXPECT_LE(before, time);
                EXPECT_LE(time, isoTimeText(platform::wallClockMicros()));
            }
            EXPECT_EQ(described, row.events);
            seen = events.size();
        }
    }

    TestFolder folder{"plcdouble_events_"};
    std::string path = folder.file("events.jsonl");
};

Bytes s7Pdu(const std::string &text) {
    return isoDataFrame(hex("32 " + text));
}

TEST_F(EventsTest, ClassicExchangesEachGiveOneLine) {
    std::vector<std::unique_ptr<TestClient>> clients;
    clients.push_back(connect());
    clients.push_back(connect());
    addFaultRule(plc().faults, parseFaultRuleText("on=read,area=DB5,item_code=0x0A").rule);
    addFaultRule(plc().faults, parseFaultRuleText("on=write,area=DB6,no_reply=true").rule);
    check(
        clients,
        {
            {0, hex(connectionRequestHex), {"0 S7 connect fault=- error=-"}},
            {0, hex(setupRequestHex), {"0 S7 setup fault=- error=-"}},
            {0, readVarRequest(1, 1, 0, 4), {"0 S7 read DB1@0x4=FF fault=- error=-"}},
            {0,
             readVarRequest(2, {{3000, 0, 2}, {5, 8, 2}}),
             {"0 S7 read DB3000@0x2=0A DB5@8x2=0A fault=1 error=-"}},
            {0, s7Pdu("01 00 00 00 01 00 02 00 00 07 00"), {"0 S7 refused fault=- error=-"}},
            // Two items announced, one there: the NAK.
            {0,
             s7Pdu("01 00 00 00 01 00 0E 00 00 04 02 12 0A 10 02 00 02 00 01 84 00 00 00"),
             {"0 S7 refused fault=- error=-"}},
            {1, hex(connectionRequestHex), {"1 S7 connect fault=- error=-"}},
            {1, s5WriteRequest(7, 1, hex("12 34")), {"1 S5 write DB7@2x2=FF:3412 fault=- error=-"}},
            {1, s5FetchRequest(7, 2000, 1), {"1 S5 read DB7@4000x2=00 fault=- error=0x0003"}},
            {0, writeVarRequest(3, 6, 2, hex("C0")), {"0 S7 refused fault=2 error=-"}},
            {0,
             writeVarRequest(4, 5, 2, hex("C0 FF EE")),
             {"0 S7 write DB5@2x3=FF:C0FFEE fault=- error=-"}},
            {0, hex(disconnectRequestHex), {"0 S7 disconnect fault=- error=-"}},
            {1, {}, {"0 S5 disconnect fault=- error=-"}},
        });
    // A third client while two are served: refused before it had a slot.
    auto first = connect();
    auto second = connect();
    auto third = connect();
    const std::vector<json> events = readEvents(path);
    ASSERT_GE(events.size(), 1u);
    EXPECT_EQ(describe(events.back()), "- S7 refused fault=- error=-");
    EXPECT_EQ(events.back()["peer"], localPeer(*third));
    EXPECT_EQ(plc().traffic.counts.connectionsRefused, 1u);
}

class CpuEventsTest : public EventsTest {
protected:
    CpuEventsTest() { cpu = findCpuProfile("s7-1500"); }
};

Bytes userdata(const std::string &parametersHex, const std::string &dataHex) {
    const Bytes parameters = hex(parametersHex);
    const Bytes data = hex(dataHex);
    return isoDataFrame(hex("32 07 00 00 00 05") + be16(parameters.size()) + be16(data.size()) +
                        parameters + data);
}

TEST_F(CpuEventsTest, CpuServicesGiveTheirOperationsAndErrors) {
    std::vector<std::unique_ptr<TestClient>> clients;
    clients.push_back(connect());
    addFaultRule(plc().faults, parseFaultRuleText("on=szl,header_error=0x8104,after=2").rule);
    const std::string stop =
        "01 00 00 00 01 00 10 00 00 29 00 00 00 00 00 09 50 5F 50 52 4F 47 52 41 4D";
    check(
        clients,
        {
            {0,
             hex("03 00 00 16 11 E0 00 00 00 01 00 C1 02 01 00 C2 02 01 01 C0 01 0A"),
             {"0 S7 connect fault=- error=-"}},
            {0, hex(setupRequestHex), {"0 S7 setup fault=- error=-"}},
            {0,
             userdata("00 01 12 04 11 44 01 00", "FF 09 00 04 00 11 00 00"),
             {"0 S7 szl fault=- error=-"}},
            {0,
             userdata("00 01 12 04 11 44 01 00", "FF 09 00 04 09 99 00 00"),
             {"0 S7 szl fault=- error=0xD401"}},
            {0,
             userdata("00 01 12 04 11 44 01 00", "FF 09 00 04 00 11 00 00"),
             {"0 S7 refused fault=1 error=0x8104"}},
            {0, userdata("00 01 12 04 11 47 01 00", "0A 00 00 00"), {"0 S7 clock fault=- error=-"}},
            {0,
             userdata("00 01 12 04 11 43 01 00", "0A 00 00 00"),
             {"0 S7 blocks fault=- error=-"}},
            {0,
             userdata("00 01 12 04 11 45 01 00", "0A 00 00 00"),
             {"0 S7 refused fault=- error=0x8104"}},
            {0, s7Pdu(stop), {"0 S7 cpu fault=- error=-"}},
            {0, s7Pdu(stop), {"0 S7 cpu fault=- error=0x8404"}},
            {0, s7Pdu("01 00 00 00 01 00 01 00 00 1D"), {"0 S7 refused fault=- error=0x8104"}},
            // M3.5 as a bit, MW4 as two bytes, and an area the CPU does not know.
            {0,
             s7Pdu("01 00 00 00 01 00 26 00 00 04 03 12 0A 10 01 00 01 00 00 83 00 00 1D "
                   "12 0A 10 02 00 02 00 00 83 00 00 20 12 0A 10 02 00 02 00 00 99 00 00 00"),
             {"0 S7 read M@3.5x1=FF M@4x2=FF ?@0x2=0A fault=- error=-"}},
        });
}

// ---------------------------------------------------------------------------------------------
// The pure parts

TEST(EventQueue, DroppedLinesLeaveOneLineInTheirPlaceOnceTheFileTakesLinesAgain) {
    // 4 bytes of length before each line: room for two lines of 12.
    EventQueue queue(2 * (EventQueue::recordHeaderSize + 12));
    EXPECT_TRUE(queue.push(R"({"seq": 01})"));
    EXPECT_TRUE(queue.push(R"({"seq": 02})"));
    EXPECT_FALSE(queue.push(R"({"seq": 03})"));
    EXPECT_FALSE(queue.push(std::string(200, 'x'))); // any length is taken when it fits
    std::string out;
    EXPECT_TRUE(queue.pop(out));
    EXPECT_TRUE(queue.pop(out));
    EXPECT_TRUE(queue.pop(out)); // nothing follows: the notice comes alone
    EXPECT_FALSE(queue.pop(out));
    EXPECT_EQ(out, R"({"seq": 01}{"seq": 02}{"op": "dropped", "count": 2})");
    EXPECT_EQ(queue.droppedSoFar(), 2u);
    EventQueue wide(1024);
    EXPECT_TRUE(wide.push(std::string(1000, 'y')));
}

TEST(EventLine, TimeIsUtcToTheMicrosecondAcrossLeapDaysAndCenturies) {
    EXPECT_EQ(isoTimeText(0), "1970-01-01T00:00:00.000000Z");
    EXPECT_EQ(isoTimeText(951868799999999), "2000-02-29T23:59:59.999999Z");
    EXPECT_EQ(isoTimeText(946643696789012), "1999-12-31T12:34:56.789012Z");
    EXPECT_EQ(isoTimeText(1735689599000001), "2024-12-31T23:59:59.000001Z");
    EXPECT_EQ(isoTimeText(4107542400000000), "2100-03-01T00:00:00.000000Z");
}

// ---------------------------------------------------------------------------------------------
// Metrics

// A Prometheus text exposition read back: each sample by its name and labels as written, and
// every sample checked to belong to a family announced with HELP and TYPE.
struct Exposition {
    std::map<std::string, double> samples;
    std::map<std::string, std::string> types;
};

Exposition parseExposition(const std::string &text) {
    Exposition parsed;
    std::map<std::string, bool> helped;
    std::istringstream lines(text);
    const std::regex help(R"(# HELP (\w+) .+)");
    const std::regex type(R"(# TYPE (\w+) (counter|gauge|histogram))");
    const std::regex sample(R"((\w+)(\{(\w+="[^"]*")(,\w+="[^"]*")*\})? (\S+))");
    std::smatch match;
    for (std::string line; std::getline(lines, line);) {
        if (std::regex_match(line, match, help)) {
            helped[match[1]] = true;
        } else if (std::regex_match(line, match, type)) {
            EXPECT_TRUE(helped[match[1]]) << line;
            parsed.types[match[1]] = match[2];
        } else if (std::regex_match(line, match, sample)) {
            const std::string name =
                std::regex_replace(match[1].str(), std::regex("_(bucket|sum|count)$"), "");
            EXPECT_TRUE(parsed.types.count(match[1]) == 1 || parsed.types[name] == "histogram")
                << line;
            parsed.samples[match[1].str() + match[2].str()] = std::stod(match[5]);
        } else {
            ADD_FAILURE() << "not exposition format: " << line;
        }
    }
    return parsed;
}

TEST(Metrics, TheCycleHistogramCountsABoundIntoItsOwnBucket) {
    Plc plc;
    noteCycleSeconds(plc.program.histogram, 0.0001);
    noteCycleSeconds(plc.program.histogram, 0.0003);
    noteCycleSeconds(plc.program.histogram, 2.0);
    Plc *const only = &plc;
    const Exposition parsed = parseExposition(metricsText(std::span(&only, 1), {3, 4}));
    const auto bucket = [&](const std::string &le) {
        return parsed.samples.at("plcdouble_program_cycle_seconds_bucket{plc=\"plc\",le=\"" + le +
                                 "\"}");
    };
    EXPECT_EQ(bucket("0.0001"), 1);
    EXPECT_EQ(bucket("0.00025"), 1);
    EXPECT_EQ(bucket("0.0005"), 2);
    EXPECT_EQ(bucket("1"), 2);
    EXPECT_EQ(bucket("+Inf"), 3);
    EXPECT_EQ(parsed.samples.at("plcdouble_program_cycle_seconds_count{plc=\"plc\"}"), 3);
    EXPECT_DOUBLE_EQ(parsed.samples.at("plcdouble_program_cycle_seconds_sum{plc=\"plc\"}"), 2.0004);
    EXPECT_EQ(parsed.samples.at("plcdouble_log_lines_dropped_total"), 3);
    EXPECT_EQ(parsed.samples.at("plcdouble_event_lines_dropped_total"), 4);
}

TEST(Metrics, NeedTheTokenAsTheApiDoes) {
    Plc plc;
    const HttpAccess access{"secret", true};
    HttpRequest request{"GET", "/metrics", {}, "", {127, 0, 0, 1}, 1, "", false};
    EXPECT_EQ(handleHttpRequest(plc, access, request).status, 401);
    request.authorization = "Bearer secret";
    const HttpReply reply = handleHttpRequest(plc, access, request);
    EXPECT_EQ(reply.status, 200);
    EXPECT_EQ(reply.contentType, "text/plain; version=0.0.4");
}

// One HTTP/1.0 exchange with the real program: the whole answer, headers and body.
std::string httpExchange(std::uint16_t port, const std::string &request) {
    TestClient client(port);
    client.send(Bytes(request.begin(), request.end()));
    std::string answer;
    for (Bytes piece = client.receiveAvailable(2000); !piece.empty();
         piece = client.receiveAvailable(2000)) {
        answer.append(piece.begin(), piece.end());
    }
    return answer;
}

TEST(EventsBinary, AFileThatCannotBeOpenedStopsTheStartWithStatusTwo) {
    ChildProcess server = ChildProcess::start(
        {"--port", std::to_string(freeLoopbackPort()), "--events", "/nonexistent-dir/e.jsonl"});
    EXPECT_EQ(server.waitForExit(), 2);
    EXPECT_EQ(server.readErrorUntil("\n"), "plcdouble: cannot open events file "
                                           "/nonexistent-dir/e.jsonl: No such file or directory\n");
    EXPECT_EQ(server.readOutputUntil("Simulator Started"), ""); // it never started
}

TEST(EventsBinary, ARunWritesEveryLineByExitAndItsMetricsCountTheTraffic) {
    TestFolder folder("plcdouble_events_binary_");
    const std::string path = folder.file("events.jsonl");
    const std::uint16_t port = freeLoopbackPort();
    const std::uint16_t httpPort = freeLoopbackPort();
    ChildProcess server =
        ChildProcess::start({"--port", std::to_string(port), "--bind", "127.0.0.1", "--http",
                             std::to_string(httpPort), "--events", path, "--events-data", "--fault",
                             "on=read,area=DB9,item_code=0x0A", "--color", "never"});
    server.readOutputUntil("Watch page on");
    auto client = connectWithRetry(port, 5000);
    ASSERT_NE(client, nullptr);
    std::size_t sent = 0;
    std::size_t received = 0;
    for (const Bytes &request :
         {hex(connectionRequestHex), hex(setupRequestHex), writeVarRequest(1, 2, 0, hex("01 02")),
          readVarRequest(2, 2, 0, 2), readVarRequest(3, 9, 0, 2)}) {
        client->send(request);
        sent += request.size();
        received += client->receiveAvailable().size();
    }
    const std::string body = R"({"hex": "ABCD"})";
    EXPECT_NE(httpExchange(httpPort, "PUT /api/memory/db/3 HTTP/1.0\r\nContent-Length: " +
                                         std::to_string(body.size()) + "\r\n\r\n" + body)
                  .find("200 OK"),
              std::string::npos);
    httpExchange(httpPort, "GET /api/memory/db/3?size=2 HTTP/1.0\r\n\r\n");
    const std::string answer = httpExchange(httpPort, "GET /metrics HTTP/1.0\r\n\r\n");
    EXPECT_NE(answer.find("Content-Type: text/plain; version=0.0.4\r\n"), std::string::npos);
    const Exposition metrics = parseExposition(answer.substr(answer.find("\r\n\r\n") + 4));
    // Every series but the histogram's buckets (their own test has them), {plc="plc" as {P.
    Lines series;
    for (const auto &[name, value] : metrics.samples) {
        if (name.find("_bucket") == std::string::npos) {
            series.push_back(std::regex_replace(name, std::regex(R"(\{plc="plc")"), "{P") + " " +
                             std::to_string(static_cast<std::uint64_t>(value)));
        }
    }
    EXPECT_EQ(
        series,
        (Lines{"plcdouble_connections_open{P} 1", "plcdouble_connections_refused_total{P} 0",
               "plcdouble_event_lines_dropped_total 0",
               "plcdouble_fault_rule_fired_total{P,rule=\"1\"} 1",
               "plcdouble_log_lines_dropped_total 0", "plcdouble_program_cycle_seconds_count{P} 0",
               "plcdouble_program_cycle_seconds_sum{P} 0",
               "plcdouble_received_bytes_total{P} " + std::to_string(sent),
               R"(plcdouble_requests_total{P,proto="HTTP",op="read",result="ok"} 1)",
               R"(plcdouble_requests_total{P,proto="HTTP",op="write",result="ok"} 1)",
               R"(plcdouble_requests_total{P,proto="S7",op="connect",result="ok"} 1)",
               R"(plcdouble_requests_total{P,proto="S7",op="read",result="error"} 1)",
               R"(plcdouble_requests_total{P,proto="S7",op="read",result="ok"} 1)",
               R"(plcdouble_requests_total{P,proto="S7",op="setup",result="ok"} 1)",
               R"(plcdouble_requests_total{P,proto="S7",op="write",result="ok"} 1)",
               "plcdouble_sent_bytes_total{P} " + std::to_string(received)}));
    EXPECT_EQ(server.stop(), 0);
    Lines described;
    for (const json &event : readEvents(path)) {
        described.push_back(describe(event));
    }
    // Reads carry their bytes too; the connection closed at the exit is the last line.
    EXPECT_EQ(
        described,
        (Lines{"0 S7 connect fault=- error=-", "0 S7 setup fault=- error=-",
               "0 S7 write DB2@0x2=FF:0102 fault=- error=-",
               "0 S7 read DB2@0x2=FF:0102 fault=- error=-", "0 S7 read DB9@0x2=0A: fault=1 error=-",
               "- HTTP write DB3@0x2=FF:ABCD fault=- error=-",
               "- HTTP read DB3@0x2=FF:ABCD fault=- error=-", "0 S7 disconnect fault=- error=-"}));
}

} // namespace
