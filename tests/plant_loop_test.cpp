// The loop over a plant of PLCs in one process, each on a loopback port of its own, driven by real
// readiness waits: a pass serves what is ready or due and nothing else, a client flooding one PLC
// does not hold up another's, and the wait set follows connections as they open, close and move
// down a slot.
#include "harness.h"

#include "app/server.h"
#include "base/due_times.h"
#include "core/fault_rules.h"

#include <gtest/gtest.h>

#include <climits>

namespace {

constexpr int plantSize = 200;

class PlantLoop : public ServerTest {
protected:
    PlantLoop() { startOptions = &quiet; }

    void SetUp() override {
        ServerTest::SetUp();
        for (int added = 1; added < plantSize; ++added) {
            Options options = quiet;
            options.port = 0;
            options.bindAddress = {127, 0, 0, 1};
            ASSERT_NE(addPlc(server, options), nullptr);
        }
        pass(); // every PLC's tick starts
    }

    Plc &plcAt(int index) { return *server.plcs[static_cast<std::size_t>(index)]; }

    // A client of the PLC at index, through connection request and setup communication, each
    // answered in a pass after a real wait.
    std::unique_ptr<TestClient> connectTo(int index) {
        auto client = std::make_unique<TestClient>(plcAt(index).listenerPort);
        EXPECT_TRUE(client->connected());
        waitAndPass();
        EXPECT_EQ(waitedExchange(*client, hex(connectionRequestHex)).size(), 22u);
        EXPECT_EQ(toHex(waitedExchange(*client, hex(setupRequestHex))), toHex(hex(setupReplyHex)));
        return client;
    }

    // A readiness wait and the pass after it, as the loop runs them; only called with a socket
    // ready or a PLC due, so the wait never blocks for long.
    void waitAndPass() {
        serverWait(server, now);
        serverPass(server, now);
    }

    Bytes waitedExchange(TestClient &client, const Bytes &request) {
        client.send(request);
        waitAndPass();
        return client.receiveAvailable();
    }

    Options quiet = [] {
        Options options;
        options.demo = false;
        options.connections = 4;
        return options;
    }();
};

TEST_F(PlantLoop, AFloodedPlcDoesNotHoldUpAnotherInTheSamePass) {
    auto flooder = connectTo(7);
    auto other = connectTo(150);
    // Far more requests than one pass takes from a connection.
    constexpr int flood = 300;
    Bytes burst;
    for (int request = 0; request < flood; ++request) {
        const Bytes frame = readVarRequest(static_cast<std::uint16_t>(request), 5, 0, 4);
        burst.insert(burst.end(), frame.begin(), frame.end());
    }
    flooder->send(burst);
    other->send(readVarRequest(9, 5, 0, 4));
    waitAndPass();
    EXPECT_EQ(toHex(other->receiveAvailable()), toHex(readVarReply(9, hex("00 00 00 00"))));
    const std::size_t replyLength = readVarReply(0, hex("00 00 00 00")).size();
    const std::size_t firstPass = flooder->receiveAvailable(50).size();
    EXPECT_GT(firstPass, 0u);
    EXPECT_LT(firstPass, flood * replyLength); // bounded work per connection and pass

    // The rest comes over the following passes, none lost.
    std::size_t received = firstPass;
    for (int passes = 0; passes < 100 && received < flood * replyLength; ++passes) {
        waitAndPass();
        received += flooder->receiveAvailable(20).size();
    }
    EXPECT_EQ(received, flood * replyLength);
}

// A PLC's program cycle comes due while another PLC's client floods it: the pass at the cycle's
// time runs the cycle beside serving the flood, each cycle in its own pass.
TEST_F(PlantLoop, AProgramCycleKeepsItsTimeBesideAFlood) {
    Options options = quiet;
    options.port = 0;
    options.bindAddress = {127, 0, 0, 1};
    options.programFile = "cycle.lua";
    options.programSource = "function cycle() end\n";
    options.cycleMs = 10;
    Plc *const program = addPlc(server, options);
    ASSERT_NE(program, nullptr);
    waitAndPass(); // due at once: loads the program
    auto flooder = connectTo(7);
    Bytes burst;
    for (int request = 0; request < 300; ++request) {
        const Bytes frame = readVarRequest(static_cast<std::uint16_t>(request), 5, 0, 4);
        burst.insert(burst.end(), frame.begin(), frame.end());
    }
    flooder->send(burst);
    std::size_t received = 0;
    for (int cycle = 0; cycle < 3; ++cycle) {
        const std::uint64_t cycles = program->program.times.cycles;
        now = program->program.nextCycleMicros;
        waitAndPass();
        EXPECT_EQ(program->program.times.cycles, cycles + 1);
        received += flooder->receiveAvailable(50).size();
    }
    EXPECT_GT(received, 0u);
}

TEST_F(PlantLoop, APlcWithNothingToDoAsksForNoWakeUp) {
    EXPECT_EQ(serverWaitLimit(server, now), INT64_MAX);

    // A connection wants its idle count: the next tick.
    auto client = std::make_unique<TestClient>(plcAt(42).listenerPort);
    waitAndPass();
    ASSERT_EQ(plcAt(42).connections.connectionCount, 1);
    EXPECT_EQ(serverWaitLimit(server, now), plcAt(42).nextTickMicros - now);
    client->close();
    waitAndPass();
    ASSERT_EQ(plcAt(42).connections.connectionCount, 0);
    EXPECT_EQ(serverWaitLimit(server, now), INT64_MAX);

    // Demo data wants every tick while the CPU runs, nothing in STOP.
    plcAt(3).setup.demo = true;
    pass();
    EXPECT_LE(serverWaitLimit(server, now), tickMicros);
    plcAt(3).cpu.state = CpuRunState::stop;
    pass();
    EXPECT_EQ(serverWaitLimit(server, now), INT64_MAX);
}

// A server just started runs its first pass at once, whatever waits before it: the pass starts
// the tick, and the demo data moves from then on without any client.
class StartedServer : public ServerTest {};

TEST_F(StartedServer, TheFirstWaitEndsAtOnceAndTheDemoDataTicksOn) {
    EXPECT_EQ(serverWaitLimit(server, now), 0);
    pass();
    EXPECT_EQ(serverWaitLimit(server, now), tickMicros);
    now += tickMicros;
    serverWait(server, now);
    serverPass(server, now);
    EXPECT_EQ(serverWaitLimit(server, now), tickMicros);
}

// A held reply's socket is watched for nothing until its release time, which the PLC's due time
// covers: the pass at that time sends it without the socket being ready.
TEST_F(PlantLoop, AHeldReplyLeavesAtItsReleaseTime) {
    Plc &delayed = plcAt(99);
    addFaultRule(delayed.faults, parseFaultRuleText("on=read delay_ms=500").rule);
    auto waiting = connectTo(99);
    waiting->send(readVarRequest(1, 5, 0, 2));
    waitAndPass();
    const std::int64_t release = heldReplyRelease(delayed.connections, 0);
    ASSERT_EQ(release, now + 500'000);
    now = release - 1;
    waitAndPass();
    EXPECT_EQ(delayed.connections.slots[0].watched, platform::Interest::none);
    EXPECT_EQ(toHex(waiting->receiveAvailable(noReplyWaitMs)), "");
    now = release;
    waitAndPass();
    EXPECT_EQ(toHex(waiting->receiveAvailable()), toHex(readVarReply(1, hex("00 00"))));
}

// Slots are positions: when one closes, those above move down one and their sockets are tagged
// anew. Each case closes some clients of one PLC (and one of a neighbour with the same slot
// numbers), then every client left sends a request that only a wait can report.
TEST_F(PlantLoop, WatchesFollowSlotsAcrossClosesAndMoves) {
    struct Case {
        std::vector<int> closed; // client numbers, in the order closed
    };
    const std::vector<Case> cases = {{{0}}, {{1}}, {{0, 1}}, {{2, 0}}, {{3}}, {{1, 2, 3}}};
    for (const Case &row : cases) {
        SCOPED_TRACE(::testing::PrintToString(row.closed));
        std::vector<std::unique_ptr<TestClient>> clients;
        for (int client = 0; client < 4; ++client) {
            clients.push_back(connectTo(120));
        }
        auto neighbour = connectTo(121);
        for (const int closed : row.closed) {
            clients[static_cast<std::size_t>(closed)]->close();
            waitAndPass();
        }
        ASSERT_EQ(plcAt(120).connections.connectionCount, 4 - static_cast<int>(row.closed.size()));
        // A newcomer takes the top slot.
        clients.push_back(connectTo(120));
        std::uint16_t reference = 1;
        for (const std::unique_ptr<TestClient> &client : clients) {
            if (client->descriptor() < 0) {
                continue;
            }
            client->send(readVarRequest(reference, 5, 0, 2));
            waitAndPass();
            EXPECT_EQ(toHex(client->receiveAvailable()),
                      toHex(readVarReply(reference, hex("00 00"))));
            ++reference;
        }
        EXPECT_EQ(toHex(waitedExchange(*neighbour, readVarRequest(77, 5, 0, 2))),
                  toHex(readVarReply(77, hex("00 00"))));
        clients.clear();
        neighbour.reset();
        waitAndPass();
        for (int step = 0; step < 8 && plcAt(120).connections.connectionCount > 0; ++step) {
            waitAndPass();
        }
        ASSERT_EQ(plcAt(120).connections.connectionCount, 0);
    }
}

// The due-time heap as a sequence of settings and takes: each row sets some times, then takes
// those due at `at`, which must be exactly `taken` in time order, leaving `earliest` next.
TEST(DueTimes, TakesEachDueIdOnceInTimeOrder) {
    struct Step {
        std::vector<std::pair<std::uint32_t, std::int64_t>> set;
        std::int64_t at;
        std::vector<std::uint32_t> taken;
        std::int64_t earliest;
    };
    const std::vector<Step> steps = {
        {{{3, 30}, {1, 10}, {2, 20}}, 15, {1}, 20},
        // Moved later, earlier, and away: the old entries are stale.
        {{{2, 50}, {3, 5}, {3, 40}, {3, 25}}, 25, {3}, 50},
        {{{2, notDue}}, 100, {}, notDue},
        // Back to a time it had before, set twice: still taken once.
        {{{2, 50}, {2, 60}, {2, 50}, {7, 50}}, 50, {2, 7}, notDue},
    };
    DueTimes times;
    for (const Step &step : steps) {
        for (const auto &[id, due] : step.set) {
            setDue(times, id, due);
        }
        std::vector<std::uint32_t> taken;
        takeDue(times, step.at, taken);
        std::sort(taken.begin(), taken.end());
        EXPECT_EQ(taken, step.taken);
        EXPECT_EQ(earliestDue(times), step.earliest);
    }
    // Many moves keep the heap within a few times the ids.
    for (std::int64_t round = 0; round < 10'000; ++round) {
        setDue(times, static_cast<std::uint32_t>(round % 10), 1000 + round);
    }
    EXPECT_LE(times.heap.size(), 2 * times.dueOf.size() + 17);
    EXPECT_EQ(earliestDue(times), 1000 + 9990);
}

} // namespace
