// The ISO transport end to end: connect and refuse, disconnect, ignored COTP types, data frame
// routing, and cutting frames out of the TCP stream (split, merged, bad headers, oversized
// frames, truncated requests, a client that stops taking its replies).
#include "harness.h"

#include "app/server.h"
#include "core/connection_table.h"

#include <algorithm>
#include <functional>
#include <random>
#include <string>
#include <sys/socket.h>
#include <vector>

namespace {

using TransportTest = ServerTest;
using Lines = std::vector<std::string>;

// Requests used throughout.
const Bytes connectionRequest = hex(connectionRequestHex);
const Bytes connectionConfirm = hex(connectionConfirmSlot0Hex);
const Bytes setupRequest = hex(setupRequestHex);
const Bytes setupReply = hex(setupReplyHex);
// Write 01 02 03 04 into DB10 at byte 8, and read them back.
const Bytes writeRequest = hex("03 00 00 27 02 F0 80 32 01 00 00 00 05 00 0E 00 08 05 01 12 0A 10 "
                               "02 00 04 00 0A 84 00 00 40 00 04 00 20 01 02 03 04");
const Bytes writeReply = hex("03 00 00 16 02 F0 80 32 03 00 00 00 05 00 02 00 01 00 00 05 01 FF");
const Bytes readRequest = hex("03 00 00 1F 02 F0 80 32 01 00 00 00 06 00 0E 00 00 04 01 12 0A 10 "
                              "02 00 04 00 0A 84 00 00 40");
const Bytes readReplyAfterWrite = hex("03 00 00 1D 02 F0 80 32 03 00 00 00 06 00 02 00 08 00 00 04 "
                                      "01 FF 04 00 20 01 02 03 04");
const Bytes disconnectRequest = hex(disconnectRequestHex);
const Bytes disconnectConfirm = hex(disconnectConfirmHex);

// Data frames the server ignores (first payload byte 0x99) whose bytes, if an earlier frame's
// leftovers were read as part of a later short frame, would change its outcome. The first has
// 0xC2 at 15 and 0x03 at 18 (a connection request would be refused), message type 7, function
// 0xF0 and item count 3; the second has 0x02 at 18 (one with its own 0xC2 at 15 would be
// accepted), message type 3, function 0x05 and item count 2.
const Bytes leftoverBait = hex("03 00 00 1F 02 F0 80 99 07 00 00 00 06 00 0E C2 00 F0 03 12 0A 10 "
                               "02 00 04 00 0A 84 00 00 40");
const Bytes otherLeftoverBait = hex("03 00 00 1F 02 F0 80 99 03 00 00 00 06 00 0E 00 00 05 02 12 "
                                    "0A 10 02 00 04 00 0A 84 00 00 40");

// ---------------------------------------------------------------------------------------------
// Connection request and confirm

TEST_F(TransportTest, ConnectionRequestAddressingSlot2IsConfirmedAndLogsItsParameters) {
    auto client = connect();
    clearLog();
    EXPECT_EQ(toHex(exchange(*client, connectionRequest)),
              "03 00 00 16 11 D0 00 01 01 00 00 C0 01 09 C1 02 4B 54 C1 02 03 02");
    EXPECT_EQ(attributedLines(),
              (Lines{"87 Calling TSAP = 1,0", "87 Called TSAP = 1,2", "87 TPDU Size = A",
                     "23 hh:mm:ss-[0]Sending Connect confirm dref=256"}));
    EXPECT_EQ(toHex(exchange(*client, setupRequest)), toHex(setupReply));
    EXPECT_EQ(connectionTable().connectionCount, 1);
}

TEST_F(TransportTest, ConnectionRequestAddressingSlot3IsRefusedWithDisconnectAndClosed) {
    auto client = connect();
    clearLog();
    EXPECT_EQ(toHex(exchange(*client, hex("03 00 00 16 11 E0 00 00 00 01 00 C1 02 01 00 C2 02 01 "
                                          "03 C0 01 0A"))),
              "03 00 00 16 11 80 00 01 01 00 00 C0 01 09 C1 02 4B 54 C1 02 03 02");
    EXPECT_EQ(attributedLines(),
              (Lines{"87 Calling TSAP = 1,0", "87 Called TSAP = 1,3", "87 TPDU Size = A",
                     "23 hh:mm:ss-[0]Sending Connect confirm dref=256",
                     "23 hh:mm:ss-[0] TCP Dis-conn 0"}));
    EXPECT_TRUE(client->closedByServer());
    EXPECT_EQ(connectionTable().connectionCount, 0);
}

// Byte 18 carries rack (upper three bits) and slot (lower five); only the lower four bits count.
TEST_F(TransportTest, CalledTsapIsAcceptedExactlyWhenTheLowerFourBitsOfItsSlotByteAre2) {
    struct Case {
        const char *rackSlot;
        bool accepted;
    };
    const Case cases[] = {{"02", true},  {"22", true},  {"12", true},  {"E2", true},
                          {"32", true},  {"00", false}, {"01", false}, {"03", false},
                          {"0F", false}, {"21", false}, {"13", false}, {"F0", false}};
    for (const Case &c : cases) {
        SCOPED_TRACE(c.rackSlot);
        auto client = connect();
        const Bytes reply = exchange(
            *client, hex(std::string("03 00 00 16 11 E0 00 00 00 01 00 C1 02 01 00 C2 02 01 ") +
                         c.rackSlot + " C0 01 0A"));
        ASSERT_EQ(reply.size(), 22u);
        EXPECT_EQ(reply[5], c.accepted ? 0xD0 : 0x80);
        if (c.accepted) {
            EXPECT_EQ(toHex(exchange(*client, disconnectRequest)), toHex(disconnectConfirm));
        }
        EXPECT_TRUE(client->closedByServer());
        EXPECT_EQ(connectionTable().connectionCount, 0);
    }
}

TEST_F(TransportTest, TpduSizeFirstLayoutIsAcceptedWithoutTheSlotTest) {
    auto client = connect();
    clearLog();
    // Byte 15 is now the calling TSAP's length byte, so the called TSAP's slot 3 is not tested.
    EXPECT_EQ(toHex(exchange(*client, hex("03 00 00 16 11 E0 00 00 00 01 00 C0 01 0A C1 02 01 00 "
                                          "C2 02 01 03"))),
              toHex(connectionConfirm));
    EXPECT_EQ(attributedLines(),
              (Lines{"87 TPDU Size = A", "87 Calling TSAP = 1,0", "87 Called TSAP = 1,3",
                     "23 hh:mm:ss-[0]Sending Connect confirm dref=256"}));
    EXPECT_FALSE(client->closedByServer(noReplyWaitMs));
}

TEST_F(TransportTest, ConnectionRequestWithoutParametersIsAcceptedWhateverEarlierFramesLeft) {
    auto client = connect();
    client->send(leftoverBait);
    pass();
    clearLog();
    EXPECT_EQ(toHex(exchange(*client, hex("03 00 00 0B 06 E0 00 00 00 01 00"))),
              toHex(connectionConfirm));
    EXPECT_EQ(attributedLines(), (Lines{"23 hh:mm:ss-[0]Sending Connect confirm dref=256"}));
    EXPECT_FALSE(client->closedByServer(noReplyWaitMs));
}

TEST_F(TransportTest, UnknownParameterIsSteppedOverAndTheParametersBehindItAreLogged) {
    auto client = connect();
    clearLog();
    // 0xC5 with a one-byte value stands between the calling and the called TSAP.
    EXPECT_EQ(toHex(exchange(*client, hex("03 00 00 19 14 E0 00 00 00 01 00 C1 02 01 00 C5 01 FF "
                                          "C2 02 01 02 C0 01 0A"))),
              toHex(connectionConfirm));
    EXPECT_EQ(attributedLines(),
              (Lines{"87 Calling TSAP = 1,0", "87 Called TSAP = 1,2", "87 TPDU Size = A",
                     "23 hh:mm:ss-[0]Sending Connect confirm dref=256"}));
}

TEST_F(TransportTest, ParameterReachingOneBytePastTheLengthIndicatorIsNotLogged) {
    auto client = connect();
    clearLog();
    // LI 16: the TPDU size parameter ends one byte behind the header.
    EXPECT_EQ(toHex(exchange(*client, hex("03 00 00 16 10 E0 00 00 00 01 00 C1 02 01 00 C2 02 01 "
                                          "02 C0 01 0A"))),
              toHex(connectionConfirm));
    EXPECT_EQ(attributedLines(), (Lines{"87 Calling TSAP = 1,0", "87 Called TSAP = 1,2",
                                        "23 hh:mm:ss-[0]Sending Connect confirm dref=256"}));
}

// The walk takes each parameter's length from its own length byte, but the lines always show
// the first one or two value bytes, whatever lies there.
TEST_F(TransportTest, ParameterLinesShowTwoValueBytesWhateverTheParameterLengthSays) {
    auto client = connect();
    clearLog();
    EXPECT_EQ(toHex(exchange(*client, hex("03 00 00 15 10 E0 00 00 00 01 00 C1 01 05 C2 02 01 02 "
                                          "C0 01 0A"))),
              toHex(connectionConfirm));
    EXPECT_EQ(attributedLines(),
              (Lines{"87 Calling TSAP = 5,C2", "87 Called TSAP = 1,2", "87 TPDU Size = A",
                     "23 hh:mm:ss-[0]Sending Connect confirm dref=256"}));
}

TEST_F(TransportTest, ValueByteBeyondTheFrameIsShownAsZeroNotAsAnEarlierFramesByte) {
    auto client = connect();
    EXPECT_EQ(toHex(exchange(*client, connectionRequest)), toHex(connectionConfirm));
    clearLog();
    // A TPDU size parameter of length 0 closes the frame; byte 13 held 0x01 in the frame before.
    EXPECT_EQ(toHex(exchange(*client, hex("03 00 00 0D 08 E0 00 00 00 02 00 C0 00"))),
              "03 00 00 16 11 D0 00 02 01 00 00 C0 01 09 C1 02 4B 54 C1 02 03 02");
    EXPECT_EQ(attributedLines(),
              (Lines{"87 TPDU Size = 0", "23 hh:mm:ss-[0]Sending Connect confirm dref=512"}));
}

TEST_F(TransportTest, ConfirmOnSlot1EchoesTheClientReferenceAndCarriesOwnReference0200) {
    auto first = connectS7();
    auto second = connect();
    clearLog();
    EXPECT_EQ(toHex(exchange(*second, hex("03 00 00 16 11 E0 00 00 12 34 00 C1 02 01 00 C2 02 01 "
                                          "02 C0 01 0A"))),
              "03 00 00 16 11 D0 12 34 02 00 00 C0 01 09 C1 02 4B 54 C1 02 03 02");
    EXPECT_EQ(attributedLines(),
              (Lines{"87 Calling TSAP = 1,0", "87 Called TSAP = 1,2", "87 TPDU Size = A",
                     "30 hh:mm:ss-[1]Sending Connect confirm dref=13330"}));
}

TEST_F(TransportTest, RepeatedConnectionRequestIsConfirmedAgainWithItsNewReference) {
    auto client = connectS7();
    clearLog();
    EXPECT_EQ(toHex(exchange(*client, hex("03 00 00 16 11 E0 00 00 00 07 00 C1 02 01 00 C2 02 01 "
                                          "02 C0 01 0A"))),
              "03 00 00 16 11 D0 00 07 01 00 00 C0 01 09 C1 02 4B 54 C1 02 03 02");
    EXPECT_TRUE(logged("hh:mm:ss-[0]Sending Connect confirm dref=1792"));
}

TEST_F(TransportTest, OnlyTheUpperFourBitsOfTheTypeByteCount) {
    auto client = connect();
    // 0xE5 is a connection request with credit 5, 0x8F a disconnect request.
    EXPECT_EQ(toHex(exchange(*client, hex("03 00 00 16 11 E5 00 00 00 01 00 C1 02 01 00 C2 02 01 "
                                          "02 C0 01 0A"))),
              toHex(connectionConfirm));
    EXPECT_EQ(toHex(exchange(*client, hex("03 00 00 0B 06 8F 01 00 00 05 00"))),
              toHex(disconnectConfirm));
    EXPECT_TRUE(client->closedByServer());
}

// ---------------------------------------------------------------------------------------------
// Disconnect

TEST_F(TransportTest, DisconnectRequestIsAnsweredWithTheExactConfirmAndTheSlotIsClosed) {
    auto client = connectS7();
    clearLog();
    EXPECT_EQ(toHex(exchange(*client, disconnectRequest)), "03 00 00 0B 06 C0 00 05 01 00 00");
    EXPECT_EQ(attributedLines(), (Lines{"23 hh:mm:ss-[0] Sending DisConnect confirm",
                                        "23 hh:mm:ss-[0] TCP Dis-conn 0"}));
    EXPECT_TRUE(client->closedByServer());
    EXPECT_EQ(connectionTable().connectionCount, 0);
}

TEST_F(TransportTest, DisconnectOnSlot1IsLoggedInSlot1ColourAndSlot0StaysServed) {
    auto first = connectS7();
    auto second = connectS7();
    clearLog();
    EXPECT_EQ(toHex(exchange(*second, hex("03 00 00 0B 06 80 02 00 AB CD 00"))),
              "03 00 00 0B 06 C0 AB CD 02 00 00");
    EXPECT_EQ(attributedLines(), (Lines{"30 hh:mm:ss-[1] Sending DisConnect confirm",
                                        "23 hh:mm:ss-[1] TCP Dis-conn 1"}));
    EXPECT_TRUE(second->closedByServer());
    EXPECT_EQ(toHex(exchange(*first, setupRequest)), toHex(setupReply));
}

// ---------------------------------------------------------------------------------------------
// Frames that are ignored, and data frame routing

TEST_F(TransportTest, OtherCotpTypesGetNoReplyNoLineAndLeaveTheConnectionOpen) {
    auto client = connectS7();
    for (const char *type : {"D0", "C0", "70", "50", "00", "10", "20", "60", "90", "A0", "B0"}) {
        SCOPED_TRACE(type);
        clearLog();
        expectNoReply(*client, hex(std::string("03 00 00 0B 06 ") + type + " 00 01 00 05 00"));
        EXPECT_EQ(attributedLines(), Lines{});
    }
    EXPECT_EQ(toHex(exchange(*client, setupRequest)), toHex(setupReply));
}

TEST_F(TransportTest, DataFrameWithoutConnectionRequestIsServed) {
    auto client = connect();
    EXPECT_EQ(toHex(exchange(*client, setupRequest)), toHex(setupReply));
}

TEST_F(TransportTest, DataFrameWithoutEndOfTransmissionBitIsRoutedAsIfComplete) {
    auto client = connect();
    EXPECT_EQ(toHex(exchange(*client, hex("03 00 00 19 02 F0 00 32 01 00 00 00 01 00 08 00 00 F0 "
                                          "00 00 01 00 01 01 E0"))),
              toHex(setupReply));
}

TEST_F(TransportTest, DataFrameWithUnknownFirstPayloadByteIsIgnored) {
    auto client = connectS7();
    clearLog();
    expectNoReply(
        *client, hex("03 00 00 19 02 F0 80 33 01 00 00 00 01 00 08 00 00 F0 00 00 01 00 01 01 E0"));
    EXPECT_EQ(attributedLines(), Lines{});
    EXPECT_EQ(toHex(exchange(*client, setupRequest)), toHex(setupReply));
}

TEST_F(TransportTest, DataFrameTooShortForItsFirstPayloadByteIsDropped) {
    auto client = connectS7();
    client->send(leftoverBait);
    pass();
    clearLog();
    expectNoReply(*client, hex("03 00 00 07 02 F0 80"));
    EXPECT_EQ(attributedLines(), Lines{});
    EXPECT_EQ(toHex(exchange(*client, setupRequest)), toHex(setupReply));
}

TEST_F(TransportTest, S5PayloadIsRoutedByItsOpCodeAlone) {
    auto client = connectS7();
    clearLog();
    // Op code 4 is no S5 request: ignored.
    expectNoReply(*client,
                  hex("03 00 00 17 02 F0 80 53 35 10 01 03 04 03 08 01 05 00 00 00 01 FF 02"));
    EXPECT_EQ(attributedLines(), Lines{});
    // "S" with any second byte and op code 5 is a fetch.
    EXPECT_EQ(toHex(exchange(*client, hex("03 00 00 17 02 F0 80 53 58 10 01 03 05 03 08 01 05 00 "
                                          "00 00 01 FF 02"))),
              "03 00 00 19 02 F0 80 53 35 10 01 03 06 08 00 00 FF 07 00 00 01 00 00 00 00");
}

// With LI 4 the payload is still read from frame offset 7, and the S7 length is count - 9: a
// Write Var whose length fields add up to two bytes less than it carries is accepted.
TEST_F(TransportTest, DataFrameWithLengthIndicator4PassesAnS7LengthOfCountLess9) {
    auto client = connectS7();
    const std::string twoByteWrite = "32 01 00 00 00 09 00 0E 00 06 05 01 12 0A 10 02 00 02 00 0B "
                                     "84 00 00 00 00 04 00 10 AA BB 77 77";
    EXPECT_EQ(toHex(exchange(*client, hex("03 00 00 27 04 F0 80 " + twoByteWrite))),
              "03 00 00 16 02 F0 80 32 03 00 00 00 09 00 02 00 01 00 00 05 01 FF");
    // The same PDU in a frame with LI 2 has two bytes more than its lengths say.
    EXPECT_EQ(toHex(exchange(*client, hex("03 00 00 27 02 F0 80 " + twoByteWrite))),
              "03 00 00 15 02 F0 80 32 02 00 00 00 09 00 02 00 00 00 00 05 01");
    EXPECT_EQ(toHex(exchange(*client, hex("03 00 00 1F 02 F0 80 32 01 00 00 00 0A 00 0E 00 00 04 "
                                          "01 12 0A 10 02 00 02 00 0B 84 00 00 00"))),
              "03 00 00 1B 02 F0 80 32 03 00 00 00 0A 00 02 00 06 00 00 04 01 FF 04 00 10 AA BB");
}

// ---------------------------------------------------------------------------------------------
// Cutting frames out of the stream

// A session whose every reply is known: connect, setup, write, read back, disconnect.
const Bytes sessionRequests[] = {connectionRequest, setupRequest, writeRequest, readRequest,
                                 disconnectRequest};

Bytes sessionStream() {
    Bytes stream;
    for (const Bytes &request : sessionRequests) {
        stream.insert(stream.end(), request.begin(), request.end());
    }
    return stream;
}

const std::string sessionReplies =
    toHex(connectionConfirm + setupReply + writeReply + readReplyAfterWrite + disconnectConfirm);

const Lines sessionLines = {"87 Calling TSAP = 1,0",
                            "87 Called TSAP = 1,2",
                            "87 TPDU Size = A",
                            "23 hh:mm:ss-[0]Sending Connect confirm dref=256",
                            "23 hh:mm:ss-[0] Sending S7 PDU Response",
                            "87 (0)hh:mm:ss-[0] Receiving write S7 data DB10,8 l=4",
                            "23 (0)hh:mm:ss-[0] Sending S7 data DB10,8 l=4",
                            "23 hh:mm:ss-[0] Sending DisConnect confirm",
                            "23 hh:mm:ss-[0] TCP Dis-conn 0"};

TEST_F(TransportTest, SessionSentOneFramePerSendGivesTheKnownReplies) {
    auto client = connect();
    clearLog();
    Bytes replies;
    for (const Bytes &request : sessionRequests) {
        const Bytes reply = exchange(*client, request);
        replies.insert(replies.end(), reply.begin(), reply.end());
    }
    EXPECT_EQ(toHex(replies), sessionReplies);
    EXPECT_EQ(attributedLines(), sessionLines);
}

TEST_F(TransportTest, SessionSplitByteByByteGivesTheSameRepliesAndLines) {
    auto client = connect();
    clearLog();
    Bytes replies;
    for (const std::uint8_t byte : sessionStream()) {
        client->send(Bytes{byte});
        pass();
        const Bytes reply = client->receiveAvailable(0);
        replies.insert(replies.end(), reply.begin(), reply.end());
    }
    const Bytes rest = client->receiveAvailable(noReplyWaitMs);
    replies.insert(replies.end(), rest.begin(), rest.end());
    EXPECT_EQ(toHex(replies), sessionReplies);
    EXPECT_EQ(attributedLines(), sessionLines);
}

TEST_F(TransportTest, SessionSplitAtUnevenPointsGivesTheSameRepliesAndLines) {
    auto client = connect();
    clearLog();
    const Bytes stream = sessionStream();
    // Cuts fall inside TPKT headers, COTP headers, S7 headers and data alike.
    const std::size_t pieces[] = {3, 1, 19, 2, 5, 11, 30, 2, 1, 1, 17, 9, 4, 13};
    std::size_t at = 0;
    Bytes replies;
    for (std::size_t i = 0; at < stream.size(); ++i) {
        const std::size_t take = std::min(pieces[i % std::size(pieces)], stream.size() - at);
        client->send(Bytes(stream.begin() + static_cast<std::ptrdiff_t>(at),
                           stream.begin() + static_cast<std::ptrdiff_t>(at + take)));
        at += take;
        pass();
    }
    replies = client->receiveAvailable();
    EXPECT_EQ(toHex(replies), sessionReplies);
    EXPECT_EQ(attributedLines(), sessionLines);
}

TEST_F(TransportTest, SessionCutInTwoAtEveryPointGivesTheSameRepliesAndLines) {
    const Bytes stream = sessionStream();
    for (std::size_t cut = 1; cut < stream.size(); ++cut) {
        SCOPED_TRACE("cut after byte " + std::to_string(cut));
        auto client = connect();
        clearLog();
        client->send(Bytes(stream.begin(), stream.begin() + static_cast<std::ptrdiff_t>(cut)));
        pass();
        client->send(Bytes(stream.begin() + static_cast<std::ptrdiff_t>(cut), stream.end()));
        pass();
        ASSERT_EQ(toHex(client->receiveAvailable()), sessionReplies);
        ASSERT_EQ(attributedLines(), sessionLines);
        ASSERT_EQ(connectionTable().connectionCount, 0);
    }
}

TEST_F(TransportTest, SessionMergedInOneSendGivesTheSameRepliesAndLinesInOnePass) {
    auto client = connect();
    clearLog();
    EXPECT_EQ(toHex(exchange(*client, sessionStream())), sessionReplies);
    EXPECT_EQ(attributedLines(), sessionLines);
    EXPECT_TRUE(client->closedByServer());
}

// Both slots receive into the one shared buffer: the start of a frame must be kept per slot.
TEST_F(TransportTest, FrameStartOnOneSlotSurvivesTheOtherSlotsTrafficInBetween) {
    auto first = connectS7();
    auto second = connectS7();
    const Bytes firstHalf(writeRequest.begin(), writeRequest.begin() + 20);
    const Bytes secondHalf(writeRequest.begin() + 20, writeRequest.end());
    expectNoReply(*first, firstHalf);
    // Slot 1 writes other bytes to the same place, through the same receive buffer.
    EXPECT_EQ(toHex(exchange(*second, hex("03 00 00 27 02 F0 80 32 01 00 00 00 05 00 0E 00 08 05 "
                                          "01 12 0A 10 02 00 04 00 0A 84 00 00 40 00 04 00 20 EE "
                                          "EE EE EE"))),
              toHex(writeReply));
    EXPECT_EQ(toHex(exchange(*first, secondHalf)), toHex(writeReply));
    EXPECT_EQ(toHex(exchange(*second, readRequest)), toHex(readReplyAfterWrite));
}

TEST_F(TransportTest, FrameStartHeldOnSlot1IsCompletedAfterItBecomesSlot0) {
    auto first = connectS7();
    auto second = connectS7();
    second->send(Bytes(writeRequest.begin(), writeRequest.begin() + 30));
    pass();
    EXPECT_EQ(toHex(exchange(*first, disconnectRequest)), toHex(disconnectConfirm));
    clearLog();
    EXPECT_EQ(toHex(exchange(*second, Bytes(writeRequest.begin() + 30, writeRequest.end()))),
              toHex(writeReply));
    EXPECT_EQ(attributedLines(), (Lines{"87 (0)hh:mm:ss-[0] Receiving write S7 data DB10,8 l=4"}));
}

// 50 reads of 31 bytes: the first receive takes 1024 bytes and ends inside the 34th frame.
TEST_F(TransportTest, FiftyRequestsInOneSendAreAllAnsweredInOrderAcrossReceives) {
    auto client = connectS7();
    constexpr int requestCount = 50;
    Bytes stream;
    Bytes expected;
    for (int i = 0; i < requestCount; ++i) {
        const auto reference = static_cast<std::uint16_t>(i);
        stream = stream + readVarRequest(reference, 20, 0, 1);
        expected = expected + readVarReply(reference, Bytes{0x00});
    }
    ASSERT_EQ(stream.size(), static_cast<std::size_t>(requestCount) * 31);
    client->send(stream);
    pass(3);
    EXPECT_EQ(toHex(client->receiveAvailable()), toHex(expected));
}

// A mixed stream of 300 frames from a fixed seed: setups, multi-item reads and writes of every
// size up to a whole 1024-byte frame (some refused with NAK), data items of other transport
// sizes, unknown jobs, ignored frames and oversized frames, ending in a disconnect.
std::vector<Bytes> mixedFrames() {
    std::mt19937 random(20261207);
    const auto below = [&random](std::uint32_t limit) {
        return static_cast<std::uint32_t>(random() % limit);
    };
    const auto u8 = [](std::uint32_t value) { return static_cast<std::uint8_t>(value & 0xFF); };
    const auto item = [&](std::uint32_t count, std::uint32_t offset) {
        const std::uint32_t db = 20 + below(6);
        const std::uint32_t bits = offset * 8 + below(8);
        return Bytes{0x12,          0x0A,        0x10,   u8(1 + below(6)),    u8(count >> 8),
                     u8(count),     u8(db >> 8), u8(db), u8(0x81 + below(4)), u8(bits >> 16),
                     u8(bits >> 8), u8(bits)};
    };
    std::vector<Bytes> frames = {connectionRequest};
    for (int n = 0; n < 300; ++n) {
        const std::uint32_t reference = below(65536);
        Bytes pdu = {0x32, 0x01, 0x00, 0x00, u8(reference >> 8), u8(reference)};
        const std::uint32_t kind = below(10);
        if (kind == 0) {
            pdu.insert(pdu.end(),
                       {0x00, 0x08, 0x00, 0x00, 0xF0, 0x00, 0x00, 0x01, 0x00, 0x01, 0x01, 0xE0});
            frames.push_back(isoDataFrame(pdu));
        } else if (kind <= 3) {
            // Read Var; one in five announces an item more than it carries.
            const std::uint32_t items = 1 + below(5);
            const std::uint32_t announced = items + (below(5) == 0 ? 1 : 0);
            pdu.insert(pdu.end(), {u8((2 + 12 * items) >> 8), u8(2 + 12 * items), 0x00, 0x00, 0x04,
                                   u8(announced)});
            for (std::uint32_t i = 0; i < items; ++i) {
                const Bytes one = item(below(400), below(700));
                pdu.insert(pdu.end(), one.begin(), one.end());
            }
            frames.push_back(isoDataFrame(pdu));
        } else if (kind <= 6) {
            // Write Var of up to three data items, any transport size, sized to fit the frame.
            const std::uint32_t items = 1 + below(3);
            Bytes parameters = {0x05, u8(items)};
            Bytes data;
            std::uint32_t room = 1024 - 7 - 10 - 2 - 12 * items;
            for (std::uint32_t i = 0; i < items; ++i) {
                const std::uint8_t sizes[] = {0x04, 0x04, 0x04, 0x03, 0x05, 0x07, 0x09};
                const std::uint8_t transportSize = sizes[below(7)];
                std::uint32_t bytes = 1 + below(std::min<std::uint32_t>(room - 5, 500) / items);
                room -= bytes + 5;
                const Bytes one = item(bytes, below(2000));
                parameters.insert(parameters.end(), one.begin(), one.end());
                std::uint32_t length = bytes * 8;
                if (transportSize == 0x03) {
                    bytes = 1;
                    length = 1;
                } else if (transportSize == 0x07 || transportSize == 0x09) {
                    length = bytes;
                }
                data.insert(data.end(), {0x00, transportSize, u8(length >> 8), u8(length)});
                for (std::uint32_t b = 0; b < bytes; ++b) {
                    data.push_back(u8(below(256)));
                }
                if (bytes % 2 == 1 && i + 1 < items) {
                    data.push_back(0x00);
                }
            }
            // One in six has a data length one off, and is refused.
            const std::uint32_t declared =
                static_cast<std::uint32_t>(data.size()) + (below(6) == 0 ? 1 : 0);
            pdu.insert(pdu.end(), {u8(static_cast<std::uint32_t>(parameters.size() >> 8)),
                                   u8(static_cast<std::uint32_t>(parameters.size())),
                                   u8(declared >> 8), u8(declared)});
            pdu.insert(pdu.end(), parameters.begin(), parameters.end());
            pdu.insert(pdu.end(), data.begin(), data.end());
            frames.push_back(isoDataFrame(pdu));
        } else if (kind == 7) {
            pdu.insert(pdu.end(), {0x00, 0x02, 0x00, 0x00, u8(0x10 + below(0xE0)), 0x00});
            frames.push_back(isoDataFrame(pdu));
        } else if (kind == 8) {
            Bytes junk = {0x99};
            for (std::uint32_t b = below(200); b > 0; --b) {
                junk.push_back(u8(below(256)));
            }
            frames.push_back(isoDataFrame(junk));
        } else {
            Bytes oversized = {0x03, 0x00, 0x00, 0x00};
            const std::uint32_t length = 1025 + below(3000);
            oversized[2] = u8(length >> 8);
            oversized[3] = u8(length);
            while (oversized.size() < length) {
                oversized.push_back(u8(below(256)));
            }
            frames.push_back(oversized);
        }
    }
    frames.push_back(disconnectRequest);
    return frames;
}

class MixedStreamTest : public ServerTest {
protected:
    struct Result {
        Bytes replies;
        Lines lines;
    };

    // Sends the stream in pieces of the given sizes (cycled), a pass after each, reading the
    // replies as they come, until the server has closed the connection.
    Result run(const Bytes &stream, const std::vector<std::size_t> &pieces) {
        TearDown(); // a fresh server: the data blocks start empty for every run
        SetUp();
        auto client = connect();
        clearLog();
        Result result;
        std::size_t at = 0;
        for (std::size_t i = 0; at < stream.size(); ++i) {
            const std::size_t take = std::min(pieces[i % pieces.size()], stream.size() - at);
            client->send(Bytes(stream.begin() + static_cast<std::ptrdiff_t>(at),
                               stream.begin() + static_cast<std::ptrdiff_t>(at + take)));
            at += take;
            pass();
            const Bytes more = client->receiveNow();
            result.replies.insert(result.replies.end(), more.begin(), more.end());
        }
        for (int round = 0; round < 500 && connectionTable().connectionCount > 0; ++round) {
            pass();
            const Bytes more = client->receiveNow();
            result.replies.insert(result.replies.end(), more.begin(), more.end());
        }
        const Bytes rest = client->receiveAvailable(noReplyWaitMs);
        result.replies.insert(result.replies.end(), rest.begin(), rest.end());
        result.lines = attributedLines();
        return result;
    }
};

TEST_F(MixedStreamTest, AnyCuttingOfAMixedStreamGivesTheRepliesAndLinesOfOneFramePerSend) {
    const std::vector<Bytes> frames = mixedFrames();
    Bytes stream;
    std::vector<std::size_t> frameSizes;
    for (const Bytes &frame : frames) {
        stream.insert(stream.end(), frame.begin(), frame.end());
        frameSizes.push_back(frame.size());
    }
    const Result reference = run(stream, frameSizes);
    ASSERT_EQ(connectionTable().connectionCount, 0);
    ASSERT_EQ(reference.lines.back(), "23 hh:mm:ss-[0] TCP Dis-conn 0");
    ASSERT_GT(reference.replies.size(), 20000u);

    const std::vector<std::vector<std::size_t>> cuttings = {
        {1, 2, 3, 5, 8, 13, 21, 34, 55, 89, 144, 233, 377, 610, 987, 1597},
        {1024},
        {1023, 1},
        {7, 700, 3, 1500, 64}};
    for (const auto &pieces : cuttings) {
        SCOPED_TRACE("pieces starting with " + std::to_string(pieces.front()));
        const Result cut = run(stream, pieces);
        EXPECT_EQ(cut.replies.size(), reference.replies.size());
        EXPECT_TRUE(cut.replies == reference.replies);
        EXPECT_EQ(cut.lines, reference.lines);
    }
}

TEST_F(TransportTest, TpktVersionOtherThan3ClosesWithOneErrorLine) {
    auto client = connectS7();
    clearLog();
    client->send(hex("02 00 00 19 02 F0 80 32 01 00 00 00 01 00 08 00 00 F0 00 00 01 00 01 01 E0"));
    pass();
    EXPECT_TRUE(client->closedByServer());
    EXPECT_EQ(attributedLines(),
              (Lines{"70 hh:mm:ss-[0] Bad TPKT header version=2 length=25, closing",
                     "23 hh:mm:ss-[0] TCP Dis-conn 0"}));
}

TEST_F(TransportTest, S7PduWithoutTpktHeaderClosesWithOneErrorLine) {
    auto client = connectS7();
    clearLog();
    client->send(hex("32 01 00 00 00 01 00 08 00 00 F0 00 00 01 00 01 00 F0"));
    pass();
    EXPECT_TRUE(client->closedByServer());
    EXPECT_EQ(attributedLines(),
              (Lines{"70 hh:mm:ss-[0] Bad TPKT header version=50 length=0, closing",
                     "23 hh:mm:ss-[0] TCP Dis-conn 0"}));
}

TEST_F(TransportTest, TpktLengthBelow7ClosesWithOneErrorLineAnd7IsAccepted) {
    for (const char *length : {"00 00", "00 04", "00 06"}) {
        SCOPED_TRACE(length);
        auto client = connectS7();
        clearLog();
        client->send(hex(std::string("03 00 ") + length + " 02 F0 80"));
        pass();
        EXPECT_TRUE(client->closedByServer());
        const Lines logged = attributedLines();
        ASSERT_EQ(logged.size(), 2u);
        EXPECT_EQ(logged[0].substr(0, 42), "70 hh:mm:ss-[0] Bad TPKT header version=3 ");
        EXPECT_EQ(logged[1], "23 hh:mm:ss-[0] TCP Dis-conn 0");
    }
    auto client = connectS7();
    clearLog();
    client->send(hex("03 00 00 07 02 F0 80"));
    pass();
    EXPECT_EQ(attributedLines(), Lines{});
    EXPECT_EQ(toHex(exchange(*client, setupRequest)), toHex(setupReply));
}

TEST_F(TransportTest, BadHeaderBehindGoodFramesClosesAfterTheyAreAnswered) {
    auto client = connectS7();
    clearLog();
    EXPECT_EQ(toHex(exchange(*client, setupRequest + hex("04 00 00 07 02 F0 80") + setupRequest)),
              toHex(setupReply));
    EXPECT_TRUE(client->closedByServer());
    EXPECT_EQ(attributedLines(),
              (Lines{"23 hh:mm:ss-[0] Sending S7 PDU Response",
                     "70 hh:mm:ss-[0] Bad TPKT header version=4 length=7, closing",
                     "23 hh:mm:ss-[0] TCP Dis-conn 0"}));
}

// An oversized frame full of valid-looking requests: none of them may be answered.
Bytes oversizedFrame(std::size_t length) {
    Bytes frame = hex("03 00 00 00 02 F0 80");
    frame[2] = static_cast<std::uint8_t>(length >> 8);
    frame[3] = static_cast<std::uint8_t>(length & 0xFF);
    while (frame.size() < length) {
        frame.insert(frame.end(), setupRequest.begin(), setupRequest.end());
    }
    frame.resize(length);
    return frame;
}

TEST_F(TransportTest, FrameOf1025BytesIsSkippedWholeAndTheConnectionGoesOn) {
    auto client = connectS7();
    clearLog();
    client->send(oversizedFrame(1025) + setupRequest);
    pass(3);
    EXPECT_EQ(toHex(client->receiveAvailable()), toHex(setupReply));
    EXPECT_EQ(attributedLines(), (Lines{"70 hh:mm:ss-[0] Frame of 1025 bytes is too large, skipped",
                                        "23 hh:mm:ss-[0] Sending S7 PDU Response"}));
    EXPECT_EQ(toHex(exchange(*client, setupRequest)), toHex(setupReply));
}

TEST_F(TransportTest, FrameOf65535BytesIsSkippedWholeOverManyReceives) {
    auto client = connectS7();
    clearLog();
    client->send(oversizedFrame(65535) + setupRequest);
    pass(80); // 64 receives of 1024 bytes, and a few to spare
    EXPECT_EQ(toHex(client->receiveAvailable()), toHex(setupReply));
    EXPECT_EQ(attributedLines(),
              (Lines{"70 hh:mm:ss-[0] Frame of 65535 bytes is too large, skipped",
                     "23 hh:mm:ss-[0] Sending S7 PDU Response"}));
}

// The largest frame that is handled: a Write Var of 989 bytes fills 1024 bytes exactly.
TEST_F(TransportTest, FrameOf1024BytesIsHandled) {
    auto client = connectS7();
    Bytes request = hex("03 00 04 00 02 F0 80 32 01 00 00 00 01 00 0E 03 E1 05 01 12 0A 10 02 03 "
                        "DD 00 0C 84 00 00 00 00 04 1E E8");
    request.resize(1024, 0x5A);
    EXPECT_EQ(toHex(exchange(*client, request)),
              "03 00 00 16 02 F0 80 32 03 00 00 00 01 00 02 00 01 00 00 05 01 FF");
    EXPECT_EQ(
        toHex(exchange(*client, hex("03 00 00 1F 02 F0 80 32 01 00 00 00 02 00 0E 00 00 04 "
                                    "01 12 0A 10 02 00 03 00 0C 84 00 1E D8"))),
        "03 00 00 1C 02 F0 80 32 03 00 00 00 02 00 02 00 07 00 00 04 01 FF 04 00 18 5A 5A 00");
}

// ---------------------------------------------------------------------------------------------
// Requests cut short at every length

struct Outcome {
    std::string reply;
    Lines lines;
    bool closes;
};

// Sends the first length bytes of frame (as a frame of that length) for every length from 7 up
// to lastLength, each on a fresh connection right behind each of the two leftover baits, so that
// bytes an earlier frame left in the receive buffer would show if they were read.
class TruncationTest : public ServerTest {
protected:
    void sweep(const Bytes &frame, const std::function<Outcome(std::size_t)> &expected,
               std::size_t lastLength = 0) {
        if (lastLength == 0) {
            lastLength = frame.size();
        }
        for (std::size_t run = 0; run < 2 * (lastLength - 6); ++run) {
            const std::size_t length = 7 + run / 2;
            const Bytes &bait = run % 2 == 0 ? leftoverBait : otherLeftoverBait;
            SCOPED_TRACE("frame cut to " + std::to_string(length) + " bytes behind bait " +
                         std::to_string(run % 2));
            auto client = connect();
            client->send(bait);
            pass();
            clearLog();
            client->send(truncatedFrame(frame, length));
            pass();
            const Outcome outcome = expected(length);
            EXPECT_EQ(toHex(client->receiveAvailable(outcome.reply.empty() ? noReplyWaitMs : 200)),
                      outcome.reply);
            Lines expectedLines = outcome.lines;
            if (outcome.closes) {
                expectedLines.push_back("23 hh:mm:ss-[0] TCP Dis-conn 0");
            }
            EXPECT_EQ(attributedLines(), expectedLines);
            EXPECT_EQ(connectionTable().connectionCount, outcome.closes ? 0 : 1);
            if (!outcome.closes) {
                client->close();
                pass(); // the server sees the end of the stream and frees the slot
                ASSERT_EQ(connectionTable().connectionCount, 0);
            }
        }
    }
};

const std::string nakReadCount0 = "03 00 00 15 02 F0 80 32 02 00 00 00 06 00 02 00 00 00 00 04 00";
const std::string nakReadCount1 = "03 00 00 15 02 F0 80 32 02 00 00 00 06 00 02 00 00 00 00 04 01";

// The S7 header ranges shared by every S7 job cut short.
Outcome shortS7Header(std::size_t length) {
    if (length == 7) {
        return {"", {}, false}; // no first payload byte
    }
    if (length == 8) {
        return {"", {"70 hh:mm:ss-[0] Unknown packet type 0"}, false};
    }
    if (length < 17) {
        return {"", {"70 hh:mm:ss-[0] Unknown packet type 1"}, false};
    }
    return {"", {"70 hh:mm:ss-[0] Unknown command 0"}, false}; // header without function
}

TEST_F(TruncationTest, ConnectionRequestCutShortIsJudgedOnlyByItsOwnBytes) {
    const Lines calling = {"87 Calling TSAP = 1,0"};
    const Lines callingCalled = {"87 Calling TSAP = 1,0", "87 Called TSAP = 1,2"};
    const std::string confirm = toHex(connectionConfirm);
    const std::string refusal = "03 00 00 16 11 80 00 01 01 00 00 C0 01 09 C1 02 4B 54 C1 02 03 02";
    const std::string confirmLine = "23 hh:mm:ss-[0]Sending Connect confirm dref=256";
    sweep(connectionRequest, [&](std::size_t length) -> Outcome {
        if (length < 11) {
            return {"", {}, false}; // shorter than the fixed part
        }
        if (length < 15) {
            return {confirm, {confirmLine}, false};
        }
        if (length == 15) {
            return {confirm, {calling[0], confirmLine}, false};
        }
        if (length < 19) {
            // 0xC2 at byte 15, and byte 18 absent: no slot 2 is addressed.
            return {refusal, {calling[0], confirmLine}, true};
        }
        if (length < 22) {
            return {confirm, {callingCalled[0], callingCalled[1], confirmLine}, false};
        }
        return {
            confirm, {callingCalled[0], callingCalled[1], "87 TPDU Size = A", confirmLine}, false};
    });
}

TEST_F(TruncationTest, DisconnectRequestCutShortClosesWithoutConfirmUntilItCarriesBothReferences) {
    sweep(disconnectRequest, [&](std::size_t length) -> Outcome {
        if (length < 10) {
            return {"",
                    {"70 hh:mm:ss-[0] Disconnect request of " + std::to_string(length) +
                     " bytes, closing without confirm"},
                    true};
        }
        return {toHex(disconnectConfirm), {"23 hh:mm:ss-[0] Sending DisConnect confirm"}, true};
    });
}

TEST_F(TruncationTest, SetupCommunicationCutShortIsAnsweredOnceItsFunctionArrives) {
    sweep(setupRequest, [&](std::size_t length) -> Outcome {
        if (length < 18) {
            return shortS7Header(length);
        }
        return {toHex(setupReply), {"23 hh:mm:ss-[0] Sending S7 PDU Response"}, false};
    });
}

TEST_F(TruncationTest, ReadVarCutShortIsRefusedUntilItsItemIsComplete) {
    sweep(readRequest, [&](std::size_t length) -> Outcome {
        if (length < 18) {
            return shortS7Header(length);
        }
        if (length < readRequest.size()) {
            return {length == 18 ? nakReadCount0 : nakReadCount1, {"70 Sending NAK"}, false};
        }
        return {"03 00 00 1D 02 F0 80 32 03 00 00 00 06 00 02 00 08 00 00 04 01 FF 04 00 20 00 00 "
                "00 00",
                {"23 (0)hh:mm:ss-[0] Sending S7 data DB10,8 l=4"},
                false};
    });
}

TEST_F(TruncationTest, WriteVarCutShortIsRefusedAndStoresNothing) {
    sweep(
        writeRequest,
        [&](std::size_t length) -> Outcome {
            if (length < 18) {
                return shortS7Header(length);
            }
            return {length == 18 ? "03 00 00 15 02 F0 80 32 02 00 00 00 05 00 02 00 00 00 00 05 00"
                                 : "03 00 00 15 02 F0 80 32 02 00 00 00 05 00 02 00 00 00 00 05 01",
                    {"70 Sending NAK"},
                    false};
        },
        writeRequest.size() - 1);
    auto client = connect();
    EXPECT_EQ(toHex(exchange(*client, readRequest)),
              "03 00 00 1D 02 F0 80 32 03 00 00 00 06 00 02 00 08 00 00 04 01 FF 04 00 20 00 00 "
              "00 00");
    EXPECT_EQ(toHex(exchange(*client, writeRequest)), toHex(writeReply));
    EXPECT_EQ(toHex(exchange(*client, readRequest)), toHex(readReplyAfterWrite));
}

// ---------------------------------------------------------------------------------------------
// A client that stops taking its replies

// A Read Var of 999 bytes of DB20 gets a reply of exactly 1024 bytes; the reference tells the
// replies apart.
Bytes largeReadRequest(int reference) {
    return readVarRequest(static_cast<std::uint16_t>(reference), 20, 0, 999);
}

Bytes largeReadReply(int reference) {
    return readVarReply(static_cast<std::uint16_t>(reference), Bytes(999, 0x00));
}

class StalledClientTest : public ServerTest {
protected:
    // A client with a small receive window, through connection request and setup.
    std::unique_ptr<TestClient> connectSmallWindow() {
        auto client = std::make_unique<TestClient>(port, 4096);
        EXPECT_TRUE(client->connected());
        pass();
        // A small send buffer on the server's side too, as a slow link would give: the server
        // runs into a partial send after tens of replies rather than thousands.
        const int sendBuffer = 4096;
        const auto serverSide = static_cast<int>(
            connectionTable()
                .slots[static_cast<std::size_t>(connectionTable().connectionCount - 1)]
                .socket);
        setsockopt(serverSide, SOL_SOCKET, SO_SNDBUF, &sendBuffer, sizeof sendBuffer);
        EXPECT_EQ(exchange(*client, connectionRequest).size(), 22u);
        EXPECT_EQ(toHex(exchange(*client, setupRequest)), toHex(setupReply));
        return client;
    }

    // Sends 33 large reads (1023 bytes, one receive), numbered from first on.
    static void sendBatch(TestClient &client, int first) {
        Bytes requests;
        for (int i = 0; i < batchSize; ++i) {
            const Bytes request = largeReadRequest(first + i);
            requests.insert(requests.end(), request.begin(), request.end());
        }
        client.send(requests);
    }

    // Sends batches until the server holds reply bytes the client has not taken. Returns the
    // number of requests sent.
    int stall(TestClient &client, int slot = 0) {
        constexpr int batchLimit = 100; // bounded: about 3 MB of replies at most
        int sent = 0;
        for (int batch = 0; batch < batchLimit && !hasUnsentReply(connectionTable(), slot);
             ++batch) {
            sendBatch(client, sent);
            sent += batchSize;
            pass();
        }
        return sent;
    }

    static constexpr int batchSize = 33;

    // Checks that received holds exactly the replies to requests 0 .. count - 1, in order.
    static void expectLargeReplies(const Bytes &received, int count) {
        ASSERT_EQ(received.size(), static_cast<std::size_t>(count) * 1024);
        int wrong = 0;
        for (int i = 0; i < count && wrong < 3; ++i) {
            const Bytes reply(received.begin() + i * 1024, received.begin() + (i + 1) * 1024);
            if (reply != largeReadReply(i)) {
                ADD_FAILURE() << "reply " << i << " differs: " << toHex(reply).substr(0, 80);
                ++wrong;
            }
        }
    }

    // Lets the client read until it has count bytes or the bound runs out.
    Bytes drain(TestClient &client, std::size_t count) {
        Bytes received;
        for (int round = 0; round < 2000 && received.size() < count; ++round) {
            pass();
            const Bytes more = client.receiveAvailable(5);
            received.insert(received.end(), more.begin(), more.end());
        }
        return received;
    }
};

TEST_F(StalledClientTest, OtherSlotIsServedWhileOneClientTakesNoRepliesAndNoReplyIsCutShort) {
    auto stalled = connectSmallWindow();
    auto other = connectS7();
    int sent = stall(*stalled);
    ASSERT_TRUE(hasUnsentReply(connectionTable(), 0))
        << "the client took every reply of " << sent << " requests";
    // Requests sent now wait in the socket until the replies before them have gone.
    sendBatch(*stalled, sent);
    sent += batchSize;

    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(toHex(exchange(*other, setupRequest)), toHex(setupReply));
        EXPECT_EQ(toHex(exchange(*other, hex("03 00 00 1F 02 F0 80 32 01 00 00 00 06 00 0E 00 00 "
                                             "04 01 12 0A 10 02 00 01 00 15 84 00 00 00"))),
                  "03 00 00 1A 02 F0 80 32 03 00 00 00 06 00 02 00 05 00 00 04 01 FF 04 00 08 00");
    }
    EXPECT_EQ(connectionTable().connectionCount, 2);

    expectLargeReplies(drain(*stalled, static_cast<std::size_t>(sent) * 1024), sent);
    // Afterwards the connection works as before.
    EXPECT_EQ(toHex(exchange(*stalled, setupRequest)), toHex(setupReply));
}

// Slot 0 leaves while slot 1 holds unsent replies and waiting frames: they move with it.
TEST_F(StalledClientTest, PendingRepliesMoveWithTheClientWhenItBecomesSlot0) {
    auto first = connectS7();
    auto stalled = connectSmallWindow();
    int sent = stall(*stalled, 1);
    ASSERT_TRUE(hasUnsentReply(connectionTable(), 1))
        << "the client took every reply of " << sent << " requests";
    sendBatch(*stalled, sent);
    sent += batchSize;
    EXPECT_EQ(toHex(exchange(*first, disconnectRequest)), toHex(disconnectConfirm));
    ASSERT_EQ(connectionTable().connectionCount, 1);
    expectLargeReplies(drain(*stalled, static_cast<std::size_t>(sent) * 1024), sent);
    clearLog();
    EXPECT_EQ(toHex(exchange(*stalled, setupRequest)), toHex(setupReply));
    EXPECT_EQ(attributedLines(), (Lines{"23 hh:mm:ss-[0] Sending S7 PDU Response"}));
}

TEST_F(StalledClientTest, ClientThatNeverTakesItsRepliesIsClosedAtTheIdleLimit) {
    auto stalled = connectSmallWindow();
    const int sent = stall(*stalled);
    ASSERT_TRUE(hasUnsentReply(connectionTable(), 0));
    clearLog();
    tick(idleTickLimit);
    EXPECT_EQ(connectionTable().connectionCount, 1);
    // One batch was taken in one receive, so nothing arrives after it and the next tick is the
    // one past the limit. Had the stall taken more batches, a later one read once replies drain
    // would restart the count; the bound covers that.
    int extraTicks = 0;
    while (connectionTable().connectionCount > 0 && extraTicks <= idleTickLimit) {
        tick();
        ++extraTicks;
    }
    EXPECT_EQ(connectionTable().connectionCount, 0);
    if (sent == batchSize) {
        EXPECT_EQ(extraTicks, 1);
    }
    // Replies may still trickle out while the client's window opens; the close comes last.
    const Lines logged = attributedLines();
    ASSERT_GE(logged.size(), 2u);
    EXPECT_EQ(Lines(logged.end() - 2, logged.end()),
              (Lines{"70 Inactivity shutdown", "23 hh:mm:ss-[0] TCP Dis-conn 0"}));
    EXPECT_TRUE(stalled->closedByServer(1000));
}

} // namespace
