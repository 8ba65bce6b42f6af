// Two PLCs in one process, each on a port of its own: what a client does to one, the other does
// not see, and making one new leaves the other as it is.
#include "harness.h"

#include "app/server.h"

#include <gtest/gtest.h>

namespace {

class TwoPlcs : public ServerTest {
protected:
    void SetUp() override {
        ServerTest::SetUp();
        Options options;
        options.port = 0;
        options.bindAddress = {127, 0, 0, 1};
        options.cpu = findCpuProfile("s7-1500");
        second = addPlc(server, options);
        ASSERT_NE(second, nullptr);
        ASSERT_NE(second->listenerPort, port);
    }

    // A client of the second PLC, through connection request and setup communication.
    std::unique_ptr<TestClient> connectSecond() {
        auto client = std::make_unique<TestClient>(second->listenerPort);
        EXPECT_TRUE(client->connected());
        pass();
        // Rack 0, slot 1, as the S7-1500 profile takes it.
        EXPECT_EQ(exchange(*client, hex("03 00 00 16 11 E0 00 00 00 01 00 C0 01 0A C1 02 01 00 C2 "
                                        "02 01 01"))
                      .size(),
                  22u);
        EXPECT_EQ(exchange(*client, hex(setupRequestHex)).size(), 27u);
        return client;
    }

    Plc *second = nullptr;
};

TEST_F(TwoPlcs, AWriteToOneIsNotSeenByTheOther) {
    auto first = connectS7();
    auto other = connectSecond();
    EXPECT_EQ(connectionTable().connectionCount, 1);
    EXPECT_EQ(second->connections.connectionCount, 1);

    EXPECT_EQ(toHex(exchange(*first, writeVarRequest(1, 10, 0, hex("11 22 33 44")))),
              toHex(writeVarReply(1)));
    EXPECT_EQ(toHex(exchange(*first, readVarRequest(2, 10, 0, 4))),
              toHex(readVarReply(2, hex("11 22 33 44"))));
    EXPECT_TRUE(findDataBlock(second->memory.blocks, 10).empty());

    // The second PLC answers as its own profile and from its own memory.
    const Bytes reply = exchange(*other, readVarRequest(3, 10, 0, 4));
    ASSERT_GE(reply.size(), 4u);
    EXPECT_EQ(toHex(Bytes(reply.end() - 4, reply.end())), "00 00 00 00");
    EXPECT_EQ(toHex(Bytes(dataBlock(10).begin(), dataBlock(10).begin() + 4)), "11 22 33 44");
}

TEST_F(TwoPlcs, MakingOneNewLeavesTheOtherAsItIs) {
    auto first = connectS7();
    auto other = connectSecond();
    exchange(*first, writeVarRequest(1, 10, 0, hex("AA")));
    second->cpu.state = CpuRunState::stop;
    resetPlc(server, plc());
    EXPECT_TRUE(first->closedByServer());
    EXPECT_TRUE(dataBlock(10).empty());
    EXPECT_EQ(second->cpu.state, CpuRunState::stop);
    EXPECT_EQ(second->connections.connectionCount, 1);
    EXPECT_EQ(exchange(*other, readVarRequest(2, 11, 0, 1)).size(), 26u);
}

} // namespace
