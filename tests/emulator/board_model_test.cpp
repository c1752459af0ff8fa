// The board model byte for byte: requests in, replies out, on a clock the
// test controls.
#include "emulator/board_model.hpp"
#include "request_builder.hpp"
#include "scene_helpers.hpp"
#include "tests/support/temp_folder.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <functional>
#include <random>

using board::BoardModel;
using board::Clock;
using board::OutDatagram;
using namespace std::chrono_literals;

namespace {

const std::string& scratch_folder() {
    static const TempFolder folder;
    return folder.path;
}

const Clock::time_point T0 = Clock::time_point{} + 1h;
constexpr uint32_t DATA = 0x100000, OUTPUT = 0x200000, PINGPONG = 0x80000;

EmulatorSettings core_settings() {
    EmulatorSettings s;
    s.ddr_mib = 4;
    s.core_us = 1000;
    s.boot_ms = 50;
    s.address_data = DATA;
    s.address_output = OUTPUT;
    s.offset_pingpong = PINGPONG;
    return s;
}

struct Board {
    BoardModel model;
    Clock::time_point now = T0;
    std::vector<OutDatagram> out;

    explicit Board(const EmulatorSettings& s = core_settings()) : model(s, T0) {}

    std::vector<std::vector<uint8_t>> send(const std::vector<uint8_t>& d) {
        out.clear();
        model.handle(d.data(), d.size(), now, out);
        std::vector<std::vector<uint8_t>> bytes;
        for (auto& o : out) bytes.push_back(o.bytes);
        return bytes;
    }
    // Register value through a fabric read; 0xDEADBEEF when there is no reply.
    uint32_t reg(uint32_t address) {
        auto r = send(request::read_fabric(address));
        return r.size() == 1 && r[0].size() == 10 ? request::get32(r[0], 6) : 0xDEADBEEF;
    }
    bool ack(const std::vector<uint8_t>& d) {
        auto r = send(d);
        EXPECT_EQ(r.size(), 1u);
        return r.size() == 1 && r[0].size() == 10 && r[0][5] == 0;
    }
    void start(uint32_t buffer) {
        ASSERT_TRUE(ack(request::write_ack_fabric(0x0C, {buffer})));
        ASSERT_TRUE(ack(request::write_ack_fabric(0x00, {1})));
        ASSERT_TRUE(ack(request::write_ack_fabric(0x00, {1, 1})));
    }
    void upload(uint32_t buffer, const std::vector<uint8_t>& planes) {
        model.write_ddr(DATA + buffer * PINGPONG, planes);
    }
    std::vector<uint8_t> output(uint32_t buffer) const {
        return model.read_ddr(OUTPUT + buffer * PINGPONG, network::OUTPUT_BYTES);
    }
};

std::vector<uint8_t> pattern(size_t n, uint8_t seed) {
    std::vector<uint8_t> v(n);
    for (size_t i = 0; i < n; ++i) v[i] = uint8_t(seed + i * 7);
    return v;
}

}  // namespace

TEST(BoardModel, AnswersEachRequestKindWithTheExpectedBytes) {
    EmulatorSettings s = core_settings();
    s.version = 0x01020304;
    Board b(s);

    auto r = b.send(request::init(8192));
    ASSERT_EQ(r.size(), 1u);
    // Bytes the host must not examine are never zero, so that a host reading them would notice.
    EXPECT_EQ(r[0], (std::vector<uint8_t>{board::FILL, board::FILL, 4, 3, 2, 1}));

    // An acknowledged DDR write: positive acknowledgement, data stored.
    const auto data = pattern(16, 3);
    r = b.send(request::write_ack_ddr(0x100, data));
    ASSERT_EQ(r.size(), 1u);
    ASSERT_EQ(r[0].size(), 10u);
    EXPECT_EQ(r[0][5], 0);
    EXPECT_EQ(std::count(r[0].begin(), r[0].end(), 0), 1);
    EXPECT_EQ(b.model.read_ddr(0x100, 16), data);

    // A plain write has no reply; a read returns 6 + n bytes.
    EXPECT_TRUE(b.send(request::write_ddr(0x200, pattern(8, 9))).empty());
    r = b.send(request::read_ddr(0x1FC, 16));
    ASSERT_EQ(r.size(), 1u);
    ASSERT_EQ(r[0].size(), 22u);
    std::vector<uint8_t> expected(4, 0);
    auto p = pattern(8, 9);
    expected.insert(expected.end(), p.begin(), p.end());
    expected.resize(16, 0);
    EXPECT_EQ(std::vector<uint8_t>(r[0].begin() + 6, r[0].end()), expected);

    // Bit 7 of the command word (the host's command flag) changes nothing.
    auto flagged = request::write_ack_ddr(0x300, data);
    flagged[2] |= 0x80;
    EXPECT_TRUE(b.ack(flagged));
    EXPECT_EQ(b.model.read_ddr(0x300, 16), data);

    // Untouched memory reads as zeros; scratch registers are plain storage.
    EXPECT_EQ(b.model.read_ddr(0x3F0000, 8), std::vector<uint8_t>(8, 0));
    EXPECT_TRUE(b.ack(request::write_ack_fabric(0x20, {0xCAFEF00D, 5})));
    EXPECT_EQ(b.reg(0x20), 0xCAFEF00Du);
    EXPECT_EQ(b.reg(0x24), 5u);
    EXPECT_EQ(b.reg(0x10), 7u);
    EXPECT_EQ(b.reg(0x04), 0u);
    EXPECT_TRUE(b.send(request::write_fabric(0x28, {77})).empty());
    EXPECT_EQ(b.reg(0x28), 77u);

    const auto c = b.model.counters();
    EXPECT_EQ(c.requests.at("init"), 1u);
    EXPECT_EQ(c.requests.at("write-ack:ddr"), 2u);
    EXPECT_EQ(c.requests.at("write:ddr"), 1u);
    EXPECT_EQ(c.requests.at("write-ack:fabric"), 1u);
    EXPECT_EQ(c.requests.at("write:fabric"), 1u);
    EXPECT_EQ(c.requests.at("read:ddr"), 1u);
    EXPECT_EQ(c.bytes_written, 16u + 8u + 16u + 8u + 4u);
    EXPECT_EQ(c.malformed, 0u);
}

TEST(BoardModel, StreamsInAddressOrderWithThePayloadSizeOfTheInit) {
    Board b;
    const auto data = pattern(20000, 1);
    b.model.write_ddr(0x1000, data);

    // Before any init the stream uses 8192-byte payloads; an init of 4096 changes it.
    for (uint32_t payload : {8192u, 4096u}) {
        if (payload == 4096u) {
            ASSERT_EQ(b.send(request::init(payload)).size(), 1u);
        }
        auto r = b.send(request::stream(0x1000, 20000));
        ASSERT_EQ(r.size(), (20000 + payload - 1) / payload);
        std::vector<uint8_t> joined;
        for (size_t i = 0; i < r.size(); ++i) {
            EXPECT_EQ(std::count(r[i].begin(), r[i].begin() + 6, 0), 0);
            if (i + 1 < r.size()) {
                EXPECT_EQ(r[i].size(), 6 + payload);
            }
            joined.insert(joined.end(), r[i].begin() + 6, r[i].end());
        }
        EXPECT_EQ(joined, data);
    }
    EXPECT_EQ(b.model.counters().requests.at("stream"), 2u);
}

TEST(BoardModel, HostileDatagramsAreCountedAndNeverCorruptMemory) {
    EmulatorSettings s = core_settings();
    s.ddr_mib = 1;
    Board b(s);
    const auto before = pattern(64, 5);
    b.model.write_ddr(0xFFFC0, before);  // the last 64 bytes of the memory

    const uint32_t end = 1u << 20;
    std::vector<std::vector<uint8_t>> hostile;
    hostile.push_back({});                                   // empty
    hostile.push_back({0, 0, 0x42, 0, 0, 0});                // shorter than the header
    hostile.push_back(std::vector<uint8_t>(13, 0xFF));
    auto lying = request::write_ack_ddr(0x100, pattern(16, 1));
    request::put32(lying, 10, 64);                           // length says more than is there
    hostile.push_back(lying);
    request::put32(lying, 10, 8);                            // ... or less
    hostile.push_back(lying);
    auto odd = request::write_ack_ddr(0x100, pattern(6, 1)); // not whole words
    hostile.push_back(odd);
    hostile.push_back(request::write_ack_ddr(end - 8, pattern(16, 1)));        // runs past the end
    hostile.push_back(request::write_ack_ddr(0xFFFFFFF0, pattern(32, 1)));     // address + length overflows 32 bits
    hostile.push_back(request::write_ddr(0xFFFFFFFF, pattern(4, 1)));
    hostile.push_back(request::read_ddr(end - 4, 8));
    hostile.push_back(request::read_ddr(0xFFFFFFFC, 8));
    hostile.push_back(request::read_ddr(0, 0xFFFFFFFC));     // far more than one datagram
    hostile.push_back(request::stream(end - 4, 8));
    hostile.push_back(request::stream(0, 0xFFFFFFF0));
    hostile.push_back(request::header(0x05, 0, 16));         // stream of the fabric
    hostile.push_back(request::header(0x07, 0, 0));          // unknown codes
    hostile.push_back(request::header(0x3F, 0, 0));
    hostile.push_back(request::header(0x0142, 0, 0));        // bits 8-31 of the command word
    hostile.push_back(request::write_ack_fabric(0x02, {1})); // fabric address not a multiple of 4
    hostile.push_back(request::write_ack_fabric(0xFC, {1, 2}));  // past the last register
    hostile.push_back(request::read_fabric(0x06));
    hostile.push_back(request::read_fabric(0xFC, 8));
    hostile.push_back(request::read_fabric(0xFFFFFFFC, 8));
    auto long_read = request::read_ddr(0, 4);
    long_read.push_back(0);                                  // read with trailing bytes
    hostile.push_back(long_read);
    auto long_reset = request::reset();
    long_reset.push_back(0);
    hostile.push_back(long_reset);

    size_t replies = 0, negative = 0;
    for (const auto& d : hostile) {
        for (const auto& r : b.send(d)) {
            ++replies;
            ASSERT_EQ(r.size(), 10u);
            negative += r[5] != 0;
        }
    }
    // Only the acknowledged writes answer, and all of them negatively.
    EXPECT_EQ(replies, 7u);
    EXPECT_EQ(negative, 7u);
    const auto c = b.model.counters();
    EXPECT_EQ(c.malformed, hostile.size());
    EXPECT_EQ(c.resets, 0u);
    EXPECT_EQ(c.bytes_written, 0u);
    EXPECT_EQ(b.model.read_ddr(0xFFFC0, 64), before);
    EXPECT_EQ(b.model.read_ddr(0x100, 32), std::vector<uint8_t>(32, 0));

    // Random garbage: any outcome but a crash or an out-of-bounds access.
    std::mt19937 random(7);
    for (int i = 0; i < 20000; ++i) {
        std::vector<uint8_t> d(random() % 40);
        for (auto& byte : d) byte = uint8_t(random());
        if (d.size() >= 6 && random() % 2) d[2] = uint8_t(0x40 | (random() % 6));  // mostly plausible codes
        if (d.size() >= 6 && d[2] == 0x44) continue;                               // keep the board up
        b.send(d);
    }
    // The board still answers normally.
    EXPECT_EQ(b.send(request::init(8192)).size(), 1u);
}

TEST(BoardModel, ResetClearsEverythingAndIgnoresRequestsWhileBooting) {
    Board b;
    b.model.write_ddr(0x40, pattern(8, 1));
    ASSERT_TRUE(b.ack(request::write_ack_fabric(0x20, {9})));
    b.start(0);
    ASSERT_TRUE(b.model.running());

    EXPECT_TRUE(b.send(request::reset()).empty());
    EXPECT_FALSE(b.model.running());
    EXPECT_EQ(b.model.counters().resets, 1u);

    // Nothing is answered for the boot time (50 ms), not even another reset.
    b.now += 49ms;
    EXPECT_TRUE(b.send(request::init(8192)).empty());
    EXPECT_TRUE(b.send(request::reset()).empty());
    EXPECT_TRUE(b.send(request::write_ack_ddr(0x40, pattern(4, 1))).empty());
    EXPECT_EQ(b.model.counters().ignored_while_booting, 3u);
    EXPECT_EQ(b.model.counters().resets, 1u);

    b.now += 1ms;
    EXPECT_EQ(b.send(request::init(8192)).size(), 1u);
    EXPECT_EQ(b.model.read_ddr(0x40, 8), std::vector<uint8_t>(8, 0));
    EXPECT_EQ(b.reg(0x20), 0u);
    EXPECT_EQ(b.reg(0x00), 0u);
    EXPECT_EQ(b.reg(0x10), 7u);
    // The dropped run never writes its output.
    b.now += 10ms;
    b.model.advance(b.now);
    EXPECT_EQ(b.model.counters().runs_finished, 0u);
}

TEST(BoardModel, CoreRunTakesItsTimeAndPublishesTheOutputBeforeTheDoneFlag) {
    Board b;
    auto planes = blank_planes();
    paint(planes, 6, 100, 120, 179, 219);
    b.upload(1, planes);
    EXPECT_EQ(b.reg(0x00), 0u);  // no run yet
    b.start(1);
    EXPECT_EQ(b.model.counters().runs_started, 1u);
    EXPECT_EQ(b.reg(0x10), 3u);
    EXPECT_EQ(b.reg(0x0C), 1u);

    // The input changes during the run: the run works on what was there at its start.
    b.upload(1, blank_planes());
    b.now += 999us;
    EXPECT_EQ(b.reg(0x00), 0u);
    EXPECT_EQ(b.output(1), std::vector<uint8_t>(network::OUTPUT_BYTES, 0));
    ASSERT_TRUE(b.model.next_event().has_value());
    EXPECT_EQ(*b.model.next_event(), T0 + 1000us);

    // A second start during the run is refused (negative acknowledgement) and changes nothing.
    EXPECT_FALSE(b.ack(request::write_ack_fabric(0x00, {1, 1})));
    EXPECT_EQ(b.model.counters().protocol_errors, 1u);
    EXPECT_EQ(b.model.counters().runs_started, 1u);

    b.now += 1us;
    EXPECT_EQ(b.reg(0x00), 1u);
    EXPECT_EQ(b.reg(0x10), 7u);
    EXPECT_FALSE(b.model.next_event().has_value());
    const auto scaling = board::default_scaling();
    EXPECT_EQ(b.output(1), board::encode_shapes({{6, 100, 120, 179, 219, 80 * 100}}, scaling));
    EXPECT_EQ(b.output(0), std::vector<uint8_t>(network::OUTPUT_BYTES, 0));  // the other buffer set is untouched
    EXPECT_EQ(b.model.counters().runs_finished, 1u);

    // A host that leaves out the writes to 0x00 is caught: a start on a core
    // not armed since the last run is refused, and only a write to 0x00
    // clears the done flag.
    ASSERT_TRUE(b.ack(request::write_ack_fabric(0x0C, {0})));
    EXPECT_FALSE(b.ack(request::write_ack_fabric(0x04, {1})));
    EXPECT_FALSE(b.model.running());
    EXPECT_EQ(b.reg(0x00), 1u);
    ASSERT_TRUE(b.ack(request::write_ack_fabric(0x00, {0})));
    EXPECT_EQ(b.reg(0x00), 0u);
    // Armed, but with buffer set 2: refused too.
    ASSERT_TRUE(b.ack(request::write_ack_fabric(0x0C, {2})));
    EXPECT_FALSE(b.ack(request::write_ack_fabric(0x04, {1})));
    EXPECT_FALSE(b.model.running());
    EXPECT_EQ(b.model.counters().protocol_errors, 3u);
    EXPECT_EQ(b.model.counters().starts_refused, 3u);

    // A core time of 0 finishes at the next look at the clock.
    EmulatorSettings s = core_settings();
    s.core_us = 0;
    s.model = "zero";
    Board fast(s);
    fast.start(0);
    EXPECT_EQ(fast.reg(0x00), 1u);
    EXPECT_EQ(fast.output(0), board::encode_shapes({}, scaling));
}

TEST(BoardModel, RandomFaultsAreSeededAndRepeatExactly) {
    auto run = [](uint64_t seed) {
        EmulatorSettings s = core_settings();
        s.seed = seed;
        s.drop_requests = 0.3;
        s.drop_replies = 0.2;
        s.nack = 0.25;
        s.duplicate = 0.1;
        s.oversize = 0.1;
        Board b(s);
        std::string trace;
        for (int i = 0; i < 400; ++i) {
            auto r = b.send(request::write_ack_ddr(uint32_t(i * 4), request::words({uint32_t(i)})));
            trace += char('0' + r.size());
            for (auto& d : r) trace += d.size() == 14 ? 'o' : (d[5] ? 'n' : 'p');
        }
        return std::make_pair(trace, b.model.counters());
    };
    const auto [a, ca] = run(42);
    const auto [a2, ca2] = run(42);
    const auto [other, cother] = run(43);
    EXPECT_EQ(a, a2);
    EXPECT_NE(a, other);
    // Roughly the fractions asked for (400 requests: wide bounds, the point is "some, not all").
    EXPECT_GT(ca.faults.at("drop-request"), 80u);
    EXPECT_LT(ca.faults.at("drop-request"), 160u);
    EXPECT_GT(ca.faults.at("nack"), 30u);
    EXPECT_GT(ca.faults.at("drop-reply"), 20u);
    EXPECT_GT(ca.faults.at("duplicate"), 5u);
    EXPECT_GT(ca.faults.at("oversize"), 5u);
    EXPECT_EQ(ca.faults_injected, ca.faults.at("drop-request") + ca.faults.at("nack") + ca.faults.at("drop-reply") +
                                      ca.faults.at("duplicate") + ca.faults.at("oversize"));

    // A negative acknowledgement also means the write was not stored.
    EmulatorSettings s = core_settings();
    s.nack = 1.0;
    Board b(s);
    EXPECT_FALSE(b.ack(request::write_ack_ddr(0x10, pattern(4, 1))));
    EXPECT_EQ(b.model.read_ddr(0x10, 4), std::vector<uint8_t>(4, 0));
}

TEST(BoardModel, CountedFaultsHitExactlyTheRequestsNamed) {
    EmulatorSettings s = core_settings();
    s.drop_nth = {{"write-ack", 2}, {"read", 1}, {"read", 3}};
    s.silent_init = 2;
    Board b(s);
    EXPECT_TRUE(b.send(request::init(8192)).empty());
    EXPECT_TRUE(b.send(request::init(8192)).empty());
    EXPECT_EQ(b.send(request::init(8192)).size(), 1u);

    EXPECT_EQ(b.send(request::write_ack_ddr(0, pattern(4, 1))).size(), 1u);
    EXPECT_TRUE(b.send(request::write_ack_ddr(4, pattern(4, 1))).empty());
    EXPECT_EQ(b.send(request::write_ack_ddr(8, pattern(4, 1))).size(), 1u);
    EXPECT_EQ(b.model.read_ddr(4, 4), std::vector<uint8_t>(4, 0));  // a dropped request is not executed

    std::string answered;
    for (int i = 0; i < 4; ++i) answered += b.send(request::read_ddr(0, 4)).empty() ? '-' : 'r';
    EXPECT_EQ(answered, "-r-r");
    EXPECT_EQ(b.model.counters().faults.at("drop-nth"), 3u);
    EXPECT_EQ(b.model.counters().faults.at("silent-init"), 2u);

    // Silent after 3 requests, until the next reset command; then answering again.
    EmulatorSettings q = core_settings();
    q.silent_after = 3;
    Board quiet(q);
    for (int i = 0; i < 3; ++i) EXPECT_EQ(quiet.send(request::read_ddr(0, 4)).size(), 1u);
    EXPECT_TRUE(quiet.send(request::read_ddr(0, 4)).empty());
    EXPECT_TRUE(quiet.send(request::write_ack_ddr(0, pattern(4, 1))).empty());
    EXPECT_EQ(quiet.model.read_ddr(0, 4), std::vector<uint8_t>(4, 0));
    quiet.send(request::reset());
    quiet.now += 50ms;
    for (int i = 0; i < 3; ++i) EXPECT_EQ(quiet.send(request::read_ddr(0, 4)).size(), 1u);
    EXPECT_TRUE(quiet.send(request::read_ddr(0, 4)).empty());
}

TEST(BoardModel, ReplyShapingFaults) {
    EmulatorSettings s = core_settings();
    s.delay_us = 1500000;
    s.duplicate = 1.0;
    s.oversize = 1.0;
    Board b(s);
    b.send(request::read_ddr(0, 8));
    ASSERT_EQ(b.out.size(), 2u);
    for (const auto& d : b.out) {
        EXPECT_EQ(d.due, T0 + 1500ms);
        EXPECT_EQ(d.bytes.size(), 6u + 8u + 4u);
    }

    // A stream with one datagram left out: the others are intact and in order.
    EmulatorSettings g = core_settings();
    g.stream_gap = 1.0;
    g.seed = 5;
    Board gap(g);
    const auto data = pattern(8 * 8192, 1);
    gap.model.write_ddr(0, data);
    auto r = gap.send(request::stream(0, uint32_t(data.size())));
    ASSERT_EQ(r.size(), 7u);
    std::vector<bool> seen(8, false);
    for (const auto& d : r) {
        const uint32_t chunk = d[5] - 1u;  // a fresh board numbers from 0, kept non-zero
        ASSERT_LT(chunk, 8u);
        seen[chunk] = true;
        EXPECT_TRUE(std::equal(d.begin() + 6, d.end(), data.begin() + long(chunk) * 8192));
    }
    EXPECT_EQ(std::count(seen.begin(), seen.end(), false), 1);
    EXPECT_EQ(gap.model.counters().faults.at("stream-gap"), 1u);
}

TEST(BoardModel, CoreFaultsStallRunsAndOverrideTheStatus) {
    EmulatorSettings s = core_settings();
    s.stall_run = {2};
    s.stall_from = 4;
    s.model = "zero";
    Board b(s);
    std::string finished;
    for (int run = 1; run <= 5; ++run) {
        if (b.model.running()) {  // a stalled run stays until a reset
            b.send(request::reset());
            b.now += 50ms;
        }
        b.start(0);
        b.now += 10ms;
        finished += b.reg(0x00) == 1 ? 'f' : 's';
        if (finished.back() == 's') {
            EXPECT_EQ(b.reg(0x10), 3u);
        }
    }
    EXPECT_EQ(finished, "fsfss");
    EXPECT_EQ(b.model.counters().runs_started, 5u);
    EXPECT_EQ(b.model.counters().runs_finished, 2u);

    // Status 3 from the moment run 1 has finished: a check before run 2 sees it.
    EmulatorSettings t = core_settings();
    t.status = 3;
    t.status_from_run = 2;
    t.model = "zero";
    Board st(t);
    EXPECT_EQ(st.reg(0x10), 7u);
    st.start(0);
    st.now += 1ms;
    EXPECT_EQ(st.reg(0x00), 1u);
    EXPECT_EQ(st.reg(0x10), 3u);
    EXPECT_EQ(st.model.counters().faults.at("status"), 1u);

    t.status_from_run = 1;  // the default: from the start
    t.status = 0x12345678;
    Board early(t);
    EXPECT_EQ(early.reg(0x10), 0x12345678u);
}

TEST(BoardModel, RunsWithoutTheExpectedWeightsProduceNothing) {
    const std::string path = scratch_folder() + "/emulator_weights.txt";
    {
        std::ofstream file(path);
        file << "00112233\n44556677\n";
    }
    EmulatorSettings s = core_settings();
    s.weights_path = path;
    s.core_us = 0;
    Board b(s);
    auto planes = blank_planes();
    paint(planes, 3, 10, 10, 59, 59);
    b.upload(0, planes);
    const auto nothing = board::encode_shapes({}, board::default_scaling());

    b.start(0);  // no weights yet
    ASSERT_EQ(b.reg(0x00), 1u);
    EXPECT_EQ(b.output(0), nothing);
    EXPECT_EQ(b.model.counters().runs_without_weights, 1u);

    ASSERT_TRUE(b.ack(request::write_ack_ddr(0, {0x33, 0x22, 0x11, 0x00, 0x77, 0x66, 0x55, 0x44})));
    b.start(0);
    ASSERT_EQ(b.reg(0x00), 1u);
    EXPECT_NE(b.output(0), nothing);
    EXPECT_EQ(b.model.counters().runs_without_weights, 1u);

    ASSERT_TRUE(b.ack(request::write_ack_ddr(4, {0x77, 0x66, 0x55, 0x45})));  // one bit off
    b.start(0);
    ASSERT_EQ(b.reg(0x00), 1u);
    EXPECT_EQ(b.output(0), nothing);
    EXPECT_EQ(b.model.counters().runs_without_weights, 2u);

    s.weights_path = scratch_folder() + "/no_such_weights.txt";
    EXPECT_THROW(BoardModel(s, T0), std::runtime_error);
    std::remove(path.c_str());
}

TEST(BoardModel, ModelsZeroNoiseAndReplay) {
    auto output_of = [](const std::string& model, int runs) {
        EmulatorSettings s = core_settings();
        s.model = model;
        s.core_us = 0;
        Board b(s);
        std::vector<std::vector<uint8_t>> outputs;
        for (int i = 0; i < runs; ++i) {
            b.start(0);
            EXPECT_EQ(b.reg(0x00), 1u);
            outputs.push_back(b.output(0));
        }
        return outputs;
    };
    EXPECT_EQ(output_of("zero", 1)[0], board::encode_shapes({}, board::default_scaling()));

    const auto noise = output_of("noise:7", 2);
    EXPECT_EQ(noise, output_of("noise:7", 2));  // reproducible
    EXPECT_NE(noise[0], noise[1]);              // a fresh block per run
    EXPECT_NE(noise[0], output_of("noise:8", 1)[0]);

    const std::string path = scratch_folder() + "/emulator_replay.bin";
    const auto block = pattern(network::OUTPUT_BYTES, 11);
    {
        std::ofstream file(path, std::ios::binary);
        file.write(reinterpret_cast<const char*>(block.data()), std::streamsize(block.size()));
    }
    EXPECT_EQ(output_of("replay:" + path, 1)[0], block);
    {
        std::ofstream file(path, std::ios::binary | std::ios::app);
        file.put('x');
    }
    EmulatorSettings s = core_settings();
    for (const std::string& bad : {"replay:" + path, std::string("noise:"), std::string("noise:1x"),
                                  std::string("Shapes"), std::string("replay:")}) {
        s.model = bad;
        EXPECT_ANY_THROW(BoardModel(s, T0)) << bad;
    }
    std::remove(path.c_str());
}

// The model refuses settings no board can have, each with the kinds it takes:
// a check that is no longer run, or a kind list put together wrongly, shows here.
TEST(BoardModel, RefusesImpossibleSettingsNamingWhatItTakes) {
    auto refusal = [](const std::function<void(EmulatorSettings&)>& spoil) {
        EmulatorSettings s = core_settings();
        spoil(s);
        try {
            BoardModel model(s, T0);
        } catch (const std::invalid_argument& e) {
            return std::string(e.what());
        }
        return std::string("accepted");
    };
    EXPECT_EQ(refusal([](EmulatorSettings& s) { s.drop_nth = {{"start", 1}}; }),
              "unknown request kind \"start\" (init, write, write-ack, read, stream or done)");
    EXPECT_EQ(refusal([](EmulatorSettings& s) { s.short_nth = {{"write", 1}}; }),
              "no short reply for request kind \"write\" (init, write-ack or read)");
    EXPECT_EQ(refusal([](EmulatorSettings& s) { s.nth_reply = {{"done", 1, -1}}; }),
              "unknown reply kind \"done\" (init, write-ack, read, stream or start)");
    EXPECT_EQ(refusal([](EmulatorSettings& s) { s.nth_reply = {{"start", 0, -1}}; }), "request numbers count from 1");
    EXPECT_EQ(refusal([](EmulatorSettings& s) { s.stream_gap = 1.5; }), "fault fractions must lie in 0..1");
    EXPECT_EQ(refusal([](EmulatorSettings& s) { s.ddr_mib = 0; }), "DDR size must be 1 to 65536 MiB");
    EXPECT_EQ(refusal([](EmulatorSettings& s) { s.output_bias = {1.0f}; }), "output_bias needs 125 values");
    EXPECT_EQ(refusal([](EmulatorSettings& s) { s.drop_nth = {{"done", 1}}; s.nth_reply = {{"start", 2, 5}}; }),
              "accepted");
}

// Requests over a limit a board enforces are refused and counted, not served.
TEST(BoardModel, RequestsOverABoardLimitAreRefused) {
    Board b;
    ASSERT_EQ(b.send(request::init(4096)).size(), 1u);
    EXPECT_FALSE(b.ack(request::write_ack_ddr(0x1000, pattern(4100, 1))));  // longer than announced
    EXPECT_FALSE(b.ack(request::write_ack_fabric(0x20, std::initializer_list<uint32_t>(
                                                          {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16, 17}))));
    auto offset = request::write_ack_ddr(0x1000, pattern(16, 1));
    offset[14] = 1;  // a write-offset byte
    EXPECT_FALSE(b.ack(offset));
    auto init = request::init(8192);
    init[2] |= 0x40;
    EXPECT_TRUE(b.send(init).empty());
    auto reset = request::reset();
    reset[2] |= 0x40;
    EXPECT_TRUE(b.send(reset).empty());
    EXPECT_EQ(b.model.read_ddr(0x1000, 16), std::vector<uint8_t>(16, 0));
    EXPECT_EQ(b.reg(0x20), 0u);
    EXPECT_EQ(b.model.counters().refused, 5u);
    EXPECT_EQ(b.model.counters().resets, 0u);
    EXPECT_TRUE(b.ack(request::write_ack_ddr(0x1000, pattern(4096, 1))));  // the announced size is fine
}

// The N-th reply of a kind comes late; held back when a reset arrives, it is
// never sent.
TEST(BoardModel, HeldBackReplyIsDroppedByAReset) {
    EmulatorSettings s = core_settings();
    s.nth_reply.push_back({"read", 2, 1500});
    Board b(s);
    b.send(request::read_ddr(0, 8));
    EXPECT_EQ(b.out.at(0).due, T0);
    b.send(request::read_ddr(0, 8));
    ASSERT_EQ(b.out.size(), 1u);
    const OutDatagram late = b.out[0];
    EXPECT_EQ(late.due, T0 + 1500ms);
    b.send(request::reset());
    EXPECT_FALSE(b.model.count_sent(late));
    EXPECT_EQ(b.model.counters().replies_dropped_by_reset, 1u);
}
