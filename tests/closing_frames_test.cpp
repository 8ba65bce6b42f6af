// The last frame of a connection (the disconnect confirm, the refusing DR) must reach the client
// even when the client has not yet taken its earlier replies and the socket is full at that
// moment: the connection is closed right behind that frame, so there is no later pass in which
// the rest could be sent.
//
// A full socket is hard to hold still over loopback TCP (the receiver prunes its queue and the
// window reopens at odd moments), so these tests give the server one end of a socketpair, placed
// in the connection table as an accept places a socket: its send buffer stays full until the
// client reads.
#include "harness.h"

#include "core/connection_table.h"

#include <array>
#include <cerrno>
#include <sys/socket.h>
#include <unistd.h>

namespace {

using ClosingFramesTest = ServerTest;

class PairClient {
public:
    // Takes the next free slot of the table, as the listener's accept does.
    explicit PairClient(ConnectionTable &table) {
        int ends[2] = {-1, -1};
        EXPECT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0, ends), 0);
        const int sendBuffer = 4096;
        ::setsockopt(ends[0], SOL_SOCKET, SO_SNDBUF, &sendBuffer, sizeof sendBuffer);
        serverEnd = ends[0];
        fd = ends[1];
        EXPECT_GE(takeSlot(table, serverEnd, {}), 0);
    }
    ~PairClient() { ::close(fd); }
    PairClient(const PairClient &) = delete;
    PairClient &operator=(const PairClient &) = delete;

    void send(const Bytes &bytes) {
        ASSERT_EQ(::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL),
                  static_cast<ssize_t>(bytes.size()));
    }

    // Fills the server's side until the OS takes no more, standing in for earlier replies the
    // client has not read yet. Returns how many bytes that took.
    std::size_t fillServerSide() {
        const Bytes filler(512, 0xEE);
        std::size_t total = 0;
        for (;;) {
            const ssize_t n =
                ::send(serverEnd, filler.data(), filler.size(), MSG_DONTWAIT | MSG_NOSIGNAL);
            if (n <= 0) {
                EXPECT_TRUE(errno == EAGAIN || errno == EWOULDBLOCK);
                return total;
            }
            total += static_cast<std::size_t>(n);
        }
    }

    // Everything queued for the client, and whether the server's end is closed behind it.
    Bytes readAll(bool &closed) {
        Bytes received;
        closed = false;
        for (;;) {
            std::array<std::uint8_t, 4096> buffer{};
            const ssize_t n = ::recv(fd, buffer.data(), buffer.size(), MSG_DONTWAIT);
            if (n <= 0) {
                closed = n == 0;
                return received;
            }
            received.insert(received.end(), buffer.begin(), buffer.begin() + n);
        }
    }

private:
    int fd = -1;
    int serverEnd = -1;
};

TEST_F(ClosingFramesTest, DisconnectConfirmReachesAClientWhoseSocketIsFull) {
    PairClient client(connectionTable());
    const std::size_t backlog = client.fillServerSide();
    ASSERT_GT(backlog, 0u);

    client.send(hex("03 00 00 0B 06 80 01 00 00 05 00"));
    pass();
    EXPECT_EQ(connectionTable().connectionCount, 0);
    EXPECT_TRUE(logged("hh:mm:ss-[0] Sending DisConnect confirm"));
    EXPECT_TRUE(logged("hh:mm:ss-[0] TCP Dis-conn 0"));

    bool closed = false;
    const Bytes received = client.readAll(closed);
    ASSERT_EQ(received.size(), backlog + 11);
    EXPECT_EQ(toHex(Bytes(received.end() - 11, received.end())),
              "03 00 00 0B 06 C0 00 05 01 00 00");
    EXPECT_TRUE(closed);
}

TEST_F(ClosingFramesTest, RefusingDisconnectReachesAClientWhoseSocketIsFull) {
    PairClient client(connectionTable());
    const std::size_t backlog = client.fillServerSide();
    ASSERT_GT(backlog, 0u);

    // Calling TSAP first, then a called TSAP addressing CPU slot 3: refused.
    client.send(hex("03 00 00 16 11 E0 00 00 00 01 00 C1 02 01 00 C2 02 01 03 C0 01 0A"));
    pass();
    EXPECT_EQ(connectionTable().connectionCount, 0);
    EXPECT_TRUE(logged("hh:mm:ss-[0]Sending Connect confirm dref=256"));

    bool closed = false;
    const Bytes received = client.readAll(closed);
    ASSERT_EQ(received.size(), backlog + 22);
    EXPECT_EQ(toHex(Bytes(received.end() - 22, received.end())),
              "03 00 00 16 11 80 00 01 01 00 00 C0 01 09 C1 02 4B 54 C1 02 03 02");
    EXPECT_TRUE(closed);
}

} // namespace
