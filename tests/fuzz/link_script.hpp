// The layout of the link harness's input, shared by the harness and by the
// seed maker that records the emulator's replies in it:
//
//   setup (4 bytes): the link's framing, payload sizes and attempt counts;
//   then operations, each an operation byte and its fields, followed by one
//   reply group per datagram the link sends while carrying it out (read
//   when the link sends it, so retries take the next group).
//
// A reply group is a count byte (0 to 255 datagrams) and that many datagram
// descriptions: a mode byte, and for raw datagrams a 16-bit length and the
// bytes. The other modes let the fuzzer reach the well-formed replies
// without having to guess their sizes.
#pragma once

#include "link/link_limits.hpp"
#include "tests/fuzz/fuzz_support.hpp"

#include <cstdint>
#include <vector>

namespace link_script {

struct Setup {
    uint32_t read_offset = 4;
    uint32_t write_offset = 8;
    bool command_flag = false;
    uint32_t ddr_payload_size = 64;
    uint32_t fabric_payload_size = 64;
    LinkLimits limits;
};
Setup read_setup(fuzz::Bytes& in);
void write_setup(const Setup& setup, std::vector<uint8_t>& out);

enum class Kind : uint8_t {
    Init,
    WriteAckDdr,
    WriteAckFabric,
    WriteAckFabricOnce,
    ReadDdr,
    ReadFabric,
    ReadFabricWord,
    ReadStream,
    Done,
    Reset,
    WriteDdr,
    Count
};

struct Operation {
    Kind kind = Kind::Init;
    uint32_t address = 0;
    uint32_t words = 0;  // at most MAX_WORDS
};
constexpr uint32_t MAX_WORDS = 600;
Operation read_operation(fuzz::Bytes& in);
void write_operation(const Operation& op, std::vector<uint8_t>& out);

// Datagram modes.
enum class Mode : uint8_t {
    Raw,       // u16 length, then the bytes
    Proper,    // the reply a sound board would send, resized by a signed byte
    Empty,     // a zero-length datagram
    Exact,     // the reply a sound board would send
    Count
};
void write_raw_group(const std::vector<std::vector<uint8_t>>& datagrams, std::vector<uint8_t>& out);

}  // namespace link_script
