// Connections and the ISO transport in the CPU profiles: the connect that echoes the client's
// TSAPs and judges its rack and slot, replies split into DT frames of the agreed TPDU size,
// requests joined from several DT frames; and the connection table beyond two slots.
#include "harness.h"

#include "app/server.h"
#include "core/connection_table.h"
#include "core/data_frame.h"
#include "memory/data_block_table.h"
#include "plc/cpu_profile.h"

#include <sys/socket.h>
#include <unistd.h>

namespace {

using Lines = std::vector<std::string>;

// A fixture serving as the named profile, with the given connection limit (0: the profile's).
class ProfileTest : public ServerTest {
protected:
    ProfileTest(const char *profile, int limit) {
        cpu = findCpuProfile(profile);
        connections = limit;
    }
    // Connects with snap7's connection request for rack 0, slot 1, TPDU size code as given,
    // then Setup communication asking for 480 bytes.
    std::unique_ptr<TestClient> connectSlot1(const char *tpduCode = "0A") {
        auto client = connect();
        const Bytes confirm =
            exchange(*client, hex(std::string("03 00 00 16 11 E0 00 00 00 01 00 C0 01 ") +
                                  tpduCode + " C1 02 01 00 C2 02 01 01"));
        EXPECT_EQ(confirm.size(), 22u);
        EXPECT_EQ(toHex(exchange(*client, hex(setupRequestHex))), toHex(hex(setupReplyHex)));
        return client;
    }
};

class S7_1500Test : public ProfileTest {
protected:
    S7_1500Test() : ProfileTest("s7-1500", 0) {}
};

// ---------------------------------------------------------------------------------------------
// Connect

// What node-snap7 (ConnectTo, SetConnectionParams) and nodes7 (rack/slot, TSAPs) send, as
// captured, and variants around the TPDU size: the confirm echoes the TSAPs as sent, the TPDU
// size within 128 and 1024 bytes, always TPDU size first.
TEST_F(S7_1500Test, ConfirmEchoesTheTsapsAndTheTpduSizeWithinBounds) {
    struct Case {
        const char *what;
        const char *cpu;
        const char *request;
        const char *confirm;
        int tpduSize;
    };
    const Case cases[] = {
        {"snap7 ConnectTo 0, 2", "s7-300",
         "03 00 00 16 11 E0 00 00 00 01 00 C0 01 0A C1 02 01 00 C2 02 01 02",
         "03 00 00 16 11 D0 00 01 01 00 00 C0 01 0A C1 02 01 00 C2 02 01 02", 1024},
        {"snap7 SetConnectionParams 0100, 0302", "s7-300",
         "03 00 00 16 11 E0 00 00 00 01 00 C0 01 0A C1 02 01 00 C2 02 03 02",
         "03 00 00 16 11 D0 00 01 01 00 00 C0 01 0A C1 02 01 00 C2 02 03 02", 1024},
        {"nodes7 rack 0, slot 1", "s7-1500",
         "03 00 00 16 11 E0 00 00 00 02 00 C0 01 0A C1 02 01 00 C2 02 01 01",
         "03 00 00 16 11 D0 00 02 01 00 00 C0 01 0A C1 02 01 00 C2 02 01 01", 1024},
        {"nodes7 TSAPs 0100, 0200", "s7-1500",
         "03 00 00 16 11 E0 00 00 00 02 00 C0 01 0A C1 02 01 00 C2 02 02 00",
         "03 00 00 16 11 D0 00 02 01 00 00 C0 01 0A C1 02 01 00 C2 02 02 00", 1024},
        {"no TPDU size: class 0's 128", "s7-1500",
         "03 00 00 13 0E E0 00 00 00 05 00 C1 02 01 00 C2 02 01 01",
         "03 00 00 16 11 D0 00 05 01 00 00 C0 01 07 C1 02 01 00 C2 02 01 01", 128},
        {"2048 asked, TPDU size last", "s7-1500",
         "03 00 00 16 11 E0 00 00 00 01 00 C1 02 01 00 C2 02 01 01 C0 01 0B",
         "03 00 00 16 11 D0 00 01 01 00 00 C0 01 0A C1 02 01 00 C2 02 01 01", 1024},
        {"512 asked", "s7-1500",
         "03 00 00 16 11 E0 00 00 00 01 00 C0 01 09 C1 02 01 00 C2 02 01 01",
         "03 00 00 16 11 D0 00 01 01 00 00 C0 01 09 C1 02 01 00 C2 02 01 01", 512},
        {"64 asked", "s7-1500", "03 00 00 16 11 E0 00 00 00 01 00 C0 01 06 C1 02 01 00 C2 02 01 01",
         "03 00 00 16 11 D0 00 01 01 00 00 C0 01 07 C1 02 01 00 C2 02 01 01", 128},
        {"4-byte calling TSAP", "s7-1500",
         "03 00 00 18 13 E0 00 00 00 01 00 C0 01 08 C1 04 10 20 30 40 C2 02 01 01",
         "03 00 00 18 13 D0 00 01 01 00 00 C0 01 08 C1 04 10 20 30 40 C2 02 01 01", 256},
        {"unknown parameter between the TSAPs", "s7-1500",
         "03 00 00 19 14 E0 00 00 00 01 00 C1 02 01 00 C5 01 FF C2 02 01 01 C0 01 0A",
         "03 00 00 16 11 D0 00 01 01 00 00 C0 01 0A C1 02 01 00 C2 02 01 01", 1024},
        {"TPDU size one byte past the LI", "s7-1500",
         "03 00 00 16 10 E0 00 00 00 01 00 C1 02 01 00 C2 02 01 01 C0 01 0A",
         "03 00 00 16 11 D0 00 01 01 00 00 C0 01 07 C1 02 01 00 C2 02 01 01", 128},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        plc().cpu.profile = findCpuProfile(c.cpu);
        auto client = connect();
        EXPECT_EQ(toHex(exchange(*client, hex(c.request))), toHex(hex(c.confirm)));
        EXPECT_EQ(slotAt(connectionTable(), 0).tpduSize, c.tpduSize);
        client->close();
        pass();
        ASSERT_EQ(connectionTable().connectionCount, 0);
    }
    clearLog();
    auto client = connect();
    exchange(*client, hex(cases[2].request));
    EXPECT_EQ(attributedLines(),
              (Lines{"23 TCP conn from 127.0.0.1 (0)", "87 TPDU Size = A", "87 Calling TSAP = 1,0",
                     "87 Called TSAP = 1,1",
                     "23 hh:mm:ss-[0]Sending Connect confirm dref=512 TPDU 1024"}));
}

// The called TSAP's second byte: rack in the upper 3 bits, slot in the lower 5.
TEST_F(S7_1500Test, EachProfileAcceptsItsOwnRackAndSlotsOnly) {
    struct Case {
        const char *cpu;
        const char *rackSlot;
        bool accepted;
    };
    const Case cases[] = {
        {"s7-300", "02", true},   {"s7-300", "01", false},  {"s7-300", "03", false},
        {"s7-300", "22", false},  {"s7-300", "12", false},  {"s7-400", "02", true},
        {"s7-400", "03", true},   {"s7-400", "01", false},  {"s7-400", "04", false},
        {"s7-400", "23", false},  {"s7-1200", "00", true},  {"s7-1200", "01", true},
        {"s7-1200", "02", false}, {"s7-1200", "21", false}, {"s7-1200", "E0", false},
        {"s7-1500", "00", true},  {"s7-1500", "01", true},  {"s7-1500", "02", false},
        {"s7-1500", "20", false}, {"s7-1500", "1F", false},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(std::string(c.cpu) + " " + c.rackSlot);
        plc().cpu.profile = findCpuProfile(c.cpu);
        auto client = connect();
        const Bytes reply = exchange(
            *client, hex(std::string("03 00 00 16 11 E0 00 00 00 01 00 C0 01 0A C1 02 01 00 C2 "
                                     "02 01 ") +
                         c.rackSlot));
        ASSERT_EQ(reply.size(), 22u);
        EXPECT_EQ(reply[5], c.accepted ? 0xD0 : 0x80);
        if (c.accepted) {
            EXPECT_FALSE(client->closedByServer(20));
            client->close();
            pass();
        } else {
            EXPECT_TRUE(client->closedByServer());
        }
        ASSERT_EQ(connectionTable().connectionCount, 0);
    }
}

TEST_F(S7_1500Test, RefusalIsTheEchoedConfirmAsDisconnectRequestWithOneLine) {
    // A calling TSAP of 33 bytes cannot be echoed; one of 32 can.
    std::string bytes32;
    for (int i = 0; i < 32; ++i) {
        bytes32 += " AB";
    }
    const std::string tooLong =
        "03 00 00 35 30 E0 00 00 00 01 00 C0 01 0A C1 21 AB" + bytes32 + " C2 02 01 01";
    struct Case {
        const char *request;
        const char *refusal;
        const char *line;
    };
    const Case cases[] = {
        {"03 00 00 16 11 E0 00 00 00 01 00 C0 01 0A C1 02 01 00 C2 02 01 02",
         "03 00 00 16 11 80 00 01 01 00 00 C0 01 0A C1 02 01 00 C2 02 01 02",
         "70 hh:mm:ss-[0] Refusing connect to rack 0 slot 2 dref=256"},
        {"03 00 00 12 0D E0 00 00 00 01 00 C0 01 0A C1 02 01 00",
         "03 00 00 12 0D 80 00 01 01 00 00 C0 01 0A C1 02 01 00",
         "70 hh:mm:ss-[0] Refusing connect without a 2-byte called TSAP dref=256"},
        {"03 00 00 15 10 E0 00 00 00 01 00 C0 01 0A C1 02 01 00 C2 01 01",
         "03 00 00 15 10 80 00 01 01 00 00 C0 01 0A C1 02 01 00 C2 01 01",
         "70 hh:mm:ss-[0] Refusing connect without a 2-byte called TSAP dref=256"},
        {tooLong.c_str(), "03 00 00 12 0D 80 00 01 01 00 00 C0 01 0A C2 02 01 01",
         "70 hh:mm:ss-[0] Refusing connect with a TSAP over 32 bytes dref=256"},
    };
    auto echoed = connect();
    EXPECT_EQ(
        toHex(exchange(*echoed, hex("03 00 00 34 2F E0 00 00 00 01 00 C0 01 0A C1 20" + bytes32 +
                                    " C2 02 01 01"))),
        toHex(hex("03 00 00 34 2F D0 00 01 01 00 00 C0 01 0A C1 20" + bytes32 + " C2 02 01 01")));
    echoed->close();
    pass();
    for (const Case &c : cases) {
        SCOPED_TRACE(c.request);
        auto client = connect();
        clearLog();
        EXPECT_EQ(toHex(exchange(*client, hex(c.request))), toHex(hex(c.refusal)));
        EXPECT_TRUE(client->closedByServer());
        const Lines lines = attributedLines();
        ASSERT_GE(lines.size(), 2u);
        EXPECT_EQ(lines[lines.size() - 2], c.line);
        EXPECT_EQ(lines.back(), "23 hh:mm:ss-[0] TCP Dis-conn 0");
    }
}

// ---------------------------------------------------------------------------------------------
// Replies split at the TPDU size

// A Read Var of n zero bytes from a fresh data block, and its reply's S7 header.
Bytes readDb50(std::size_t count) {
    return isoDataFrame(hex("32 01 00 00 00 05 00 0E 00 00 04 01 12 0A 10 02") + be16(count) +
                        hex("00 32 84 00 00 00"));
}
Bytes readDb50ReplyHeader(std::size_t count) {
    return hex("32 03 00 00 00 05 00 02") + be16(4 + count) + hex("00 00 04 01 FF 04") +
           be16(8 * count);
}

TEST_F(S7_1500Test, ReplyOfExactlyTheTpduSizeLeavesWholeAndOneByteMoreInTwoFrames) {
    auto client = connectSlot1("07"); // TPDU 128: frames of 132 bytes at most
    const Bytes exact = readDb50ReplyHeader(107) + Bytes(107, 0);
    EXPECT_EQ(toHex(exchange(*client, readDb50(107))), toHex(hex("03 00 00 84 02 F0 80") + exact));
    const Bytes over = readDb50ReplyHeader(108) + Bytes(108, 0);
    EXPECT_EQ(toHex(exchange(*client, readDb50(108))),
              toHex(hex("03 00 00 84 02 F0 00") + Bytes(over.begin(), over.begin() + 125) +
                    hex("03 00 00 08 02 F0 80 00")));
}

// sendDataFrame on its own, over a socket pair: every piece carries its own TPKT header, the
// TPDU number byte is 0 on all but the last, which has end of transmission.
TEST(SplitReply, PiecesCarryTheirOwnHeadersAndOnlyTheLastEndsTheTransmission) {
    struct Piece {
        const char *header;
        std::size_t from;
        std::size_t to; // payload bytes [from, to)
    };
    struct Case {
        std::uint16_t tpduSize;
        std::size_t length;
        std::vector<Piece> pieces;
    };
    std::vector<Piece> largest; // the largest reply in the smallest TPDU: 9 pieces
    for (std::size_t piece = 0; piece < 8; ++piece) {
        largest.push_back({"03 00 00 84 02 F0 00", piece * 125, piece * 125 + 125});
    }
    largest.push_back({"03 00 00 18 02 F0 80", 1000, 1017});
    const Case cases[] = {
        {0, 1024, {{"03 00 04 00 02 F0 80", 0, 1017}}},
        {128, 132, {{"03 00 00 84 02 F0 80", 0, 125}}},
        {128, 133, {{"03 00 00 84 02 F0 00", 0, 125}, {"03 00 00 08 02 F0 80", 125, 126}}},
        {512, 516, {{"03 00 02 04 02 F0 80", 0, 509}}},
        {512, 517, {{"03 00 02 04 02 F0 00", 0, 509}, {"03 00 00 08 02 F0 80", 509, 510}}},
        {1024, 1024, {{"03 00 04 00 02 F0 80", 0, 1017}}},
        {128, 1024, largest},
    };
    ConnectionTable table;
    for (const Case &c : cases) {
        SCOPED_TRACE(std::to_string(c.tpduSize) + " " + std::to_string(c.length));
        int ends[2];
        ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM, 0, ends), 0);
        setUpConnectionTable(table, classicConnections);
        ASSERT_EQ(takeSlot(table, ends[0], {}), 0);
        slotAt(table, 0).tpduSize = c.tpduSize;

        Bytes frame(c.length);
        Bytes payload;
        for (std::size_t at = framePayloadOffset; at < c.length; ++at) {
            frame[at] = static_cast<std::uint8_t>(at * 7);
            payload.push_back(frame[at]);
        }
        writeDataFrameHeader(frame);
        EXPECT_TRUE(sendDataFrame(table, 0, frame, frame.size(), SendFailureLine::plain));
        EXPECT_FALSE(hasUnsentReply(table, 0));

        Bytes expected;
        for (const Piece &piece : c.pieces) {
            expected = expected + hex(piece.header) +
                       Bytes(payload.begin() + static_cast<std::ptrdiff_t>(piece.from),
                             payload.begin() + static_cast<std::ptrdiff_t>(piece.to));
        }
        Bytes received(expected.size() + 1);
        const ssize_t got = ::recv(ends[1], received.data(), received.size(), MSG_DONTWAIT);
        ASSERT_GT(got, 0);
        received.resize(static_cast<std::size_t>(got));
        EXPECT_EQ(toHex(received), toHex(expected));
        ::close(ends[0]);
        ::close(ends[1]);
        setUpConnectionTable(table, classicConnections);
    }
}

// ---------------------------------------------------------------------------------------------
// Requests joined from several DT frames

// An ISO data frame around part of a payload, with or without end of transmission.
Bytes dataPiece(const Bytes &payload, std::size_t from, std::size_t to, bool last) {
    return hex("03 00") + be16(7 + to - from) + hex(last ? "02 F0 80" : "02 F0 00") +
           Bytes(payload.begin() + static_cast<std::ptrdiff_t>(from),
                 payload.begin() + static_cast<std::ptrdiff_t>(to));
}

// A Write Var of count bytes (value 0xA5) to DB52 at 0: a job of 28 + count bytes.
Bytes writeDb52(std::size_t count) {
    return hex("32 01 00 00 00 07 00 0E") + be16(4 + count) + hex("05 01 12 0A 10 02") +
           be16(count) + hex("00 34 84 00 00 00 00 04") + be16(8 * count) + Bytes(count, 0xA5);
}
const char *const writeDb52ReplyHex = "03 00 00 16 02 F0 80 32 03 00 00 00 07 00 02 00 01 00 00 "
                                      "05 01 FF";
Bytes writeDb52Frame() {
    return isoDataFrame(writeDb52(4));
}

TEST_F(S7_1500Test, RequestInTwoOrThreeFramesIsHandledOnceWhole) {
    auto client = connectSlot1();
    const Bytes setupFrame = hex(setupRequestHex);
    const Bytes setup(setupFrame.begin() + framePayloadOffset, setupFrame.end());
    // Frames sent one by one, each handled in a pass of its own.
    client->send(dataPiece(setup, 0, 10, false));
    pass();
    EXPECT_EQ(toHex(client->receiveAvailable(50)), "");
    EXPECT_EQ(toHex(exchange(*client, dataPiece(setup, 10, setup.size(), true))),
              toHex(hex(setupReplyHex)));

    // Three frames in one send; the middle one is a bare header.
    const Bytes write = writeDb52(4);
    EXPECT_EQ(
        toHex(exchange(*client, dataPiece(write, 0, 7, false) + dataPiece(write, 7, 7, false) +
                                    dataPiece(write, 7, write.size(), true))),
        writeDb52ReplyHex);
    const std::span<const std::uint8_t> block = dataBlock(52);
    ASSERT_GE(block.size(), 5u);
    EXPECT_EQ(toHex(Bytes(block.begin(), block.begin() + 5)), "A5 A5 A5 A5 00");
}

// Setup agreed 480 bytes: a joined request of 480 is handled, one of 481 dropped with one line,
// with every frame up to its last, and the next request is joined afresh.
TEST_F(S7_1500Test, JoinedRequestOverTheAgreedPduIsDroppedWithOneLine) {
    auto client = connectSlot1();
    const Bytes fits = writeDb52(452);
    ASSERT_EQ(fits.size(), 480u);
    EXPECT_EQ(
        toHex(exchange(*client, dataPiece(fits, 0, 300, false) + dataPiece(fits, 300, 480, true))),
        writeDb52ReplyHex);

    const Bytes over = writeDb52(453);
    clearLog();
    client->send(dataPiece(over, 0, 300, false) + dataPiece(over, 300, 400, false));
    pass();
    client->send(dataPiece(over, 400, 481, false) + dataPiece(over, 0, 10, false));
    pass();
    client->send(dataPiece(over, 10, 20, true));
    pass();
    EXPECT_EQ(toHex(client->receiveAvailable(50)), "");
    EXPECT_EQ(attributedLines(),
              (Lines{"70 hh:mm:ss-[0] Request in several DT frames exceeds 480 bytes, dropped"}));

    EXPECT_EQ(
        toHex(exchange(*client, dataPiece(fits, 0, 1, false) + dataPiece(fits, 1, 480, true))),
        writeDb52ReplyHex);
}

// ---------------------------------------------------------------------------------------------
// The connection table beyond two slots

class OneConnectionTest : public ProfileTest {
protected:
    OneConnectionTest() : ProfileTest("classic", 1) {}
};

class ThreeConnectionsTest : public ProfileTest {
protected:
    ThreeConnectionsTest() : ProfileTest("classic", 3) {}
};

class FourConnectionsTest : public ProfileTest {
protected:
    FourConnectionsTest() : ProfileTest("classic", 4) {}
};

class SixtyFourConnectionsTest : public ProfileTest {
protected:
    SixtyFourConnectionsTest() : ProfileTest("classic", 64) {}
};

class S7_300DefaultLimitTest : public ProfileTest {
protected:
    S7_300DefaultLimitTest() : ProfileTest("s7-300", 0) {}
};

const char *const nonS7FrameHex = "03 00 00 08 02 F0 80 00";

// The table holds exactly one slot: serving its client touches no slot behind it.
TEST_F(OneConnectionTest, TheOneClientIsServedAndASecondIsRefused) {
    auto client = connectS7();
    auto second = connect();
    EXPECT_TRUE(second->closedByServer());
    EXPECT_EQ(attributeOf("Incoming connection denied 1"), 70);
    EXPECT_EQ(toHex(exchange(*client, readVarRequest(2, 15, 128, 2))),
              toHex(readVarReply(2, hex("20 0B"))));
}

TEST_F(ThreeConnectionsTest, FourthClientIsRefusedAndTheThirdIsServed) {
    std::vector<std::unique_ptr<TestClient>> clients;
    for (int i = 0; i < 3; ++i) {
        clients.push_back(connect());
    }
    auto fourth = connect();
    EXPECT_TRUE(fourth->closedByServer());
    EXPECT_EQ(attributeOf("Incoming connection denied 3"), 70);
    EXPECT_EQ(toHex(exchange(*clients[2], hex(setupRequestHex))), toHex(hex(setupReplyHex)));
    EXPECT_EQ(attributeOf("hh:mm:ss-[2] Sending S7 PDU Response"), 23);
}

TEST_F(S7_300DefaultLimitTest, ProfileServesItsOwnNumberOfClients) {
    std::vector<std::unique_ptr<TestClient>> clients;
    for (int i = 0; i < 16; ++i) {
        clients.push_back(connect());
    }
    EXPECT_FALSE(logged("Incoming connection denied 16"));
    auto refused = connect();
    EXPECT_TRUE(refused->closedByServer());
    EXPECT_EQ(attributeOf("Incoming connection denied 16"), 70);
}

TEST_F(SixtyFourConnectionsTest, SixtyFifthClientIsRefusedAndSlot63IsServed) {
    std::vector<std::unique_ptr<TestClient>> clients;
    for (int i = 0; i < 64; ++i) {
        clients.push_back(connect());
    }
    EXPECT_TRUE(logged("TCP conn from 127.0.0.1 (63)"));
    auto refused = connect();
    EXPECT_TRUE(refused->closedByServer());
    EXPECT_EQ(attributeOf("Incoming connection denied 64"), 70);
    EXPECT_EQ(toHex(exchange(*clients[63], hex(setupRequestHex))), toHex(hex(setupReplyHex)));
    EXPECT_EQ(toHex(exchange(*clients[62], hex(setupRequestHex))), toHex(hex(setupReplyHex)));
    EXPECT_EQ(attributeOf("hh:mm:ss-[63] Sending S7 PDU Response"), 30);
    EXPECT_EQ(attributeOf("hh:mm:ss-[62] Sending S7 PDU Response"), 23);
}

// Slot 1 of four closes: 2 and 3 move down one each and take the colours of their new numbers,
// and a newcomer takes slot 3.
TEST_F(FourConnectionsTest, MiddleSlotClosingMovesEverySlotAboveDownOne) {
    std::vector<std::unique_ptr<TestClient>> clients;
    for (int i = 0; i < 4; ++i) {
        clients.push_back(connect());
    }
    // A frame start held on slot 3 moves with it.
    const Bytes setup = hex(setupRequestHex);
    clients[3]->send(Bytes(setup.begin(), setup.begin() + 9));
    pass();
    clearLog();
    clients[1]->close();
    pass();
    EXPECT_EQ(attributedLines(), (Lines{"23 hh:mm:ss-[1] TCP Dis-conn 3"}));
    ASSERT_EQ(connectionTable().connectionCount, 3);

    clearLog();
    EXPECT_EQ(toHex(exchange(*clients[2], writeDb52Frame())), writeDb52ReplyHex);
    EXPECT_EQ(toHex(exchange(*clients[3], Bytes(setup.begin() + 9, setup.end()))),
              toHex(hex(setupReplyHex)));
    EXPECT_EQ(toHex(exchange(*clients[0], hex(setupRequestHex))), toHex(hex(setupReplyHex)));
    auto newcomer = connect();
    EXPECT_EQ(toHex(exchange(*newcomer, writeDb52Frame())), writeDb52ReplyHex);
    EXPECT_EQ(attributedLines(), (Lines{
                                     "94 (0)hh:mm:ss-[1] Receiving write S7 data DB52,0 l=4",
                                     "23 hh:mm:ss-[2] Sending S7 PDU Response",
                                     "23 hh:mm:ss-[0] Sending S7 PDU Response",
                                     "23 TCP conn from 127.0.0.1 (3)",
                                     "94 (0)hh:mm:ss-[3] Receiving write S7 data DB52,0 l=4",
                                 }));
}

// The loop's own order, a readiness wait before each pass: only the slots it found ready are
// served, and a slot closing in the pass does not make the ones above it miss their turn.
TEST_F(FourConnectionsTest, PassAfterAWaitServesTheReadySlotsAcrossAClose) {
    std::vector<std::unique_ptr<TestClient>> clients;
    for (int i = 0; i < 4; ++i) {
        clients.push_back(connect());
    }
    clearLog();
    clients[1]->close();
    clients[2]->send(hex(setupRequestHex));
    clients[3]->send(hex(setupRequestHex));
    serverWait(server, now);
    serverPass(server, now);
    EXPECT_EQ(toHex(clients[2]->receiveNow()), toHex(hex(setupReplyHex)));
    EXPECT_EQ(toHex(clients[3]->receiveNow()), toHex(hex(setupReplyHex)));
    EXPECT_EQ(attributedLines(),
              (Lines{"23 hh:mm:ss-[1] TCP Dis-conn 3", "30 hh:mm:ss-[1] Sending S7 PDU Response",
                     "23 hh:mm:ss-[2] Sending S7 PDU Response"}));

    clearLog();
    TestClient newcomer(port);
    clients[0]->send(hex(nonS7FrameHex));
    serverWait(server, now);
    serverPass(server, now);
    EXPECT_EQ(attributedLines(), (Lines{"23 TCP conn from 127.0.0.1 (3)"}));
    EXPECT_EQ(connectionTable().connectionCount, 4);
}

} // namespace
