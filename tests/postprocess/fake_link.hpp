// A link without a board for stage tests: DDR reads come from a byte map
// that the test fills; a read can be made to fail like an exhausted link.
#pragma once

#include "tests/support/null_link.hpp"

#include <cstring>
#include <map>
#include <string>
#include <vector>

class FakeLink : public NullLink {
public:
    std::map<uint32_t, std::vector<uint8_t>> blocks;  // DDR contents by start address
    std::vector<std::pair<uint32_t, uint32_t>> stream_reads;  // (address, words)
    bool fail_reads = false;
    std::string failure = "udp_read_ddr: Exceeded maximum number of retries";

    int udp_read_stream_ddr(uint32_t* data, uint32_t address, uint32_t word_count) override {
        stream_reads.emplace_back(address, word_count);
        if (fail_reads) throw exception_readtimeout(failure);
        std::memset(data, 0, size_t{word_count} * 4);
        auto found = blocks.find(address);
        if (found != blocks.end())
            std::memcpy(data, found->second.data(), std::min<size_t>(found->second.size(), size_t{word_count} * 4));
        return static_cast<int>(word_count);
    }
};
