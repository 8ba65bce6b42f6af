// The load client's frames against hand-written bytes: if these drift, every bench figure and
// every reply check is wrong.
#include "bench_protocol.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <utility>
#include <vector>

namespace {

using Bytes = std::vector<std::uint8_t>;

// Two odd-length items, so both data sections need their fill byte.
const bench::Item oddItems[] = {{5, 0, 3}, {5, 3, 3}};
const Bytes oddData = {0xAA, 0xBB, 0xCC, 0xDD, 0xEE, 0xFF};

TEST(BenchFrames, ConnectionRequestAsksForRack0Slot2) {
    Bytes frame;
    bench::appendConnectionRequest(frame);
    EXPECT_EQ(frame, (Bytes{0x03, 0x00, 0x00, 0x16, 0x11, 0xE0, 0x00, 0x00, 0x00, 0x01, 0x00,
                            0xC1, 0x02, 0x01, 0x00, 0xC2, 0x02, 0x01, 0x02, 0xC0, 0x01, 0x0A}));
}

// A real-CPU profile accepts only its own slots (0 or 1 for an S7-1500): the slot goes into
// the called TSAP's low five bits, rack 0 above them; nothing else of the request changes.
TEST(BenchFrames, ConnectionRequestAddressesTheSlotAsked) {
    for (const auto &[slot, rackSlot] :
         {std::pair<std::uint8_t, std::uint8_t>{0, 0x00}, {1, 0x01}, {3, 0x03}, {31, 0x1F}}) {
        Bytes frame{0xEE}; // appends behind what is there
        bench::appendConnectionRequest(frame, slot);
        EXPECT_EQ(frame,
                  (Bytes{0xEE, 0x03, 0x00, 0x00, 0x16, 0x11, 0xE0, 0x00,     0x00, 0x00, 0x01, 0x00,
                         0xC1, 0x02, 0x01, 0x00, 0xC2, 0x02, 0x01, rackSlot, 0xC0, 0x01, 0x0A}))
            << "slot " << int{slot};
    }
}

TEST(BenchFrames, SetupCommunicationAsksForThePduGiven) {
    Bytes frame;
    bench::appendSetupCommunicationJob(frame, 0x0203, 960);
    EXPECT_EQ(frame,
              (Bytes{0x03, 0x00, 0x00, 0x19, 0x02, 0xF0, 0x80, 0x32, 0x01, 0x00, 0x00, 0x02, 0x03,
                     0x00, 0x08, 0x00, 0x00, 0xF0, 0x00, 0x00, 0x01, 0x00, 0x01, 0x03, 0xC0}));
}

TEST(BenchFrames, SetupCommunicationAsksFor480BytePdu) {
    Bytes frame;
    bench::appendSetupCommunicationJob(frame, 0x0001);
    EXPECT_EQ(frame,
              (Bytes{0x03, 0x00, 0x00, 0x19, 0x02, 0xF0, 0x80, 0x32, 0x01, 0x00, 0x00, 0x00, 0x01,
                     0x00, 0x08, 0x00, 0x00, 0xF0, 0x00, 0x00, 0x01, 0x00, 0x01, 0x01, 0xE0}));
}

TEST(BenchFrames, ReadVarJobOneItem) {
    Bytes frame;
    const bench::Item item{100, 0, 16};
    bench::appendReadVarJob(frame, 0x0102, {&item, 1});
    EXPECT_EQ(frame, (Bytes{0x03, 0x00, 0x00, 0x1F, 0x02, 0xF0, 0x80, 0x32, 0x01, 0x00, 0x00,
                            0x01, 0x02, 0x00, 0x0E, 0x00, 0x00, 0x04, 0x01, 0x12, 0x0A, 0x10,
                            0x02, 0x00, 0x10, 0x00, 0x64, 0x84, 0x00, 0x00, 0x00}));
}

TEST(BenchFrames, ItemAddressIsA24BitBitAddress) {
    Bytes frame;
    const bench::Item items[] = {{2999, 0x1234, 1}, {1, 0x2000, 200}};
    bench::appendReadVarJob(frame, 7, items);
    ASSERT_EQ(frame.size(), 43u);
    // DB 2999 = 0B B7, byte 0x1234 = bit 0x91A0; byte 0x2000 = bit 0x10000 needs the third byte.
    EXPECT_EQ(Bytes(frame.begin() + 19, frame.end()),
              (Bytes{0x12, 0x0A, 0x10, 0x02, 0x00, 0x01, 0x0B, 0xB7, 0x84, 0x00, 0x91, 0xA0,
                     0x12, 0x0A, 0x10, 0x02, 0x00, 0xC8, 0x00, 0x01, 0x84, 0x01, 0x00, 0x00}));
}

TEST(BenchFrames, WriteVarJobFillsAfterOddItemButNotAfterLast) {
    Bytes frame;
    bench::appendWriteVarJob(frame, 0x0203, oddItems, oddData);
    EXPECT_EQ(frame, (Bytes{0x03, 0x00, 0x00, 0x3A, 0x02, 0xF0, 0x80,
                            // job header: parameter 26 bytes, data 15 bytes
                            0x32, 0x01, 0x00, 0x00, 0x02, 0x03, 0x00, 0x1A, 0x00, 0x0F,
                            // Write Var, 2 items
                            0x05, 0x02,                                                       //
                            0x12, 0x0A, 0x10, 0x02, 0x00, 0x03, 0x00, 0x05, 0x84, 0x00, 0x00, //
                            0x00,                                                             //
                            0x12, 0x0A, 0x10, 0x02, 0x00, 0x03, 0x00, 0x05, 0x84, 0x00, 0x00, //
                            0x18,                                                             //
                            // data: 24 bits each, fill byte between
                            0x00, 0x04, 0x00, 0x18, 0xAA, 0xBB, 0xCC, 0x00, //
                            0x00, 0x04, 0x00, 0x18, 0xDD, 0xEE, 0xFF}));
}

TEST(BenchFrames, ReadVarReplyFillsBeforeOddPositionedItem) {
    Bytes frame;
    bench::appendReadVarReply(frame, 0x0304, oddItems, oddData);
    EXPECT_EQ(frame, (Bytes{0x03, 0x00, 0x00, 0x24, 0x02, 0xF0, 0x80, 0x32, 0x03, 0x00,
                            0x00, 0x03, 0x04, 0x00, 0x02, 0x00, 0x0F, 0x00, 0x00, 0x04,
                            0x02, 0xFF, 0x04, 0x00, 0x18, 0xAA, 0xBB, 0xCC, 0x00, //
                            0xFF, 0x04, 0x00, 0x18, 0xDD, 0xEE, 0xFF}));
}

TEST(BenchFrames, WriteVarReplyOneReturnCodePerItem) {
    Bytes frame;
    bench::appendWriteVarReply(frame, 0x0405, 2);
    EXPECT_EQ(frame, (Bytes{0x03, 0x00, 0x00, 0x17, 0x02, 0xF0, 0x80, 0x32, 0x03, 0x00, 0x00, 0x04,
                            0x05, 0x00, 0x02, 0x00, 0x02, 0x00, 0x00, 0x05, 0x02, 0xFF, 0xFF}));
}

TEST(BenchFrames, PduReferenceIsPatchedInPlace) {
    Bytes frame;
    bench::appendWriteVarReply(frame, 0x0001, 1);
    bench::setPduReference(frame, 0xBEEF);
    Bytes expected;
    bench::appendWriteVarReply(expected, 0xBEEF, 1);
    EXPECT_EQ(frame, expected);
    EXPECT_EQ(bench::pduBytes(frame), frame.size() - 7);
}

TEST(BenchFrames, BaselineJobCarriesItsReplySizeInTheReservedWord) {
    Bytes frame;
    const bench::Item item{100, 0, 16};
    bench::appendReadVarJob(frame, 0x0009, {&item, 1});
    bench::markBaselineReply(frame, 0x0129);
    EXPECT_EQ(
        Bytes(frame.begin(), frame.begin() + 13),
        (Bytes{0x03, 0x00, 0x00, 0x1F, 0x02, 0xF0, 0x80, 0x32, 0x01, 0x01, 0x29, 0x00, 0x09}));
}

const Bytes setupReply = {0x03, 0x00, 0x00, 0x1B, 0x02, 0xF0, 0x80, 0x32, 0x03,
                          0x00, 0x00, 0x00, 0x01, 0x00, 0x08, 0x00, 0x00, 0x00,
                          0x00, 0xF0, 0x00, 0x00, 0x01, 0x00, 0x01, 0x01, 0xE0};

TEST(BenchReplies, SetupReplyGivesTheAgreedPduSize) {
    const bench::SetupReply parsed = bench::parseSetupReply(setupReply, 0x0001);
    EXPECT_TRUE(parsed.valid);
    EXPECT_EQ(parsed.pduSize, 480);

    Bytes smaller = setupReply;
    smaller[25] = 0x00;
    smaller[26] = 0xF0;
    EXPECT_EQ(bench::parseSetupReply(smaller, 0x0001).pduSize, 240);
}

TEST(BenchReplies, SetupReplyRejectsWrongReferenceErrorOrLength) {
    EXPECT_FALSE(bench::parseSetupReply(setupReply, 0x0002).valid);

    Bytes withError = setupReply;
    withError[17] = 0x81; // error class
    EXPECT_FALSE(bench::parseSetupReply(withError, 0x0001).valid);

    Bytes notAck = setupReply;
    notAck[8] = 0x01;
    EXPECT_FALSE(bench::parseSetupReply(notAck, 0x0001).valid);

    const Bytes truncated(setupReply.begin(), setupReply.end() - 1);
    EXPECT_FALSE(bench::parseSetupReply(truncated, 0x0001).valid);
}

TEST(BenchReplies, ConnectionConfirmIsRecognised) {
    const Bytes confirm = {0x03, 0x00, 0x00, 0x16, 0x11, 0xD0, 0x00, 0x01, 0x01, 0x00, 0x00,
                           0xC0, 0x01, 0x09, 0xC1, 0x02, 0x4B, 0x54, 0xC1, 0x02, 0x03, 0x02};
    EXPECT_TRUE(bench::isConnectionConfirm(confirm));

    Bytes request;
    bench::appendConnectionRequest(request);
    EXPECT_FALSE(bench::isConnectionConfirm(request));

    const Bytes disconnect = {0x03, 0x00, 0x00, 0x0B, 0x06, 0x80, 0x00, 0x01, 0x00, 0x00, 0x00};
    EXPECT_FALSE(bench::isConnectionConfirm(disconnect));
}

TEST(BenchReplies, TpktLengthNeedsVersion3) {
    EXPECT_EQ(bench::tpktLength(Bytes{0x03, 0x00, 0x01, 0x02}), 0x0102u);
    EXPECT_EQ(bench::tpktLength(Bytes{0x02, 0x00, 0x01, 0x02}), 0u);
    EXPECT_EQ(bench::tpktLength(Bytes{0x03, 0x01, 0x01, 0x02}), 0u);
    EXPECT_EQ(bench::tpktLength(Bytes{0x03, 0x00, 0x01}), 0u);
}

TEST(BenchPattern, SeedsGiveDifferentRepeatableBytes) {
    Bytes first(200);
    Bytes again(200);
    Bytes next(200);
    bench::fillPattern(first, 1);
    bench::fillPattern(again, 1);
    bench::fillPattern(next, 2);
    EXPECT_EQ(first, again);
    EXPECT_NE(first, next);
    // No byte position may be stuck between consecutive seeds, or a stale value would pass.
    std::size_t same = 0;
    for (std::size_t index = 0; index < first.size(); ++index) {
        same += first[index] == next[index] ? 1u : 0u;
    }
    EXPECT_LT(same, 10u);
}

} // namespace
