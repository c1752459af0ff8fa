#include "emulator/board_model.hpp"

#include "emulator/stream_shaper.hpp"
#include "emulator/weights.hpp"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <stdexcept>

namespace board {

namespace {

Scaling scaling_of(const EmulatorSettings& s) {
    Scaling scaling = default_scaling();
    if (!s.output_scale.empty()) scaling.scale = s.output_scale;
    if (!s.output_bias.empty()) scaling.bias = s.output_bias;
    return scaling;
}

bool overlaps(uint64_t a, uint64_t a_size, uint64_t b, uint64_t b_size) {
    return a < b + b_size && b < a + a_size;
}

bool all_zero(const uint8_t* p, size_t n) {
    return std::all_of(p, p + n, [](uint8_t b) { return b == 0; });
}

const EmulatorSettings& checked(const EmulatorSettings& settings) {
    check_emulator_settings(settings);
    return settings;
}

}  // namespace

BoardModel::BoardModel(const EmulatorSettings& settings, Clock::time_point now)
    : settings_(checked(settings)),
      ddr_(settings.ddr_mib << 20),
      receive_(settings.drain_mibps, settings.buffer_kib * 1024),
      boot_end_(now),
      random_(settings.seed) {
    const Scaling scaling = scaling_of(settings_);
    network_ = NetworkModel::create(settings_.model, scaling);
    nothing_output_ = encode_shapes({}, scaling);
    if (!settings_.weights_path.empty()) {
        weights_ = load_weight_image(settings_.weights_path);
        if (weights_.size() > ddr_.size()) throw std::invalid_argument("weights file is larger than the DDR");
    }
}

void BoardModel::log(const std::string& line) {
    if (log_) log_(line);
}

void BoardModel::malformed(const char* why) {
    ++counters_.malformed;
    if (log_) log(std::string("malformed request: ") + why);
}

void BoardModel::fault(const char* name) {
    ++counters_.faults_injected;
    ++counters_.faults[name];
}

void BoardModel::refuse(const char* why) {
    ++counters_.refused;
    malformed(why);
}

void BoardModel::note_reply_fault(Kind kind, uint64_t nth) {
    for (const auto& fault : settings_.nth_reply)
        if (fault.n == nth && fault.kind == kind_name(kind)) reply_fault_ = fault.delay_ms;
}

bool BoardModel::count_sent(const OutDatagram& d) {
    if (d.boot != counters_.resets) {
        ++counters_.replies_dropped_by_reset;
        return false;
    }
    ++counters_.replies_sent;
    return true;
}

void BoardModel::check_running_set(uint64_t address, uint64_t length, bool write) {
    if (!run_ || length == 0) return;
    const uint64_t shift = uint64_t(run_->buffer) * settings_.offset_pingpong;
    const bool input = write && overlaps(address, length, settings_.address_data + shift, network::INPUT_BYTES);
    const bool output = overlaps(address, length, settings_.address_output + shift, network::OUTPUT_BYTES);
    if (!input && !output) return;
    ++counters_.running_set_accesses;
    ++counters_.protocol_errors;
    if (log_)
        log(std::string("protocol error: ") + (write ? "write into the " : "read of the ") +
            (input ? "input" : "output") + " of buffer set " + std::to_string(run_->buffer) +
            " while run " + std::to_string(run_->number) + " is in progress");
}

void BoardModel::handle(const uint8_t* data, size_t size, Clock::time_point now, std::vector<OutDatagram>& out) {
    ++counters_.datagrams_received;
    advance(now);
    const auto taken = take_in(size, now);
    if (!taken) return;
    now = *taken;
    advance(now);
    reply_fault_.reset();
    auto request = decode(data, size);
    if (!request || !survives_faults(*request)) return;
    log_request(*request);
    switch (request->kind) {
        case Kind::Init: return serve_init(*request, now, out);
        case Kind::Write:
        case Kind::WriteAck: return serve_write(*request, now, out);
        case Kind::Read: return serve_read(*request, now, out);
        case Kind::Stream: return serve_stream(*request, now, out);
        case Kind::Done: return serve_reset(*request, now);
        case Kind::Start: return;  // an acknowledged write; decode never gives it
    }
}

std::optional<Clock::time_point> BoardModel::take_in(size_t size, Clock::time_point now) {
    if (booting(now)) {
        ++counters_.ignored_while_booting;
        return std::nullopt;
    }
    // The datagram waits in the receive buffer, or is lost when it is full;
    // it is carried out, and answered, when the board takes it out.
    const auto taken = receive_.accept(size, now);
    if (!taken) {
        ++counters_.receive_overflows;
        counters_.receive_overflow_bytes += size;
        if (log_) log("receive buffer full: datagram of " + std::to_string(size) + " bytes lost");
    }
    return taken;
}

std::optional<BoardModel::Request> BoardModel::decode(const uint8_t* data, size_t size) {
    const auto header = wire::parse_header(data, size);
    if (!header) {
        malformed("shorter than the 14-byte header");
        return std::nullopt;
    }
    // Bit 7 (the host's command flag) is ignored.
    if (header->upper_bits != 0) {
        malformed("command word with bits 8-31 set");
        return std::nullopt;
    }
    Request request;
    switch (header->code) {
        case CMD_INIT: request.kind = Kind::Init; break;
        case CMD_WRITE: request.kind = Kind::Write; break;
        case CMD_WRITE_ACK: request.kind = Kind::WriteAck; break;
        case CMD_READ: request.kind = Kind::Read; break;
        case CMD_READ_STREAM: request.kind = Kind::Stream; break;
        case CMD_DONE: request.kind = Kind::Done; break;
        default: malformed("unknown command code"); return std::nullopt;
    }
    request.ddr = header->ddr;
    request.address = header->address;
    request.length = header->length;
    request.data = data;
    request.size = size;
    return request;
}

bool BoardModel::survives_faults(Request& request) {
    // A board that has stopped answering ignores everything but the reset command.
    if (settings_.silent_after > 0 && requests_since_reset_ >= settings_.silent_after && request.kind != Kind::Done) {
        fault("silent-after");
        return false;
    }
    ++requests_since_reset_;
    const char* kind = kind_name(request.kind);
    request.nth = ++kind_count_[request.kind];
    for (const auto& [name, n] : settings_.drop_nth)
        if (n == request.nth && name == kind) {
            fault("drop-nth");
            if (log_) log(std::string("dropped ") + kind + " request #" + std::to_string(request.nth));
            return false;
        }
    if (random_[FaultKind::DropRequest].chance(settings_.drop_requests)) {
        fault("drop-request");
        return false;
    }
    for (const auto& [name, n] : settings_.short_nth)
        if (n == request.nth && name == kind) request.cut_short = true;
    return true;
}

void BoardModel::log_request(const Request& request) {
    if (!log_) return;
    // Init, reset and stream requests have one space only, which goes unsaid.
    const bool spaced = request.kind != Kind::Init && request.kind != Kind::Done && request.kind != Kind::Stream;
    char line[128];
    std::snprintf(line, sizeof line, "%s%s%s address=0x%08x length=%u (%zu bytes)", kind_name(request.kind),
                  spaced ? " " : "", spaced ? request.space() : "", request.address, request.length, request.size);
    log(line);
}

void BoardModel::serve_init(const Request& request, Clock::time_point now, std::vector<OutDatagram>& out) {
    if (request.size != wire::HEADER_SIZE) return malformed("init request is not 14 bytes");
    if (request.ddr) return refuse("init request with the DDR flag");
    if (++init_seen_ <= settings_.silent_init) {
        fault("silent-init");
        return;
    }
    ++counters_.requests["init"];
    note_reply_fault(Kind::Init, request.nth);
    // The host announces its DDR payload size: the largest DDR write it
    // will send, and the payload of stream datagrams from now on.
    const uint32_t length = request.length;
    if (length >= 4 && length % 4 == 0 && length <= MAX_UDP_PAYLOAD - REPLY_HEADER) {
        stream_payload_ = length;
        write_limit_ = length;
    } else {
        ++counters_.protocol_errors;
    }
    std::vector<uint8_t> bytes(REPLY_HEADER, FILL);
    wire::put_u32(bytes.data() + wire::INIT_VERSION_AT, settings_.version);
    if (request.cut_short) {
        fault("short-reply");
        bytes.resize(4);
    }
    reply(std::move(bytes), now, out);
}

void BoardModel::serve_write(const Request& request, Clock::time_point now, std::vector<OutDatagram>& out) {
    const bool ack = request.kind == Kind::WriteAck;
    const bool ddr = request.ddr;
    const uint32_t address = request.address;
    const uint32_t length = request.length;
    const size_t payload_at = wire::write_payload_offset(wire::BOARD_WRITE_OFFSET);
    const bool sized = request.size >= payload_at && request.size - payload_at == length && length % 4 == 0;
    bool in_range;
    if (ddr)
        in_range = ddr_.contains(address, length);
    else
        in_range = address % 4 == 0 && uint64_t(address) + length <= FABRIC_BYTES;
    if (!sized || !in_range) {
        malformed(!sized ? "length field disagrees with the datagram size" : "write out of range");
        if (ack) acknowledge(false, address, now, out);
        return;
    }
    const char* over_limit = nullptr;
    if (!all_zero(request.data + wire::HEADER_SIZE, wire::BOARD_WRITE_OFFSET))
        over_limit = "write with non-zero offset bytes";
    else if (ddr && length > write_limit_)
        over_limit = "DDR write longer than the payload size the init request announced";
    else if (!ddr && length > MAX_DATA_PAYLOAD_FABRIC)
        over_limit = "fabric write longer than 64 bytes";
    if (over_limit) {
        refuse(over_limit);
        if (ack) acknowledge(false, address, now, out);
        return;
    }
    ++counters_.requests[std::string(kind_name(request.kind)) + ":" + request.space()];
    if (ack && request.cut_short) {
        // The status byte (datagram byte 5) reads positive, but the
        // reply ends there and the data never reached the memory.
        fault("short-reply");
        reply(std::vector<uint8_t>(wire::ACK_STATUS_AT + 1, 0), now, out);
        return;
    }
    const uint8_t* payload = request.data + payload_at;
    // A write that sets the run register to 1 is a core start.
    if (!ddr && address <= CORE_REGISTER_RUN && CORE_REGISTER_RUN + 4 <= uint64_t(address) + length &&
        wire::get_u32(payload + (CORE_REGISTER_RUN - address)) == 1 && ack)
        note_reply_fault(Kind::Start, ++starts_seen_);
    else if (ack)
        note_reply_fault(Kind::WriteAck, request.nth);
    if (ack && random_[FaultKind::Nack].chance(settings_.nack)) {
        fault("nack");
        acknowledge(false, address, now, out);
        return;
    }
    bool carried_out = true;
    if (ddr) {
        check_running_set(address, length, true);
        ddr_.write(address, payload, length);
        touch_ddr(address, length);
    } else {
        carried_out = write_fabric(address, payload, length, now);
    }
    counters_.bytes_written += length;
    if (ack) acknowledge(carried_out, address, now, out);
}

void BoardModel::serve_read(const Request& request, Clock::time_point now, std::vector<OutDatagram>& out) {
    const uint32_t address = request.address;
    const uint32_t length = request.length;
    if (request.size != wire::HEADER_SIZE) return malformed("read request is not 14 bytes");
    if (length % 4 != 0 || length > MAX_UDP_PAYLOAD - REPLY_HEADER)
        return malformed("read length not a multiple of 4 or larger than one datagram");
    std::vector<uint8_t> bytes(REPLY_HEADER + length, FILL);
    if (request.ddr) {
        if (!ddr_.contains(address, length)) return malformed("read beyond the end of the DDR");
        check_running_set(address, length, false);
        ddr_.read(address, bytes.data() + REPLY_HEADER, length);
    } else {
        if (address % 4 != 0 || uint64_t(address) + length > FABRIC_BYTES)
            return malformed("fabric read misaligned or out of range");
        for (uint32_t i = 0; i < length; i += 4)
            wire::put_u32(bytes.data() + REPLY_HEADER + i, register_value(address + i));
        if (address <= CORE_REGISTER_STATUS && CORE_REGISTER_STATUS < uint64_t(address) + length &&
            status_overridden())
            fault("status");
    }
    ++counters_.requests[std::string("read:") + request.space()];
    note_reply_fault(Kind::Read, request.nth);
    counters_.bytes_read += length;
    if (request.cut_short) {
        fault("short-reply");
        bytes.resize(bytes.size() - std::min<size_t>(4, length));
    }
    reply(std::move(bytes), now, out);
}

void BoardModel::serve_stream(const Request& request, Clock::time_point now, std::vector<OutDatagram>& out) {
    const uint32_t address = request.address;
    const uint32_t length = request.length;
    if (!request.ddr) return malformed("stream read of the fabric");
    if (request.size != wire::HEADER_SIZE) return malformed("stream request is not 14 bytes");
    if (length % 4 != 0 || length > wire::STREAM_CHUNK_BYTES)
        return malformed("stream length not a multiple of 4 or over 1 MiB");
    if (!ddr_.contains(address, length)) return malformed("stream read beyond the end of the DDR");
    ++counters_.requests["stream"];
    note_reply_fault(Kind::Stream, request.nth);
    check_running_set(address, length, false);
    counters_.bytes_read += length;
    reply_stream(address, length, now, out);
}

void BoardModel::serve_reset(const Request& request, Clock::time_point now) {
    if (request.size != wire::HEADER_SIZE + wire::BOARD_WRITE_OFFSET || request.length != 0 || request.address != 0)
        return malformed("reset command with a payload, a length or an address");
    if (request.ddr) return refuse("reset command with the DDR flag");
    if (!all_zero(request.data + wire::HEADER_SIZE, wire::BOARD_WRITE_OFFSET))
        return refuse("reset command with non-zero offset bytes");
    ++counters_.requests["done"];
    reboot(now);
}

bool BoardModel::reply_dropped(const char* what) {
    if (reply_fault_ && *reply_fault_ < 0) {
        fault("drop-nth-reply");
        if (log_) log(std::string(what) + " dropped on purpose");
        return true;
    }
    if (random_[FaultKind::DropReply].chance(settings_.drop_replies)) {
        fault("drop-reply");
        return true;
    }
    return false;
}

Clock::time_point BoardModel::reply_due(Clock::time_point now) {
    if (settings_.delay_us > 0) fault("delay");
    auto due = now + std::chrono::microseconds(settings_.delay_us);
    if (reply_fault_) {
        fault("delay-nth");
        due += std::chrono::milliseconds(*reply_fault_);
    }
    return due;
}

void BoardModel::reply(std::vector<uint8_t> bytes, Clock::time_point now, std::vector<OutDatagram>& out) {
    if (reply_dropped("reply")) return;
    if (random_[FaultKind::Oversize].chance(settings_.oversize)) {
        fault("oversize");
        bytes.insert(bytes.end(), {0xA5, 0xA5, 0xA5, 0xA5});
    }
    const auto due = reply_due(now);
    const uint64_t boot = counters_.resets;
    maybe_empty_before(due, out);
    if (random_[FaultKind::Duplicate].chance(settings_.duplicate)) {
        fault("duplicate");
        out.push_back({bytes, due, boot});
    }
    out.push_back({std::move(bytes), due, boot});
}

void BoardModel::reply_stream(uint64_t address, uint64_t length, Clock::time_point now,
                              std::vector<OutDatagram>& out) {
    if (reply_dropped("stream reply")) return;
    const std::vector<uint32_t> sizes =
        settings_.stream_payload.empty() ? std::vector<uint32_t>{stream_payload_} : settings_.stream_payload;
    std::vector<StreamPiece> pieces = cut_stream(length, sizes);
    std::vector<uint32_t> sequence(pieces.size());
    for (auto& number : sequence) number = stream_sequence_++;
    const uint64_t count = pieces.size();
    if (count > 0 && random_[FaultKind::StreamGap].chance(settings_.stream_gap)) {
        fault("stream-gap");
        const uint64_t gap = random_[FaultKind::StreamGap].below(count);
        pieces.erase(pieces.begin() + ptrdiff_t(gap));
        sequence.erase(sequence.begin() + ptrdiff_t(gap));
    }
    if (!pieces.empty() && random_[FaultKind::StreamDuplicate].chance(settings_.stream_duplicate)) {
        fault("stream-duplicate");
        const uint64_t twice = random_[FaultKind::StreamDuplicate].below(pieces.size());
        pieces.insert(pieces.begin() + ptrdiff_t(twice), pieces[twice]);
        sequence.insert(sequence.begin() + ptrdiff_t(twice), sequence[twice]);
    }
    if (pieces.size() >= 2 && random_[FaultKind::StreamSwap].chance(settings_.stream_swap)) {
        fault("stream-swap");
        const uint64_t first = random_[FaultKind::StreamSwap].below(pieces.size() - 1);
        std::swap(pieces[first], pieces[first + 1]);
        std::swap(sequence[first], sequence[first + 1]);
    }
    const bool oversize = count > 0 && random_[FaultKind::Oversize].chance(settings_.oversize);
    if (oversize) fault("oversize");
    const bool duplicate = count > 0 && random_[FaultKind::Duplicate].chance(settings_.duplicate);
    if (duplicate) fault("duplicate");
    const auto due = reply_due(now);
    if (count > 0) maybe_empty_before(due, out);
    const size_t first = out.size();
    for (size_t i = 0; i < pieces.size(); ++i) {
        OutDatagram d;
        d.due = due;
        d.boot = counters_.resets;
        d.bytes.resize(REPLY_HEADER + pieces[i].size + ((oversize && i + 1 == pieces.size()) ? 4 : 0), FILL);
        // Header: fill bytes, and in its last byte a running sequence number that is never zero.
        d.bytes[REPLY_HEADER - 1] = uint8_t(sequence[i] % 255 + 1);
        ddr_.read(address + pieces[i].offset, d.bytes.data() + REPLY_HEADER, pieces[i].size);
        out.push_back(std::move(d));
    }
    if (duplicate) {
        const size_t last = out.size();
        for (size_t i = first; i < last; ++i) out.push_back(out[i]);
    }
}

void BoardModel::maybe_empty_before(Clock::time_point due, std::vector<OutDatagram>& out) {
    if (!random_[FaultKind::EmptyBefore].chance(settings_.empty_before)) return;
    fault("empty-before");
    out.push_back({{}, due, counters_.resets});
}

void BoardModel::acknowledge(bool positive, uint32_t address, Clock::time_point now, std::vector<OutDatagram>& out) {
    // Ten bytes of which the host examines only byte 5, the status; the others
    // are filled so that a host reading them would notice.
    (void)address;
    std::vector<uint8_t> bytes(wire::ack_reply_size(wire::BOARD_READ_OFFSET), FILL);
    bytes[wire::ACK_STATUS_AT] = positive ? 0 : 1;
    reply(std::move(bytes), now, out);
}

bool BoardModel::write_fabric(uint32_t address, const uint8_t* data, uint64_t length, Clock::time_point now) {
    bool carried_out = true;
    for (uint64_t i = 0; i < length; i += 4)
        if (!write_register(uint32_t(address + i), wire::get_u32(data + i), now)) carried_out = false;
    return carried_out;
}

bool BoardModel::write_register(uint32_t address, uint32_t value, Clock::time_point now) {
    switch (address) {
        case CORE_REGISTER_START:
            done_flag_ = false;  // any write clears the done flag and arms the core
            armed_ = true;
            return true;
        case CORE_REGISTER_RUN:
            return value != 1 || start_run(now);
        case CORE_REGISTER_STATUS:
            return true;  // read-only
        default:
            registers_[address / 4] = value;
            return true;
    }
}

bool BoardModel::status_overridden() const {
    // The override replaces the idle value once run status_from_run - 1 has finished.
    return settings_.status.has_value() && !run_ && counters_.runs_finished + 1 >= settings_.status_from_run;
}

uint32_t BoardModel::register_value(uint32_t address) const {
    switch (address) {
        case CORE_REGISTER_START: return done_flag_ ? 1 : 0;
        case CORE_REGISTER_RUN: return 0;
        case CORE_REGISTER_STATUS:
            if (run_) return CORE_STATUS_BUSY;
            return status_overridden() ? *settings_.status : CORE_STATUS_IDLE;
        default: return registers_[address / 4];
    }
}

bool BoardModel::start_run(Clock::time_point now) {
    const uint32_t buffer = registers_[CORE_REGISTER_BUFFER / 4];
    const char* refused = run_ ? "start while a run is in progress"
                          : !armed_ ? "start without a write to 0x00 since the last run"
                          : buffer > 1 ? "start with a buffer set other than 0 or 1"
                                       : nullptr;
    if (refused) {
        ++counters_.starts_refused;
        ++counters_.protocol_errors;
        if (log_) log(std::string("protocol error: ") + refused);
        return false;
    }
    armed_ = false;
    Run run;
    run.number = ++runs_total_;
    run.buffer = buffer;
    ++counters_.runs_started;
    run.stalled = (settings_.stall_from > 0 && run.number >= settings_.stall_from) ||
                  std::find(settings_.stall_run.begin(), settings_.stall_run.end(), run.number) !=
                      settings_.stall_run.end();
    if (run.stalled) fault("stall");
    run.end = now + std::chrono::microseconds(settings_.core_us);

    // The core takes its input at the start: later uploads into the same
    // buffer do not change this run's result.
    const uint64_t input_address = settings_.address_data + uint64_t(buffer) * settings_.offset_pingpong;
    std::vector<uint8_t> copied;
    const uint8_t* input = ddr_.view(input_address, network::INPUT_BYTES);
    if (input == nullptr) {
        copied.assign(network::INPUT_BYTES, 0);
        if (ddr_.contains(input_address, network::INPUT_BYTES))
            ddr_.read(input_address, copied.data(), network::INPUT_BYTES);
        else
            ++counters_.protocol_errors;
        input = copied.data();
    }
    const uint64_t hash = input_hash(input, network::INPUT_BYTES);
    run.output.resize(network::OUTPUT_BYTES);
    if (!weights_.empty() && !weights_valid()) {
        ++counters_.runs_without_weights;
        std::memcpy(run.output.data(), nothing_output_.data(), network::OUTPUT_BYTES);
    } else {
        // The model runs here, on the input as it is now; the result waits in
        // the run until its end.
        network_->run(input, run.output.data());
    }
    last_runs_[buffer] = EmulatorRun{run.number, buffer, hash};
    run_ = std::move(run);
    if (log_) {
        char hex[17];
        std::snprintf(hex, sizeof hex, "%016llx", static_cast<unsigned long long>(hash));
        log("run " + std::to_string(run_->number) + " started on buffer set " + std::to_string(buffer) +
            ", input hash " + hex);
    }
    return true;
}

void BoardModel::advance(Clock::time_point now) {
    if (!run_ || run_->stalled || now < run_->end) return;
    const uint64_t address = settings_.address_output + uint64_t(run_->buffer) * settings_.offset_pingpong;
    if (ddr_.contains(address, network::OUTPUT_BYTES)) {
        ddr_.write(address, run_->output.data(), network::OUTPUT_BYTES);
        touch_ddr(address, network::OUTPUT_BYTES);
    } else {
        ++counters_.protocol_errors;
    }
    ++counters_.runs_finished;
    if (log_) log("run " + std::to_string(run_->number) + " finished");
    run_.reset();
    done_flag_ = true;
    armed_ = false;
}

std::optional<Clock::time_point> BoardModel::next_event() const {
    if (run_ && !run_->stalled) return run_->end;
    return std::nullopt;
}

bool BoardModel::weights_valid() {
    if (!weights_ok_) weights_ok_ = ddr_.equals(0, weights_.data(), weights_.size());
    return *weights_ok_;
}

void BoardModel::touch_ddr(uint64_t address, uint64_t length) {
    if (length > 0 && address < weights_.size()) weights_ok_.reset();
}

void BoardModel::reboot(Clock::time_point now) {
    ++counters_.resets;
    run_.reset();
    last_runs_ = {};
    ddr_.clear();
    registers_.fill(0);
    done_flag_ = false;
    armed_ = false;
    receive_.clear(now);
    stream_payload_ = DEFAULT_STREAM_PAYLOAD;
    weights_ok_.reset();
    requests_since_reset_ = 0;
    boot_end_ = now + std::chrono::milliseconds(settings_.boot_ms);
    if (log_) log("reset: rebooting for " + std::to_string(settings_.boot_ms) + " ms");
}

std::vector<uint8_t> BoardModel::read_ddr(uint64_t address, uint64_t size) const {
    if (!ddr_.contains(address, size)) throw std::out_of_range("read_ddr beyond the end of the DDR");
    std::vector<uint8_t> bytes(size);
    ddr_.read(address, bytes.data(), size);
    return bytes;
}

void BoardModel::write_ddr(uint64_t address, const std::vector<uint8_t>& bytes) {
    if (!ddr_.contains(address, bytes.size())) throw std::out_of_range("write_ddr beyond the end of the DDR");
    ddr_.write(address, bytes.data(), bytes.size());
    touch_ddr(address, bytes.size());
}

uint32_t BoardModel::read_register(uint32_t address) const {
    if (address % 4 != 0 || address >= FABRIC_BYTES) throw std::out_of_range("no fabric register at this address");
    return register_value(address);
}

}  // namespace board
