// Request bytes, reply reading and request reading of the board protocol.
#include "link/wire.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;
using wire::Ack;
using wire::CommandFlag;
using wire::Space;

Bytes header(uint8_t command, uint32_t address, uint32_t length) {
    Bytes out{0, 0, command, 0, 0, 0};
    for (uint32_t v : {address, length})
        for (int i = 0; i < 4; ++i) out.push_back(static_cast<uint8_t>(v >> (8 * i)));
    return out;
}

TEST(Wire, DdrWriteOfFourWordsMatchesTheDocumentedBytes) {
    const uint32_t words[4] = {0x03020100u, 0x07060504u, 0x0B0A0908u, 0x0F0E0D0Cu};
    const Bytes got = wire::write_request(Ack::no, words, 4, 0x100, Space::ddr, CommandFlag::clear, 8);
    Bytes want{0x00, 0x00, 0x41, 0x00, 0x00, 0x00, 0x00, 0x01, 0x00, 0x00, 0x10, 0x00, 0x00, 0x00};
    want.insert(want.end(), 8, 0);
    for (uint8_t b = 0; b < 16; ++b) want.push_back(b);
    ASSERT_EQ(got.size(), 38u);
    EXPECT_EQ(got, want);
}

// Every command in both spaces, with and without the command flag: the
// command byte, the address and length fields, and the datagram length.
TEST(Wire, EveryRequestKindHasItsCommandByteFieldsAndLength) {
    const uint32_t payload[3] = {0xAABBCCDDu, 1, 2};
    for (CommandFlag flag : {CommandFlag::clear, CommandFlag::set}) {
        const uint8_t f = flag == CommandFlag::set ? 0x80 : 0x00;
        SCOPED_TRACE(flag == CommandFlag::set ? "command_flag true" : "command_flag false");
        for (Space space : {Space::ddr, Space::fabric}) {
            const uint8_t s = space == Space::ddr ? 0x40 : 0x00;
            Bytes w = wire::write_request(Ack::no, payload, 3, 0x12345678, space, flag, 8);
            Bytes want = header(0x01 | s | f, 0x12345678, 12);
            want.insert(want.end(), 8, 0);
            want.insert(want.end(), {0xDD, 0xCC, 0xBB, 0xAA, 1, 0, 0, 0, 2, 0, 0, 0});
            EXPECT_EQ(w, want);

            Bytes wa = wire::write_request(Ack::yes, payload, 3, 0x12345678, space, flag, 8);
            want[2] = 0x02 | s | f;
            EXPECT_EQ(wa, want);

            EXPECT_EQ(wire::read_request(0xFC, 5, space, flag), header(0x03 | s | f, 0xFC, 20));
        }
        EXPECT_EQ(wire::read_stream_request(0x4000, 262144, flag), header(0x45 | f, 0x4000, 1048576));

        Bytes done = header(0x04 | f, 0, 0);
        done.insert(done.end(), 8, 0);
        EXPECT_EQ(wire::done_request(flag, 8), done);

        // The init request carries the DDR payload size: 8192 is 00 20 00 00.
        const Bytes init = wire::init_request(8192, flag);
        EXPECT_EQ(init, header(0x0F | f, 0, 8192));
        EXPECT_EQ(init[10], 0x00);
        EXPECT_EQ(init[11], 0x20);
    }
}

TEST(Wire, WriteOffsetSetsTheZeroGapBeforeThePayload) {
    const uint32_t word = 0xFFFFFFFFu;
    for (uint32_t offset : {0u, 3u, 8u}) {
        const Bytes w = wire::write_request(Ack::yes, &word, 1, 0, Space::fabric, CommandFlag::clear, offset);
        ASSERT_EQ(w.size(), 14u + offset + 4u);
        for (uint32_t i = 0; i < offset; ++i) EXPECT_EQ(w[14 + i], 0) << "offset " << offset;
        EXPECT_EQ(w[14 + offset], 0xFF);
        EXPECT_EQ(wire::done_request(CommandFlag::clear, offset).size(), 14u + offset);
    }
    // The largest request: 14 + 8 + 16384 bytes.
    const std::vector<uint32_t> full(4096, 7);
    EXPECT_EQ(wire::write_request(Ack::no, full.data(), 4096, 0, Space::ddr, CommandFlag::clear, 8).size(), 16406u);
}

TEST(Wire, PrefixBuilderAgreesWithWholeRequests) {
    const uint32_t words[2] = {5, 6};
    uint8_t prefix[22];
    const size_t n = wire::put_write_prefix(prefix, Ack::yes, Space::ddr, CommandFlag::set, 0xABCD, 2, 8);
    const Bytes whole = wire::write_request(Ack::yes, words, 2, 0xABCD, Space::ddr, CommandFlag::set, 8);
    ASSERT_EQ(n, 22u);
    EXPECT_TRUE(std::equal(prefix, prefix + n, whole.begin()));
}

TEST(Wire, AcknowledgementSignIsByteFiveOnly) {
    uint8_t ack[10] = {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x00, 0xFF, 0xFF, 0xFF, 0xFF};
    EXPECT_TRUE(wire::ack_positive(ack, 10));
    ack[5] = 1;
    EXPECT_FALSE(wire::ack_positive(ack, 10));
    const uint8_t zeros[10] = {};
    EXPECT_TRUE(wire::ack_positive(zeros, 10));
    // Too short to carry byte 5: not a positive acknowledgement.
    EXPECT_FALSE(wire::ack_positive(zeros, 5));
}

TEST(Wire, InitVersionAndReadReplyWords) {
    const uint8_t reply[10] = {9, 9, 0x78, 0x56, 0x34, 0x12, 1, 2, 3, 4};
    EXPECT_EQ(wire::init_version(reply, 6), 0x12345678u);
    EXPECT_EQ(wire::init_version(reply, 10), 0x12345678u);
    EXPECT_EQ(wire::init_version(reply, 4), 0x5678u);  // missing bytes read as zero

    EXPECT_EQ(wire::read_reply_size(4, 3), 18u);
    EXPECT_EQ(wire::read_reply_words(18, 4), 3u);
    EXPECT_EQ(wire::read_reply_words(17, 4), 2u);  // a trailing part-word does not count
    EXPECT_EQ(wire::read_reply_words(6, 4), 0u);
    EXPECT_EQ(wire::read_reply_words(3, 4), 0u);   // shorter than its header
}

// The board's reading of a request header, field by field from documented
// bytes: code, space bit, command flag and the bits above them, address and
// length, all little-endian.
TEST(Wire, RequestHeaderIsReadFieldByField) {
    const Bytes request{0x00, 0x00, 0xC5, 0x01, 0x00, 0x00, 0x78, 0x56, 0x34, 0x12, 0x10, 0x00, 0x00, 0x80};
    const auto parsed = wire::parse_header(request.data(), request.size());
    ASSERT_TRUE(parsed.has_value());
    EXPECT_EQ(parsed->code, 5u);
    EXPECT_TRUE(parsed->ddr);
    EXPECT_TRUE(parsed->command_flag);
    EXPECT_EQ(parsed->upper_bits, 1u);
    EXPECT_EQ(parsed->address, 0x12345678u);
    EXPECT_EQ(parsed->length, 0x80000010u);

    const Bytes fabric_read = header(0x03, 0xFC, 4);
    const auto read = wire::parse_header(fabric_read.data(), fabric_read.size());
    ASSERT_TRUE(read.has_value());
    EXPECT_EQ(read->code, 3u);
    EXPECT_FALSE(read->ddr);
    EXPECT_FALSE(read->command_flag);
    EXPECT_EQ(read->upper_bits, 0u);

    // One byte short of a header is no request; what follows a header is not part of it.
    EXPECT_FALSE(wire::parse_header(request.data(), 13).has_value());
    EXPECT_FALSE(wire::parse_header(request.data(), 0).has_value());
    Bytes longer = request;
    longer.insert(longer.end(), 8, 0xFF);
    const auto same = wire::parse_header(longer.data(), longer.size());
    ASSERT_TRUE(same.has_value());
    EXPECT_EQ(same->length, 0x80000010u);
}

// Every request the host builds reads back as what it was built from.
TEST(Wire, EveryRequestTheHostBuildsReadsBackAsBuilt) {
    const uint32_t payload[2] = {1, 2};
    struct Expected {
        Bytes request;
        uint32_t code;
        bool ddr;
        uint32_t address, length;
    };
    for (CommandFlag flag : {CommandFlag::clear, CommandFlag::set}) {
        std::vector<Expected> cases;
        for (Space space : {Space::ddr, Space::fabric}) {
            const bool ddr = space == Space::ddr;
            cases.push_back({wire::write_request(Ack::no, payload, 2, 0xABC0, space, flag, 8), CMD_WRITE, ddr, 0xABC0, 8});
            cases.push_back(
                {wire::write_request(Ack::yes, payload, 2, 0xABC0, space, flag, 8), CMD_WRITE_ACK, ddr, 0xABC0, 8});
            cases.push_back({wire::read_request(0x40, 3, space, flag), CMD_READ, ddr, 0x40, 12});
        }
        cases.push_back({wire::read_stream_request(0x100000, 262144, flag), CMD_READ_STREAM, true, 0x100000, 1048576});
        cases.push_back({wire::done_request(flag, 8), CMD_DONE, false, 0, 0});
        cases.push_back({wire::init_request(8192, flag), CMD_INIT, false, 0, 8192});
        for (const Expected& e : cases) {
            const bool flag_set = flag == CommandFlag::set;
            SCOPED_TRACE("code " + std::to_string(e.code) + (e.ddr ? " ddr" : " fabric") + (flag_set ? " flag" : ""));
            const auto parsed = wire::parse_header(e.request.data(), e.request.size());
            ASSERT_TRUE(parsed.has_value());
            EXPECT_EQ(parsed->code, e.code);
            EXPECT_EQ(parsed->ddr, e.ddr);
            EXPECT_EQ(parsed->command_flag, flag_set);
            EXPECT_EQ(parsed->upper_bits, 0u);
            EXPECT_EQ(parsed->address, e.address);
            EXPECT_EQ(parsed->length, e.length);
        }
    }
    // A write's payload starts after the header and the write offset.
    const Bytes w = wire::write_request(Ack::no, payload, 2, 0, Space::ddr, CommandFlag::clear, 8);
    EXPECT_EQ(wire::write_payload_offset(8), 22u);
    EXPECT_EQ(w[wire::write_payload_offset(8)], 1);
    EXPECT_EQ(w[wire::write_payload_offset(8) + 4], 2);
}

}  // namespace
