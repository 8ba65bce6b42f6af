// A hostile client next to a well-behaved one: thousands of random, truncated, oversized and
// mutated frames on one connection must never cost the other connection a reply, a byte of its
// data or its slot, and must never take the server down.
#include "harness.h"

#include "core/connection_table.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdint>
#include <random>
#include <sys/socket.h>

namespace {

using HostileClientTest = ServerTest;

// The well-behaved client's data block. S5 requests address DB0-DB255 only, and the hostile
// byte stream is scrubbed of the pair 07 E8, so nothing the hostile client sends can name it.
constexpr std::uint16_t guardedDb = 2024;
constexpr std::uint8_t guardedDbHigh = 0x07;
constexpr std::uint8_t guardedDbLow = 0xE8;
constexpr std::size_t guardedRegion = 512;

constexpr int hostileFrames = 20000;
constexpr int framesPerGoodRound = 4; // the good client writes and reads back this often
constexpr std::uint32_t seed = 20261207;

constexpr std::size_t largestFrame = 1024;
// An oversized frame of up to 4 KiB is read 1024 bytes a pass before a hang-up is seen.
constexpr int maxPassesToDrain = 16;

// Valid frames of every kind the server handles: the raw material for mutation.
std::vector<Bytes> templates() {
    return {
        hex(connectionRequestHex),
        hex(setupRequestHex),
        readVarRequest(1, 10, 8, 4),
        hex("03 00 00 2B 02 F0 80 32 01 00 00 00 02 00 1A 00 00 04 02 12 0A 10 02 00 03 00 0B 84 "
            "00 00 00 12 0A 10 02 00 02 00 0C 84 00 00 28"),
        writeVarRequest(3, 11, 0, hex("01 02 03 04 05")),
        hex("03 00 00 31 02 F0 80 32 01 00 00 00 04 00 1A 00 0C 05 02 12 0A 10 01 00 01 00 0D 84 "
            "00 00 00 12 0A 10 02 00 02 00 0D 84 00 00 10 00 03 00 01 01 00 00 04 00 10 AA BB"),
        s5FetchRequest(20, 0, 3),
        s5WriteRequest(7, 5, hex("12 34")),
        hex(disconnectRequestHex),
    };
}

class HostileStream {
public:
    explicit HostileStream(std::uint32_t streamSeed) : random(streamSeed), all(templates()) {}

    // The next hostile frame; oversized tells whether it announces a frame the server must skip.
    Bytes next(bool &announcesSkip) {
        announcesSkip = false;
        Bytes frame;
        switch (pick(9)) {
        case 0: // noise
            frame = noise(1 + pick(300));
            break;
        case 1: // a valid frame with a few bytes changed
            frame = mutate(pickTemplate(), 1 + pick(4));
            break;
        case 2: // cut short, with a TPKT length that says so
            frame = truncated();
            break;
        case 3: // S7 header with wrong parameter and data lengths
            frame = wrongS7Lengths();
            break;
        case 4: // item count 255 over a handful of items
            frame = itemCount255();
            break;
        case 5: // addresses at the top of the 24-bit bit address range
            frame = topAddress();
            break;
        case 6: // TPKT lengths 0, 7 and 65535
            frame = oddTpktLength(announcesSkip);
            break;
        case 7: // every COTP type byte in turn
            frame = cotpType();
            break;
        default: // whole frames too large to handle
            frame = oversized();
            break;
        }
        scrub(frame);
        return frame;
    }

private:
    std::size_t pick(std::size_t bound) {
        return std::uniform_int_distribution<std::size_t>(0, bound - 1)(random);
    }
    std::uint8_t byte() { return static_cast<std::uint8_t>(pick(256)); }

    Bytes noise(std::size_t size) {
        Bytes bytes(size);
        std::generate(bytes.begin(), bytes.end(), [&] { return byte(); });
        return bytes;
    }

    const Bytes &pickTemplate() { return all[pick(all.size())]; }

    Bytes mutate(Bytes frame, std::size_t changes) {
        for (std::size_t i = 0; i < changes; ++i) {
            frame[pick(frame.size())] = byte();
        }
        return frame;
    }

    Bytes truncated() {
        const Bytes &frame = pickTemplate();
        return truncatedFrame(frame, std::max<std::size_t>(7, pick(frame.size())));
    }

    // The random fields are drawn in statements of their own: function arguments have no fixed
    // order of evaluation.
    Bytes wrongS7Lengths() {
        Bytes frame;
        if (pick(2) == 0) {
            const std::size_t start = pick(65536);
            const std::size_t db = pick(3000);
            frame = readVarRequest(5, db, start, 1 + pick(400));
        } else {
            const Bytes data = noise(1 + pick(220));
            const std::size_t start = pick(65536);
            frame = writeVarRequest(6, pick(3000), start, data);
        }
        const Bytes parameter = be16(pick(2) == 0 ? pick(65536) : pick(40));
        const Bytes data = be16(pick(2) == 0 ? pick(65536) : pick(240));
        frame[13] = parameter[0];
        frame[14] = parameter[1];
        frame[15] = data[0];
        frame[16] = data[1];
        return frame;
    }

    Bytes itemCount255() {
        const bool write = pick(2) == 0;
        Bytes payload = hex("32 01 00 00 00 08") + be16(2 + 12 * 4) + be16(write ? 24 : 0) +
                        Bytes{static_cast<std::uint8_t>(write ? 0x05 : 0x04), 0xFF};
        for (int i = 0; i < 4; ++i) {
            payload = payload + hex("12 0A 10 02") + be16(pick(300)) + be16(pick(3100)) +
                      hex("84") + be24(pick(1 << 24));
        }
        if (write) {
            payload = payload + hex("00 04 00 20 01 02 03 04") + noise(16);
        }
        return isoDataFrame(payload);
    }

    Bytes topAddress() {
        const std::size_t address = (1 << 24) - 1 - pick(64);
        Bytes frame;
        if (pick(2) == 0) {
            const std::size_t db = pick(3000);
            frame = readVarRequest(9, db, 0, pick(200));
        } else {
            const Bytes data = noise(1 + pick(100));
            frame = writeVarRequest(9, pick(3000), 0, data);
        }
        const Bytes top = be24(address);
        std::copy(top.begin(), top.end(), frame.begin() + 28);
        return frame;
    }

    Bytes oddTpktLength(bool &announcesSkip) {
        switch (pick(3)) {
        case 0:
            return hex("03 00 00 00") + noise(pick(20));
        case 1:
            return hex("03 00 00 07") + noise(3);
        default:
            announcesSkip = true;
            return hex("03 00 FF FF") + noise(pick(100));
        }
    }

    Bytes cotpType() {
        Bytes frame = hex("03 00 00 00") + Bytes{byte(), nextType++} + noise(pick(40));
        const Bytes length = be16(frame.size());
        frame[2] = length[0];
        frame[3] = length[1];
        return frame;
    }

    Bytes oversized() {
        const std::size_t size = largestFrame + 1 + pick(3000);
        Bytes frame = hex("03 00") + be16(size) + hex("02 F0 80 32 01") + noise(size - 9);
        return frame;
    }

    // Nothing in the stream may name the guarded block, wherever the server cuts it.
    static void scrub(Bytes &frame) {
        for (std::size_t i = 0; i + 1 < frame.size(); ++i) {
            if (frame[i] == guardedDbHigh && frame[i + 1] == guardedDbLow) {
                frame[i + 1] = guardedDbLow + 1;
            }
        }
    }

    std::mt19937 random;
    std::vector<Bytes> all;
    std::uint8_t nextType = 0;
};

// Checks that a connection's reply stream is made of whole TPKT frames of the kinds the
// server sends.
void expectWholeFrames(const Bytes &stream) {
    std::size_t at = 0;
    while (at < stream.size()) {
        ASSERT_GE(stream.size() - at, 4u) << "reply stream ends inside a TPKT header";
        const std::size_t length = (std::size_t{stream[at + 2]} << 8) | stream[at + 3];
        ASSERT_EQ(stream[at], 3) << "at " << at;
        ASSERT_GE(length, 7u);
        ASSERT_LE(length, largestFrame);
        ASSERT_GE(stream.size() - at, length) << "reply cut short";
        const std::uint8_t type = stream[at + 5];
        EXPECT_TRUE(type == 0xD0 || type == 0x80 || type == 0xC0 || type == 0xF0)
            << "COTP type " << int{type};
        at += length;
    }
}

TEST_F(HostileClientTest, ThousandsOfHostileFramesNeverCostTheOtherClientAReplyOrAByte) {
    SCOPED_TRACE("seed " + std::to_string(seed));
    // The hostile client comes first, so each of its closes moves the good client down to slot
    // 0 and the next hostile connection takes slot 1.
    auto hostile = connect();
    auto good = connectS7();
    ASSERT_EQ(connectionTable().connectionCount, 2);

    HostileStream stream(seed);
    std::mt19937 patternRandom(seed + 1);
    Bytes shadow(guardedRegion, 0);
    Bytes hostileReplies;
    int hostileConnections = 1;
    int skippedAnnouncements = 0;
    std::uint8_t lastHostileByte = 0;
    std::uint16_t reference = 0x100;

    const auto sendHostile = [&](const Bytes &frame) {
        std::size_t sent = 0;
        while (sent < frame.size()) {
            const ssize_t n = ::send(hostile->descriptor(), frame.data() + sent,
                                     frame.size() - sent, MSG_NOSIGNAL | MSG_DONTWAIT);
            if (n > 0) {
                sent += static_cast<std::size_t>(n);
            } else if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
                pass();
                const Bytes replies = hostile->receiveNow();
                hostileReplies.insert(hostileReplies.end(), replies.begin(), replies.end());
            } else {
                return; // the server has closed this connection
            }
        }
    };
    const auto replaceHostile = [&] {
        const Bytes replies = hostile->receiveNow();
        hostileReplies.insert(hostileReplies.end(), replies.begin(), replies.end());
        expectWholeFrames(hostileReplies);
        hostileReplies.clear();
        hostile.reset();
        // The server reads what is still in the socket (up to 1024 bytes a pass), then sees the
        // hang-up, if it had not closed the slot itself.
        for (int i = 0; i < maxPassesToDrain && connectionTable().connectionCount == 2; ++i) {
            pass();
        }
        if (connectionTable().connectionCount != 1) {
            return false;
        }
        hostile = connect();
        lastHostileByte = 0;
        ++hostileConnections;
        return connectionTable().connectionCount == 2;
    };

    for (int i = 0; i < hostileFrames; ++i) {
        bool announcesSkip = false;
        Bytes frame = stream.next(announcesSkip);
        // The server may cut the stream elsewhere than the frames were made, so no DB number
        // may form across two frames either.
        if (lastHostileByte == guardedDbHigh && frame[0] == guardedDbLow) {
            frame[0] = guardedDbLow + 1;
        }
        lastHostileByte = frame.back();
        sendHostile(frame);
        pass();
        const Bytes replies = hostile->receiveNow();
        hostileReplies.insert(hostileReplies.end(), replies.begin(), replies.end());
        ASSERT_GE(connectionTable().connectionCount, 1);
        if (connectionTable().connectionCount == 1 || announcesSkip) {
            // Closed by the server, or waiting for 65535 bytes that will not come: start over.
            skippedAnnouncements += announcesSkip ? 1 : 0;
            ASSERT_TRUE(replaceHostile()) << "hostile frame " << i;
        }

        if (i % framesPerGoodRound == 0) {
            const std::size_t size = 1 + patternRandom() % 200;
            const std::size_t offset = patternRandom() % (guardedRegion - size);
            Bytes pattern(size);
            std::generate(pattern.begin(), pattern.end(),
                          [&] { return static_cast<std::uint8_t>(patternRandom()); });
            std::copy(pattern.begin(), pattern.end(),
                      shadow.begin() + static_cast<std::ptrdiff_t>(offset));

            ++reference;
            good->send(writeVarRequest(reference, guardedDb, offset, pattern));
            pass();
            const Bytes written = good->receiveExactly(22);
            ASSERT_EQ(toHex(written), toHex(writeVarReply(reference))) << "hostile frame " << i;

            ++reference;
            good->send(readVarRequest(reference, guardedDb, offset, size));
            pass();
            const Bytes expected = readVarReply(reference, pattern);
            ASSERT_EQ(toHex(good->receiveExactly(expected.size())), toHex(expected))
                << "hostile frame " << i;
        }
    }
    ASSERT_TRUE(replaceHostile());

    // The guarded block holds exactly what the good client wrote.
    constexpr std::size_t readBack = 128;
    for (std::size_t offset = 0; offset < guardedRegion; offset += readBack) {
        ++reference;
        good->send(readVarRequest(reference, guardedDb, offset, readBack));
        pass();
        const Bytes expected = readVarReply(
            reference, Bytes(shadow.begin() + static_cast<std::ptrdiff_t>(offset),
                             shadow.begin() + static_cast<std::ptrdiff_t>(offset + readBack)));
        ASSERT_EQ(toHex(good->receiveExactly(expected.size())), toHex(expected));
    }
    // The run did what it meant to: the hostile client was thrown out and came back many times.
    EXPECT_GT(hostileConnections, 100);
    EXPECT_GT(skippedAnnouncements, 10);

    // And the server still takes a new client.
    hostile.reset();
    pass();
    auto fresh = connectS7();
    EXPECT_EQ(connectionTable().connectionCount, 2);
}

} // namespace
