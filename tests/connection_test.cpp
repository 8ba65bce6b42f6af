// The listener and the connection table: accepting, refusing, compacting, closing.
#include "harness.h"

#include "core/connection_table.h"
#include "memory/data_block_table.h"

namespace {

using ConnectionTest = ServerTest;

TEST_F(ConnectionTest, ThirdClientIsRefusedWhileBothOthersKeepWorking) {
    auto first = connectS7();
    auto second = connect();
    ASSERT_EQ(connectionTable().connectionCount, 2);
    auto third = connect();
    EXPECT_TRUE(third->closedByServer());
    EXPECT_EQ(attributeOf("Incoming connection denied 2"), 70);
    EXPECT_EQ(connectionTable().connectionCount, 2);
    EXPECT_EQ(toHex(exchange(*first, hex(setupRequestHex))), toHex(hex(setupReplyHex)));
    EXPECT_EQ(toHex(exchange(*second, hex(setupRequestHex))), toHex(hex(setupReplyHex)));
    EXPECT_TRUE(logged("hh:mm:ss-[1] Sending S7 PDU Response"));
}

} // namespace

namespace {

// A frame that counts as traffic but carries no S7: a data frame with an unknown first byte.
const char *const nonS7FrameHex = "03 00 00 08 02 F0 80 00";

TEST_F(ConnectionTest, SlotOneMovesDownWhenSlotZeroClosesAndTheNextClientTakesSlotOne) {
    auto first = connect();
    auto second = connect();
    EXPECT_TRUE(logged("TCP conn from 127.0.0.1 (0)"));
    EXPECT_TRUE(logged("TCP conn from 127.0.0.1 (1)"));
    EXPECT_EQ(toHex(exchange(*first, hex(disconnectRequestHex))),
              "03 00 00 0B 06 C0 00 05 01 00 00");
    EXPECT_TRUE(first->closedByServer());
    EXPECT_EQ(attributeOf("hh:mm:ss-[0] TCP Dis-conn 1"), 23);
    ASSERT_EQ(connectionTable().connectionCount, 1);

    clearLog();
    EXPECT_EQ(toHex(exchange(*second, hex(setupRequestHex))), toHex(hex(setupReplyHex)));
    EXPECT_EQ(attributeOf("hh:mm:ss-[0] Sending S7 PDU Response"), 23);

    auto third = connect();
    EXPECT_TRUE(logged("TCP conn from 127.0.0.1 (1)"));
    EXPECT_EQ(toHex(exchange(*third, hex(setupRequestHex))), toHex(hex(setupReplyHex)));
    EXPECT_EQ(attributeOf("hh:mm:ss-[1] Sending S7 PDU Response"), 30);
}

TEST_F(ConnectionTest, SlotZeroStaysWhenSlotOneCloses) {
    auto first = connect();
    auto second = connect();
    exchange(*second, hex(disconnectRequestHex));
    EXPECT_TRUE(second->closedByServer());
    EXPECT_EQ(attributeOf("hh:mm:ss-[1] TCP Dis-conn 1"), 23);
    clearLog();
    EXPECT_EQ(toHex(exchange(*first, hex(setupRequestHex))), toHex(hex(setupReplyHex)));
    EXPECT_TRUE(logged("hh:mm:ss-[0] Sending S7 PDU Response"));
    auto third = connect();
    EXPECT_TRUE(logged("TCP conn from 127.0.0.1 (1)"));
}

TEST_F(ConnectionTest, ClientClosingTcpFreesItsSlotAtOnce) {
    auto first = connect();
    auto second = connect();
    first->close();
    pass();
    EXPECT_EQ(connectionTable().connectionCount, 1);
    EXPECT_EQ(attributeOf("hh:mm:ss-[0] TCP Dis-conn 1"), 23);
    // Both slots are usable again without waiting for the idle rule.
    auto third = connect();
    auto fourth = connect();
    EXPECT_EQ(connectionTable().connectionCount, 2);
    EXPECT_TRUE(fourth->closedByServer());
    EXPECT_TRUE(logged("Incoming connection denied 2"));
    EXPECT_EQ(toHex(exchange(*third, hex(setupRequestHex))), toHex(hex(setupReplyHex)));
}

TEST_F(ConnectionTest, SilentClientIsClosedWhenItsIdleCountPasses6500Ticks) {
    auto client = connect();
    exchange(*client, hex(nonS7FrameHex)); // data: the count starts again from 0
    tick(6500);
    EXPECT_EQ(connectionTable().connectionCount, 1);
    EXPECT_FALSE(logged("Inactivity shutdown"));
    tick();
    EXPECT_EQ(connectionTable().connectionCount, 0);
    EXPECT_TRUE(client->closedByServer());
    const std::vector<std::string> texts = lines();
    ASSERT_GE(texts.size(), 2u);
    // The reason comes first, then the closing line of the same slot.
    EXPECT_EQ(texts[texts.size() - 2], "Inactivity shutdown");
    EXPECT_EQ(log[log.size() - 2].attribute, 70);
    EXPECT_EQ(texts.back(), "hh:mm:ss-[0] TCP Dis-conn 0");
}

TEST_F(ConnectionTest, DataRestartsTheIdleCount) {
    auto client = connect();
    tick(6000);
    exchange(*client, hex(nonS7FrameHex));
    tick(6000);
    EXPECT_EQ(connectionTable().connectionCount, 1);
    tick(501);
    EXPECT_EQ(connectionTable().connectionCount, 0);
}

TEST_F(ConnectionTest, NonS7TrafficOnSlotZeroKeepsSlotOneAliveUntilSlotZeroSpeaksS7) {
    auto first = connect();
    auto second = connect();
    exchange(*second, hex(nonS7FrameHex));
    for (int round = 0; round < 8; ++round) {
        tick(1000);
        exchange(*first, hex(nonS7FrameHex));
    }
    EXPECT_EQ(connectionTable().connectionCount, 2) << "slot 1 kept alive by slot 0's frames";

    // From slot 0's first S7 frame on, slot 1 counts on its own.
    exchange(*first, hex(setupRequestHex));
    for (int round = 0; round < 7; ++round) {
        tick(1000);
        exchange(*first, hex(setupRequestHex));
    }
    EXPECT_EQ(connectionTable().connectionCount, 1);
    EXPECT_TRUE(second->closedByServer());
    EXPECT_TRUE(logged("hh:mm:ss-[1] TCP Dis-conn 1"));
}

TEST_F(ConnectionTest, FramesOnSlotOneNeverRestartSlotZerosCount) {
    auto first = connect();
    auto second = connect();
    exchange(*first, hex(nonS7FrameHex));
    for (int round = 0; round < 7; ++round) {
        tick(1000);
        exchange(*second, hex(nonS7FrameHex));
    }
    EXPECT_EQ(connectionTable().connectionCount, 1);
    EXPECT_TRUE(first->closedByServer());
    EXPECT_TRUE(logged("hh:mm:ss-[0] TCP Dis-conn 1"));
    // The client that was slot 1 is slot 0 now and still served.
    clearLog();
    EXPECT_EQ(toHex(exchange(*second, hex(setupRequestHex))), toHex(hex(setupReplyHex)));
    EXPECT_TRUE(logged("hh:mm:ss-[0] Sending S7 PDU Response"));
}

TEST_F(ConnectionTest, ReplyLeavesInTheSamePassWithoutWaitingForATick) {
    auto client = connect();
    // DB15 word 0 counts ticks: it must not move while the reply is made.
    const auto ticksSoFar = [this] {
        return toHex(Bytes(dataBlock(15).first(2).begin(), dataBlock(15).first(2).end()));
    };
    const std::string before = ticksSoFar();
    client->send(hex(setupRequestHex));
    pass();
    // Taken without waiting: the reply left within that one pass.
    EXPECT_EQ(toHex(client->receiveNow()), toHex(hex(setupReplyHex)));
    EXPECT_EQ(ticksSoFar(), before);
}

} // namespace
