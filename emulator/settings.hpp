// What the emulated board is like: its socket, core, memory and network
// model, the faults it injects and how strict it is. Read by the program's
// options, held by the model.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
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

// Throws std::invalid_argument naming the first setting a board cannot have:
// negative times, fractions outside 0..1, unknown request kinds, requests
// counted from 0, impossible sizes.
void check_emulator_settings(const EmulatorSettings& settings);
