// The socket layer on real loopback sockets: the next datagram's size,
// draining, the gather/scatter datagram calls, and the stale ICMP error.
#include "platform/udp_socket.hpp"
#include "tests/support/receive_buffer.hpp"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <sys/socket.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <thread>

namespace {

uint16_t bound_port(udp_socket::Handle handle) {
    sockaddr_in address{};
    socklen_t length = sizeof(address);
    getsockname(handle, reinterpret_cast<sockaddr*>(&address), &length);
    return ntohs(address.sin_port);
}

struct Pair {
    udp_socket::Handle a, b;
    Pair() {
        a = udp_socket::open();
        b = udp_socket::open();
        sockaddr_in any{};
        udp_socket::make_address("127.0.0.1", 0, any);
        bind(a, reinterpret_cast<sockaddr*>(&any), sizeof(any));
        bind(b, reinterpret_cast<sockaddr*>(&any), sizeof(any));
        sockaddr_in to_a{}, to_b{};
        udp_socket::make_address("127.0.0.1", bound_port(a), to_a);
        udp_socket::make_address("127.0.0.1", bound_port(b), to_b);
        EXPECT_EQ(udp_socket::connect(a, to_b), 0);
        EXPECT_EQ(udp_socket::connect(b, to_a), 0);
    }
    ~Pair() {
        udp_socket::close(a);
        udp_socket::close(b);
    }
};

// Waits until something is queued (loopback delivery is immediate, but be safe).
void await_pending(udp_socket::Handle h) { udp_socket::wait_readable(h, std::chrono::seconds(5)); }

TEST(UdpSocket, NextSizeIsTheNextDatagramAndDiscardDropsThemAll) {
    Pair p;
    EXPECT_EQ(udp_socket::next_datagram_size(p.b), -1);
    const char head[3] = {'a', 'b', 'c'};
    const char body[5] = {'1', '2', '3', '4', '5'};
    ASSERT_EQ(udp_socket::send(p.a, head, 3, body, 5), 8);
    ASSERT_EQ(udp_socket::send(p.a, head, 3, nullptr, 0), 3);
    await_pending(p.b);
    EXPECT_EQ(udp_socket::next_datagram_size(p.b), 8);  // the first datagram, not the total

    // Scatter: the first bytes into the head, the rest into the body.
    char h[2], b[10] = {};
    EXPECT_EQ(udp_socket::receive(p.b, h, 2, b, sizeof(b)), 8);
    EXPECT_EQ(std::string(h, 2), "ab");
    EXPECT_EQ(std::string(b, 6), "c12345");
    EXPECT_EQ(udp_socket::next_datagram_size(p.b), 3);

    ASSERT_EQ(udp_socket::send(p.a, body, 5, nullptr, 0), 5);
    EXPECT_EQ(udp_socket::discard_pending(p.b), 2u);
    EXPECT_EQ(udp_socket::next_datagram_size(p.b), -1);
    EXPECT_EQ(udp_socket::discard_pending(p.b), 0u);
}

// A queued empty datagram is told apart from an empty queue, and dropping it
// brings the datagram behind it forward.
TEST(UdpSocket, EmptyDatagramIsSeenAndDroppedOnItsOwn) {
    Pair p;
    const char body[5] = {'1', '2', '3', '4', '5'};
    ASSERT_EQ(udp_socket::send(p.a, body, 0, nullptr, 0), 0);
    ASSERT_EQ(udp_socket::send(p.a, body, 5, nullptr, 0), 5);
    EXPECT_TRUE(udp_socket::wait_readable(p.b, std::chrono::seconds(5)));
    EXPECT_EQ(udp_socket::next_datagram_size(p.b), 0);
    EXPECT_TRUE(udp_socket::discard_next(p.b));
    await_pending(p.b);
    EXPECT_EQ(udp_socket::next_datagram_size(p.b), 5);
    EXPECT_TRUE(udp_socket::discard_next(p.b));
    EXPECT_FALSE(udp_socket::discard_next(p.b));
    EXPECT_FALSE(udp_socket::wait_readable(p.b, std::chrono::milliseconds(1)));
}

TEST(UdpSocket, ReceiveCutsLongDatagramsAndNeverBlocks) {
    Pair p;
    char scratch[4];
    EXPECT_EQ(udp_socket::receive(p.b, scratch, 4, nullptr, 0), -1);
    EXPECT_EQ(udp_socket::last_error(), EAGAIN);

    const char data[12] = "0123456789A";
    udp_socket::send(p.a, data, 12, nullptr, 0);
    await_pending(p.b);
    char h[2], b[3];
    EXPECT_EQ(udp_socket::receive(p.b, h, 2, b, 3), 5);  // stored, not the datagram's length
    EXPECT_EQ(std::string(b, 3), "234");
    EXPECT_EQ(udp_socket::next_datagram_size(p.b), -1);  // the rest of the datagram is gone
}

TEST(UdpSocket, StalePortUnreachableIsNotASendOrReceiveFailure) {
    // A port with nothing listening: bind, note it, close. Taken below the
    // kernel's ephemeral range, so that no socket of a test running beside
    // this one (they all bind port 0) is given it in the meantime.
    uint16_t dead = 0;
    for (uint16_t port = 23000; dead == 0 && port < 24000; ++port) {
        udp_socket::Handle probe = udp_socket::open();
        sockaddr_in at{};
        udp_socket::make_address("127.0.0.1", port, at);
        if (bind(probe, reinterpret_cast<sockaddr*>(&at), sizeof(at)) == 0) dead = port;
        udp_socket::close(probe);
    }
    ASSERT_NE(dead, 0);

    udp_socket::Handle h = udp_socket::open();
    sockaddr_in to{};
    udp_socket::make_address("127.0.0.1", dead, to);
    ASSERT_EQ(udp_socket::connect(h, to), 0);
    const char x[4] = {};
    for (int i = 0; i < 5; ++i) EXPECT_EQ(udp_socket::send(h, x, 4, nullptr, 0), 4) << "send " << i;

    // The refusal is there now; a receive reports "nothing queued", not a refusal.
    ASSERT_EQ(udp_socket::send(h, x, 4, nullptr, 0), 4);
    char r[4];
    EXPECT_EQ(udp_socket::receive(h, r, 4, nullptr, 0), -1);
    EXPECT_EQ(udp_socket::last_error(), EAGAIN);

    ASSERT_EQ(udp_socket::send(h, x, 4, nullptr, 0), 4);
    EXPECT_EQ(udp_socket::discard_pending(h), 0u);
    // Draining took the pending refusal with it.
    int pending = -1;
    socklen_t length = sizeof(pending);
    ASSERT_EQ(getsockopt(h, SOL_SOCKET, SO_ERROR, &pending, &length), 0);
    EXPECT_EQ(pending, 0);
    udp_socket::close(h);
}

// Raised as far as the kernel lets this process: to 2 MiB where it may pass
// net.core.rmem_max or the cap is high enough, to twice the cap otherwise.
TEST(UdpSocket, ReceiveBufferIsRaisedAsFarAsTheKernelAllows) {
    udp_socket::Handle h = udp_socket::open();
    ASSERT_NE(h, udp_socket::INVALID_HANDLE);
    int before = 0;
    ASSERT_EQ(udp_socket::get_receive_buffer(h, before), 0);
    ASSERT_EQ(udp_socket::set_receive_buffer(h, 1048576), 0);
    int size = 0;
    ASSERT_EQ(udp_socket::get_receive_buffer(h, size), 0);
    EXPECT_EQ(size, receive_buffer::granted(1048576));
    EXPECT_GT(size, before);
    udp_socket::close(h);
    EXPECT_EQ(udp_socket::close(h), -1);
    EXPECT_EQ(udp_socket::last_error(), EBADF);
}

}  // namespace
