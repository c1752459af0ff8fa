// The link to the board over one connected UDP socket: request/reply
// exchanges of single datagrams (udp_interface_ethernet.cpp), and the
// transfers built on them (chunking, pacing of DDR writes, acknowledgements,
// time limits, retries; udp_interface_ethernet_transfers.cpp).
#pragma once

#include "link/link_limits.hpp"
#include "link/udp_interface.hpp"
#include "link/wire.hpp"
#include "platform/udp_socket.hpp"

#include <netinet/in.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <mutex>
#include <string>

class UDPInterfaceEthernet : public UDPInterface {
public:
    // Checks the arguments; an invalid one raises exception_fatal with its
    // report. Opens no socket: call init before any transfer. `limits` bounds
    // every wait for the board and the attempts of every transfer.
    UDPInterfaceEthernet(uint32_t ddr_payload_size, uint32_t fabric_payload_size, uint32_t read_offset,
                         uint32_t write_offset, bool command_flag, const LinkLimits& limits = LinkLimits());
    // Closes the socket if it is still open.
    ~UDPInterfaceEthernet();
    UDPInterfaceEthernet(const UDPInterfaceEthernet&) = delete;
    UDPInterfaceEthernet& operator=(const UDPInterfaceEthernet&) = delete;

    // Single-datagram exchanges. They take no lock: not to be used while
    // another thread runs a transfer on the same object.
    void _udp_init() override;
    int _udp_write(const uint32_t* data, uint32_t address, uint32_t word_count, bool ddr) override;
    int _udp_write_ack(const uint32_t* data, uint32_t address, uint32_t word_count, bool ddr,
                       std::chrono::nanoseconds timeout) override;
    uint64_t _udp_read(uint32_t* data, uint32_t address, uint32_t word_count, bool ddr) override;
    uint64_t _udp_read_stream(uint32_t* data, uint32_t address, uint32_t word_count, bool ddr);
    int udp_done(std::chrono::nanoseconds timeout) override;
    int udp_reset() override;

    void init(const std::string& address, uint16_t port, uint32_t write_rate_limit) override;
    int close_socket() override;

    // Transfers: each holds link_mutex from start to end.
    void udp_write_ddr(const uint32_t* data, uint32_t address, uint32_t word_count) override;
    int udp_write_ack_ddr(const uint32_t* data, uint32_t address, uint32_t word_count,
                          std::chrono::nanoseconds timeout) override;
    int udp_read_ddr(uint32_t* data, uint32_t address, uint32_t word_count) override;
    int udp_read_stream_ddr(uint32_t* data, uint32_t address, uint32_t word_count) override;
    void udp_write_fabric(const uint32_t* data, uint32_t address, uint32_t word_count) override;
    int udp_write_ack_fabric(const uint32_t* data, uint32_t address, uint32_t word_count,
                             std::chrono::nanoseconds timeout) override;
    int udp_read_fabric(uint32_t* data, uint32_t address, uint32_t word_count) override;
    void udp_write_fabric(uint32_t value, uint32_t address) override;
    int udp_write_ack_fabric(uint32_t value, uint32_t address, std::chrono::nanoseconds timeout) override;
    uint32_t udp_read_fabric(uint32_t address) override;
    bool udp_write_ack_fabric_once(const uint32_t* data, uint32_t address, uint32_t word_count,
                                   std::chrono::nanoseconds timeout) override;

    // Datagrams dropped unread because they were already queued when a request
    // that expects a reply was about to be sent (late or duplicated replies of
    // earlier exchanges), because they were shorter than the reply awaited
    // (empty ones included), or because a read reply was larger than expected.
    uint64_t discarded_datagrams() const { return discarded.load(std::memory_order_relaxed); }
    // Whether a datagram is queued unread, waiting at most `limit` for one.
    bool datagram_queued(std::chrono::nanoseconds limit) const;

    // The board's version from the last init reply; 0 before one came.
    uint32_t get_version() const { return version; }
    // The least time one DDR write datagram occupies, set by init.
    int64_t get_write_pace_us() const { return write_pace_us; }

    // Once `ending` returns true, a transfer makes no further attempt after a
    // failed one and raises its error at once: a program that is ending does
    // not wait out the retries for a board that does not answer. Set before
    // the link is shared between threads; nullptr (the default): never.
    void give_up_retries_when(bool (*ending)()) { this->ending = ending; }

private:
    uint32_t version = 0;
    uint32_t read_offset;
    uint32_t write_offset;
    uint32_t ddr_payload_size;
    uint32_t fabric_payload_size;
    uint32_t ddr_payload_words;
    uint32_t fabric_payload_words;
    wire::CommandFlag command_flag;
    int64_t write_pace_us = 0;
    std::mutex link_mutex;
    udp_socket::Handle socket_handle = udp_socket::INVALID_HANDLE;
    int address_length = 0;
    sockaddr_in board_address{};
    int desired_receive_buffer_size = 1048576;
    const LinkLimits limits;
    bool (*ending)() = nullptr;

    // Waits until a datagram of at least `expected` bytes is next in the queue
    // (true; `available` gets its size) or `limit` has passed (false;
    // `available` gets the size of the last shorter datagram seen, else 0).
    // Shorter datagrams, empty ones included, are dropped on the way.
    bool wait_for_reply(std::chrono::nanoseconds limit, size_t expected, long& available);
    void discard_stale_replies();
    void size_receive_buffer();
    // The chunked transfers shared by the DDR and the fabric forms.
    int read_chunks(uint32_t* data, uint32_t address, uint32_t word_count, bool ddr);
    int write_ack_chunks(const uint32_t* data, uint32_t address, uint32_t word_count, bool ddr,
                         std::chrono::nanoseconds timeout);

    std::atomic<uint64_t> discarded{0};
    // The end of the last paced datagram's time slot (guarded by link_mutex).
    std::chrono::steady_clock::time_point paced_until{};
};
