// The link's construction, its socket, and the single-datagram exchanges
// (one request, at most one reply awaited, no retries).
#include "link/udp_interface_ethernet.hpp"

#include "link/link_counters.hpp"
#include "link/link_report.hpp"
#include "link/wire.hpp"
#include "platform/fatal_error.hpp"

#include <cstring>
#include <iostream>
#include <sstream>
#include <string>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

std::string seconds_text(std::chrono::nanoseconds limit) {
    std::ostringstream text;
    text << std::chrono::duration<double>(limit).count() << 's';
    return text.str();
}

void last_error_line(LinkReport& report) { report << "\tLast socket error:\t" << udp_socket::last_error() << '\n'; }

// A reply that did not arrive within `limit`.
void report_reply_timeout(const char* heading, std::chrono::nanoseconds limit, long available,
                          size_t expected) {
    LinkReport report(std::cerr);
    report << heading << '\n';
    last_error_line(report);
    report << "\tTimeout duration: \t" << seconds_text(limit) << '\n'
           << "\tBytes available:  \t" << available << '\n'
           << "\tBytes expected:   \t" << expected << '\n';
}

// A reply that was announced but could not be received.
void report_receive_failed(const char* heading, size_t expected) {
    LinkReport report(std::cerr);
    report << heading << '\n';
    last_error_line(report);
    report << "\tBytes received:   \t-1\n"
           << "\tBytes expected:   \t" << expected << '\n';
}

[[noreturn]] void invalid_configuration(const char* check, const char* limit_label, long long limit,
                                        const char* value_label, long long value) {
    throw exception_fatal({"ERROR: UDP Interface: invalid configuration",
                           std::string("\tconfiguration error:\t") + check,
                           std::string("\t\t") + limit_label + ":\t" + std::to_string(limit),
                           std::string("\t\t") + value_label + ":    \t" + std::to_string(value)});
}

wire::Space space_of(bool ddr) { return ddr ? wire::Space::ddr : wire::Space::fabric; }

// A reply larger than the one awaited.
void report_larger(const char* heading, long available, size_t expected) {
    LinkReport report(std::cerr);
    report << heading << '\n' << "\tBytes available:\t" << available << '\n' << "\tBytes expected: \t" << expected << '\n';
}

}  // namespace

UDPInterfaceEthernet::UDPInterfaceEthernet(uint32_t ddr_payload_size, uint32_t fabric_payload_size,
                                           uint32_t read_offset, uint32_t write_offset, bool command_flag,
                                           const LinkLimits& limits)
    : read_offset(read_offset),
      write_offset(write_offset),
      ddr_payload_size(ddr_payload_size),
      fabric_payload_size(fabric_payload_size),
      ddr_payload_words(0),
      fabric_payload_words(0),
      command_flag(command_flag ? wire::CommandFlag::set : wire::CommandFlag::clear),
      limits(limits) {
    if (ddr_payload_size > MAX_DATA_PAYLOAD_DDR)
        invalid_configuration("ddr_payload_size > MAX_DATA_PAYLOAD_DDR", "MAX_DATA_PAYLOAD_DDR", MAX_DATA_PAYLOAD_DDR,
                              "ddr_payload_size", ddr_payload_size);
    if (fabric_payload_size > MAX_DATA_PAYLOAD_FABRIC)
        invalid_configuration("fabric_payload_size > MAX_DATA_PAYLOAD_FABRIC", "MAX_DATA_PAYLOAD_FABRIC",
                              MAX_DATA_PAYLOAD_FABRIC, "fabric_payload_size", fabric_payload_size);
    if (write_offset > MAX_WRITE_OFFSET)
        invalid_configuration("write_offset > MAX_WRITE_OFFSET", "MAX_WRITE_OFFSET", MAX_WRITE_OFFSET, "write_offset",
                              write_offset);
    // Chunks are whole words and the address advances by the payload size:
    // a payload size that is not a positive multiple of 4 would give empty
    // chunks (a division by zero) or misplaced data.
    if (ddr_payload_size == 0 || ddr_payload_size % 4 != 0)
        invalid_configuration("ddr_payload_size is not a positive multiple of 4", "DATA_WORD_SIZE", 4,
                              "ddr_payload_size", ddr_payload_size);
    if (fabric_payload_size == 0 || fabric_payload_size % 4 != 0)
        invalid_configuration("fabric_payload_size is not a positive multiple of 4", "DATA_WORD_SIZE", 4,
                              "fabric_payload_size", fabric_payload_size);
    ddr_payload_words = ddr_payload_size / 4;
    fabric_payload_words = fabric_payload_size / 4;
}

UDPInterfaceEthernet::~UDPInterfaceEthernet() {
    if (socket_handle != udp_socket::INVALID_HANDLE) udp_socket::close(socket_handle);
}

int UDPInterfaceEthernet::close_socket() {
    const int result = udp_socket::close(socket_handle);
    socket_handle = udp_socket::INVALID_HANDLE;
    return result;
}

void UDPInterfaceEthernet::init(const std::string& address, uint16_t port, uint32_t write_rate_limit) {
    // The pace of DDR writes divides by the rate.
    if (write_rate_limit == 0)
        invalid_configuration("write_rate_limit == 0", "MIN_WRITE_RATE_LIMIT", 1, "write_rate_limit", 0);

    const bool quiet = link_reports_quiet();
    if (!quiet) std::cout << "Starting client application" << std::endl;

    // A repeated init replaces the socket; the old one is closed so that
    // retries do not pile up open sockets.
    if (socket_handle != udp_socket::INVALID_HANDLE) {
        udp_socket::close(socket_handle);
        socket_handle = udp_socket::INVALID_HANDLE;
    }
    socket_handle = udp_socket::open();
    if (socket_handle == udp_socket::INVALID_HANDLE) {
        throw exception_fatal({"Socket init failed"});
    }
    if (!quiet) std::cout << "Socket init success" << std::endl;

    udp_socket::make_address(address, port, board_address);
    if (udp_socket::connect(socket_handle, board_address) != 0 && !quiet)
        std::cerr << "Connect call failed.: " << std::strerror(udp_socket::last_error()) << std::endl;
    address_length = 16;

    write_pace_us = static_cast<int64_t>(static_cast<double>(ddr_payload_size) /
                                         (static_cast<double>(write_rate_limit) * 1024.0 * 1024.0 * 0.000001));

    this->_udp_init();

    if (!quiet) std::cout << "Version " << version << std::endl;
}

bool UDPInterfaceEthernet::wait_for_reply(std::chrono::nanoseconds limit, size_t expected, long& available) {
    // A datagram arrives whole, so the reply is the first queued datagram of
    // at least the expected size. A shorter one (a truncated or foreign
    // datagram, or an empty one, which would also hide a reply queued behind
    // it from a pending-byte count) is not the reply: it is dropped and the
    // wait goes on for the rest of the limit. Its size stays in `available`
    // for the time-out report.
    const auto start = Clock::now();
    available = 0;
    for (;;) {
        const long size = udp_socket::next_datagram_size(socket_handle);
        if (size >= 0 && static_cast<size_t>(size) >= expected) {
            available = size;
            return true;
        }
        if (size >= 0) {
            if (size > 0) available = size;
            if (udp_socket::discard_next(socket_handle)) {
                discarded.fetch_add(1, std::memory_order_relaxed);
                count(size > 0 ? link_counters().dropped_short : link_counters().dropped_empty);
            }
            if (Clock::now() - start > limit) {
                count(link_counters().reply_timeouts);
                return false;
            }
            continue;
        }
        // Nothing queued: wait in the kernel for the next datagram, at most
        // for the time left. The queue is looked at once more after the wait,
        // so a reply that arrives just before the limit is still taken.
        const auto left = limit - (Clock::now() - start);
        if (left.count() < 0) {
            count(link_counters().reply_timeouts);
            return false;
        }
        udp_socket::wait_readable(socket_handle, left);
    }
}

bool UDPInterfaceEthernet::datagram_queued(std::chrono::nanoseconds limit) const {
    if (udp_socket::next_datagram_size(socket_handle) >= 0) return true;
    udp_socket::wait_readable(socket_handle, limit);
    return udp_socket::next_datagram_size(socket_handle) >= 0;
}

void UDPInterfaceEthernet::discard_stale_replies() {
    const size_t dropped = udp_socket::discard_pending(socket_handle);
    if (dropped > 0) {
        discarded.fetch_add(dropped, std::memory_order_relaxed);
        count(link_counters().dropped_stale, dropped);
    }
}

void UDPInterfaceEthernet::_udp_init() {
    discard_stale_replies();
    const std::vector<uint8_t> request = wire::init_request(ddr_payload_size, command_flag);
    count(link_counters().init_requests);
    if (udp_socket::send(socket_handle, request.data(), request.size(), nullptr, 0) < 0) {
        {
            LinkReport report(std::cerr);
            report << "ERROR: UDP Interface: write init failed \n";
            last_error_line(report);
        }
        throw exception_writeerror();
    }

    const size_t expected = wire::init_reply_expected(read_offset);
    long available = 0;
    if (!wait_for_reply(limits.reply, expected, available)) {
        report_reply_timeout("WARNING: UDP Interface: write ack init acknowledge timeout ", limits.reply, available,
                             expected);
        throw exception_inittimeout();
    }
    if (static_cast<size_t>(available) > expected)
        report_larger("WARNING: UDP Interface: write ack init received packet size is larger than expected ", available,
                      expected);

    std::vector<uint8_t> reply(wire::init_reply_capacity(read_offset), 0);
    const long received = udp_socket::receive(socket_handle, reply.data(), reply.size(), nullptr, 0);
    if (received < 0) {
        {
            LinkReport report(std::cerr);
            report << "ERROR: UDP Interface: write ack init acknowledge receive failed " << udp_socket::last_error()
                   << '\n';
            last_error_line(report);
            report << "\tBytes received:   \t-1\n"
                   << "\tBytes expected:   \t" << reply.size() << '\n';
        }
        throw exception_writeackerror();
    }
    version = wire::init_version(reply.data(), static_cast<size_t>(received));

    size_receive_buffer();
}

void UDPInterfaceEthernet::size_receive_buffer() {
    int initial = 0;
    if (udp_socket::get_receive_buffer(socket_handle, initial) != 0) {
        std::cerr << "WARNING: Error reading receive buffer size" << std::endl;
        return;
    }
    if (initial >= desired_receive_buffer_size) {
        LinkReport report(std::cout);
        report << "INFO: Receive buffer size acceptable for stream reads\n"
               << "\tDefault buffer size:\t        " << initial << '\n'
               << "\tDesired receive buffer size:\t" << desired_receive_buffer_size << '\n';
        return;
    }
    // The kernel charges every queued datagram its whole buffer, not just its
    // payload: a buffer set to 1 MiB holds only 126 datagrams of 8 KiB, less
    // than one 1 MiB stream. Asking for twice the payload room leaves space
    // for a whole stream of full-size datagrams.
    if (udp_socket::set_receive_buffer(socket_handle, 2 * desired_receive_buffer_size) != 0)
        std::cerr << "WARNING: Error setting receive buffer size" << std::endl;
    int now = 0;
    if (udp_socket::get_receive_buffer(socket_handle, now) != 0) {
        std::cerr << "WARNING: Error reading receive buffer size" << std::endl;
        return;
    }
    const bool acceptable = now >= desired_receive_buffer_size;
    LinkReport report(acceptable ? std::cout : std::cerr);
    report << (acceptable ? "INFO: Receive buffer size acceptable for stream reads\n"
                          : "WARNING: Receive buffer size to small for stream reads\n")
           << "\tDefault buffer size:\t        " << initial << '\n'
           << "\tReceive buffer size:\t        " << now << '\n'
           << "\tDesired receive buffer size:\t" << desired_receive_buffer_size << '\n';
}

int UDPInterfaceEthernet::_udp_write(const uint32_t* data, uint32_t address, uint32_t word_count, bool ddr) {
    uint8_t prefix[wire::HEADER_SIZE + MAX_WRITE_OFFSET];
    const size_t prefix_size =
        wire::put_write_prefix(prefix, wire::Ack::no, space_of(ddr), command_flag, address, word_count, write_offset);
    count(link_counters().write_requests);
    const long sent = udp_socket::send(socket_handle, prefix, prefix_size, data, size_t(word_count) * 4);
    if (sent < 0) {
        {
            LinkReport report(std::cerr);
            report << "ERROR: UDP Interface: write failed \n";
            last_error_line(report);
        }
        throw exception_writeerror();
    }
    return static_cast<int>(sent);
}

int UDPInterfaceEthernet::_udp_write_ack(const uint32_t* data, uint32_t address, uint32_t word_count, bool ddr,
                                         std::chrono::nanoseconds timeout) {
    discard_stale_replies();
    uint8_t prefix[wire::HEADER_SIZE + MAX_WRITE_OFFSET];
    const size_t prefix_size =
        wire::put_write_prefix(prefix, wire::Ack::yes, space_of(ddr), command_flag, address, word_count, write_offset);
    count(link_counters().write_ack_requests);
    if (udp_socket::send(socket_handle, prefix, prefix_size, data, size_t(word_count) * 4) < 0) {
        LinkReport report(std::cerr);
        report << "WARNING: UDP Interface: write ack failed \n";
        last_error_line(report);
        return 0;
    }

    const size_t expected = wire::ack_reply_size(read_offset);
    long available = 0;
    if (!wait_for_reply(timeout, expected, available)) {
        report_reply_timeout("WARNING: UDP Interface: write_ack acknowledge timeout ", timeout, available, expected);
        return 0;
    }
    if (static_cast<size_t>(available) > expected)
        report_larger("WARNING: UDP Interface: write ack received packet size is larger than expected", available,
                      expected);

    uint8_t reply[64];
    std::vector<uint8_t> large;
    uint8_t* buffer = reply;
    if (expected > sizeof(reply)) {
        large.resize(expected);
        buffer = large.data();
    }
    const long received = udp_socket::receive(socket_handle, buffer, expected, nullptr, 0);
    if (received < 0) {
        report_receive_failed("WARNING: UDP Interface: write_ack acknowledge receive failed ", expected);
        return 0;
    }
    if (wire::ack_positive(buffer, static_cast<size_t>(received))) return 1;
    count(link_counters().negative_acks);
    return 0;
}

uint64_t UDPInterfaceEthernet::_udp_read(uint32_t* data, uint32_t address, uint32_t word_count, bool ddr) {
    discard_stale_replies();
    const std::vector<uint8_t> request = wire::read_request(address, word_count, space_of(ddr), command_flag);
    count(link_counters().read_requests);
    if (udp_socket::send(socket_handle, request.data(), request.size(), nullptr, 0) < 0) {
        LinkReport report(std::cerr);
        report << "WARNING: UDP Interface: read request failed\n";
        last_error_line(report);
    }

    const size_t expected = wire::read_reply_size(read_offset, word_count);
    long available = 0;
    if (!wait_for_reply(limits.reply, expected, available)) {
        report_reply_timeout("WARNING: UDP Interface: read timeout ", limits.reply, available, expected);
        return 0;
    }
    if (static_cast<size_t>(available) > expected) {
        report_larger("WARNING: UDP Interface: read received packet size is larger than expected", available, expected);
        discard_stale_replies();
        return 0;
    }

    // The reply header goes to a scratch buffer, the payload straight into
    // the destination (at most word_count words).
    std::vector<uint8_t> header(wire::reply_payload_offset(read_offset));
    const long received =
        udp_socket::receive(socket_handle, header.data(), header.size(), data, size_t(word_count) * 4);
    if (received < 0) {
        report_receive_failed("WARNING: UDP Interface: read receive failed ", expected);
        return 0;
    }
    return wire::read_reply_words(static_cast<size_t>(received), read_offset);
}

uint64_t UDPInterfaceEthernet::_udp_read_stream(uint32_t* data, uint32_t address, uint32_t word_count, bool ddr) {
    if (!ddr) {
        throw exception_fatal({"ERROR: UDP Interface: udp read stream is not supported for fabric reads"});
    }
    discard_stale_replies();
    const std::vector<uint8_t> request = wire::read_stream_request(address, word_count, command_flag);
    count(link_counters().stream_requests);
    if (udp_socket::send(socket_handle, request.data(), request.size(), nullptr, 0) < 0) {
        LinkReport report(std::cerr);
        report << "WARNING: UDP Interface: read request failed\n";
        last_error_line(report);
    }
    if (word_count == 0) return 0;

    const uint64_t wanted = uint64_t(word_count) * 4;
    std::vector<uint8_t> header(wire::reply_payload_offset(read_offset));
    uint8_t* destination = reinterpret_cast<uint8_t*>(data);
    uint64_t position = 0;
    while (position < wanted) {
        // A stream datagram is anything not empty.
        long available = 0;
        if (!wait_for_reply(limits.stream_datagram, 1, available)) {
            // A stalled stream fails this attempt; the caller retries.
            LinkReport report(std::cerr);
            report << "WARNING: UDP Interface: read stream timeout \n";
            last_error_line(report);
            report << "\tTimeout duration: \t" << seconds_text(limits.stream_datagram) << '\n'
                   << "\tBytes received:   \t" << position << '\n'
                   << "\tBytes left:       \t" << wanted - position << '\n'
                   << "\tBytes expected:   \t" << wanted << '\n';
            return 0;
        }
        // Payload goes straight to its place, never beyond the bytes wanted.
        const long received = udp_socket::receive(socket_handle, header.data(), header.size(), destination + position,
                                                  static_cast<size_t>(wanted - position));
        if (received < 0) {
            report_receive_failed("WARNING: UDP Interface: read stream receive failed ", header.size() + wanted);
            return 0;
        }
        if (static_cast<size_t>(received) > header.size()) position += static_cast<size_t>(received) - header.size();
    }
    return position / 4;
}

int UDPInterfaceEthernet::udp_done(std::chrono::nanoseconds timeout) {
    discard_stale_replies();
    uint8_t request[wire::HEADER_SIZE + MAX_WRITE_OFFSET];
    const size_t size = wire::put_done_request(request, command_flag, write_offset);
    count(link_counters().done_requests);
    if (udp_socket::send(socket_handle, request, size, nullptr, 0) < 0) {
        LinkReport report(std::cerr);
        report << "ERROR: UDP Interface: write done failed \n";
        last_error_line(report);
    }

    const size_t expected = wire::ack_reply_size(read_offset);
    long available = 0;
    if (!wait_for_reply(timeout, expected, available)) {
        report_reply_timeout("WARNING: UDP Interface: done acknowledge timeout ", timeout, available, expected);
        return 0;
    }
    if (static_cast<size_t>(available) > expected)
        report_larger("WARNING: UDP Interface: done received packet size is larger than expected", available, expected);

    std::vector<uint8_t> reply(expected);
    const long received = udp_socket::receive(socket_handle, reply.data(), reply.size(), nullptr, 0);
    if (received < 0) {
        report_receive_failed("WARNING: UDP Interface: done receive failed ", expected);
        return 0;
    }
    if (wire::ack_positive(reply.data(), static_cast<size_t>(received))) return 1;
    count(link_counters().negative_acks);
    return 0;
}

int UDPInterfaceEthernet::udp_reset() {
    uint8_t request[wire::HEADER_SIZE + MAX_WRITE_OFFSET];
    const size_t size = wire::put_done_request(request, command_flag, write_offset);
    count(link_counters().reset_requests);
    if (udp_socket::send(socket_handle, request, size, nullptr, 0) < 0) {
        LinkReport report(std::cerr);
        report << "ERROR: UDP Interface: write reset failed \n";
        last_error_line(report);
        return 0;
    }
    return 1;
}

