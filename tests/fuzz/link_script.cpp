#include "tests/fuzz/link_script.hpp"

#include <chrono>

namespace link_script {

Setup read_setup(fuzz::Bytes& in) {
    Setup s;
    const uint8_t framing = in.u8(), payload = in.u8(), fabric = in.u8(), attempts = in.u8();
    s.read_offset = framing & 0x0F;
    s.write_offset = (framing >> 4) % 9;
    s.command_flag = (payload & 1) != 0;
    s.ddr_payload_size = ((payload >> 1) % 64 + 1) * 4;
    s.fabric_payload_size = (fabric % 16 + 1) * 4;
    // Short waits: a reply that does not come costs the harness its limit.
    s.limits.reply = std::chrono::microseconds(100);
    s.limits.stream_datagram = std::chrono::microseconds(100);
    s.limits.fabric_read_pause = std::chrono::microseconds(0);
    s.limits.ddr_write_ack_attempts = 1 + (attempts & 3) % 3;
    s.limits.fabric_write_ack_attempts = 1 + ((attempts >> 2) & 1);
    s.limits.read_attempts = 1 + ((attempts >> 3) & 3) % 3;
    s.limits.stream_attempts = 1 + ((attempts >> 5) & 3) % 3;
    return s;
}

void write_setup(const Setup& s, std::vector<uint8_t>& out) {
    out.push_back(static_cast<uint8_t>((s.read_offset & 0x0F) | (s.write_offset << 4)));
    out.push_back(static_cast<uint8_t>((s.command_flag ? 1 : 0) | ((s.ddr_payload_size / 4 - 1) << 1)));
    out.push_back(static_cast<uint8_t>(s.fabric_payload_size / 4 - 1));
    out.push_back(static_cast<uint8_t>((s.limits.ddr_write_ack_attempts - 1) | ((s.limits.fabric_write_ack_attempts - 1) << 2) |
                                       ((s.limits.read_attempts - 1) << 3) | ((s.limits.stream_attempts - 1) << 5)));
}

Operation read_operation(fuzz::Bytes& in) {
    Operation op;
    op.kind = static_cast<Kind>(in.u8() % static_cast<uint8_t>(Kind::Count));
    op.address = in.u32();
    op.words = in.u16() % (MAX_WORDS + 1);
    return op;
}

void write_operation(const Operation& op, std::vector<uint8_t>& out) {
    out.push_back(static_cast<uint8_t>(op.kind));
    for (int i = 0; i < 4; ++i) out.push_back(static_cast<uint8_t>(op.address >> (8 * i)));
    out.push_back(static_cast<uint8_t>(op.words));
    out.push_back(static_cast<uint8_t>(op.words >> 8));
}

void write_raw_group(const std::vector<std::vector<uint8_t>>& datagrams, std::vector<uint8_t>& out) {
    out.push_back(static_cast<uint8_t>(datagrams.size()));
    for (const auto& d : datagrams) {
        out.push_back(static_cast<uint8_t>(Mode::Raw));
        out.push_back(static_cast<uint8_t>(d.size()));
        out.push_back(static_cast<uint8_t>(d.size() >> 8));
        out.insert(out.end(), d.begin(), d.end());
    }
}

}  // namespace link_script
