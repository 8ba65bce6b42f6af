// Clients that speak S7CommPlus (TIA Portal-era HMIs and engineering, "optimized" access) learn
// at once that it is not served: a called TSAP of text, or a payload with protocol id 0x72,
// gets one line naming the protocol and what to do instead, the connection closes, and the
// status counts it.
#include "harness.h"

#include "app/server.h"
#include "http/http_api.h"

#include <string>

namespace {

// The connection request of an HMI that addresses the CPU by name: TPDU 1024, calling TSAP
// 06 00, called TSAP "SIMATIC-ROOT-HMI" (16 bytes).
const char *const plusConnectHex = "03 00 00 24 1F E0 00 00 00 01 00 C0 01 0A C1 02 06 00 C2 10 "
                                   "53 49 4D 41 54 49 43 2D 52 4F 4F 54 2D 48 4D 49";
// The first request such a client sends on a connection its connect got, as recorded from one
// (InitSSL: protocol id 0x72, version 1, 18 bytes, opcode 0x31, function 0x05B3, trailer).
const char *const initSslHex = "03 00 00 21 02 F0 80 72 01 00 12 31 00 00 05 B3 00 00 00 00 00 00 "
                               "00 00 30 00 00 00 00 72 01 00 00";
// A connection request an S7 client sends for rack 0, slot 1.
const char *const slot1ConnectHex =
    "03 00 00 16 11 E0 00 00 00 01 00 C0 01 0A C1 02 01 00 C2 02 01 "
    "01";

const std::string plusLine =
    "hh:mm:ss-[0] S7CommPlus client: not supported; use PUT/GET access and non-optimized blocks";

struct PlusCase {
    const char *what;
    const char *connect;
    const char *reply;   // to the connect
    const char *payload; // sent once connected, or nullptr
};

class S7CommPlusTest : public ServerTest {
protected:
    explicit S7CommPlusTest(const char *profile) { cpu = findCpuProfile(profile); }

    // Connects, sends the row's frames and checks the reply, the line and the close.
    void expectRefused(const PlusCase &row) {
        clearLog();
        auto client = connect();
        EXPECT_EQ(toHex(exchange(*client, hex(row.connect))), toHex(hex(row.reply)));
        if (row.payload != nullptr) {
            client->send(hex(row.payload));
            pass();
        }
        EXPECT_TRUE(client->closedByServer());
        EXPECT_EQ(attributeOf(plusLine), attributeError);
        EXPECT_EQ(connectionTable().connectionCount, 0);
    }
};

class ClassicPlus : public S7CommPlusTest {
protected:
    ClassicPlus() : S7CommPlusTest("classic") {}
};

class ProfilePlus : public S7CommPlusTest {
protected:
    ProfilePlus() : S7CommPlusTest("s7-1500") {}
};

TEST_F(ClassicPlus, ANamedTsapIsRefusedAndA72PayloadClosesWithOneLineEach) {
    // clang-format off
    const PlusCase rows[] = {
        {"called TSAP SIMATIC-ROOT-HMI", plusConnectHex,
         "03 00 00 16 11 80 00 01 01 00 00 C0 01 09 C1 02 4B 54 C1 02 03 02", nullptr},
        {"InitSSL after an S7 connect", connectionRequestHex,
         "03 00 00 16 11 D0 00 01 01 00 00 C0 01 09 C1 02 4B 54 C1 02 03 02", initSslHex},
    };
    // clang-format on
    std::uint64_t refused = 0;
    for (const PlusCase &row : rows) {
        SCOPED_TRACE(row.what);
        expectRefused(row);
        EXPECT_EQ(connectionTable().s7CommPlusRefused, ++refused);
    }
    EXPECT_EQ(statusJson(plc(), {"", false})["s7CommPlusRefused"], 2);
}

TEST_F(ProfilePlus, ANamedTsapGetsTheEchoedRefusalAndA72PayloadClosesWithOneLineEach) {
    // clang-format off
    const PlusCase rows[] = {
        {"called TSAP SIMATIC-ROOT-HMI", plusConnectHex,
         "03 00 00 24 1F 80 00 01 01 00 00 C0 01 0A C1 02 06 00 C2 10 "
         "53 49 4D 41 54 49 43 2D 52 4F 4F 54 2D 48 4D 49", nullptr},
        {"InitSSL after an S7 connect", slot1ConnectHex,
         "03 00 00 16 11 D0 00 01 01 00 00 C0 01 0A C1 02 01 00 C2 02 01 01", initSslHex},
    };
    // clang-format on
    for (const PlusCase &row : rows) {
        SCOPED_TRACE(row.what);
        expectRefused(row);
    }
    EXPECT_EQ(connectionTable().s7CommPlusRefused, 2u);
    // Another TSAP of text is no S7CommPlus name: refused as before, without the line.
    clearLog();
    auto client = connect();
    exchange(*client, hex("03 00 00 1A 15 E0 00 00 00 01 00 C0 01 0A C1 02 01 00 C2 06 "
                          "41 42 43 44 45 46"));
    EXPECT_TRUE(client->closedByServer());
    EXPECT_EQ(attributeOf(plusLine), -1);
}

} // namespace
