// The bytes of the board protocol: building every request and reading every
// reply kind. Pure functions over byte buffers, so they can be checked byte by
// byte without a socket.
//
// Request: 14-byte header (2 zero bytes, command word, address, length; the
// three 32-bit fields little-endian at offsets 2, 6 and 10), then for writes,
// done and reset `write_offset` zero bytes, then for writes the payload words.
// Reply: 2 bytes, a `read_offset`-byte header, then the payload.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace wire {

enum Command : uint32_t {
    CMD_WRITE = 1,
    CMD_WRITE_ACK = 2,
    CMD_READ = 3,
    CMD_DONE = 4,
    CMD_READ_STREAM = 5,
    CMD_INIT = 15,
};

constexpr size_t HEADER_SIZE = 14;
constexpr uint32_t SPACE_DDR_BIT = 0x40;
constexpr uint32_t COMMAND_FLAG_BIT = 0x80;
// Words one stream request covers at most, and the bytes the address advances per such request.
constexpr uint32_t STREAM_CHUNK_WORDS = 262144;
constexpr uint32_t STREAM_CHUNK_BYTES = STREAM_CHUNK_WORDS * 4;

void put_u32(uint8_t* at, uint32_t value);
uint32_t get_u32(const uint8_t* at);

// Code, plus the DDR bit when `ddr`, plus bit 7 when `command_flag`.
uint32_t command_word(uint32_t code, bool ddr, bool command_flag);

// Writes the 14-byte header into `out`.
void put_header(uint8_t* out, uint32_t code, bool ddr, bool command_flag, uint32_t address, uint32_t length);

// The part of a request before its payload: the header plus, for writes, done
// and reset, `write_offset` zero bytes. `out` must hold HEADER_SIZE +
// write_offset bytes; returns the bytes written.
size_t put_write_prefix(uint8_t* out, bool acknowledged, bool ddr, bool command_flag, uint32_t address,
                        uint32_t word_count, uint32_t write_offset);
size_t put_done_request(uint8_t* out, bool command_flag, uint32_t write_offset);

// Whole requests, for callers that want one buffer.
std::vector<uint8_t> write_request(bool acknowledged, const uint32_t* words, uint32_t word_count, uint32_t address,
                                   bool ddr, bool command_flag, uint32_t write_offset);
std::vector<uint8_t> read_request(uint32_t address, uint32_t word_count, bool ddr, bool command_flag);
std::vector<uint8_t> read_stream_request(uint32_t address, uint32_t word_count, bool command_flag);
std::vector<uint8_t> done_request(bool command_flag, uint32_t write_offset);  // also the reset command
std::vector<uint8_t> init_request(uint32_t ddr_payload_size, bool command_flag);

// Reply sizes the host waits for or receives.
constexpr size_t init_reply_expected(uint32_t read_offset) { return size_t(read_offset) + 2; }
constexpr size_t init_reply_capacity(uint32_t read_offset) { return size_t(read_offset) + 6; }
constexpr size_t ack_reply_size(uint32_t read_offset) { return size_t(read_offset) + 6; }
constexpr size_t read_reply_size(uint32_t read_offset, uint32_t word_count) {
    return size_t(read_offset) + 2 + size_t(word_count) * 4;
}
constexpr size_t reply_payload_offset(uint32_t read_offset) { return size_t(read_offset) + 2; }

// An acknowledgement is positive when its byte 5 is zero; one too short to
// have a byte 5 is not positive.
bool ack_positive(const uint8_t* reply, size_t size);

// The board version: the little-endian word at offset 2 of the init reply
// (missing bytes read as zero).
uint32_t init_version(const uint8_t* reply, size_t size);

// Whole payload words of a read reply of `size` bytes; 0 when it is shorter
// than its header.
uint64_t read_reply_words(size_t size, uint32_t read_offset);

}  // namespace wire
