#include "emulator/options.hpp"

#include "records/network.hpp"

#include <yaml-cpp/yaml.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <limits>
#include <sstream>

namespace {

uint64_t parse_unsigned(const std::string& flag, const std::string& text, uint64_t max) {
    uint64_t value = 0;
    size_t i = 0;
    int base = 10;
    if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
        base = 16;
        i = 2;
    }
    if (i == text.size()) throw UsageError(flag + " needs an unsigned number, got \"" + text + "\"");
    for (; i < text.size(); ++i) {
        const char c = text[i];
        int digit;
        if (c >= '0' && c <= '9')
            digit = c - '0';
        else if (base == 16 && c >= 'a' && c <= 'f')
            digit = c - 'a' + 10;
        else if (base == 16 && c >= 'A' && c <= 'F')
            digit = c - 'A' + 10;
        else
            throw UsageError(flag + " needs an unsigned number, got \"" + text + "\"");
        if (value > (max - uint64_t(digit)) / uint64_t(base))
            throw UsageError(flag + " value " + text + " is too large (at most " + std::to_string(max) + ")");
        value = value * uint64_t(base) + uint64_t(digit);
    }
    return value;
}

double parse_number(const std::string& flag, const std::string& text, double lo, double hi) {
    char* end = nullptr;
    errno = 0;
    const double value = std::strtod(text.c_str(), &end);
    if (text.empty() || end != text.c_str() + text.size() || errno != 0 || !std::isfinite(value))
        throw UsageError(flag + " needs a number, got \"" + text + "\"");
    if (value < lo || value > hi)
        throw UsageError(flag + " must lie between " + std::to_string(lo) + " and " + std::to_string(hi));
    return value;
}

constexpr uint64_t I64_MAX = uint64_t(std::numeric_limits<int64_t>::max());

}  // namespace

std::string usage_text() {
    return "usage: board_emulator [flags]\n"
           "A stand-in for the accelerator board: answers the board protocol over UDP, models the\n"
           "DDR memory, the fabric registers and the core, and injects faults on request.\n"
           "Runs until Ctrl-C or SIGTERM, then prints a summary.\n"
           "\n"
           "  --config PATH          YAML configuration (addresses, scaling parameters, address, port)\n"
           "                         [../configuration/demo_parameters_windows.yaml]\n"
           "  --bind ADDR            address to bind [the configuration's ip_address]\n"
           "  --port N               UDP port, 0 picks a free one [the configuration's udp_port]\n"
           "  --core-us N            core run time in microseconds [38461]\n"
           "  --boot-ms N            time after a reset command during which nothing is answered [2000]\n"
           "  --ddr-mib N            DDR size in MiB [256]\n"
           "  --version N            version in the init reply [1]\n"
           "  --model M              shapes, zero, noise:SEED or replay:FILE [shapes]\n"
           "  --weights FILE         mempacked weights the core expects at address 0 [no check]\n"
           "  --seed N               seed of the random faults [1]\n"
           "  --drop-requests P      fraction of incoming requests dropped [0]\n"
           "  --drop-replies P       fraction of outgoing replies dropped [0]\n"
           "  --drop-nth KIND:N      drop exactly the N-th request of a kind (init, write, write-ack,\n"
           "                         read, stream, done); repeatable\n"
           "  --nack P               fraction of acknowledged writes answered negatively [0]\n"
           "  --delay-us N           delay of every reply [0]\n"
           "  --duplicate P          fraction of replies sent twice [0]\n"
           "  --oversize P           fraction of replies sent with 4 extra bytes [0]\n"
           "  --stream-gap P         fraction of stream replies with one datagram left out [0]\n"
           "  --short-nth KIND:N     answer the N-th request of a kind (init, write-ack, read) with a\n"
           "                         reply cut short: init to 4 bytes, an acknowledgement to 6 bytes\n"
           "                         (status positive, the write not carried out), a read reply\n"
           "                         without its last word; repeatable\n"
           "  --empty-before P       fraction of replies preceded by a zero-length datagram [0]\n"
           "  --silent-init N        ignore the first N init requests [0]\n"
           "  --stall-run N          run N (counted from 1) never finishes; repeatable\n"
           "  --stall-from N         run N and every later run never finish\n"
           "  --status V             register 0x10 reads V instead of 7 ...\n"
           "  --status-from-run N    ... from the moment run N - 1 has finished [1: from the start]\n"
           "  --silent-after N       stop answering after N requests, until the next reset command\n"
           "\n"
           "Board strictness:\n"
           "  --drain-mibps R        rate (MiB/s) at which the board empties its receive buffer; 0 turns\n"
           "                         the buffer model off [1.25 x the configuration's write_rate_limit]\n"
           "  --buffer-kib N         receive buffer size; datagrams that do not fit are lost [256]\n"
           "  --stream-payload B[,B...]  payload bytes of stream datagrams, cycled (e.g. 1200,1600,1200)\n"
           "                         [the DDR payload size the init request announced]\n"
           "  --stream-duplicate P   fraction of stream replies with one datagram sent twice [0]\n"
           "  --stream-swap P        fraction of stream replies with two neighbouring datagrams swapped [0]\n"
           "  --delay-nth KIND:N:MS  hold back the reply to the N-th request of a kind (init, write-ack,\n"
           "                         read, stream, start: an acknowledged core start) by MS ms; repeatable\n"
           "  --drop-nth-reply KIND:N  leave out the reply to the N-th request of a kind (as above);\n"
           "                         the request is carried out; repeatable\n"
           "\n"
           "  --stats-every S        a counters line every S seconds [0: off]\n"
           "  --verbose              one line per request\n"
           "  --help                 this text\n";
}

ProgramOptions parse_arguments(const std::vector<std::string>& args) {
    ProgramOptions options;
    EmulatorSettings& s = options.settings;
    for (size_t i = 0; i < args.size(); ++i) {
        std::string flag = args[i];
        std::optional<std::string> inline_value;
        if (flag.rfind("--", 0) == 0) {
            const auto eq = flag.find('=');
            if (eq != std::string::npos) {
                inline_value = flag.substr(eq + 1);
                flag = flag.substr(0, eq);
            }
        }
        auto no_value = [&] {
            if (inline_value) throw UsageError(flag + " takes no value");
        };
        auto value = [&]() -> std::string {
            if (inline_value) return *inline_value;
            if (i + 1 >= args.size()) throw UsageError(flag + " needs a value");
            return args[++i];
        };
        auto fraction = [&] { return parse_number(flag, value(), 0.0, 1.0); };

        if (flag == "--help" || flag == "-h") {
            no_value();
            options.help = true;
        } else if (flag == "--verbose") {
            no_value();
            s.verbose = true;
        } else if (flag == "--config") {
            options.config_path = value();
            if (options.config_path.empty()) throw UsageError("--config needs a file name");
        } else if (flag == "--bind") {
            options.bind = value();
        } else if (flag == "--port") {
            options.port = uint16_t(parse_unsigned(flag, value(), 65535));
        } else if (flag == "--core-us") {
            s.core_us = int64_t(parse_unsigned(flag, value(), I64_MAX / 1000));
        } else if (flag == "--boot-ms") {
            s.boot_ms = int64_t(parse_unsigned(flag, value(), I64_MAX / 1000000));
        } else if (flag == "--ddr-mib") {
            s.ddr_mib = parse_unsigned(flag, value(), 65536);
            if (s.ddr_mib == 0) throw UsageError("--ddr-mib must be at least 1");
        } else if (flag == "--version") {
            s.version = uint32_t(parse_unsigned(flag, value(), 0xFFFFFFFFu));
        } else if (flag == "--model") {
            s.model = value();
        } else if (flag == "--weights") {
            s.weights_path = value();
            if (s.weights_path.empty()) throw UsageError("--weights needs a file name");
        } else if (flag == "--seed") {
            s.seed = parse_unsigned(flag, value(), std::numeric_limits<uint64_t>::max());
        } else if (flag == "--drop-requests") {
            s.drop_requests = fraction();
        } else if (flag == "--drop-replies") {
            s.drop_replies = fraction();
        } else if (flag == "--drop-nth") {
            const std::string v = value();
            const auto colon = v.find(':');
            if (colon == std::string::npos) throw UsageError("--drop-nth needs KIND:N, got \"" + v + "\"");
            const std::string kind = v.substr(0, colon);
            if (kind != "init" && kind != "write" && kind != "write-ack" && kind != "read" && kind != "stream" &&
                kind != "done")
                throw UsageError("--drop-nth: unknown kind \"" + kind +
                                 "\" (init, write, write-ack, read, stream or done)");
            const uint64_t n = parse_unsigned(flag, v.substr(colon + 1), std::numeric_limits<uint64_t>::max());
            if (n == 0) throw UsageError("--drop-nth counts requests from 1");
            s.drop_nth.emplace_back(kind, n);
        } else if (flag == "--nack") {
            s.nack = fraction();
        } else if (flag == "--delay-us") {
            s.delay_us = int64_t(parse_unsigned(flag, value(), I64_MAX / 1000));
        } else if (flag == "--duplicate") {
            s.duplicate = fraction();
        } else if (flag == "--oversize") {
            s.oversize = fraction();
        } else if (flag == "--stream-gap") {
            s.stream_gap = fraction();
        } else if (flag == "--short-nth") {
            const std::string v = value();
            const auto colon = v.find(':');
            if (colon == std::string::npos) throw UsageError("--short-nth needs KIND:N, got \"" + v + "\"");
            const std::string kind = v.substr(0, colon);
            if (kind != "init" && kind != "write-ack" && kind != "read")
                throw UsageError("--short-nth: unknown kind \"" + kind + "\" (init, write-ack or read)");
            const uint64_t n = parse_unsigned(flag, v.substr(colon + 1), std::numeric_limits<uint64_t>::max());
            if (n == 0) throw UsageError("--short-nth counts requests from 1");
            s.short_nth.emplace_back(kind, n);
        } else if (flag == "--empty-before") {
            s.empty_before = fraction();
        } else if (flag == "--silent-init") {
            s.silent_init = parse_unsigned(flag, value(), std::numeric_limits<uint64_t>::max());
        } else if (flag == "--stall-run") {
            const uint64_t n = parse_unsigned(flag, value(), std::numeric_limits<uint64_t>::max());
            if (n == 0) throw UsageError("--stall-run counts runs from 1");
            s.stall_run.push_back(n);
        } else if (flag == "--stall-from") {
            s.stall_from = parse_unsigned(flag, value(), std::numeric_limits<uint64_t>::max());
            if (s.stall_from == 0) throw UsageError("--stall-from counts runs from 1");
        } else if (flag == "--status") {
            s.status = uint32_t(parse_unsigned(flag, value(), 0xFFFFFFFFu));
        } else if (flag == "--status-from-run") {
            s.status_from_run = parse_unsigned(flag, value(), std::numeric_limits<uint64_t>::max());
            if (s.status_from_run == 0) throw UsageError("--status-from-run counts runs from 1");
        } else if (flag == "--silent-after") {
            s.silent_after = parse_unsigned(flag, value(), std::numeric_limits<uint64_t>::max());
        // Board strictness.
        } else if (flag == "--drain-mibps") {
            options.drain_mibps = parse_number(flag, value(), 0.0, 1e6);
        } else if (flag == "--buffer-kib") {
            s.buffer_kib = parse_unsigned(flag, value(), uint64_t(1) << 30);
            if (s.buffer_kib == 0) throw UsageError("--buffer-kib must be at least 1");
        } else if (flag == "--stream-payload") {
            const std::string v = value();
            s.stream_payload.clear();
            for (size_t start = 0; start <= v.size();) {
                const size_t comma = std::min(v.find(',', start), v.size());
                const uint64_t n = parse_unsigned(flag, v.substr(start, comma - start), 65500);
                if (n == 0 || n % 4 != 0) throw UsageError("--stream-payload sizes must be multiples of 4 from 4 to 65500");
                s.stream_payload.push_back(uint32_t(n));
                start = comma + 1;
            }
        } else if (flag == "--stream-duplicate") {
            s.stream_duplicate = fraction();
        } else if (flag == "--stream-swap") {
            s.stream_swap = fraction();
        } else if (flag == "--delay-nth" || flag == "--drop-nth-reply") {
            const bool delay = flag == "--delay-nth";
            const std::string v = value();
            const auto first = v.find(':');
            const auto second = first == std::string::npos ? first : v.find(':', first + 1);
            if (first == std::string::npos || (delay != (second != std::string::npos)))
                throw UsageError(flag + (delay ? " needs KIND:N:MS" : " needs KIND:N") + ", got \"" + v + "\"");
            EmulatorSettings::NthReply fault;
            fault.kind = v.substr(0, first);
            if (fault.kind != "init" && fault.kind != "write-ack" && fault.kind != "read" && fault.kind != "stream" &&
                fault.kind != "start")
                throw UsageError(flag + ": unknown kind \"" + fault.kind + "\" (init, write-ack, read, stream or start)");
            fault.n = parse_unsigned(flag, v.substr(first + 1, second == std::string::npos ? second : second - first - 1),
                                     std::numeric_limits<uint64_t>::max());
            if (fault.n == 0) throw UsageError(flag + " counts requests from 1");
            if (delay) fault.delay_ms = int64_t(parse_unsigned(flag, v.substr(second + 1), 3600000));
            s.nth_reply.push_back(fault);
        } else if (flag == "--stats-every") {
            options.stats_every = parse_number(flag, value(), 0.0, 86400.0);
        } else {
            throw UsageError("unknown flag \"" + args[i] + "\"");
        }
    }
    return options;
}

namespace {

YAML::Node section(const YAML::Node& root, const std::string& name, const std::string& path) {
    const YAML::Node& const_root = root;
    const YAML::Node node = const_root[name];
    if (!node || !node.IsMap()) throw ConfigError(path + ": missing section " + name);
    return node;
}

template <typename T>
T key(const YAML::Node& section_node, const std::string& section_name, const std::string& name,
      const std::string& path) {
    const YAML::Node& const_section = section_node;
    const YAML::Node node = const_section[name];
    if (!node) throw ConfigError(path + ": missing key " + section_name + "." + name);
    try {
        return node.as<T>();
    } catch (const YAML::Exception& e) {
        throw ConfigError(path + ": key " + section_name + "." + name + " (line " + std::to_string(e.mark.line + 1) +
                          "): value \"" + (node.IsScalar() ? node.Scalar() : std::string("...")) +
                          "\" does not convert");
    }
}

}  // namespace

void apply_configuration(ProgramOptions& options) {
    const std::string& path = options.config_path;
    if (!std::ifstream(path)) throw ConfigError("cannot open configuration file " + path);
    YAML::Node root;
    try {
        root = YAML::LoadFile(path);
    } catch (const YAML::Exception& e) {
        throw ConfigError(path + ": " + e.what());
    }
    const YAML::Node yolo = section(root, "YoloConfiguration", path);
    const YAML::Node network = section(root, "NetworkConfiguration", path);
    EmulatorSettings& s = options.settings;
    s.address_data = key<uint64_t>(yolo, "YoloConfiguration", "address_data", path);
    s.address_output = key<uint64_t>(yolo, "YoloConfiguration", "address_output", path);
    s.offset_pingpong = key<uint64_t>(yolo, "YoloConfiguration", "offset_pingpong", path);
    const auto scaling_path = key<std::string>(yolo, "YoloConfiguration", "path_scaling_parameters", path);
    s.bind = options.bind ? *options.bind : key<std::string>(network, "NetworkConfiguration", "ip_address", path);
    s.port = options.port ? *options.port : key<uint16_t>(network, "NetworkConfiguration", "udp_port", path);
    // A board drains its receive buffer a little faster than a host pacing at
    // the configured rate sends, so that such a host never loses a datagram.
    // Without the key (the host then refuses the file) the host's usual 100 MiB/s is assumed.
    const YAML::Node& const_network = network;
    const double write_rate_limit =
        const_network["write_rate_limit"] ? key<double>(network, "NetworkConfiguration", "write_rate_limit", path) : 100.0;
    s.drain_mibps = options.drain_mibps ? *options.drain_mibps : 1.25 * write_rate_limit;

    // One float32 scale per output channel, then one bias each, little-endian.
    constexpr size_t n = ::network::OUTPUT_CHANNELS;
    std::ifstream file(scaling_path, std::ios::binary);
    if (!file) throw ConfigError("cannot open scaling parameters " + scaling_path);
    const std::vector<char> bytes((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    if (bytes.size() != n * 8)
        throw ConfigError("scaling parameters " + scaling_path + " hold " + std::to_string(bytes.size()) +
                          " bytes, expected " + std::to_string(n * 8));
    auto value_at = [&](size_t index) {
        uint32_t bits = 0;
        for (int b = 3; b >= 0; --b) bits = (bits << 8) | uint8_t(bytes[index * 4 + size_t(b)]);
        float f;
        std::memcpy(&f, &bits, sizeof f);
        return f;
    };
    s.output_scale.resize(n);
    s.output_bias.resize(n);
    for (size_t i = 0; i < n; ++i) {
        s.output_scale[i] = value_at(i);
        s.output_bias[i] = value_at(n + i);
    }
}

std::string counters_line(const EmulatorCounters& c) {
    std::ostringstream line;
    uint64_t requests = 0;
    for (const auto& [name, count] : c.requests) requests += count;
    line << "requests " << requests << ", datagrams in " << c.datagrams_received << ", out " << c.replies_sent
         << ", written " << c.bytes_written << " B, read " << c.bytes_read << " B, malformed " << c.malformed
         << ", protocol errors " << c.protocol_errors << ", runs " << c.runs_started << "/" << c.runs_finished
         << ", without weights " << c.runs_without_weights << ", resets " << c.resets << ", faults "
         << c.faults_injected << ", receive overflows " << c.receive_overflows << ", starts refused "
         << c.starts_refused;
    return line.str();
}

std::string counters_summary(const EmulatorCounters& c) {
    std::ostringstream out;
    out << "summary:\n";
    for (const auto& [name, count] : c.requests) out << "  requests " << name << ": " << count << "\n";
    out << "  datagrams received: " << c.datagrams_received << "\n"
        << "  datagrams sent: " << c.replies_sent << "\n"
        << "  bytes written: " << c.bytes_written << "\n"
        << "  bytes read: " << c.bytes_read << "\n"
        << "  malformed requests: " << c.malformed << "\n"
        << "  protocol errors: " << c.protocol_errors << "\n"
        << "    running-set accesses: " << c.running_set_accesses << "\n"
        << "    starts refused: " << c.starts_refused << "\n"
        << "  refused over a board limit: " << c.refused << "\n"
        << "  receive buffer overflows: " << c.receive_overflows << " datagrams, " << c.receive_overflow_bytes
        << " bytes\n"
        << "  socket drops: " << c.socket_drops << " datagrams\n"
        << "  replies dropped by a reset: " << c.replies_dropped_by_reset << "\n"
        << "  ignored while booting: " << c.ignored_while_booting << "\n"
        << "  runs started: " << c.runs_started << "\n"
        << "  runs finished: " << c.runs_finished << "\n"
        << "  runs without valid weights: " << c.runs_without_weights << "\n"
        << "  resets: " << c.resets << "\n"
        << "  faults injected: " << c.faults_injected << "\n";
    for (const auto& [name, count] : c.faults) out << "    " << name << ": " << count << "\n";
    return out.str();
}
