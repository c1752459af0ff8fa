// Request datagrams of the board protocol, built independently of the link
// code so that the emulator is checked against the wire format itself.
#pragma once

#include <cstdint>
#include <cstring>
#include <vector>

namespace request {

inline void put32(std::vector<uint8_t>& d, size_t at, uint32_t v) {
    for (int i = 0; i < 4; ++i) d[at + size_t(i)] = uint8_t(v >> (8 * i));
}
inline uint32_t get32(const std::vector<uint8_t>& d, size_t at) {
    return uint32_t(d[at]) | uint32_t(d[at + 1]) << 8 | uint32_t(d[at + 2]) << 16 | uint32_t(d[at + 3]) << 24;
}

constexpr uint32_t DDR = 0x40;

inline std::vector<uint8_t> header(uint32_t command, uint32_t address, uint32_t length) {
    std::vector<uint8_t> d(14, 0);
    put32(d, 2, command);
    put32(d, 6, address);
    put32(d, 10, length);
    return d;
}
inline std::vector<uint8_t> init(uint32_t payload_size) { return header(0x0F, 0, payload_size); }
inline std::vector<uint8_t> write(uint32_t command, uint32_t address, const std::vector<uint8_t>& payload) {
    auto d = header(command, address, uint32_t(payload.size()));
    d.resize(22, 0);
    d.insert(d.end(), payload.begin(), payload.end());
    return d;
}
inline std::vector<uint8_t> write_ddr(uint32_t address, const std::vector<uint8_t>& payload) {
    return write(0x41, address, payload);
}
inline std::vector<uint8_t> write_ack_ddr(uint32_t address, const std::vector<uint8_t>& payload) {
    return write(0x42, address, payload);
}
inline std::vector<uint8_t> words(std::initializer_list<uint32_t> values) {
    std::vector<uint8_t> bytes(values.size() * 4);
    size_t i = 0;
    for (uint32_t v : values) put32(bytes, 4 * i++, v);
    return bytes;
}
inline std::vector<uint8_t> write_ack_fabric(uint32_t address, std::initializer_list<uint32_t> values) {
    return write(0x02, address, words(values));
}
inline std::vector<uint8_t> write_fabric(uint32_t address, std::initializer_list<uint32_t> values) {
    return write(0x01, address, words(values));
}
inline std::vector<uint8_t> read_ddr(uint32_t address, uint32_t length) { return header(0x43, address, length); }
inline std::vector<uint8_t> read_fabric(uint32_t address, uint32_t length = 4) {
    return header(0x03, address, length);
}
inline std::vector<uint8_t> stream(uint32_t address, uint32_t length) { return header(0x45, address, length); }
inline std::vector<uint8_t> reset() {
    auto d = header(0x04, 0, 0);
    d.resize(22, 0);
    return d;
}

}  // namespace request
