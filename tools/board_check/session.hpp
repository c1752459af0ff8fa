// What board_check works with: the configuration as the demonstrators read
// it, links to the board built the way start-up builds them, and the
// figures the checks have measured so far (the recommendation is made from
// them).
#pragma once

#include "app/configuration.hpp"
#include "link/udp_interface_ethernet.hpp"
#include "records/config.hpp"
#include "tools/board_check/reply_statistics.hpp"

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace board_check {

// The board's memory areas the checks may write: the input planes and the
// output block of both buffer sets. The weights area is written only by
// the weights check.
struct Area {
    const char* name;
    uint32_t address;
    uint32_t words;
};

struct Measured {
    uint32_t version = 0;
    double init_round_trip_ms = 0;
    std::optional<ReplyFigures> replies;
    // Times of the stream reads of one piece (READ_PIECE_WORDS at most), ms.
    std::vector<double> stream_ms;
    std::optional<uint32_t> highest_rate;      // MiB/s with nothing lost
    std::optional<uint32_t> recommended_rate;  // MiB/s
    std::optional<double> run_ms;
};

constexpr std::chrono::milliseconds CHECK_REPLY_LIMIT{100};
constexpr std::chrono::milliseconds CHECK_STREAM_LIMIT{250};

class Session {
public:
    // Reads the configuration (exception_fatal with its lines when it
    // cannot) and fills the core's constants.
    explicit Session(const std::string& config_path);

    const std::string& config_path() const { return path; }
    const Core& core() const { return core_; }
    const FileSettings& files() const { return files_; }
    // "ADDRESS:PORT" of the board.
    std::string board() const;

    // A link built as start-up builds it, with `limits`, initialised with
    // `write_rate_limit` (MiB/s); an init that gets no answer is sent again,
    // `init_attempts` in all. Link errors of the last init pass.
    std::shared_ptr<UDPInterfaceEthernet> open_link(const LinkLimits& limits, uint32_t write_rate_limit,
                                                    int init_attempts = 3) const;
    // With the configuration's limits.
    std::shared_ptr<UDPInterfaceEthernet> open_link(uint32_t write_rate_limit) const {
        return open_link(files_.link_limits, write_rate_limit);
    }
    // The limits of the links that move test data: the configuration's, with
    // waits of at most CHECK_REPLY_LIMIT and CHECK_STREAM_LIMIT and at least
    // five read attempts, so that a lossy link costs the check seconds, not
    // minutes, and a lost reply does not fail a memory test.
    LinkLimits check_limits() const;

    Area input_area(int set) const;
    Area output_area(int set) const;
    // Words in one DDR write datagram.
    uint32_t payload_words() const { return files_.packet_size / 4; }

    Measured measured;

private:
    std::string path;
    Core core_;
    Demo demo_;
    FileSettings files_;
};

// Reads `words` words from `address` with stream reads of at most
// READ_PIECE_WORDS each (so that a socket with a stock receive buffer holds
// every piece), noting each piece's time in `measured`. Raises the
// link's exception_readtimeout.
constexpr uint32_t READ_PIECE_WORDS = 16384;
std::vector<uint32_t> stream_read(UDPInterfaceEthernet& link, uint32_t address, uint32_t words, Measured& measured);

}  // namespace board_check
