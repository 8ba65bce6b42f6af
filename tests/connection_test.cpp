// The listener and the connection table: accepting, refusing, compacting, closing.
#include "harness.h"

#include "core/connection_table.h"

namespace {

using ConnectionTest = ServerTest;

TEST_F(ConnectionTest, ThirdClientIsRefusedWhileBothOthersKeepWorking) {
    auto first = connectS7();
    auto second = connect();
    ASSERT_EQ(connectionTable.connectionCount, 2);
    auto third = connect();
    EXPECT_TRUE(third->closedByServer());
    EXPECT_EQ(attributeOf("Incoming connection denied 2"), 70);
    EXPECT_EQ(connectionTable.connectionCount, 2);
    EXPECT_EQ(toHex(exchange(*first, hex(setupRequestHex))), toHex(hex(setupReplyHex)));
    EXPECT_EQ(toHex(exchange(*second, hex(setupRequestHex))), toHex(hex(setupReplyHex)));
    EXPECT_TRUE(logged("hh:mm:ss-[1] Sending S7 PDU Response"));
}

} // namespace
