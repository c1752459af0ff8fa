// The link's receive path fed arbitrary replies: every datagram the link
// sends gets a group of datagrams from the fuzzer as its answer (see
// link_script.hpp), through the in-memory socket. After each transfer:
//  - nothing is reported as read or written that the replies did not carry:
//    a successful read holds, chunk by chunk, the payload of a reply to that
//    chunk's request; a stream read the bytes its datagrams carried, in
//    order; an acknowledged write or done had a positive acknowledgement to
//    a request carrying exactly that chunk; the version is one an init reply
//    carried;
//  - nothing is written past a destination (ASan, on destinations of
//    exactly the words asked for);
//  - every failure is a failed attempt: only the link's own errors leave a
//    transfer, after no more requests per chunk than its attempts, and the
//    chunk that gave up had all of them;
//  - every request is well formed.
#include "link/udp_interface_ethernet.hpp"
#include "link/wire.hpp"
#include "tests/fuzz/fake_udp_socket.hpp"
#include "tests/fuzz/fuzz_support.hpp"
#include "tests/fuzz/link_script.hpp"

#include <algorithm>
#include <cstring>
#include <memory>
#include <optional>
#include <vector>

namespace {

using fake_socket::Datagram;
using link_script::Kind;
using link_script::Mode;

struct Exchange {
    Datagram request;
    wire::RequestHeader header;
    std::vector<Datagram> replies;
};

uint32_t pattern(uint32_t address, uint32_t i) { return (address + i * 4u) * 2654435761u ^ 0x5A5A0000u; }

class Harness {
public:
    Harness(fuzz::Bytes& in, const link_script::Setup& setup)
        : in_(in),
          setup_(setup),
          link_(setup.ddr_payload_size, setup.fabric_payload_size, setup.read_offset, setup.write_offset,
                setup.command_flag, setup.limits) {
        fake_socket::queue().clear();
        fake_socket::on_send([this](const Datagram& request) { answer(request); });
    }
    ~Harness() {
        fake_socket::on_send(nullptr);
        fake_socket::queue().clear();
    }

    void run() {
        // The link opens its socket and sends its init request here.
        carry_out({Kind::Init, 0, 0}, true);
        while (!in_.empty()) carry_out(link_script::read_operation(in_), false);
    }

private:
    // Queues the fuzzer's group for one request and records the exchange.
    void answer(const Datagram& request) {
        Exchange ex;
        ex.request = request;
        const auto header = wire::parse_header(request.data(), request.size());
        fuzz::require(header.has_value(), "request shorter than its header");
        ex.header = *header;
        check_request(ex);
        if (ex.header.code == CMD_READ_STREAM) stream_sent_ = 0;
        const unsigned count = in_.u8();
        for (unsigned i = 0; i < count && !in_.empty(); ++i) ex.replies.push_back(describe(ex));
        for (const auto& d : ex.replies) fake_socket::queue().push_back(d);
        exchanges_.push_back(std::move(ex));
    }

    // One datagram from its description (the last one may be cut short by
    // the end of the input).
    Datagram describe(const Exchange& ex) {
        const uint8_t mode_byte = in_.u8();
        const Mode mode = static_cast<Mode>(mode_byte % static_cast<uint8_t>(Mode::Count));
        if (mode == Mode::Raw) return in_.take(in_.u16());
        if (mode == Mode::Empty) return {};
        Datagram d = proper_reply(ex, (mode_byte & 0x80) != 0);
        if (mode == Mode::Proper) {
            const int delta = static_cast<int8_t>(in_.u8());
            const size_t size = static_cast<size_t>(std::max<long>(0, long(d.size()) + delta));
            d.resize(size, 0xA5);
        }
        return d;
    }

    // The reply a sound board gives; a stream request gets its next piece.
    Datagram proper_reply(const Exchange& ex, bool negative) {
        const size_t head = wire::reply_payload_offset(setup_.read_offset);
        const uint8_t fill = in_.u8();
        switch (ex.header.code) {
            case CMD_INIT: {
                Datagram d(wire::init_reply_capacity(setup_.read_offset), fill);
                return d;
            }
            case CMD_WRITE_ACK:
            case CMD_DONE: {
                Datagram d(wire::ack_reply_size(setup_.read_offset), fill);
                d[wire::ACK_STATUS_AT] = negative ? 1 : 0;
                return d;
            }
            case CMD_READ: {
                Datagram d(head + ex.header.length, fill);
                return d;
            }
            case CMD_READ_STREAM: {
                const size_t left = ex.header.length > stream_sent_ ? ex.header.length - stream_sent_ : 0;
                const size_t piece = std::min<size_t>(left, 4 * (1 + in_.u8() % 64));
                stream_sent_ += piece;
                Datagram d(head + piece, fill);
                for (size_t i = 0; i < piece; ++i) d[head + i] = static_cast<uint8_t>(fill + i);
                return d;
            }
            default:
                return Datagram(head, fill);
        }
    }

    void check_request(const Exchange& ex) const {
        const auto& h = ex.header;
        fuzz::require(h.upper_bits == 0, "request with bits 8-31 of its command word set");
        fuzz::require(h.command_flag == setup_.command_flag, "request without the configured command flag");
        const size_t size = ex.request.size();
        switch (h.code) {
            case CMD_WRITE:
            case CMD_WRITE_ACK: {
                const size_t at = wire::write_payload_offset(setup_.write_offset);
                fuzz::require(size == at + h.length, "write request whose length field disagrees with its size");
                fuzz::require(std::all_of(ex.request.begin() + wire::HEADER_SIZE, ex.request.begin() + at,
                                          [](uint8_t b) { return b == 0; }),
                              "write request with non-zero offset bytes");
                const uint32_t most = h.ddr ? setup_.ddr_payload_size : setup_.fabric_payload_size;
                fuzz::require(h.length > 0 && h.length <= most && h.length % 4 == 0,
                              "write request larger than a payload or not whole words");
                break;
            }
            case CMD_DONE:
                fuzz::require(size == wire::HEADER_SIZE + setup_.write_offset && h.length == 0,
                              "done request with a payload");
                break;
            case CMD_READ:
            case CMD_READ_STREAM:
            case CMD_INIT:
                fuzz::require(size == wire::HEADER_SIZE, "read or init request with a payload");
                break;
            default:
                fuzz::broken("request with an unknown command code");
        }
    }

    bool acknowledges(const Datagram& d) const {
        return d.size() >= wire::ack_reply_size(setup_.read_offset) && d[wire::ACK_STATUS_AT] == 0;
    }

    size_t first_exchange_ = 0;

    // The exchanges of the operation in hand.
    std::vector<const Exchange*> operation_exchanges() const {
        std::vector<const Exchange*> out;
        for (size_t i = first_exchange_; i < exchanges_.size(); ++i) out.push_back(&exchanges_[i]);
        return out;
    }

    // Whether a request for exactly this chunk was positively acknowledged.
    bool chunk_acknowledged(uint32_t code, bool ddr, uint32_t address, const uint32_t* words, uint32_t m) const {
        const size_t at = wire::write_payload_offset(setup_.write_offset);
        for (const Exchange* ex : operation_exchanges()) {
            const auto& h = ex->header;
            if (h.code != code || h.ddr != ddr || h.address != address || h.length != m * 4u) continue;
            if (std::memcmp(ex->request.data() + at, words, size_t(m) * 4) != 0) continue;
            if (std::any_of(ex->replies.begin(), ex->replies.end(), [&](const Datagram& d) { return acknowledges(d); }))
                return true;
        }
        return false;
    }

    // Whether a reply to a read request for exactly this chunk carried these words.
    bool chunk_carried(bool ddr, uint32_t address, const uint32_t* words, uint32_t m) const {
        const size_t head = wire::reply_payload_offset(setup_.read_offset);
        for (const Exchange* ex : operation_exchanges()) {
            const auto& h = ex->header;
            if (h.code != CMD_READ || h.ddr != ddr || h.address != address || h.length != m * 4u) continue;
            for (const Datagram& d : ex->replies)
                if (d.size() >= head + size_t(m) * 4 && std::memcmp(d.data() + head, words, size_t(m) * 4) == 0)
                    return true;
        }
        return false;
    }

    // Calls `each(address, first_word, words)` for the chunks of a transfer.
    template <class Each>
    static void chunks(uint32_t address, uint32_t words, uint32_t chunk_words, Each&& each) {
        for (uint32_t done = 0, i = 0; done < words; done += chunk_words, ++i)
            each(static_cast<uint32_t>(address + uint64_t(i) * chunk_words * 4), done,
                 std::min(chunk_words, words - done));
    }

    // Every failure ends after `attempts` requests for the chunk that failed;
    // no chunk gets more.
    void check_attempts(uint32_t code, int attempts, bool gave_up) const {
        const auto mine = operation_exchanges();
        size_t run = 0;
        for (size_t i = 0; i < mine.size(); ++i) {
            if (mine[i]->header.code != code) continue;
            run = (i > 0 && mine[i - 1]->header.code == code && mine[i - 1]->header.address == mine[i]->header.address)
                      ? run + 1
                      : 1;
            fuzz::require(run <= size_t(attempts), "more requests for one chunk than its attempts");
        }
        if (gave_up) fuzz::require(run == size_t(attempts), "a transfer gave up before its attempts were used");
    }

    void carry_out(const link_script::Operation& op, bool first) {
        first_exchange_ = exchanges_.size();
        const auto& limits = setup_.limits;
        const uint32_t ddr_words = setup_.ddr_payload_size / 4, fabric_words = setup_.fabric_payload_size / 4;
        // A single fabric write takes at least one word, whatever the count.
        std::vector<uint32_t> source(std::max(op.words, fabric_words));
        for (uint32_t i = 0; i < source.size(); ++i) source[i] = pattern(op.address, i);
        // Destinations of exactly the words asked for: ASan sees one word too far.
        std::unique_ptr<uint32_t[]> destination(new uint32_t[std::max<uint32_t>(op.words, 1)]);
        std::fill_n(destination.get(), std::max<uint32_t>(op.words, 1), 0xDEADBEEFu);
        const std::chrono::nanoseconds ack_limit = std::chrono::microseconds(100);

        switch (op.kind) {
            case Kind::Init: {
                const uint32_t before = link_.get_version();
                try {
                    if (first)
                        link_.init("127.0.0.1", 1, 1000000);
                    else
                        link_._udp_init();
                } catch (const exception_inittimeout&) {
                    fuzz::require(link_.get_version() == before, "a failed init changed the version");
                    return;
                } catch (const exception_writeackerror&) {
                    fuzz::require(link_.get_version() == before, "a failed init changed the version");
                    return;
                }
                const size_t expected = wire::init_reply_expected(setup_.read_offset);
                const size_t capacity = wire::init_reply_capacity(setup_.read_offset);
                bool carried = false;
                for (const Exchange* ex : operation_exchanges())
                    for (const Datagram& d : ex->replies)
                        if (d.size() >= expected &&
                            wire::init_version(d.data(), std::min(d.size(), capacity)) == link_.get_version())
                            carried = true;
                fuzz::require(carried, "init reported a version no reply carried");
                return;
            }
            case Kind::WriteAckDdr:
            case Kind::WriteAckFabric: {
                const bool ddr = op.kind == Kind::WriteAckDdr;
                const uint32_t words = ddr ? op.words : std::min(op.words, 4 * fabric_words);
                const int attempts = ddr ? limits.ddr_write_ack_attempts : limits.fabric_write_ack_attempts;
                bool gave_up = false;
                try {
                    const int result = ddr ? link_.udp_write_ack_ddr(source.data(), op.address, words, ack_limit)
                                           : link_.udp_write_ack_fabric(source.data(), op.address, words, ack_limit);
                    fuzz::require(result == 1, "an acknowledged write returned without success or error");
                    chunks(op.address, words, ddr ? ddr_words : fabric_words, [&](uint32_t a, uint32_t first_word, uint32_t m) {
                        fuzz::require(chunk_acknowledged(CMD_WRITE_ACK, ddr, a, source.data() + first_word, m),
                                      "a write reported acknowledged that no reply acknowledged");
                    });
                } catch (const exception_writeacktimeout&) {
                    gave_up = true;
                }
                check_attempts(CMD_WRITE_ACK, attempts, gave_up);
                return;
            }
            case Kind::WriteAckFabricOnce: {
                const uint32_t words = 1 + op.words % fabric_words;
                if (link_.udp_write_ack_fabric_once(source.data(), op.address, words, ack_limit))
                    fuzz::require(chunk_acknowledged(CMD_WRITE_ACK, false, op.address, source.data(), words),
                                  "a single write reported acknowledged that no reply acknowledged");
                fuzz::require(operation_exchanges().size() == 1, "a single write sent more than one request");
                return;
            }
            case Kind::ReadDdr:
            case Kind::ReadFabric: {
                const bool ddr = op.kind == Kind::ReadDdr;
                const uint32_t words = ddr ? op.words : std::min(op.words, 4 * fabric_words);
                bool gave_up = false;
                try {
                    const int got = ddr ? link_.udp_read_ddr(destination.get(), op.address, words)
                                        : link_.udp_read_fabric(destination.get(), op.address, words);
                    fuzz::require(got == static_cast<int>(words), "a read reported other than the words asked for");
                    chunks(op.address, words, ddr ? ddr_words : fabric_words, [&](uint32_t a, uint32_t first_word, uint32_t m) {
                        fuzz::require(chunk_carried(ddr, a, destination.get() + first_word, m),
                                      "a read holds words no reply to its request carried");
                    });
                } catch (const exception_readtimeout&) {
                    gave_up = true;
                }
                check_attempts(CMD_READ, limits.read_attempts, gave_up);
                return;
            }
            case Kind::ReadFabricWord: {
                bool gave_up = false;
                try {
                    const uint32_t value = link_.udp_read_fabric(op.address);
                    fuzz::require(chunk_carried(false, op.address, &value, 1), "a register value no reply carried");
                } catch (const exception_readtimeout&) {
                    gave_up = true;
                }
                check_attempts(CMD_READ, limits.read_attempts, gave_up);
                return;
            }
            case Kind::ReadStream: {
                bool gave_up = false;
                try {
                    const int got = link_.udp_read_stream_ddr(destination.get(), op.address, op.words);
                    fuzz::require(got == static_cast<int>(op.words), "a stream read reported other than the words asked for");
                    if (op.words > 0) check_stream(destination.get(), op.words);
                } catch (const exception_readtimeout&) {
                    gave_up = true;
                }
                check_attempts(CMD_READ_STREAM, limits.stream_attempts, gave_up);
                return;
            }
            case Kind::Done: {
                if (link_.udp_done(ack_limit) == 1) {
                    const Exchange& ex = *operation_exchanges().back();
                    fuzz::require(ex.header.code == CMD_DONE &&
                                      std::any_of(ex.replies.begin(), ex.replies.end(),
                                                  [&](const Datagram& d) { return acknowledges(d); }),
                                  "done reported acknowledged that no reply acknowledged");
                }
                return;
            }
            case Kind::Reset:
                fuzz::require(link_.udp_reset() == 1, "a reset that was sent reported failure");
                return;
            case Kind::WriteDdr:
                link_.udp_write_ddr(source.data(), op.address, op.words);
                return;
            case Kind::Count:
                return;
        }
    }

    // A stream holds, in order, the payload bytes of the datagrams that
    // answered its last request.
    void check_stream(const uint32_t* words, uint32_t count) const {
        const Exchange& ex = *operation_exchanges().back();
        fuzz::require(ex.header.code == CMD_READ_STREAM, "a stream read ended on another request");
        const size_t head = wire::reply_payload_offset(setup_.read_offset);
        std::vector<uint8_t> carried;
        for (const Datagram& d : ex.replies)
            if (d.size() > head) carried.insert(carried.end(), d.begin() + long(head), d.end());
        const size_t wanted = size_t(count) * 4;
        fuzz::require(carried.size() >= wanted, "a stream read holds more bytes than its datagrams carried");
        fuzz::require(std::memcmp(carried.data(), words, wanted) == 0,
                      "a stream read holds other bytes than its datagrams carried");
    }

    fuzz::Bytes& in_;
    link_script::Setup setup_;
    UDPInterfaceEthernet link_;
    std::vector<Exchange> exchanges_;
    size_t stream_sent_ = 0;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz::silence_console();
    fuzz::Bytes in(data, size);
    const link_script::Setup setup = link_script::read_setup(in);
    Harness harness(in, setup);
    harness.run();
    return 0;
}
