// The emulator behind its real UDP socket on loopback.
#include "emulator/board_emulator.hpp"
#include "emulator/network_model.hpp"
#include "request_builder.hpp"
#include "scene_helpers.hpp"
#include "tests/support/poll.hpp"
#include "tests/support/receive_buffer.hpp"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <optional>
#include <thread>

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

namespace {

constexpr uint32_t DATA = 0x100000, OUTPUT = 0x200000, PINGPONG = 0x80000;

EmulatorSettings settings() {
    EmulatorSettings s;
    s.ddr_mib = 8;
    s.core_us = 2000;
    s.boot_ms = 100;
    s.address_data = DATA;
    s.address_output = OUTPUT;
    s.offset_pingpong = PINGPONG;
    return s;
}

class Client {
public:
    explicit Client(uint16_t port) {
        fd_ = ::socket(AF_INET, SOCK_DGRAM, 0);
        int size = 8 << 20;
        setsockopt(fd_, SOL_SOCKET, SO_RCVBUFFORCE, &size, sizeof size);
        sockaddr_in to{};
        to.sin_family = AF_INET;
        to.sin_port = htons(port);
        to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        EXPECT_EQ(::connect(fd_, reinterpret_cast<sockaddr*>(&to), sizeof to), 0);
    }
    ~Client() { ::close(fd_); }
    void send(const std::vector<uint8_t>& d) { ASSERT_EQ(::send(fd_, d.data(), d.size(), 0), ssize_t(d.size())); }
    std::optional<std::vector<uint8_t>> receive(std::chrono::milliseconds limit = 5000ms) {
        pollfd p{fd_, POLLIN, 0};
        if (::poll(&p, 1, int(limit.count())) != 1) return std::nullopt;
        std::vector<uint8_t> buffer(65536);
        const ssize_t n = ::recv(fd_, buffer.data(), buffer.size(), 0);
        if (n < 0) return std::nullopt;
        buffer.resize(size_t(n));
        return buffer;
    }
    // Reads a register. 6-byte init replies still on their way (a probe that
    // gave up waiting for one, then asked again) are passed over.
    std::optional<uint32_t> reg(uint32_t address) {
        send(request::read_fabric(address));
        for (;;) {
            auto r = receive();
            if (r && r->size() == 6) continue;
            if (!r || r->size() != 10) return std::nullopt;
            return request::get32(*r, 6);
        }
    }
    bool ack(const std::vector<uint8_t>& d) {
        send(d);
        auto r = receive();
        return r && r->size() == 10 && (*r)[5] == 0;
    }

private:
    int fd_ = -1;
};

}  // namespace

TEST(EmulatorLoopback, ServesRealDatagramsOnAnEphemeralPort) {
    BoardEmulator emulator(settings());
    emulator.start();
    ASSERT_NE(emulator.port(), 0);
    Client client(emulator.port());

    client.send(request::init(8192));
    auto r = client.receive();
    ASSERT_TRUE(r);
    EXPECT_EQ(*r, (std::vector<uint8_t>{0xA5, 0xA5, 1, 0, 0, 0}));

    const auto data = request::words({0x11223344, 0x55667788});
    EXPECT_TRUE(client.ack(request::write_ack_ddr(0x40, data)));
    EXPECT_EQ(emulator.read_ddr(0x40, 8), data);
    emulator.write_ddr(0x80, data);
    client.send(request::read_ddr(0x80, 8));
    r = client.receive();
    ASSERT_TRUE(r);
    EXPECT_EQ(std::vector<uint8_t>(r->begin() + 6, r->end()), data);
    EXPECT_EQ(client.reg(0x10), 7u);
    EXPECT_EQ(emulator.read_register(0x10), 7u);
    EXPECT_THROW(emulator.read_ddr(8u << 20, 1), std::out_of_range);
    EXPECT_THROW(emulator.read_register(0x102), std::out_of_range);

    const auto c = emulator.counters();
    EXPECT_EQ(c.requests.at("init"), 1u);
    EXPECT_EQ(c.requests.at("write-ack:ddr"), 1u);
    EXPECT_EQ(c.replies_sent, 4u);

    // A second emulator cannot take the same port.
    EmulatorSettings same = settings();
    same.port = emulator.port();
    BoardEmulator second(same);
    EXPECT_THROW(second.start(), std::runtime_error);
    EmulatorSettings bad = settings();
    bad.bind = "not-an-address";
    BoardEmulator third(bad);
    EXPECT_THROW(third.start(), std::runtime_error);

    emulator.stop();
    emulator.stop();  // idempotent
}

// Three frames of three 173,056-byte planes in 8192-byte datagrams, sent
// `pace` apart (0: back to back). Returns how many were sent and received,
// and whether they were taken as DDR writes that left the frame in memory.
struct Upload {
    size_t sent = 0;
    size_t received = 0;
    bool intact = false;  // every datagram counted as a DDR write, and the memory holds the frame
};

Upload upload_three_frames(std::chrono::microseconds pace) {
    BoardEmulator emulator(settings());
    emulator.start();
    Client client(emulator.port());

    std::vector<uint8_t> frame(network::INPUT_BYTES);
    for (size_t i = 0; i < frame.size(); ++i) frame[i] = uint8_t(i * 13 + i / 4096);
    Upload upload;
    auto slot = Clock::now();
    for (int repeat = 0; repeat < 3; ++repeat)
        for (size_t offset = 0; offset < frame.size(); offset += 8192, ++upload.sent) {
            const size_t n = std::min<size_t>(8192, frame.size() - offset);
            client.send(request::write_ddr(uint32_t(DATA + offset),
                                           std::vector<uint8_t>(frame.begin() + long(offset),
                                                                frame.begin() + long(offset + n))));
            slot += pace;
            std::this_thread::sleep_until(slot);
        }
    EXPECT_EQ(upload.sent, 3u * 64u);  // 63 full datagrams and one of 1,024 bytes per frame
    poll_until([&] { return emulator.counters().datagrams_received == upload.sent; });
    const EmulatorCounters counters = emulator.counters();
    upload.received = counters.datagrams_received;
    upload.intact = counters.requests.count("write:ddr") == 1 && counters.requests.at("write:ddr") == upload.sent &&
                    emulator.read_ddr(DATA, frame.size()) == frame;
    return upload;
}

// Back to back, a frame has to fit in the socket's own buffer (about 1.1 MB
// of it): only where the kernel grants that much.
TEST(EmulatorLoopback, UnpacedFrameUploadsLoseNothing) {
    const int granted = receive_buffer::granted(16 << 20);
    if (granted < 2 << 20) {
        GTEST_SKIP() << "the kernel grants a socket " << granted << " bytes, less than an unpaced frame needs";
    }
    const Upload upload = upload_three_frames(0us);
    EXPECT_EQ(upload.received, upload.sent);
    EXPECT_TRUE(upload.intact);
}

// At the programs' 100 MiB/s (78 us a datagram) the socket's buffer only has
// to bridge the gaps of the thread that drains it: this holds with the
// 416 KiB an ordinary user gets on a stock machine. Up to three tries: on a
// busy machine the kernel now and then hands loopback datagrams to the
// socket milliseconds late and all at once, more than such a buffer holds,
// while a board whose receiving side cannot keep up loses in every try.
TEST(EmulatorLoopback, FramesPacedLikeTheProgramsLoseNothing) {
    std::string tries;
    for (int attempt = 0; attempt < 3; ++attempt) {
        const Upload upload = upload_three_frames(78us);
        if (upload.received == upload.sent) {
            EXPECT_TRUE(upload.intact);
            return;
        }
        tries += " " + std::to_string(upload.received) + " of " + std::to_string(upload.sent) + ";";
    }
    ADD_FAILURE() << "datagrams received in each try:" << tries;
}

TEST(EmulatorLoopback, RunsEndOnTimeWithoutTrafficAndResetsReboot) {
    EmulatorSettings s = settings();
    s.core_us = 20000;
    BoardEmulator emulator(s);
    emulator.start();
    Client client(emulator.port());
    auto planes = blank_planes();
    paint(planes, 14, 200, 40, 299, 199);
    emulator.write_ddr(DATA + PINGPONG, planes);

    const auto start = Clock::now();
    ASSERT_TRUE(client.ack(request::write_ack_fabric(0x0C, {1})));
    ASSERT_TRUE(client.ack(request::write_ack_fabric(0x00, {1, 1})));
    // Nobody asks: the serving loop must still finish the run on its own.
    ASSERT_TRUE(poll_until([&] { return emulator.read_register(0x00) == 1; }));
    EXPECT_GE(Clock::now() - start, 20ms);
    EXPECT_EQ(emulator.read_ddr(OUTPUT + PINGPONG, network::OUTPUT_BYTES),
              board::encode_shapes({{14, 200, 40, 299, 199, 100 * 160}}, board::default_scaling()));

    // The reset command: no reply, nothing answered while booting, then a clean board.
    const auto reset_at = Clock::now();  // before sending: the board may act before send() returns
    client.send(request::reset());
    ASSERT_TRUE(poll_until([&] { return emulator.counters().resets == 1; }));
    client.send(request::init(8192));
    EXPECT_FALSE(client.receive(20ms));
    ASSERT_TRUE(poll_until(
        [&] {
            client.send(request::init(8192));
            return bool(client.receive(5ms));
        },
        3000ms));
    EXPECT_GE(Clock::now() - reset_at, 100ms);
    EXPECT_EQ(emulator.read_ddr(DATA + PINGPONG, 16), std::vector<uint8_t>(16, 0));
    EXPECT_EQ(client.reg(0x00), 0u);
}

TEST(EmulatorLoopback, DelayedRepliesComeLateAndStopStaysPrompt) {
    EmulatorSettings s = settings();
    s.delay_us = 50000;
    auto emulator = std::make_unique<BoardEmulator>(s);
    emulator->start();
    Client client(emulator->port());
    const auto sent = Clock::now();
    client.send(request::read_fabric(0x10));
    client.send(request::read_fabric(0x04));
    auto first = client.receive(2000ms);
    auto second = client.receive(2000ms);
    ASSERT_TRUE(first && second);
    EXPECT_GE(Clock::now() - sent, 50ms);
    EXPECT_EQ(request::get32(*first, 6), 7u);  // in order
    EXPECT_EQ(request::get32(*second, 6), 0u);

    // With replies still queued and no traffic, destruction joins the thread.
    s.delay_us = 10000000;
    emulator = std::make_unique<BoardEmulator>(s);
    emulator->start();
    Client other(emulator->port());
    other.send(request::read_fabric(0x10));
    ASSERT_TRUE(poll_until([&] { return emulator->counters().datagrams_received == 1; }));
    emulator.reset();
    EXPECT_FALSE(other.receive(20ms));
}

TEST(EmulatorLoopback, CountersAreReadableWhileServing) {
    BoardEmulator emulator(settings());
    emulator.start();
    std::atomic<bool> done{false};
    std::thread traffic([&] {
        Client client(emulator.port());
        for (int i = 0; i < 300; ++i) client.ack(request::write_ack_ddr(uint32_t(4 * i), request::words({1})));
        done = true;
    });
    uint64_t last = 0;
    while (!done) {
        const auto c = emulator.counters();
        EXPECT_GE(c.datagrams_received, last);
        last = c.datagrams_received;
        (void)emulator.read_ddr(0, 64);
    }
    traffic.join();
    EXPECT_EQ(emulator.counters().requests.at("write-ack:ddr"), 300u);
}
