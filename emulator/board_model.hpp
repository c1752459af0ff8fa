// The board as a pure state machine over byte buffers: one request datagram
// in, the reply datagrams out (each with the time it is due), plus the core's
// runs driven by the clock the caller passes in. No sockets and no threads, so
// every behaviour can be tested byte for byte; BoardEmulator puts it behind a
// UDP socket.
#pragma once

#include "emulator/core_run.hpp"
#include "emulator/counters.hpp"
#include "emulator/ddr_memory.hpp"
#include "emulator/faults.hpp"
#include "emulator/network_model.hpp"
#include "emulator/receive_buffer.hpp"
#include "emulator/request_kind.hpp"
#include "emulator/settings.hpp"
#include "link/wire.hpp"
#include "records/registers.hpp"

#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace board {

using Clock = std::chrono::steady_clock;

constexpr size_t MAX_UDP_PAYLOAD = 65507;
// Bytes ahead of a reply's payload: two zero bytes and the reply header.
constexpr size_t REPLY_HEADER = wire::reply_payload_offset(wire::BOARD_READ_OFFSET);
constexpr uint32_t DEFAULT_STREAM_PAYLOAD = 8192;  // until an init request sets it
constexpr uint8_t FILL = 0xA5;                     // reply bytes the host must not examine

struct OutDatagram {
    std::vector<uint8_t> bytes;
    Clock::time_point due;
    uint64_t boot = 0;  // resets before it was made: a reply from before a reset is never sent
};

class BoardModel {
public:
    // Validates the settings (model text, replay and weights files): throws
    // std::invalid_argument or std::runtime_error with a readable message.
    explicit BoardModel(const EmulatorSettings& settings, Clock::time_point now = Clock::now());

    // Handles one datagram that arrived at `now`; appends the replies to `out`.
    void handle(const uint8_t* data, size_t size, Clock::time_point now, std::vector<OutDatagram>& out);
    // Finishes a run whose time is up (writes its output block). handle() calls
    // it first; the serving loop calls it when next_event() is reached.
    void advance(Clock::time_point now);
    // The next moment at which advance() has something to do, if any.
    std::optional<Clock::time_point> next_event() const;

    EmulatorCounters counters() const { return counters_; }
    // Counts a reply about to be sent; false for one made before the last
    // reset, which a rebooted board never sends (counted as dropped).
    bool count_sent(const OutDatagram& d);
    std::vector<uint8_t> read_ddr(uint64_t address, uint64_t size) const;
    void write_ddr(uint64_t address, const std::vector<uint8_t>& bytes);
    // Value as a fabric read at `now` would see it (without counting a request).
    uint32_t read_register(uint32_t address) const;
    bool booting(Clock::time_point now) const { return now < boot_end_; }
    bool running() const { return run_.has_value(); }
    std::optional<EmulatorRun> last_run(uint32_t buffer) const {
        return buffer < last_runs_.size() ? last_runs_[buffer] : std::nullopt;
    }

    // One line per request when set (the program's --verbose).
    void set_log(std::function<void(const std::string&)> log) { log_ = std::move(log); }

private:
    struct Run {
        uint64_t number = 0;     // from 1 since the emulator was created
        uint32_t buffer = 0;     // ping-pong index
        bool stalled = false;    // never finishes
        Clock::time_point end;
        std::vector<uint8_t> output;  // computed from the input snapshot at the start
    };

    using Kind = RequestKind;

    // One request as the board acts on it.
    struct Request {
        Kind kind = Kind::Init;
        bool ddr = false;
        uint32_t address = 0;
        uint32_t length = 0;
        const uint8_t* data = nullptr;  // the whole datagram
        size_t size = 0;
        uint64_t nth = 0;         // requests of its kind since start, this one included
        bool cut_short = false;   // its reply is cut short (a short-reply fault)
        const char* space() const { return ddr ? "ddr" : "fabric"; }
    };

    // The datagram when the board can take it in: not while booting, nor when
    // the receive buffer is full. Returns when the board takes it out.
    std::optional<Clock::time_point> take_in(size_t size, Clock::time_point now);
    // The request a datagram holds, read with the wire codec; nothing (and
    // counted as malformed) when it is no request.
    std::optional<Request> decode(const uint8_t* data, size_t size);
    // The faults that strike a request before it is carried out: false when
    // it is lost (a silent board, a dropped request). Numbers the request
    // and marks a reply to be cut short.
    bool survives_faults(Request& request);
    // The request's line for the log.
    void log_request(const Request& request);

    // One function per request kind: checks the request against the board's
    // rules, carries it out and replies.
    void serve_init(const Request& request, Clock::time_point now, std::vector<OutDatagram>& out);
    void serve_write(const Request& request, Clock::time_point now, std::vector<OutDatagram>& out);
    void serve_read(const Request& request, Clock::time_point now, std::vector<OutDatagram>& out);
    void serve_stream(const Request& request, Clock::time_point now, std::vector<OutDatagram>& out);
    void serve_reset(const Request& request, Clock::time_point now);

    // The opening every reply shares: whether a fault takes it away whole (the
    // N-th reply left out on purpose, a random drop; `what` names it in the
    // log), and when it is due (the delay of every reply, the N-th held back).
    bool reply_dropped(const char* what);
    Clock::time_point reply_due(Clock::time_point now);
    void reply(std::vector<uint8_t> bytes, Clock::time_point now, std::vector<OutDatagram>& out);
    void reply_stream(uint64_t address, uint64_t length, Clock::time_point now, std::vector<OutDatagram>& out);
    void acknowledge(bool positive, uint32_t address, Clock::time_point now, std::vector<OutDatagram>& out);
    // A zero-length datagram ahead of a reply, when the fault says so.
    void maybe_empty_before(Clock::time_point due, std::vector<OutDatagram>& out);
    void malformed(const char* why);
    void fault(const char* name);
    void log(const std::string& line);

    void refuse(const char* why);
    void note_reply_fault(Kind kind, uint64_t nth);
    void check_running_set(uint64_t address, uint64_t length, bool write);
    // False when a start it holds was refused.
    bool write_fabric(uint32_t address, const uint8_t* data, uint64_t length, Clock::time_point now);
    bool status_overridden() const;
    bool write_register(uint32_t address, uint32_t value, Clock::time_point now);
    uint32_t register_value(uint32_t address) const;
    bool start_run(Clock::time_point now);
    bool weights_valid();
    void reboot(Clock::time_point now);
    void touch_ddr(uint64_t address, uint64_t length);

    EmulatorSettings settings_;
    std::unique_ptr<NetworkModel> network_;
    std::vector<uint8_t> weights_;        // expected image at address 0; empty: no check
    std::optional<bool> weights_ok_;      // cached result of the last comparison
    std::vector<uint8_t> nothing_output_; // output of a run without valid weights

    DdrMemory ddr_;
    std::array<uint32_t, FABRIC_BYTES / 4> registers_{};
    bool done_flag_ = false;
    bool armed_ = false;  // start register written since the last run finished
    ReceiveBuffer receive_;
    // Largest DDR write: the protocol's limit until an init request announces
    // a size; kept over resets (no new init follows).
    uint32_t write_limit_ = MAX_DATA_PAYLOAD_DDR;
    std::optional<Run> run_;
    std::array<std::optional<EmulatorRun>, 2> last_runs_;  // per buffer set, since the last boot
    uint32_t stream_payload_ = DEFAULT_STREAM_PAYLOAD;
    uint32_t stream_sequence_ = 0;
    Clock::time_point boot_end_;

    // Fault state.
    FaultGenerators random_;
    std::optional<int64_t> reply_fault_;  // for the request in hand: -1 drop its reply, else delay it (ms)
    uint64_t starts_seen_ = 0;            // core-start writes, for the "start" reply faults
    std::map<Kind, uint64_t> kind_count_;  // requests of each kind since start
    uint64_t init_seen_ = 0;
    uint64_t requests_since_reset_ = 0;
    uint64_t runs_total_ = 0;

    EmulatorCounters counters_;
    std::function<void(const std::string&)> log_;
};

}  // namespace board
