// The abstract link to the accelerator board. Every part of the program that
// touches the board holds it through a shared pointer; UDPInterfaceEthernet is
// the implementation over one connected UDP socket.
#pragma once

#include "link/exceptions.hpp"

#include <chrono>
#include <cstdint>
#include <string>

class UDPInterface {
public:
    virtual void _udp_init() = 0;
    virtual int _udp_write(const uint32_t* data, uint32_t address, uint32_t word_count, bool ddr) = 0;
    virtual int _udp_write_ack(const uint32_t* data, uint32_t address, uint32_t word_count, bool ddr,
                               std::chrono::nanoseconds timeout) = 0;
    virtual uint64_t _udp_read(uint32_t* data, uint32_t address, uint32_t word_count, bool ddr) = 0;
    virtual void init(const std::string& address, uint16_t port, uint32_t write_rate_limit) = 0;
    virtual int close_socket() = 0;
    virtual void udp_write_ddr(const uint32_t* data, uint32_t address, uint32_t word_count) = 0;
    virtual int udp_write_ack_ddr(const uint32_t* data, uint32_t address, uint32_t word_count,
                                  std::chrono::nanoseconds timeout) = 0;
    virtual int udp_read_ddr(uint32_t* data, uint32_t address, uint32_t word_count) = 0;
    virtual int udp_read_stream_ddr(uint32_t* data, uint32_t address, uint32_t word_count) = 0;
    virtual void udp_write_fabric(const uint32_t* data, uint32_t address, uint32_t word_count) = 0;
    virtual int udp_write_ack_fabric(const uint32_t* data, uint32_t address, uint32_t word_count,
                                     std::chrono::nanoseconds timeout) = 0;
    virtual int udp_read_fabric(uint32_t* data, uint32_t address, uint32_t word_count) = 0;
    virtual void udp_write_fabric(uint32_t value, uint32_t address) = 0;
    virtual int udp_write_ack_fabric(uint32_t value, uint32_t address, std::chrono::nanoseconds timeout) = 0;
    virtual uint32_t udp_read_fabric(uint32_t address) = 0;
    // One attempt of an acknowledged fabric write of at most one datagram,
    // under the transfer lock: true when the board acknowledged it within
    // `timeout`, false otherwise. For writes that must not be sent again
    // before the caller has found out whether the first was carried out.
    virtual bool udp_write_ack_fabric_once(const uint32_t* data, uint32_t address, uint32_t word_count,
                                           std::chrono::nanoseconds timeout) = 0;
    virtual int udp_done(std::chrono::nanoseconds timeout) = 0;
    virtual int udp_reset() = 0;
};
