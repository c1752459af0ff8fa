// The board emulator: a model of the accelerator board (DDR, fabric
// registers, core, reset and boot, faults, counters) behind one UDP socket.
// Tests run it in-process on 127.0.0.1 port 0; the board_emulator program
// wraps the same class.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

struct EmulatorSettings {
    // Socket.
    std::string bind = "127.0.0.1";
    uint16_t port = 0;  // 0: pick a free port; see BoardEmulator::port()

    // Board.
    int64_t core_us = 38461;
    int64_t boot_ms = 2000;
    uint64_t ddr_mib = 256;
    uint32_t version = 1;
    std::string model = "shapes";  // shapes, zero, noise:SEED, replay:FILE
    std::string weights_path;       // empty: no weight check

    // Core geometry and scaling, as in the host's configuration file.
    uint64_t address_data = 0;
    uint64_t address_output = 0;
    uint64_t offset_pingpong = 0;
    std::vector<float> output_scale;  // 125 values; empty: all 1
    std::vector<float> output_bias;   // 125 values; empty: all 0

    // Faults (deterministic, seeded).
    uint64_t seed = 1;
    double drop_requests = 0.0;
    double drop_replies = 0.0;
    std::vector<std::pair<std::string, uint64_t>> drop_nth;  // kind (init, write, write-ack, read, stream, done), N
    double nack = 0.0;
    int64_t delay_us = 0;
    double duplicate = 0.0;
    double oversize = 0.0;
    double stream_gap = 0.0;
    // Requests answered with a reply cut short: kind (init, write-ack, read), N.
    // An init reply is cut to 4 bytes; an acknowledgement to its first 6 bytes
    // (a positive status) and its write is not carried out; a read reply loses
    // its last word.
    std::vector<std::pair<std::string, uint64_t>> short_nth;
    double empty_before = 0.0;  // fraction of replies preceded by a zero-length datagram
    uint64_t silent_init = 0;
    std::vector<uint64_t> stall_run;  // runs (from 1) that never finish
    uint64_t stall_from = 0;          // 0: off
    std::optional<uint32_t> status;   // register 0x10 reads this instead of 7 ...
    uint64_t status_from_run = 1;     // ... once run N - 1 has finished
    uint64_t silent_after = 0;        // 0: off; stop answering after N requests until a reset

    // Strictness of a board: its receive buffer, the shape of its stream
    // replies, one late or lost reply.
    double drain_mibps = 0.0;          // rate the receive buffer is emptied at; 0: no buffer model
    uint64_t buffer_kib = 256;         // receive buffer size
    std::vector<uint32_t> stream_payload;  // payload bytes of stream datagrams, cycled; empty: as init announced
    double stream_duplicate = 0.0;     // fraction of streams with one datagram sent twice in a row
    double stream_swap = 0.0;          // fraction of streams with two neighbouring datagrams swapped
    struct NthReply {
        std::string kind;  // init, write-ack, read, stream, start (an acknowledged core-start write)
        uint64_t n = 0;    // from 1, counted per kind since the emulator was created
        int64_t delay_ms = -1;  // -1: drop the reply; else hold it back this long
    };
    std::vector<NthReply> nth_reply;

    // Reporting.
    bool verbose = false;
};

struct EmulatorCounters {
    // Well-formed requests per command name ("init", "write", "write-ack", "read", "stream", "done") and space
    // ("ddr", "fabric"): keys "write:ddr", "write:fabric", "write-ack:ddr", "write-ack:fabric", "read:ddr",
    // "read:fabric", "stream" (DDR only), "init", "done".
    std::map<std::string, uint64_t> requests;
    uint64_t bytes_written = 0;
    uint64_t bytes_read = 0;
    uint64_t malformed = 0;
    uint64_t protocol_errors = 0;
    uint64_t runs_started = 0;
    uint64_t runs_finished = 0;
    uint64_t runs_without_weights = 0;
    uint64_t resets = 0;
    uint64_t faults_injected = 0;
    uint64_t datagrams_received = 0;
    uint64_t replies_sent = 0;  // datagrams sent, stream datagrams included
    uint64_t ignored_while_booting = 0;
    uint64_t receive_overflows = 0;        // datagrams lost to a full receive buffer
    uint64_t receive_overflow_bytes = 0;
    uint64_t socket_drops = 0;             // datagrams lost before the board took them (a full socket)
    uint64_t running_set_accesses = 0;     // input writes, output reads or writes of the set a run is on
    uint64_t starts_refused = 0;           // unarmed, while running, or with a bad buffer set
    uint64_t refused = 0;                  // requests over a board limit (also counted as malformed)
    uint64_t replies_dropped_by_reset = 0; // held-back replies a reset discarded
    // Faults injected per kind: "drop-request", "drop-reply", "drop-nth", "nack", "delay", "duplicate",
    // "oversize", "stream-gap", "silent-init", "stall", "status", "silent-after", "short-reply", "empty-before",
    // "stream-duplicate", "stream-swap", "delay-nth", "drop-nth-reply".
    std::map<std::string, uint64_t> faults;
};

// What one core run took as its input, so that a test can tell which frame
// the core saw.
struct EmulatorRun {
    uint64_t number = 0;      // from 1 since the emulator was created
    uint32_t buffer = 0;      // buffer set (ping-pong index) it ran on
    uint64_t input_hash = 0;  // input_hash() of its three input planes, taken at its start
};

// The hash the emulator reports for a run's input: 64-bit FNV-1a, taken over
// 8-byte little-endian words and then over the 0 to 7 bytes left.
uint64_t input_hash(const uint8_t* data, size_t size);

class BoardEmulator {
public:
    explicit BoardEmulator(EmulatorSettings settings);
    ~BoardEmulator();  // stops and joins
    BoardEmulator(const BoardEmulator&) = delete;
    BoardEmulator& operator=(const BoardEmulator&) = delete;

    // Binds the socket and starts serving on threads of its own (one drains
    // the socket, one serves what it took); returns once datagrams are being
    // answered. Throws std::runtime_error when it cannot bind.
    void start();
    // Stops serving and joins the threads. An error that ended a thread early
    // is rethrown here (the destructor stops without throwing).
    void stop();
    uint16_t port() const;

    // Receives one line per request from now on (the program's --verbose, set
    // once its first line is out); empty: no lines. EmulatorSettings::verbose
    // instead prints them to standard output from the start.
    void set_log(std::function<void(const std::string&)> log);

    EmulatorCounters counters() const;
    // Direct access to the model for tests (bounds-checked; out of range throws std::out_of_range).
    std::vector<uint8_t> read_ddr(uint64_t address, uint64_t size) const;
    void write_ddr(uint64_t address, const std::vector<uint8_t>& bytes);
    uint32_t read_register(uint32_t address) const;
    // The last run started on buffer set `buffer` since the board last booted.
    std::optional<EmulatorRun> last_run(uint32_t buffer) const;

private:
    struct Impl;
    std::unique_ptr<Impl> impl;
};
