// The S7 services end to end: dispatch, setup communication, Read Var and Write Var, with the
// exact reply frames and log lines.
#include "harness.h"

#include "memory/data_block_table.h"

#include <string>
#include <vector>

namespace {

using Lines = std::vector<std::string>;

// An ISO data frame around an S7 PDU given in hex.
Bytes dt(const std::string &pduHex) {
    return isoDataFrame(hex(pduHex));
}

Bytes zeros(std::size_t count) {
    return Bytes(count, 0x00);
}

// Data bytes that show where each byte came from.
Bytes pattern(std::size_t count) {
    Bytes bytes(count);
    for (std::size_t i = 0; i < count; ++i) {
        bytes[i] = static_cast<std::uint8_t>(0x80 + i * 7);
    }
    return bytes;
}

const std::string writeOkReply =
    "03 00 00 16 02 F0 80 32 03 00 00 00 01 00 02 00 01 00 00 05 01 FF";

class S7Test : public ServerTest {
protected:
    // Reads count bytes of a DB from byteOffset and returns the reply's data (after FF 04 LL LL).
    Bytes readBack(TestClient &client, std::uint16_t dbNumber, std::uint16_t byteOffset,
                   std::uint16_t count) {
        const auto u8 = [](std::size_t value) { return static_cast<std::uint8_t>(value & 0xFF); };
        const Bytes reply = exchange(client, readVarRequest(0x63, dbNumber, byteOffset, count));
        EXPECT_EQ(reply.size(), 25u + count);
        if (reply.size() < 25) {
            return {};
        }
        EXPECT_EQ(
            toHex(Bytes(reply.begin() + 21, reply.begin() + 25)),
            toHex(Bytes{0xFF, 0x04, u8(std::size_t{count} * 8 >> 8), u8(std::size_t{count} * 8)}));
        return Bytes(reply.begin() + 25, reply.end());
    }

    std::size_t blockSize(std::size_t dbNumber) { return dataBlock(dbNumber).size(); }
};

// ---------------------------------------------------------------------------------------------
// Setup communication and dispatch

TEST_F(S7Test, SetupJobProposing240IsAnsweredWithTheExact27Bytes) {
    auto client = connect();
    clearLog();
    EXPECT_EQ(toHex(exchange(*client, dt("32 01 00 00 00 01 00 08 00 00 F0 00 00 01 00 01 00 F0"))),
              "03 00 00 1B 02 F0 80 32 03 00 00 00 01 00 08 00 00 00 00 F0 00 00 01 00 01 01 E0");
    EXPECT_EQ(attributedLines(), (Lines{"23 hh:mm:ss-[0] Sending S7 PDU Response"}));
}

TEST_F(S7Test, SetupJobProposing960GetsTheSameOfferWithItsOwnReservedBytesAndReference) {
    auto client = connect();
    EXPECT_EQ(toHex(exchange(*client, dt("32 01 12 34 AB CD 00 08 00 00 F0 00 00 03 00 03 03 C0"))),
              "03 00 00 1B 02 F0 80 32 03 12 34 AB CD 00 08 00 00 00 00 F0 00 00 01 00 01 01 E0");
    EXPECT_EQ(toHex(exchange(*client, dt("32 01 00 00 AB CE 00 08 00 00 F0 00 00 03 00 03 03 C0"))),
              "03 00 00 1B 02 F0 80 32 03 00 00 AB CE 00 08 00 00 00 00 F0 00 00 01 00 01 01 E0");
}

TEST_F(S7Test, SetupOnSlot1IsLoggedInSlot1Colour) {
    auto first = connectS7();
    auto second = connect();
    clearLog();
    EXPECT_EQ(toHex(exchange(*second, hex(setupRequestHex))), toHex(hex(setupReplyHex)));
    EXPECT_EQ(attributedLines(), (Lines{"30 hh:mm:ss-[1] Sending S7 PDU Response"}));
}

TEST_F(S7Test, JobWithUnknownFunctionIsLoggedAndGetsNoReply) {
    auto client = connectS7();
    clearLog();
    expectNoReply(*client, dt("32 01 00 00 00 02 00 02 00 00 00 00"));
    expectNoReply(*client, dt("32 01 00 00 00 03 00 02 00 00 28 00"));
    expectNoReply(*client, dt("32 01 00 00 00 04 00 02 00 00 FF 00"));
    EXPECT_EQ(attributedLines(),
              (Lines{"70 hh:mm:ss-[0] Unknown command 0", "70 hh:mm:ss-[0] Unknown command 40",
                     "70 hh:mm:ss-[0] Unknown command 255"}));
}

TEST_F(S7Test, AckAckDataAndUserdataFromTheClientAreLoggedWithTypeAndFunction) {
    auto client = connectS7();
    clearLog();
    expectNoReply(*client, dt("32 07 00 00 00 05 00 08 00 04 00 01 12 04 11 44 01 00 0A 00 00 00"));
    expectNoReply(*client, dt("32 02 00 00 00 06 00 00 00 00 04 01"));
    expectNoReply(*client, dt("32 03 00 00 00 07 00 02 00 00 00 00 F0 00"));
    EXPECT_EQ(attributedLines(), (Lines{"70 hh:mm:ss-[0] received data msg ht=7 cmd=0",
                                        "70 hh:mm:ss-[0] received data msg ht=2 cmd=4",
                                        "70 hh:mm:ss-[0] received data msg ht=3 cmd=0"}));
}

TEST_F(S7Test, UnknownMessageTypesAreLoggedAndGetNoReply) {
    auto client = connectS7();
    clearLog();
    for (const char *type : {"00", "04", "05", "06", "08", "FF"}) {
        expectNoReply(*client, dt(std::string("32 ") + type +
                                  " 00 00 00 01 00 08 00 00 F0 00 00 01 00 01 "
                                  "01 E0"));
    }
    EXPECT_EQ(
        attributedLines(),
        (Lines{"70 hh:mm:ss-[0] Unknown packet type 0", "70 hh:mm:ss-[0] Unknown packet type 4",
               "70 hh:mm:ss-[0] Unknown packet type 5", "70 hh:mm:ss-[0] Unknown packet type 6",
               "70 hh:mm:ss-[0] Unknown packet type 8",
               "70 hh:mm:ss-[0] Unknown packet type 255"}));
    EXPECT_EQ(toHex(exchange(*client, hex(setupRequestHex))), toHex(hex(setupReplyHex)));
}

TEST_F(S7Test, PduShorterThanItsHeaderIsAnUnknownPacket) {
    auto client = connectS7();
    clearLog();
    expectNoReply(*client, dt("32 01 00 00 00 01 00 08 00"));
    EXPECT_EQ(attributedLines(), (Lines{"70 hh:mm:ss-[0] Unknown packet type 1"}));
}

// ---------------------------------------------------------------------------------------------
// Read Var

TEST_F(S7Test, ReadVarOfWrittenBytesIsAnsweredWithTheExact29Bytes) {
    auto client = connect();
    EXPECT_EQ(toHex(exchange(*client, dt("32 01 00 00 00 05 00 0E 00 08 05 01 12 0A 10 02 00 04 00 "
                                         "0A 84 00 00 40 00 04 00 20 01 02 03 04"))),
              "03 00 00 16 02 F0 80 32 03 00 00 00 05 00 02 00 01 00 00 05 01 FF");
    clearLog();
    EXPECT_EQ(toHex(exchange(*client, dt("32 01 00 00 00 06 00 0E 00 00 04 01 12 0A 10 02 00 04 00 "
                                         "0A 84 00 00 40"))),
              "03 00 00 1D 02 F0 80 32 03 00 00 00 06 00 02 00 08 00 00 04 01 FF 04 00 20 01 02 03 "
              "04");
    EXPECT_EQ(attributedLines(), (Lines{"23 (0)hh:mm:ss-[0] Sending S7 data DB10,8 l=4"}));
}

TEST_F(S7Test, ReadVarOnSlot1IsLoggedInSlot1Colour) {
    auto first = connectS7();
    auto second = connectS7();
    clearLog();
    EXPECT_EQ(toHex(exchange(*second, dt("32 01 00 00 00 06 00 0E 00 00 04 01 12 0A 10 02 00 01 00 "
                                         "0A 84 00 00 00"))),
              "03 00 00 1A 02 F0 80 32 03 00 00 00 06 00 02 00 05 00 00 04 01 FF 04 00 08 00");
    EXPECT_EQ(attributedLines(), (Lines{"30 (0)hh:mm:ss-[1] Sending S7 data DB10,0 l=1"}));
}

TEST_F(S7Test, ReadVarWithoutItemsGetsAnEmptyReply) {
    auto client = connectS7();
    EXPECT_EQ(toHex(exchange(*client, dt("32 01 AA BB 00 07 00 02 00 00 04 00"))),
              "03 00 00 15 02 F0 80 32 03 AA BB 00 07 00 02 00 00 00 00 04 00");
}

TEST_F(S7Test, ReadVarOfABlockNeverWrittenReturnsZerosAndCreatesTheBlock) {
    auto client = connectS7();
    EXPECT_TRUE(dataBlock(10).empty());
    EXPECT_EQ(toHex(exchange(*client, dt("32 01 00 00 00 08 00 0E 00 00 04 01 12 0A 10 02 00 0A 00 "
                                         "0A 84 00 00 00"))),
              "03 00 00 23 02 F0 80 32 03 00 00 00 08 00 02 00 0E 00 00 04 01 FF 04 00 50 00 00 00 "
              "00 00 00 00 00 00 00");
    EXPECT_EQ(blockSize(10), 256u);
}

TEST_F(S7Test, ReadVarOfDb3000AndAboveIsObjectDoesNotExistAndDb2999IsServed) {
    auto client = connectS7();
    clearLog();
    EXPECT_EQ(toHex(exchange(*client, dt("32 01 00 00 00 0C 00 26 00 00 04 03 12 0A 10 02 00 02 0B "
                                         "B7 84 00 00 00 12 0A 10 02 00 02 0B B8 84 00 00 00 12 0A "
                                         "10 02 00 01 FF FF 84 00 00 00"))),
              "03 00 00 23 02 F0 80 32 03 00 00 00 0C 00 02 00 0E 00 00 04 03 FF 04 00 10 00 00 0A "
              "04 00 00 0A 04 00 00");
    EXPECT_EQ(attributedLines(), (Lines{"23 (0)hh:mm:ss-[0] Sending S7 data DB2999,0 l=2",
                                        "70 hh:mm:ss-[0] Sending S7 NO IO data DB3000,0 l=2",
                                        "70 hh:mm:ss-[0] Sending S7 NO IO data DB65535,0 l=1"}));
    EXPECT_EQ(blockSize(2999), 256u);
}

TEST_F(S7Test, MemoryAreaIsIgnoredAndEveryItemUsesTheDataBlockOfItsNumber) {
    auto client = connectS7();
    // Written as outputs (0x82) of DB 0, read as inputs (0x81) and flags (0x83).
    EXPECT_EQ(toHex(exchange(*client, dt("32 01 00 00 00 0D 00 0E 00 08 05 01 12 0A 10 02 00 04 00 "
                                         "00 82 00 00 20 00 04 00 20 DE AD BE EF"))),
              "03 00 00 16 02 F0 80 32 03 00 00 00 0D 00 02 00 01 00 00 05 01 FF");
    EXPECT_EQ(toHex(exchange(*client, dt("32 01 00 00 00 0E 00 1A 00 00 04 02 12 0A 10 02 00 04 00 "
                                         "00 81 00 00 20 12 0A 10 02 00 04 00 00 83 00 00 20"))),
              "03 00 00 25 02 F0 80 32 03 00 00 00 0E 00 02 00 10 00 00 04 02 FF 04 00 20 DE AD BE "
              "EF FF 04 00 20 DE AD BE EF");
}

TEST_F(S7Test, AddressDropsTheBitNumberAndKeepsTheByteOffsetTo16Bits) {
    auto client = connectS7();
    EXPECT_EQ(toHex(exchange(*client, dt("32 01 00 00 00 0F 00 0E 00 08 05 01 12 0A 10 02 00 04 00 "
                                         "0A 84 00 00 00 00 04 00 20 11 22 33 44"))),
              "03 00 00 16 02 F0 80 32 03 00 00 00 0F 00 02 00 01 00 00 05 01 FF");
    // 00 00 13 is byte 2 bit 3; 08 00 10 is byte 65538, which wraps to byte 2.
    EXPECT_EQ(toHex(exchange(*client, dt("32 01 00 00 00 10 00 1A 00 00 04 02 12 0A 10 02 00 02 00 "
                                         "0A 84 00 00 13 12 0A 10 02 00 02 00 0A 84 08 00 10"))),
              "03 00 00 21 02 F0 80 32 03 00 00 00 10 00 02 00 0C 00 00 04 02 FF 04 00 10 33 44 FF "
              "04 00 10 33 44");
}

TEST_F(S7Test, ElementCountIsTakenAsBytesWhateverTheTransportSize) {
    auto client = connectS7();
    EXPECT_EQ(toHex(exchange(*client, dt("32 01 00 00 00 0F 00 0E 00 08 05 01 12 0A 10 02 00 04 00 "
                                         "0A 84 00 00 00 00 04 00 20 11 22 33 44"))),
              "03 00 00 16 02 F0 80 32 03 00 00 00 0F 00 02 00 01 00 00 05 01 FF");
    // A bit, two words and a double word: 1, 2 and 1 bytes, each with transport size 04.
    EXPECT_EQ(toHex(exchange(*client, dt("32 01 00 00 00 11 00 26 00 00 04 03 12 0A 10 01 00 01 00 "
                                         "0A 84 00 00 00 12 0A 10 04 00 02 00 0A 84 00 00 00 12 0A "
                                         "10 06 00 01 00 0A 84 00 00 00"))),
              "03 00 00 26 02 F0 80 32 03 00 00 00 11 00 02 00 11 00 00 04 03 FF 04 00 08 11 00 FF "
              "04 00 10 11 22 FF 04 00 08 11");
}

TEST_F(S7Test, ElementCount0GivesAnEmptySuccessItem) {
    auto client = connectS7();
    EXPECT_EQ(toHex(exchange(*client, dt("32 01 00 00 00 12 00 0E 00 00 04 01 12 0A 10 02 00 00 00 "
                                         "0A 84 00 00 00"))),
              "03 00 00 19 02 F0 80 32 03 00 00 00 12 00 02 00 04 00 00 04 01 FF 04 00 00");
}

TEST_F(S7Test, ItemsOf3And2BytesAreSeparatedByOneFillByteAndNoneFollowsTheLast) {
    auto client = connectS7();
    exchange(*client, writeVarRequest(1, 10, 0, hex("11 22 33 44")));
    EXPECT_EQ(toHex(exchange(*client, dt("32 01 00 00 00 13 00 1A 00 00 04 02 12 0A 10 02 00 03 00 "
                                         "0A 84 00 00 00 12 0A 10 02 00 02 00 0A 84 00 00 08"))),
              "03 00 00 23 02 F0 80 32 03 00 00 00 13 00 02 00 0E 00 00 04 02 FF 04 00 18 11 22 33 "
              "00 FF 04 00 10 22 33");
}

TEST_F(S7Test, FailedItemBetweenTwoGoodOnesTakesFourBytes) {
    auto client = connectS7();
    exchange(*client, writeVarRequest(1, 10, 0, hex("11 22 33 44")));
    EXPECT_EQ(toHex(exchange(*client, dt("32 01 00 00 00 16 00 26 00 00 04 03 12 0A 10 02 00 03 00 "
                                         "0A 84 00 00 00 12 0A 10 02 00 05 0B B8 84 00 00 00 12 0A "
                                         "10 02 00 02 00 0A 84 00 00 08"))),
              "03 00 00 27 02 F0 80 32 03 00 00 00 16 00 02 00 12 00 00 04 03 FF 04 00 18 11 22 33 "
              "00 0A 04 00 00 FF 04 00 10 22 33");
}

TEST_F(S7Test, ReadVarReachingByte65470IsServedAndOneMoreIsTooBig) {
    auto client = connectS7();
    clearLog();
    // Byte offset 65400 (bit address 07 FB C0) with 70 bytes: the block grows to 65534.
    EXPECT_EQ(toHex(exchange(*client, dt("32 01 00 00 00 14 00 0E 00 00 04 01 12 0A 10 02 00 46 00 "
                                         "0B 84 07 FB C0"))),
              toHex(hex("03 00 00 5F 02 F0 80 32 03 00 00 00 14 00 02 00 4A 00 00 04 01 FF "
                        "04 02 30") +
                    zeros(70)));
    EXPECT_EQ(blockSize(11), 65534u);
    // 71 bytes on a block that did not exist: refused, but the block is created at 256 bytes.
    EXPECT_EQ(toHex(exchange(*client, dt("32 01 00 00 00 15 00 0E 00 00 04 01 12 0A 10 02 00 47 00 "
                                         "0C 84 07 FB C0"))),
              "03 00 00 19 02 F0 80 32 03 00 00 00 15 00 02 00 04 00 00 04 01 05 04 00 00");
    EXPECT_EQ(blockSize(12), 256u);
    EXPECT_EQ(attributedLines(),
              (Lines{"23 (0)hh:mm:ss-[0] Sending S7 data DB11,65400 l=70",
                     "70 hh:mm:ss-[0] Sending S7 NO IO data DB12,65400 l=71 DB too big"}));
}

// The reply frame holds 1024 bytes, so the data section holds 1003.
TEST_F(S7Test, ReadVarReplyFillsAt999BytesAndAThousandBytesAreRefusedWith05) {
    auto client = connectS7();
    clearLog();
    EXPECT_EQ(toHex(exchange(*client, dt("32 01 00 00 00 17 00 0E 00 00 04 01 12 0A 10 02 03 E7 00 "
                                         "14 84 00 00 00"))),
              toHex(hex("03 00 04 00 02 F0 80 32 03 00 00 00 17 00 02 03 EB 00 00 04 01 FF "
                        "04 1F 38") +
                    zeros(999)));
    EXPECT_EQ(toHex(exchange(*client, dt("32 01 00 00 00 18 00 0E 00 00 04 01 12 0A 10 02 03 E8 00 "
                                         "15 84 00 00 00"))),
              "03 00 00 19 02 F0 80 32 03 00 00 00 18 00 02 00 04 00 00 04 01 05 04 00 00");
    EXPECT_EQ(attributedLines(),
              (Lines{"23 (0)hh:mm:ss-[0] Sending S7 data DB20,0 l=999",
                     "70 hh:mm:ss-[0] Sending S7 NO IO data DB21,0 l=1000 DB too big"}));
}

TEST_F(S7Test, ReadVarItemsThatDoNotFitTheReplyAre05AndTheOthersAreServed) {
    auto client = connectS7();
    // 500 + 495 bytes fill the 1003-byte data section exactly.
    EXPECT_EQ(toHex(exchange(*client, dt("32 01 00 00 00 19 00 1A 00 00 04 02 12 0A 10 02 01 F4 00 "
                                         "14 84 00 00 00 12 0A 10 02 01 EF 00 14 84 00 00 00"))),
              toHex(hex("03 00 04 00 02 F0 80 32 03 00 00 00 19 00 02 03 EB 00 00 04 02 FF "
                        "04 0F A0") +
                    zeros(500) + hex("FF 04 0F 78") + zeros(495)));
    // One byte more for the second item does not fit.
    EXPECT_EQ(toHex(exchange(*client, dt("32 01 00 00 00 1A 00 1A 00 00 04 02 12 0A 10 02 01 F4 00 "
                                         "14 84 00 00 00 12 0A 10 02 01 F0 00 14 84 00 00 00"))),
              toHex(hex("03 00 02 11 02 F0 80 32 03 00 00 00 1A 00 02 01 FC 00 00 04 02 FF "
                        "04 0F A0") +
                    zeros(500) + hex("05 04 00 00")));
    // An item too large for the reply leaves room for the small one behind it.
    EXPECT_EQ(toHex(exchange(*client, dt("32 01 00 00 00 1B 00 1A 00 00 04 02 12 0A 10 02 03 E8 00 "
                                         "14 84 00 00 00 12 0A 10 02 00 02 00 14 84 00 00 00"))),
              "03 00 00 1F 02 F0 80 32 03 00 00 00 1B 00 02 00 0A 00 00 04 02 05 04 00 00 FF 04 00 "
              "10 00 00");
}

// 83 items of 12 bytes fill a 1015-byte request; 16 bytes each would need 1328 bytes of reply.
TEST_F(S7Test, EightyThreeItemsOf12BytesServeTheFirst55AndAnswerTheRestWith05) {
    auto client = connectS7();
    std::string request = "32 01 00 00 00 1C 03 E6 00 00 04 53";
    for (int i = 0; i < 83; ++i) {
        request += " 12 0A 10 02 00 0C 00 16 84 00 00 00";
    }
    Bytes expected = hex("03 00 03 F5 02 F0 80 32 03 00 00 00 1C 00 02 03 E0 00 00 04 53");
    for (int i = 0; i < 55; ++i) {
        expected = expected + hex("FF 04 00 60") + zeros(12);
    }
    for (int i = 0; i < 28; ++i) {
        expected = expected + hex("05 04 00 00");
    }
    EXPECT_EQ(toHex(exchange(*client, dt(request))), toHex(expected));
}

TEST_F(S7Test, ReadVarWhoseItemsRunPastThePduIsRefusedWithNak) {
    auto client = connectS7();
    clearLog();
    // Two items announced, one present.
    EXPECT_EQ(toHex(exchange(*client, dt("32 01 00 00 00 1B 00 0E 00 00 04 02 12 0A 10 02 00 04 00 "
                                         "0A 84 00 00 40"))),
              "03 00 00 15 02 F0 80 32 02 00 00 00 1B 00 02 00 00 00 00 04 02");
    // 255 announced, two present.
    EXPECT_EQ(toHex(exchange(*client, dt("32 01 00 00 00 1C 00 1A 00 00 04 FF 12 0A 10 02 00 04 00 "
                                         "0A 84 00 00 40 12 0A 10 02 00 04 00 0A 84 00 00 40"))),
              "03 00 00 15 02 F0 80 32 02 00 00 00 1C 00 02 00 00 00 00 04 FF");
    // One item short by its last byte.
    EXPECT_EQ(toHex(exchange(*client, dt("32 01 00 00 00 1D 00 0E 00 00 04 01 12 0A 10 02 00 04 00 "
                                         "0A 84 00 00"))),
              "03 00 00 15 02 F0 80 32 02 00 00 00 1D 00 02 00 00 00 00 04 01");
    EXPECT_EQ(attributedLines(), (Lines{"70 Sending NAK", "70 Sending NAK", "70 Sending NAK"}));
}

TEST_F(S7Test, ReadVarLengthFieldsAreNotChecked) {
    auto client = connectS7();
    EXPECT_EQ(toHex(exchange(*client, dt("32 01 00 00 00 1E FF FF 12 34 04 01 12 0A 10 02 00 01 00 "
                                         "0A 84 00 00 00"))),
              "03 00 00 1A 02 F0 80 32 03 00 00 00 1E 00 02 00 05 00 00 04 01 FF 04 00 08 00");
}

TEST_F(S7Test, BlocksGrowWhenAccessReachesPastTheirEndAndKeepTheirBytes) {
    auto client = connectS7();
    // Bytes 252-255 end exactly at the 256-byte size: no growth.
    EXPECT_EQ(toHex(exchange(*client, writeVarRequest(1, 30, 252, hex("A1 A2 A3 A4")))),
              writeOkReply);
    EXPECT_EQ(blockSize(30), 256u);
    // Bytes 253-256 reach one past it: the block becomes 257 + 64 bytes.
    EXPECT_EQ(toHex(exchange(*client, writeVarRequest(1, 30, 253, hex("B1 B2 B3 B4")))),
              writeOkReply);
    EXPECT_EQ(blockSize(30), 321u);
    EXPECT_EQ(toHex(readBack(*client, 30, 250, 71)),
              toHex(hex("00 00 A1 B1 B2 B3 B4") + zeros(64)));
    EXPECT_EQ(blockSize(30), 321u);
    EXPECT_EQ(toHex(readBack(*client, 30, 321, 1)), "00");
    EXPECT_EQ(blockSize(30), 386u);
    // A first read far out creates and grows the block in one go.
    EXPECT_EQ(toHex(readBack(*client, 31, 300, 10)), toHex(zeros(10)));
    EXPECT_EQ(blockSize(31), 374u);
}

// ---------------------------------------------------------------------------------------------
// Write Var

TEST_F(S7Test, WriteVarIsAnsweredWithTheExact22BytesAndReadsBack) {
    auto client = connect();
    clearLog();
    EXPECT_EQ(toHex(exchange(*client, dt("32 01 00 00 00 05 00 0E 00 08 05 01 12 0A 10 02 00 04 00 "
                                         "0A 84 00 00 40 00 04 00 20 01 02 03 04"))),
              "03 00 00 16 02 F0 80 32 03 00 00 00 05 00 02 00 01 00 00 05 01 FF");
    EXPECT_EQ(attributedLines(), (Lines{"87 (0)hh:mm:ss-[0] Receiving write S7 data DB10,8 l=4"}));
    EXPECT_EQ(toHex(readBack(*client, 10, 6, 8)), "00 00 01 02 03 04 00 00");
}

TEST_F(S7Test, WriteVarOnSlot1IsLoggedInSlot1WriteColour) {
    auto first = connectS7();
    auto second = connectS7();
    clearLog();
    EXPECT_EQ(toHex(exchange(*second, writeVarRequest(1, 40, 0, hex("55")))), writeOkReply);
    EXPECT_EQ(attributedLines(), (Lines{"94 (0)hh:mm:ss-[1] Receiving write S7 data DB40,0 l=1"}));
    EXPECT_EQ(toHex(readBack(*first, 40, 0, 1)), "55");
}

TEST_F(S7Test, WriteVarWithoutItemsIsRefusedWithNak) {
    auto client = connectS7();
    clearLog();
    EXPECT_EQ(toHex(exchange(*client, dt("32 01 00 00 00 08 00 02 00 00 05 00"))),
              "03 00 00 15 02 F0 80 32 02 00 00 00 08 00 02 00 00 00 00 05 00");
    EXPECT_EQ(attributedLines(), (Lines{"70 Sending NAK"}));
}

TEST_F(S7Test, WriteVarWhoseLengthFieldsDisagreeWithThePduIsRefusedAndStoresNothing) {
    auto client = connectS7();
    clearLog();
    // One byte behind the data section.
    EXPECT_EQ(toHex(exchange(*client, dt("32 01 00 00 00 05 00 0E 00 08 05 01 12 0A 10 02 00 04 00 "
                                         "0A 84 00 00 40 00 04 00 20 01 02 03 04 00"))),
              "03 00 00 15 02 F0 80 32 02 00 00 00 05 00 02 00 00 00 00 05 01");
    // A data length one more than the bytes sent.
    EXPECT_EQ(toHex(exchange(*client, dt("32 01 00 00 00 06 00 0E 00 09 05 01 12 0A 10 02 00 04 00 "
                                         "0A 84 00 00 40 00 04 00 20 01 02 03 04"))),
              "03 00 00 15 02 F0 80 32 02 00 00 00 06 00 02 00 00 00 00 05 01");
    EXPECT_EQ(attributedLines(), (Lines{"70 Sending NAK", "70 Sending NAK"}));
    EXPECT_EQ(toHex(readBack(*client, 10, 8, 4)), "00 00 00 00");
}

TEST_F(S7Test, WriteVarWhoseItemsRunPastThePduIsRefusedAndStoresNothing) {
    auto client = connectS7();
    clearLog();
    // Two request items announced, one present (the lengths add up).
    EXPECT_EQ(toHex(exchange(*client, dt("32 01 00 00 00 21 00 0E 00 08 05 02 12 0A 10 02 00 04 00 "
                                         "0A 84 00 00 40 00 04 00 20 01 02 03 04"))),
              "03 00 00 15 02 F0 80 32 02 00 00 00 21 00 02 00 00 00 00 05 02");
    // A data item announcing 8 bytes with 4 present.
    EXPECT_EQ(toHex(exchange(*client, dt("32 01 00 00 00 22 00 0E 00 08 05 01 12 0A 10 02 00 08 00 "
                                         "0A 84 00 00 40 00 04 00 40 01 02 03 04"))),
              "03 00 00 15 02 F0 80 32 02 00 00 00 22 00 02 00 00 00 00 05 01");
    // Two request items and one data item: the first would fit, but nothing is stored.
    EXPECT_EQ(toHex(exchange(*client, dt("32 01 00 00 00 23 00 1A 00 08 05 02 12 0A 10 02 00 04 00 "
                                         "0A 84 00 00 40 12 0A 10 02 00 04 00 0A 84 00 00 00 00 04 "
                                         "00 20 01 02 03 04"))),
              "03 00 00 15 02 F0 80 32 02 00 00 00 23 00 02 00 00 00 00 05 02");
    EXPECT_EQ(attributedLines(), (Lines{"70 Sending NAK", "70 Sending NAK", "70 Sending NAK"}));
    EXPECT_EQ(toHex(readBack(*client, 10, 0, 12)), toHex(zeros(12)));
}

// A bit item carries one byte and a fill byte; the byte item behind it must be found there.
TEST_F(S7Test, BitDataItemIsRefusedAndTheByteItemBehindItIsStoredFromItsOwnBytes) {
    auto client = connectS7();
    clearLog();
    EXPECT_EQ(toHex(exchange(*client, dt("32 01 00 00 00 24 00 1A 00 0C 05 02 12 0A 10 01 00 01 00 "
                                         "0A 84 00 00 00 12 0A 10 02 00 02 00 0A 84 00 00 10 00 03 "
                                         "00 01 01 00 00 04 00 10 AA BB"))),
              "03 00 00 17 02 F0 80 32 03 00 00 00 24 00 02 00 02 00 00 05 02 15 FF");
    EXPECT_EQ(attributedLines(),
              (Lines{"70 (0)hh:mm:ss-[0] Receiving S7 Bad Write data DB10,0 l=1 dl=1",
                     "87 (1)hh:mm:ss-[0] Receiving write S7 data DB10,2 l=2"}));
    EXPECT_EQ(toHex(readBack(*client, 10, 0, 6)), "00 00 AA BB 00 00");
}

// A real counts its length in bytes: 4 bytes, no fill, then the byte item.
TEST_F(S7Test, RealDataItemIsRefusedAndTheByteItemBehindItIsStoredFromItsOwnBytes) {
    auto client = connectS7();
    clearLog();
    EXPECT_EQ(toHex(exchange(*client, dt("32 01 00 00 00 25 00 1A 00 0E 05 02 12 0A 10 08 00 01 00 "
                                         "0A 84 00 00 00 12 0A 10 02 00 02 00 0A 84 00 00 20 00 07 "
                                         "00 04 41 20 00 00 00 04 00 10 CC DD"))),
              "03 00 00 17 02 F0 80 32 03 00 00 00 25 00 02 00 02 00 00 05 02 15 FF");
    EXPECT_EQ(attributedLines(),
              (Lines{"70 (0)hh:mm:ss-[0] Receiving S7 Bad Write data DB10,0 l=1 dl=4",
                     "87 (1)hh:mm:ss-[0] Receiving write S7 data DB10,4 l=2"}));
    EXPECT_EQ(toHex(readBack(*client, 10, 0, 8)), "00 00 00 00 CC DD 00 00");
}

TEST_F(S7Test, OctetStringAndIntegerDataItemsAreRefusedAndStepOverTheirRealSize) {
    auto client = connectS7();
    // Octet string of 3 bytes (length in bytes) and its fill; integer of 16 bits; then a byte.
    EXPECT_EQ(toHex(exchange(*client, dt("32 01 00 00 00 26 00 26 00 13 05 03 12 0A 10 02 00 03 00 "
                                         "0A 84 00 00 00 12 0A 10 05 00 01 00 0A 84 00 00 00 12 0A "
                                         "10 02 00 01 00 0A 84 00 00 30 00 09 00 03 01 02 03 00 00 "
                                         "05 00 10 12 34 00 04 00 08 77"))),
              "03 00 00 18 02 F0 80 32 03 00 00 00 26 00 02 00 03 00 00 05 03 15 15 FF");
    EXPECT_EQ(toHex(readBack(*client, 10, 0, 8)), "00 00 00 00 00 00 77 00");
}

TEST_F(S7Test, WriteVarByteLengthsFrom1To440AreStoredAnd0IsRefused) {
    auto client = connectS7();
    for (const std::size_t length :
         {std::size_t{1}, std::size_t{220}, std::size_t{221}, std::size_t{300}, std::size_t{440}}) {
        SCOPED_TRACE(length);
        const Bytes data = pattern(length);
        EXPECT_EQ(toHex(exchange(*client, writeVarRequest(1, 50, 2, data))), writeOkReply);
        EXPECT_EQ(toHex(readBack(*client, 50, 2, static_cast<std::uint16_t>(length))), toHex(data));
    }
    clearLog();
    // Lengths in bits: 7 gives 0 bytes, refused; 12 gives 1 byte.
    EXPECT_EQ(toHex(exchange(*client, writeVarRequest(1, 51, 0, Bytes{}, 7))),
              "03 00 00 16 02 F0 80 32 03 00 00 00 01 00 02 00 01 00 00 05 01 15");
    EXPECT_EQ(toHex(exchange(*client, writeVarRequest(1, 51, 0, hex("5A"), 12))), writeOkReply);
    EXPECT_EQ(attributedLines(),
              (Lines{"70 (0)hh:mm:ss-[0] Receiving S7 Bad Write data DB51,0 l=0 dl=0",
                     "87 (0)hh:mm:ss-[0] Receiving write S7 data DB51,0 l=1"}));
    EXPECT_EQ(toHex(readBack(*client, 51, 0, 2)), "5A 00");
}

TEST_F(S7Test, WriteVarToDb3000IsObjectDoesNotExist) {
    auto client = connectS7();
    clearLog();
    EXPECT_EQ(toHex(exchange(*client, writeVarRequest(1, 3000, 0, hex("01")))),
              "03 00 00 16 02 F0 80 32 03 00 00 00 01 00 02 00 01 00 00 05 01 0A");
    EXPECT_EQ(attributedLines(),
              (Lines{"70 (0)hh:mm:ss-[0] Receiving S7 NO IO data DB3000,0 l=1"}));
    EXPECT_EQ(toHex(exchange(*client, writeVarRequest(1, 2999, 0, hex("01")))), writeOkReply);
}

TEST_F(S7Test, WriteVarReachingByte65470IsStoredAndOneMoreIsTooBig) {
    auto client = connectS7();
    const Bytes data70 = pattern(70);
    EXPECT_EQ(toHex(exchange(*client, writeVarRequest(1, 13, 65400, data70))), writeOkReply);
    EXPECT_EQ(blockSize(13), 65534u);
    EXPECT_EQ(toHex(readBack(*client, 13, 65400, 70)), toHex(data70));
    clearLog();
    EXPECT_EQ(toHex(exchange(*client, writeVarRequest(1, 13, 65400, pattern(71)))),
              "03 00 00 16 02 F0 80 32 03 00 00 00 01 00 02 00 01 00 00 05 01 05");
    EXPECT_EQ(attributedLines(),
              (Lines{"70 (0)hh:mm:ss-[0] Receiving S7 Bad Write data DB13,65400 l=71 dl=71 too big "
                     "!!!"}));
    EXPECT_EQ(blockSize(13), 65534u);
}

TEST_F(S7Test, ItemsOf3And2BytesAreStoredAcrossTheFillByte) {
    auto client = connectS7();
    EXPECT_EQ(toHex(exchange(*client, dt("32 01 00 00 00 20 00 1A 00 0E 05 02 12 0A 10 02 00 03 00 "
                                         "0A 84 00 00 00 12 0A 10 02 00 02 00 0A 84 00 00 20 00 04 "
                                         "00 18 A1 A2 A3 00 00 04 00 10 B1 B2"))),
              "03 00 00 17 02 F0 80 32 03 00 00 00 20 00 02 00 02 00 00 05 02 FF FF");
    EXPECT_EQ(toHex(readBack(*client, 10, 0, 6)), "A1 A2 A3 00 B1 B2");
}

TEST_F(S7Test, LastOddItemWithoutFillByteIsStored) {
    auto client = connectS7();
    EXPECT_EQ(toHex(exchange(*client, dt("32 01 00 00 00 27 00 1A 00 0D 05 02 12 0A 10 02 00 01 00 "
                                         "0A 84 00 00 00 12 0A 10 02 00 03 00 0A 84 00 00 10 00 04 "
                                         "00 08 C0 00 00 04 00 18 C1 C2 C3"))),
              "03 00 00 17 02 F0 80 32 03 00 00 00 27 00 02 00 02 00 00 05 02 FF FF");
    EXPECT_EQ(toHex(readBack(*client, 10, 0, 6)), "C0 00 C1 C2 C3 00");
}

TEST_F(S7Test, LaterItemOverwritesAnEarlierOneInTheSameJob) {
    auto client = connectS7();
    EXPECT_EQ(toHex(exchange(*client, dt("32 01 00 00 00 28 00 1A 00 0E 05 02 12 0A 10 02 00 04 00 "
                                         "0A 84 00 00 00 12 0A 10 02 00 02 00 0A 84 00 00 10 00 04 "
                                         "00 20 11 22 33 44 00 04 00 10 EE FF"))),
              "03 00 00 17 02 F0 80 32 03 00 00 00 28 00 02 00 02 00 00 05 02 FF FF");
    EXPECT_EQ(toHex(readBack(*client, 10, 0, 4)), "11 22 EE FF");
}

TEST_F(S7Test, WriteCreatesTheBlockAndItsOtherBytesReadAsZero) {
    auto client = connectS7();
    EXPECT_TRUE(dataBlock(60).empty());
    EXPECT_EQ(toHex(exchange(*client, writeVarRequest(1, 60, 100, hex("AB CD")))), writeOkReply);
    EXPECT_EQ(blockSize(60), 256u);
    EXPECT_EQ(toHex(readBack(*client, 60, 98, 6)), "00 00 AB CD 00 00");
}

// ---------------------------------------------------------------------------------------------
// S7 over data written by S5

TEST_F(S7Test, WordWrittenOverS5ReadsOverS7WithItsBytesExchanged) {
    auto client = connectS7();
    // S5 write of the words 1234 and ABCD at word 50 of DB5.
    EXPECT_EQ(toHex(exchange(*client, hex("03 00 00 1B 02 F0 80 53 35 10 01 03 03 03 08 01 05 00 "
                                          "32 00 02 FF 02 12 34 AB CD"))),
              "03 00 00 17 02 F0 80 53 35 10 01 03 04 08 00 00 FF 07 00 00 00 00 00");
    EXPECT_EQ(toHex(readBack(*client, 5, 100, 4)), "34 12 CD AB");
    // The block was created at 2048 bytes by the S5 write; the S7 read does not grow it.
    EXPECT_EQ(blockSize(5), 2048u);
}

// ---------------------------------------------------------------------------------------------
// The demo blocks as an S7 client sees them

TEST_F(S7Test, DemoBlocksReadOverS7ShowTheirSeedTextAndCountersAfterEachTick) {
    auto client = connectS7(); // the first pass has run one tick
    EXPECT_EQ(toHex(readBack(*client, 15, 128, 34)),
              toHex(hex("20 0B 48 65 6C 6C 6F 20 74 68 65 72 65") + zeros(21)));
    EXPECT_EQ(blockSize(15), 2048u);
    // DB15 counts least significant byte first; the flag bits are set in words 5 to 7.
    EXPECT_EQ(toHex(readBack(*client, 15, 0, 16)),
              "01 00 02 00 00 00 03 00 04 00 05 40 06 80 07 C0");
    // DB1 counts most significant byte first; its seed of 256 in bytes 2-3 wraps at once.
    EXPECT_EQ(toHex(readBack(*client, 1, 0, 16)),
              "00 01 00 00 0A 00 03 40 04 00 05 40 06 80 07 C0");
    tick();
    EXPECT_EQ(toHex(readBack(*client, 15, 0, 4)), "02 00 03 00");
    EXPECT_EQ(toHex(readBack(*client, 1, 0, 5)), "00 01 00 01 0A");
}

} // namespace
