// The HTTP API of a process with three PLCs: /api/plcs lists them, /api/plc/NAME/... is one PLC's
// own API, the paths without a name are the first PLC's, /metrics labels every PLC's series.
#include "harness.h"

#include "app/server.h"
#include "http/http_api.h"

#include <gtest/gtest.h>

#include <string>

namespace {

class PlantApi : public ServerTest {
protected:
    void SetUp() override {
        Options options;
        options.plcName = "line";
        startOptions = &options;
        ServerTest::SetUp();
        startOptions = nullptr;
        options.port = 0;
        options.bindAddress = {0, 0, 0, 0};
        options.cpu = findCpuProfile("s7-1500");
        options.plcName = "filler-1";
        filler1 = addPlc(server, options);
        options.bindAddress = {127, 0, 0, 1};
        options.cpu = findCpuProfile("s7-1200");
        options.plcName = "filler-2";
        filler2 = addPlc(server, options);
        ASSERT_NE(filler1, nullptr);
        ASSERT_NE(filler2, nullptr);
        plant = makeHttpPlant({&plc(), filler1, filler2});
        for (Plc *each : plant.plcs) {
            each->traffic.journal.kept = true; // as while the HTTP server runs
        }
    }

    // "GET /path?a=1&b=2" with a body; the query split as the library hands it over.
    PlantReply request(std::string_view method, std::string_view target,
                       std::string_view body = "") {
        HttpRequest request{};
        request.method = method;
        const std::size_t question = target.find('?');
        request.path = target.substr(0, question);
        std::string_view query =
            question == std::string_view::npos ? "" : target.substr(question + 1);
        while (!query.empty()) {
            const std::string_view pair = query.substr(0, query.find('&'));
            const std::size_t equals = pair.find('=');
            request.query.emplace_back(pair.substr(0, equals), pair.substr(equals + 1));
            query.remove_prefix(std::min(query.size(), pair.size() + 1));
        }
        request.authorization = authorization;
        request.body = body;
        return handlePlantRequest(plant, access, request);
    }

    Plc *filler1 = nullptr;
    Plc *filler2 = nullptr;
    HttpPlant plant;
    HttpAccess access{"", false};
    std::string authorization;
};

TEST_F(PlantApi, ListsEveryPlcWithItsBoundAddressPortStateAndLoad) {
    auto client = connectS7();
    filler2->cpu.state = CpuRunState::stop;
    // The second before the current one is the last whole one; the current one still counts.
    RequestRate &rate = filler1->connections.requestRate;
    rate.counts[(rate.current + requestRateSeconds - 1) % requestRateSeconds] = 42;
    rate.counts[rate.current] = 5;

    const HttpReply reply = request("GET", "/api/plcs").reply;
    EXPECT_EQ(reply.status, 200);
    EXPECT_EQ(reply.contentType, "application/json");
    const std::string expected =
        R"([{"name":"line","cpu":"classic","state":"RUN","address":"127.0.0.1","port":)" +
        std::to_string(port) +
        R"(,"connections":1,"requestsPerSecond":0},)"
        R"({"name":"filler-1","cpu":"s7-1500","state":"RUN","address":"0.0.0.0","port":)" +
        std::to_string(filler1->listenerPort) +
        R"(,"connections":0,"requestsPerSecond":42},)"
        R"({"name":"filler-2","cpu":"s7-1200","state":"STOP","address":"127.0.0.1","port":)" +
        std::to_string(filler2->listenerPort) + R"(,"connections":0,"requestsPerSecond":0}])";
    EXPECT_EQ(reply.body, expected);
}

TEST_F(PlantApi, EachNameReachesItsOwnPlcAndNoNameTheFirst) {
    struct Exchange {
        std::string_view method;
        std::string_view target;
        std::string_view body;
        int status;
        std::string_view answer;
        int answeredBy; // the PLC's place in the plant (0 line, 1 filler-1, 2 filler-2), -1 none
    };
    const Exchange exchanges[] = {
        {"PUT", "/api/plc/filler-1/memory/m?start=2", R"({"hex":"C0FFEE"})", 200,
         R"({"start":2,"size":3})", 1},
        {"GET", "/api/plc/filler-1/memory/m?start=2&size=3", "", 200,
         R"({"start":2,"hex":"C0FFEE"})", 1},
        {"GET", "/api/plc/filler-2/memory/m?start=2&size=3", "", 200,
         R"({"start":2,"hex":"000000"})", 2},
        // The first PLC's classic profile has no M area: the paths without a name reach it.
        {"GET", "/api/memory/m?start=2&size=3", "", 404,
         R"({"error":"this CPU (classic) has no M area"})", 0},
        {"PUT", "/api/watch", R"({"addr":"DB10.DBW0:INT","value":-7})", 200,
         R"({"addr":"DB10.DBW0:INT","type":"INT","value":-7})", 0},
        {"GET", "/api/plc/line/watch?addr=DB10.DBW0:INT", "", 200,
         R"({"values":[{"addr":"DB10.DBW0:INT","type":"INT","value":-7}]})", 0},
        {"GET", "/api/plc/filler-2/watch?addr=DB10.DBW0:INT", "", 404,
         R"({"error":"DB10 does not exist"})", 2},
        {"POST", "/api/plc/filler-2/cpu", R"({"state":"STOP"})", 200, R"({"state":"STOP"})", 2},
        {"POST", "/api/plc/filler-1/faults", R"({"on":"read","item_code":"0x0A"})", 201,
         R"({"id":1})", 1},
        {"GET", "/api/plc/nobody/status", "", 404, R"({"error":"no PLC named 'nobody'"})", -1},
        {"GET", "/api/plc/filler-1", "", 404, R"({"error":"no such API path: /api/"})", 1},
    };
    for (const Exchange &exchange : exchanges) {
        SCOPED_TRACE(std::string(exchange.method) + " " + std::string(exchange.target));
        const PlantReply answered = request(exchange.method, exchange.target, exchange.body);
        EXPECT_EQ(answered.reply.status, exchange.status);
        EXPECT_EQ(answered.reply.body, exchange.answer);
        EXPECT_EQ(answered.plc, exchange.answeredBy < 0
                                    ? nullptr
                                    : plant.plcs[static_cast<std::size_t>(exchange.answeredBy)]);
    }
    // What each write did, seen from the PLCs themselves.
    EXPECT_EQ(filler2->cpu.state, CpuRunState::stop);
    EXPECT_EQ(filler1->faults.rules.size(), 1u);
    EXPECT_EQ(filler1->traffic.journal.nextSequence, 2u);
    EXPECT_EQ(filler2->traffic.journal.nextSequence, 1u);
}

TEST_F(PlantApi, StreamsLongPollsAndProgramBodiesBelongToTheNamedPlc) {
    const PlantReply stream = request("GET", "/api/plc/filler-2/events?addr=MW0");
    EXPECT_TRUE(stream.reply.eventStream);
    EXPECT_EQ(stream.plc, filler2);
    const PlantReply poll = request("GET", "/api/plc/filler-1/journal?since=0&wait_ms=500");
    EXPECT_TRUE(poll.reply.journalWait);
    EXPECT_EQ(poll.plc, filler1);
    EXPECT_EQ(largestBodyFor("PUT", "/api/plc/filler-1/program"), largestProgramSource);
    EXPECT_EQ(findPlantPlc(plant, "filler"), nullptr);
}

TEST_F(PlantApi, TheTokenAndReadOnlyHoldUnderEveryName) {
    access = {"secret", true};
    EXPECT_EQ(request("GET", "/api/plcs").reply.status, 401);
    // Without the token an unknown name is not told from a known one.
    EXPECT_EQ(request("GET", "/api/plc/nobody/status").reply.status, 401);
    EXPECT_TRUE(request("GET", "/api/plc/filler-1/events?token=secret").reply.eventStream);
    authorization = "Bearer secret";
    EXPECT_EQ(request("GET", "/api/plcs").reply.status, 200);
    EXPECT_EQ(request("POST", "/api/plc/filler-1/cpu", R"({"state":"STOP"})").reply.status, 403);
    EXPECT_EQ(filler1->cpu.state, CpuRunState::run);
}

TEST_F(PlantApi, MetricsLabelEverySeriesWithItsPlcUnderOneHeader) {
    auto client = connectS7();
    const HttpReply reply = request("GET", "/metrics").reply;
    ASSERT_EQ(reply.status, 200);
    const std::string &text = reply.body;
    for (const std::string_view line :
         {"plcdouble_program_cycle_seconds_count{plc=\"filler-2\"} 0\n",
          "plcdouble_requests_total{plc=\"line\",proto=\"S7\",op=\"setup\",result=\"ok\"} 1\n",
          "\nplcdouble_log_lines_dropped_total "}) {
        EXPECT_NE(text.find(line), std::string::npos) << line;
    }
    // A family's samples follow its one TYPE line, every PLC's together.
    const std::size_t type = text.find("# TYPE plcdouble_connections_open gauge\n");
    ASSERT_NE(type, std::string::npos);
    EXPECT_EQ(text.substr(type, text.find("# HELP", type) - type),
              "# TYPE plcdouble_connections_open gauge\n"
              "plcdouble_connections_open{plc=\"line\"} 1\n"
              "plcdouble_connections_open{plc=\"filler-1\"} 0\n"
              "plcdouble_connections_open{plc=\"filler-2\"} 0\n");
}

} // namespace
