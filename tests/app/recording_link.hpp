// A link that talks to no board: it records the weight uploads, reset
// commands and single reads it is given, fails a chosen number of
// acknowledged DDR writes and leaves a chosen number of reads unanswered.
#pragma once

#include "link/udp_interface.hpp"

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

class RecordingLink : public UDPInterface {
public:
    struct Upload {
        std::vector<uint32_t> words;
        uint32_t address;
        std::chrono::nanoseconds timeout;
    };

    // Acknowledged DDR writes that time out before one succeeds; -1: all do.
    int failing_uploads = 0;
    // Single reads (_udp_read) that go unanswered before one is answered; -1: all do.
    int silent_reads = 0;
    // Fabric addresses of the single reads, in order.
    std::vector<uint32_t> read_addresses;

    std::vector<Upload> uploads;
    // The order of calls: "write_ack_ddr", "reset", "read".
    std::vector<std::string> calls;

    int count(const std::string& call) const {
        int n = 0;
        for (const auto& c : calls) n += c == call;
        return n;
    }

    int udp_write_ack_ddr(const uint32_t* data, uint32_t address, uint32_t word_count,
                          std::chrono::nanoseconds timeout) override {
        calls.push_back("write_ack_ddr");
        uploads.push_back({std::vector<uint32_t>(data, data + word_count), address, timeout});
        if (failing_uploads != 0) {
            if (failing_uploads > 0) --failing_uploads;
            throw exception_writeacktimeout("udp_write_ack_ddr: Exceeded maximum number of retries");
        }
        return 1;
    }
    void init(const std::string&, uint16_t, uint32_t) override {}
    int udp_reset() override {
        calls.push_back("reset");
        return 1;
    }

    uint64_t _udp_read(uint32_t* destination, uint32_t address, uint32_t word_count, bool ddr) override {
        calls.push_back("read");
        read_addresses.push_back(ddr ? ~0u : address);
        if (silent_reads != 0) {
            if (silent_reads > 0) --silent_reads;
            return 0;
        }
        for (uint32_t i = 0; i < word_count; ++i) destination[i] = 7;
        return word_count;
    }

    // Not used by start-up and board maintenance.
    void _udp_init() override {}
    int _udp_write(const uint32_t*, uint32_t, uint32_t, bool) override { return 0; }
    int _udp_write_ack(const uint32_t*, uint32_t, uint32_t, bool, std::chrono::nanoseconds) override { return 0; }
    int close_socket() override { return 0; }
    void udp_write_ddr(const uint32_t*, uint32_t, uint32_t) override {}
    int udp_read_ddr(uint32_t*, uint32_t, uint32_t) override { return 0; }
    int udp_read_stream_ddr(uint32_t*, uint32_t, uint32_t) override { return 0; }
    void udp_write_fabric(const uint32_t*, uint32_t, uint32_t) override {}
    int udp_write_ack_fabric(const uint32_t*, uint32_t, uint32_t, std::chrono::nanoseconds) override { return 0; }
    int udp_read_fabric(uint32_t*, uint32_t, uint32_t) override { return 0; }
    void udp_write_fabric(uint32_t, uint32_t) override {}
    int udp_write_ack_fabric(uint32_t, uint32_t, std::chrono::nanoseconds) override { return 0; }
    uint32_t udp_read_fabric(uint32_t) override { return 0; }
    int udp_done(std::chrono::nanoseconds) override { return 0; }
};
