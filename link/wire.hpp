// The bytes of the board protocol: building every request and reading every
// reply kind (the host's side), reading a request's header (the board's
// side). Pure functions over byte buffers, so they can be checked byte by
// byte without a socket.
//
// Request: 14-byte header (2 zero bytes, command word, address, length; the
// three 32-bit fields little-endian at offsets 2, 6 and 10), then for writes,
// done and reset `write_offset` zero bytes, then for writes the payload words.
// Reply: 2 bytes, a `read_offset`-byte header, then the payload.
#pragma once

#include "records/commands.hpp"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

// Limits of the protocol: the largest payload of one write datagram in each
// space, and the most zero bytes between a request header and its payload.
constexpr uint32_t MAX_DATA_PAYLOAD_DDR = 16384;
constexpr uint32_t MAX_DATA_PAYLOAD_FABRIC = 64;
constexpr uint32_t MAX_WRITE_OFFSET = 8;

namespace wire {

constexpr size_t HEADER_SIZE = 14;
constexpr uint32_t CODE_BITS = 0x3F;
constexpr uint32_t SPACE_DDR_BIT = 0x40;
constexpr uint32_t COMMAND_FLAG_BIT = 0x80;
// The board's framing: `write_offset` zero bytes after the header of a write,
// done or reset request, and `read_offset` reply-header bytes after the first
// two bytes of every reply.
constexpr uint32_t BOARD_WRITE_OFFSET = 8;
constexpr uint32_t BOARD_READ_OFFSET = 4;
// Reply bytes the host reads: the board's version (init reply, a 32-bit word)
// and the status of an acknowledgement (zero: positive).
constexpr size_t INIT_VERSION_AT = 2;
constexpr size_t ACK_STATUS_AT = 5;
// Words one stream request covers at most, and the bytes the address advances per such request.
constexpr uint32_t STREAM_CHUNK_WORDS = 262144;
constexpr uint32_t STREAM_CHUNK_BYTES = STREAM_CHUNK_WORDS * 4;

void put_u32(uint8_t* at, uint32_t value);
uint32_t get_u32(const uint8_t* at);

// The flags a request carries, named rather than bare bools: whether a write
// asks for an acknowledgement, the memory space a request addresses, and bit
// 7 of the command word (set when the board's configuration asks for it).
enum class Ack { no, yes };
enum class Space { fabric, ddr };
enum class CommandFlag { clear, set };

// Code, plus the DDR bit for Space::ddr, plus bit 7 for CommandFlag::set.
uint32_t command_word(uint32_t code, Space space, CommandFlag flag);

// Writes the 14-byte header into `out`.
void put_header(uint8_t* out, uint32_t code, Space space, CommandFlag flag, uint32_t address, uint32_t length);

// The part of a request before its payload: the header plus, for writes, done
// and reset, `write_offset` zero bytes. `out` must hold HEADER_SIZE +
// write_offset bytes; returns the bytes written.
size_t put_write_prefix(uint8_t* out, Ack ack, Space space, CommandFlag flag, uint32_t address, uint32_t word_count,
                        uint32_t write_offset);
size_t put_done_request(uint8_t* out, CommandFlag flag, uint32_t write_offset);

// Whole requests, for callers that want one buffer.
std::vector<uint8_t> write_request(Ack ack, const uint32_t* words, uint32_t word_count, uint32_t address, Space space,
                                   CommandFlag flag, uint32_t write_offset);
std::vector<uint8_t> read_request(uint32_t address, uint32_t word_count, Space space, CommandFlag flag);
std::vector<uint8_t> read_stream_request(uint32_t address, uint32_t word_count, CommandFlag flag);
std::vector<uint8_t> done_request(CommandFlag flag, uint32_t write_offset);  // also the reset command
std::vector<uint8_t> init_request(uint32_t ddr_payload_size, CommandFlag flag);

// The header of a request, as the board reads it.
struct RequestHeader {
    uint32_t code = 0;          // bits 0-5 of the command word
    bool ddr = false;           // bit 6: the DDR space, else the fabric
    bool command_flag = false;  // bit 7
    uint32_t upper_bits = 0;    // bits 8-31, zero in every valid request
    uint32_t address = 0;
    uint32_t length = 0;
};

// Reads the header of a request of `size` bytes; nothing when the request is
// shorter than the header.
std::optional<RequestHeader> parse_header(const uint8_t* request, size_t size);

// Where the payload of a write request starts.
constexpr size_t write_payload_offset(uint32_t write_offset) { return HEADER_SIZE + write_offset; }

// Reply sizes the host waits for or receives.
constexpr size_t init_reply_expected(uint32_t read_offset) { return size_t(read_offset) + 2; }
constexpr size_t init_reply_capacity(uint32_t read_offset) { return size_t(read_offset) + 6; }
constexpr size_t ack_reply_size(uint32_t read_offset) { return size_t(read_offset) + 6; }
constexpr size_t read_reply_size(uint32_t read_offset, uint32_t word_count) {
    return size_t(read_offset) + 2 + size_t(word_count) * 4;
}
constexpr size_t reply_payload_offset(uint32_t read_offset) { return size_t(read_offset) + 2; }

// An acknowledgement is positive when its byte 5 (ACK_STATUS_AT) is zero; one too short to
// have a byte 5 is not positive.
bool ack_positive(const uint8_t* reply, size_t size);

// The board version: the little-endian word at offset 2 (INIT_VERSION_AT) of the init reply
// (missing bytes read as zero).
uint32_t init_version(const uint8_t* reply, size_t size);

// Whole payload words of a read reply of `size` bytes; 0 when it is shorter
// than its header.
uint64_t read_reply_words(size_t size, uint32_t read_offset);

}  // namespace wire
