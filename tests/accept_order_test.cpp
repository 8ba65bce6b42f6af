// The order of work in one pass: connections that closed are let go before a newcomer is
// counted, so a client that reconnects right after closing is not turned away.
#include "harness.h"

#include "core/connection_table.h"

namespace {

using AcceptOrderTest = ServerTest;

TEST_F(AcceptOrderTest, NewcomerTakesTheSlotOfAClientThatClosedInTheSamePass) {
    auto first = connectS7();
    auto second = connect();
    ASSERT_EQ(connectionTable().connectionCount, 2);
    clearLog();

    first->close();
    TestClient newcomer(port); // connects before the server's next pass
    ASSERT_TRUE(newcomer.connected());
    pass();

    EXPECT_EQ(lines(), (std::vector<std::string>{"hh:mm:ss-[0] TCP Dis-conn 1",
                                                 "TCP conn from 127.0.0.1 (1)"}));
    EXPECT_EQ(connectionTable().connectionCount, 2);
    EXPECT_EQ(toHex(exchange(newcomer, hex(connectionRequestHex))),
              toHex(hex(connectionConfirmSlot1Hex)));
}

TEST_F(AcceptOrderTest, NewcomerIsAcceptedWhenBothClientsClosedInTheSamePass) {
    auto first = connect();
    auto second = connect();
    clearLog();

    first->close();
    second->close();
    TestClient newcomer(port);
    ASSERT_TRUE(newcomer.connected());
    newcomer.send(hex(connectionRequestHex));
    // The first pass lets slot 0 go and takes the newcomer into slot 1; the next lets the other
    // client go, which moves the newcomer down to slot 0; by the third its request is answered.
    pass(3);

    EXPECT_EQ(lines(), (std::vector<std::string>{
                           "hh:mm:ss-[0] TCP Dis-conn 1",
                           "TCP conn from 127.0.0.1 (1)",
                           "hh:mm:ss-[0] TCP Dis-conn 1",
                           "Calling TSAP = 1,0",
                           "Called TSAP = 1,2",
                           "TPDU Size = A",
                           "hh:mm:ss-[0]Sending Connect confirm dref=256",
                       }));
    EXPECT_EQ(toHex(newcomer.receiveAvailable()), toHex(hex(connectionConfirmSlot0Hex)));
}

} // namespace
