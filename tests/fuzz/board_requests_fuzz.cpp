// The emulator's board model fed arbitrary request datagrams, in sequences,
// on a clock the input advances. After each datagram:
//  - it is accounted for exactly once: as one well-formed request of its
//    kind, a malformed one, one ignored while booting, one lost to a full
//    receive buffer, or one a silence fault swallowed;
//  - the replies are well formed: an init reply carries the version, an
//    acknowledgement is ten bytes with status 0 or 1 (and a refused
//    acknowledged write a negative one), a read reply carries exactly what
//    the memory or the registers hold, a stream's datagrams carry the
//    memory's bytes in order; nothing else is answered;
//  - a write that was carried out is in the memory or the registers, and
//    the byte counters grow by exactly the bytes of the counted writes and
//    reads;
//  - a reset leaves no run, plain registers of zero and an empty memory;
//  - the status register reads busy exactly while a run is in progress.
#include "emulator/board_model.hpp"
#include "records/commands.hpp"
#include "tests/fuzz/fuzz_support.hpp"

#include <algorithm>
#include <cstring>
#include <map>
#include <string>
#include <vector>

namespace {

using board::BoardModel;
using board::OutDatagram;

constexpr uint64_t DDR_MIB = 2;

EmulatorSettings settings_from(fuzz::Bytes& in) {
    EmulatorSettings s;
    const uint8_t board = in.u8(), strict = in.u8(), faults = in.u8();
    s.ddr_mib = DDR_MIB;
    s.version = 0x01020300u | board;
    s.boot_ms = board & 3;
    s.core_us = ((board >> 2) & 7) * 200;
    s.model = (board & 0x20) ? "shapes" : "zero";
    // Two buffer sets in the memory, or the second one's output beyond it.
    s.address_data = 0;
    s.address_output = 0x80000;
    s.offset_pingpong = (board & 0x40) ? 0x1C0000 : 0x90000;
    if (strict & 1) {
        s.drain_mibps = 50;
        s.buffer_kib = 16;
    }
    if (const uint32_t n = (strict >> 1) & 7) s.stream_payload = {4 * n, 8 * n + 4};
    s.silent_after = faults & 7;
    s.silent_init = (faults >> 3) & 1;
    return s;
}

uint64_t total(const std::map<std::string, uint64_t>& counts) {
    uint64_t n = 0;
    for (const auto& [key, value] : counts) n += value;
    return n;
}

uint64_t count_of(const std::map<std::string, uint64_t>& counts, const std::string& key) {
    const auto it = counts.find(key);
    return it == counts.end() ? 0 : it->second;
}

// Datagrams accounted for by the counters.
uint64_t accounted(const EmulatorCounters& c) {
    return total(c.requests) + c.malformed + c.ignored_while_booting + c.receive_overflows +
           count_of(c.faults, "silent-after") + count_of(c.faults, "silent-init");
}

// The request key the model counted for this datagram, or "" for none.
std::string counted_key(const EmulatorCounters& before, const EmulatorCounters& after) {
    std::string key;
    for (const auto& [name, n] : after.requests) {
        const uint64_t was = count_of(before.requests, name);
        if (n == was) continue;
        fuzz::require(n == was + 1 && key.empty(), "one datagram counted as more than one request");
        key = name;
    }
    return key;
}

class Harness {
public:
    Harness(fuzz::Bytes& in, const EmulatorSettings& settings)
        : in_(in), settings_(settings), model_(settings, now_) {}

    void run() {
        while (!in_.empty()) {
            now_ += std::chrono::microseconds(100) * in_.u8();
            const std::vector<uint8_t> datagram = in_.take(in_.u16());
            serve(datagram);
        }
    }

private:
    void serve(const std::vector<uint8_t>& d) {
        const EmulatorCounters before = model_.counters();
        std::vector<OutDatagram> out;
        model_.handle(d.data(), d.size(), now_, out);
        const EmulatorCounters after = model_.counters();
        fuzz::require(after.datagrams_received == before.datagrams_received + 1, "a datagram not counted as received");
        fuzz::require(accounted(after) == after.datagrams_received, "a datagram accounted for other than once");
        fuzz::require(after.runs_finished <= after.runs_started, "more runs finished than started");
        for (const OutDatagram& reply : out) {
            fuzz::require(reply.bytes.size() <= board::MAX_UDP_PAYLOAD, "a reply larger than a datagram");
            fuzz::require(model_.count_sent(reply), "a reply of this boot counted as one of an earlier boot");
        }
        check_replies(d, before, after, out);
        check_byte_counts(d, before, after);
        const uint32_t status = model_.read_register(CORE_REGISTER_STATUS);
        fuzz::require((status == CORE_STATUS_BUSY) == model_.running(), "status register and run disagree");
    }

    void check_replies(const std::vector<uint8_t>& d, const EmulatorCounters& before, const EmulatorCounters& after,
                       const std::vector<OutDatagram>& out) {
        const std::string key = counted_key(before, after);
        const auto header = wire::parse_header(d.data(), d.size());
        const size_t head = board::REPLY_HEADER;
        if (key.empty()) {
            // Only a refused acknowledged write is answered, negatively.
            if (out.empty()) return;
            fuzz::require(header && header->code == CMD_WRITE_ACK && after.malformed == before.malformed + 1,
                          "an uncounted request was answered");
            fuzz::require(out.size() == 1 && out[0].bytes.size() == wire::ack_reply_size(wire::BOARD_READ_OFFSET) &&
                              out[0].bytes[wire::ACK_STATUS_AT] == 1,
                          "a refused write was not acknowledged negatively");
            return;
        }
        fuzz::require(header.has_value(), "a datagram shorter than a header counted as a request");
        const uint32_t address = header->address, length = header->length;
        const uint8_t* payload = d.data() + wire::write_payload_offset(wire::BOARD_WRITE_OFFSET);
        if (key == "init") {
            fuzz::require(out.size() == 1 && out[0].bytes.size() == head &&
                              wire::get_u32(out[0].bytes.data() + wire::INIT_VERSION_AT) == settings_.version,
                          "an init reply without the version");
        } else if (key == "write:ddr" || key == "write-ack:ddr") {
            fuzz::require(model_.read_ddr(address, length) == std::vector<uint8_t>(payload, payload + length),
                          "a DDR write that is not in the memory");
            check_ack(key, out, true);
        } else if (key == "write:fabric" || key == "write-ack:fabric") {
            bool carried_out = true;
            for (uint32_t i = 0; i < length; i += 4) {
                const uint32_t r = address + i;
                if (r == CORE_REGISTER_START || r == CORE_REGISTER_RUN || r == CORE_REGISTER_STATUS) {
                    if (r == CORE_REGISTER_RUN && wire::get_u32(payload + i) == 1 &&
                        after.starts_refused != before.starts_refused)
                        carried_out = false;
                    continue;
                }
                fuzz::require(model_.read_register(r) == wire::get_u32(payload + i),
                              "a register write that is not in the register");
            }
            check_ack(key, out, carried_out);
        } else if (key == "read:ddr" || key == "read:fabric") {
            fuzz::require(out.size() == 1 && out[0].bytes.size() == head + length, "a read reply of the wrong size");
            const uint8_t* got = out[0].bytes.data() + head;
            if (key == "read:ddr") {
                fuzz::require(std::vector<uint8_t>(got, got + length) == model_.read_ddr(address, length),
                              "a read reply that differs from the memory");
            } else {
                for (uint32_t i = 0; i < length; i += 4)
                    fuzz::require(wire::get_u32(got + i) == model_.read_register(address + i),
                                  "a read reply that differs from the registers");
            }
        } else if (key == "stream") {
            std::vector<uint8_t> carried;
            for (const OutDatagram& piece : out) {
                fuzz::require(piece.bytes.size() > head && piece.bytes[head - 1] != 0,
                              "a stream datagram without payload or sequence number");
                carried.insert(carried.end(), piece.bytes.begin() + long(head), piece.bytes.end());
            }
            fuzz::require(carried == model_.read_ddr(address, length),
                          "a stream that differs from the memory");
        } else if (key == "done") {
            fuzz::require(out.empty() && after.resets == before.resets + 1, "a reset answered or not carried out");
        } else {
            fuzz::broken("a request counted under an unknown name");
        }
    }

    void check_byte_counts(const std::vector<uint8_t>& d, const EmulatorCounters& before,
                           const EmulatorCounters& after) {
        const std::string key = counted_key(before, after);
        const auto header = wire::parse_header(d.data(), d.size());
        const uint64_t length = header ? header->length : 0;
        const bool write = key.compare(0, 5, "write") == 0, read = key.compare(0, 4, "read") == 0 || key == "stream";
        fuzz::require(after.bytes_written == before.bytes_written + (write ? length : 0),
                      "bytes written counted other than the counted write's length");
        fuzz::require(after.bytes_read == before.bytes_read + (read ? length : 0),
                      "bytes read counted other than the counted read's length");
        fuzz::require(after.refused <= after.malformed, "a refused request not counted as malformed");
        if (key != "done") return;
        fuzz::require(!model_.running(), "a run survived a reset");
        for (uint32_t r = 0; r < FABRIC_BYTES; r += 4)
            if (r != CORE_REGISTER_STATUS)
                fuzz::require(model_.read_register(r) == 0, "a register kept its value over a reset");
        static const std::vector<uint8_t> zeros(64 * 1024, 0);
        for (uint64_t at = 0; at < (DDR_MIB << 20); at += 256 * 1024)
            fuzz::require(model_.read_ddr(at, zeros.size()) == zeros, "the memory kept data over a reset");
    }

    void check_ack(const std::string& key, const std::vector<OutDatagram>& out, bool positive) {
        if (key.compare(0, 9, "write-ack") != 0) {
            fuzz::require(out.empty(), "a write without acknowledgement was answered");
            return;
        }
        fuzz::require(out.size() == 1 && out[0].bytes.size() == wire::ack_reply_size(wire::BOARD_READ_OFFSET),
                      "an acknowledgement of the wrong size");
        fuzz::require(out[0].bytes[wire::ACK_STATUS_AT] == (positive ? 0 : 1),
                      "an acknowledgement that misstates whether the write was carried out");
    }

    fuzz::Bytes& in_;
    EmulatorSettings settings_;
    board::Clock::time_point now_{std::chrono::hours(1)};
    BoardModel model_;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz::silence_console();
    fuzz::Bytes in(data, size);
    const EmulatorSettings settings = settings_from(in);
    Harness harness(in, settings);
    harness.run();
    return 0;
}
