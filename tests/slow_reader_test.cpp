// A client that pipelines requests and never reads its replies: the server must not wait for it
// (the other slot is served pass after pass), must not let it pile up memory, and must close it
// by the idle limit once its replies stop leaving.
#include "harness.h"

#include "app/server.h"
#include "core/connection_table.h"

#include <cerrno>
#include <cstring>
#include <functional>
#include <sys/socket.h>

namespace {

// Read Var of 400 bytes of DB200 at offset 0: a 425-byte reply per 31-byte request.
const Bytes bigRead = readVarRequest(9, 200, 0, 400);

// The well-behaved client's exchanges, with their replies.
const Bytes writeDb10 = writeVarRequest(7, 10, 8, hex("01 02 03 04"));
const Bytes writeDb10Reply = writeVarReply(7);
const Bytes readDb10 = readVarRequest(6, 10, 8, 4);
const Bytes readDb10Reply = readVarReply(6, hex("01 02 03 04"));
// S5: fetch 3 words of DB20 from word 0, and write the word 0x1234 at word 5 of DB7.
const Bytes s5Fetch = s5FetchRequest(20, 0, 3);
const Bytes s5FetchZerosReply = s5FetchReply(0, Bytes(6, 0x00));
const Bytes s5Write = s5WriteRequest(7, 5, hex("12 34"));
const Bytes s5WriteAck = s5WriteReply(1);

constexpr int maxStallRounds = 5000;
constexpr int requestsPerRound = 40;
constexpr int stalledPasses = 3;   // passes in a row with replies stuck before we call it stalled
constexpr int exchangeEvery = 100; // ticks between the good client's exchanges
constexpr std::size_t pendingLowWater = 4096;
constexpr int maxIdleTicks = 4 * idleTickLimit;

// Sends as much of pending as the socket takes now, without waiting; keeps the rest.
void sendWithoutWaiting(TestClient &client, Bytes &pending) {
    while (!pending.empty()) {
        const ssize_t n = ::send(client.descriptor(), pending.data(), pending.size(),
                                 MSG_DONTWAIT | MSG_NOSIGNAL);
        if (n <= 0) {
            ASSERT_TRUE(errno == EAGAIN || errno == EWOULDBLOCK) << std::strerror(errno);
            return;
        }
        pending.erase(pending.begin(), pending.begin() + n);
    }
}

class SlowReaderTest : public ServerTest {
protected:
    // Pipelines large reads on slow without reading its replies until they stop leaving (the
    // slot holds unsent bytes for several passes in a row), running exchange after each pass.
    // Returns false if that never happened.
    bool stallSlot(int slot, TestClient &slow, const std::function<void()> &exchangeOther) {
        Bytes pending;
        int stuck = 0;
        for (int round = 0; round < maxStallRounds; ++round) {
            if (pending.size() < pendingLowWater) {
                for (int i = 0; i < requestsPerRound; ++i) {
                    pending.insert(pending.end(), bigRead.begin(), bigRead.end());
                }
            }
            sendWithoutWaiting(slow, pending);
            pass();
            exchangeOther();
            stuck = hasUnsentReply(connectionTable(), slot) ? stuck + 1 : 0;
            if (stuck == stalledPasses) {
                return true;
            }
        }
        return false;
    }

    struct IdleClose {
        int ticks;        // ticks it took until slot 1 closed (or the bound, if it never did)
        int lastIdle;     // slot 1's idle count on the tick before it closed
        int progressMade; // ticks on which slot 1 still got some replies out and read again
    };

    // Ticks until slot 1 is closed, running exchangeOther every exchangeEvery ticks. The OS
    // may now and then find room for a few more replies (it compacts what the client has not
    // read), after which the server reads that slot again and its idle count restarts; so
    // what is checked is that the slot closes exactly when its count passes the limit.
    IdleClose tickUntilSlot1Closes(const std::function<void()> &exchangeOther) {
        IdleClose result{0, connectionTable().slots[1].idleTicks, 0};
        while (connectionTable().connectionCount == 2 && result.ticks < maxIdleTicks) {
            tick();
            ++result.ticks;
            if (connectionTable().connectionCount == 2) {
                const int idle = connectionTable().slots[1].idleTicks;
                result.progressMade += idle <= result.lastIdle ? 1 : 0;
                result.lastIdle = idle;
            }
            if (result.ticks % exchangeEvery == 0) {
                exchangeOther();
            }
        }
        return result;
    }
};

TEST_F(SlowReaderTest, PipeliningClientThatNeverReadsIsClosedByTheIdleLimit) {
    auto good = connectS7();
    auto slow = connectS7();
    ASSERT_EQ(connectionTable().connectionCount, 2);

    int exchanges = 0;
    const auto exchangeGood = [&] {
        good->send(writeDb10);
        pass();
        ASSERT_EQ(toHex(good->receiveExactly(22)), toHex(writeDb10Reply));
        good->send(readDb10);
        pass();
        ASSERT_EQ(toHex(good->receiveExactly(29)), toHex(readDb10Reply));
        ++exchanges;
    };

    // Pipeline until the slow slot's replies stop leaving; slot 0 is answered every pass.
    ASSERT_TRUE(stallSlot(1, *slow, exchangeGood));

    // From here slot 1 is not read while its replies wait, so its idle count runs on.
    EXPECT_FALSE(logged("Inactivity shutdown"));
    const IdleClose closed = tickUntilSlot1Closes(exchangeGood);
    ASSERT_EQ(connectionTable().connectionCount, 1) << "slot 1 still open after " << closed.ticks;
    EXPECT_EQ(closed.lastIdle, idleTickLimit) << closed.progressMade << " ticks with progress";
    EXPECT_GE(closed.ticks, idleTickLimit - 1000);
    EXPECT_EQ(attributeOf("Inactivity shutdown"), 70);
    EXPECT_EQ(attributeOf("hh:mm:ss-[1] TCP Dis-conn 1"), 23);
    EXPECT_TRUE(slow->closedByServer(2000));

    // The good client never lost its slot and is still answered.
    exchangeGood();
    EXPECT_GT(exchanges, closed.ticks / exchangeEvery);
}

TEST_F(SlowReaderTest, StuckSlot1IsClosedEvenWhileSlot0SendsOnlyS5) {
    // Slot 0 never sends S7, so by the rule of the idle count its data also restarts slot 1's
    // count; a slot 1 whose replies cannot leave must not be kept alive that way.
    auto good = connect();
    EXPECT_EQ(exchange(*good, hex(connectionRequestHex)).size(), 22u);
    auto slow = connectS7();

    const auto exchangeS5 = [&] {
        good->send(s5Write);
        pass();
        ASSERT_EQ(toHex(good->receiveExactly(23)), toHex(s5WriteAck));
        good->send(s5Fetch);
        pass();
        ASSERT_EQ(toHex(good->receiveExactly(29)), toHex(s5FetchZerosReply));
    };

    ASSERT_TRUE(stallSlot(1, *slow, exchangeS5));
    ASSERT_EQ(connectionTable().slots[0].s7Active, 0);

    const IdleClose closed = tickUntilSlot1Closes(exchangeS5);
    ASSERT_EQ(connectionTable().connectionCount, 1) << "slot 1 still open after " << closed.ticks;
    EXPECT_EQ(closed.lastIdle, idleTickLimit) << closed.progressMade << " ticks with progress";
    EXPECT_EQ(attributeOf("Inactivity shutdown"), 70);
    EXPECT_TRUE(slow->closedByServer(2000));
    exchangeS5();
}

} // namespace
