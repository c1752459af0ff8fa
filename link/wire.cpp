#include "link/wire.hpp"

#include <cstring>

namespace wire {

void put_u32(uint8_t* at, uint32_t value) {
    at[0] = static_cast<uint8_t>(value);
    at[1] = static_cast<uint8_t>(value >> 8);
    at[2] = static_cast<uint8_t>(value >> 16);
    at[3] = static_cast<uint8_t>(value >> 24);
}

uint32_t get_u32(const uint8_t* at) {
    return uint32_t(at[0]) | (uint32_t(at[1]) << 8) | (uint32_t(at[2]) << 16) | (uint32_t(at[3]) << 24);
}

uint32_t command_word(uint32_t code, Space space, CommandFlag flag) {
    return (code & CODE_BITS) | (space == Space::ddr ? SPACE_DDR_BIT : 0u) |
           (flag == CommandFlag::set ? COMMAND_FLAG_BIT : 0u);
}

void put_header(uint8_t* out, uint32_t code, Space space, CommandFlag flag, uint32_t address, uint32_t length) {
    out[0] = 0;
    out[1] = 0;
    put_u32(out + 2, command_word(code, space, flag));
    put_u32(out + 6, address);
    put_u32(out + 10, length);
}

size_t put_write_prefix(uint8_t* out, Ack ack, Space space, CommandFlag flag, uint32_t address, uint32_t word_count,
                        uint32_t write_offset) {
    put_header(out, ack == Ack::yes ? CMD_WRITE_ACK : CMD_WRITE, space, flag, address, word_count * 4u);
    std::memset(out + HEADER_SIZE, 0, write_offset);
    return HEADER_SIZE + write_offset;
}

size_t put_done_request(uint8_t* out, CommandFlag flag, uint32_t write_offset) {
    put_header(out, CMD_DONE, Space::fabric, flag, 0, 0);
    std::memset(out + HEADER_SIZE, 0, write_offset);
    return HEADER_SIZE + write_offset;
}

std::vector<uint8_t> write_request(Ack ack, const uint32_t* words, uint32_t word_count, uint32_t address, Space space,
                                   CommandFlag flag, uint32_t write_offset) {
    std::vector<uint8_t> out(HEADER_SIZE + write_offset + size_t(word_count) * 4);
    const size_t prefix = put_write_prefix(out.data(), ack, space, flag, address, word_count, write_offset);
    if (word_count > 0) std::memcpy(out.data() + prefix, words, size_t(word_count) * 4);
    return out;
}

std::vector<uint8_t> read_request(uint32_t address, uint32_t word_count, Space space, CommandFlag flag) {
    std::vector<uint8_t> out(HEADER_SIZE);
    put_header(out.data(), CMD_READ, space, flag, address, word_count * 4u);
    return out;
}

std::vector<uint8_t> read_stream_request(uint32_t address, uint32_t word_count, CommandFlag flag) {
    std::vector<uint8_t> out(HEADER_SIZE);
    put_header(out.data(), CMD_READ_STREAM, Space::ddr, flag, address, word_count * 4u);
    return out;
}

std::vector<uint8_t> done_request(CommandFlag flag, uint32_t write_offset) {
    std::vector<uint8_t> out(HEADER_SIZE + write_offset);
    put_done_request(out.data(), flag, write_offset);
    return out;
}

std::vector<uint8_t> init_request(uint32_t ddr_payload_size, CommandFlag flag) {
    std::vector<uint8_t> out(HEADER_SIZE);
    put_header(out.data(), CMD_INIT, Space::fabric, flag, 0, ddr_payload_size);
    return out;
}

std::optional<RequestHeader> parse_header(const uint8_t* request, size_t size) {
    if (size < HEADER_SIZE) return std::nullopt;
    const uint32_t word = get_u32(request + 2);
    RequestHeader header;
    header.code = word & CODE_BITS;
    header.ddr = (word & SPACE_DDR_BIT) != 0;
    header.command_flag = (word & COMMAND_FLAG_BIT) != 0;
    header.upper_bits = word >> 8;
    header.address = get_u32(request + 6);
    header.length = get_u32(request + 10);
    return header;
}

bool ack_positive(const uint8_t* reply, size_t size) { return size > ACK_STATUS_AT && reply[ACK_STATUS_AT] == 0; }

uint32_t init_version(const uint8_t* reply, size_t size) {
    uint8_t word[4] = {0, 0, 0, 0};
    for (size_t i = 0; i < 4 && INIT_VERSION_AT + i < size; ++i) word[i] = reply[INIT_VERSION_AT + i];
    return get_u32(word);
}

uint64_t read_reply_words(size_t size, uint32_t read_offset) {
    const size_t header = reply_payload_offset(read_offset);
    return size > header ? (size - header) / 4 : 0;
}

}  // namespace wire
