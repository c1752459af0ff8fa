// A link that talks to no board: every operation does nothing and reports
// nothing done (0 words, no acknowledgement). A test's fake derives from it
// and overrides only the operations it is about.
#pragma once

#include "link/udp_interface.hpp"

#include <chrono>
#include <cstdint>
#include <string>

class NullLink : public UDPInterface {
public:
    void _udp_init() override {}
    int _udp_write(const uint32_t*, uint32_t, uint32_t, bool) override { return 0; }
    int _udp_write_ack(const uint32_t*, uint32_t, uint32_t, bool, std::chrono::nanoseconds) override { return 0; }
    uint64_t _udp_read(uint32_t*, uint32_t, uint32_t, bool) override { return 0; }
    void init(const std::string&, uint16_t, uint32_t) override {}
    int close_socket() override { return 0; }
    void udp_write_ddr(const uint32_t*, uint32_t, uint32_t) override {}
    int udp_write_ack_ddr(const uint32_t*, uint32_t, uint32_t, std::chrono::nanoseconds) override { return 0; }
    int udp_read_ddr(uint32_t*, uint32_t, uint32_t) override { return 0; }
    int udp_read_stream_ddr(uint32_t*, uint32_t, uint32_t) override { return 0; }
    void udp_write_fabric(const uint32_t*, uint32_t, uint32_t) override {}
    int udp_write_ack_fabric(const uint32_t*, uint32_t, uint32_t, std::chrono::nanoseconds) override { return 0; }
    int udp_read_fabric(uint32_t*, uint32_t, uint32_t) override { return 0; }
    void udp_write_fabric(uint32_t, uint32_t) override {}
    int udp_write_ack_fabric(uint32_t, uint32_t, std::chrono::nanoseconds) override { return 0; }
    uint32_t udp_read_fabric(uint32_t) override { return 0; }
    bool udp_write_ack_fabric_once(const uint32_t*, uint32_t, uint32_t, std::chrono::nanoseconds) override {
        return false;
    }
    int udp_done(std::chrono::nanoseconds) override { return 0; }
    int udp_reset() override { return 0; }
};
