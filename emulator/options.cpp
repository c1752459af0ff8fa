#include "emulator/options.hpp"

#include "emulator/request_kind.hpp"
#include "records/flag_argument.hpp"
#include "records/yaml_lookup.hpp"
#include "records/configuration_path.hpp"
#include "records/network.hpp"
#include "records/scaling_file.hpp"

#include <yaml-cpp/yaml.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <limits>

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

namespace {

using board::kind_named;
using board::kinds_listed;

constexpr uint64_t U64_MAX = std::numeric_limits<uint64_t>::max();

// A value of KIND:N (or KIND:N:MS): the kind among `allowed`, N from 1.
struct NthRequest {
    std::string kind;
    uint64_t n = 0;
};

NthRequest nth_request(const std::string& flag, const std::string& kind, const std::string& n_text,
                       const std::vector<board::RequestKind>& allowed) {
    if (!kind_named(kind, allowed))
        throw UsageError(flag + ": unknown kind \"" + kind + "\" (" + kinds_listed(allowed) + ")");
    const uint64_t n = parse_unsigned(flag, n_text, U64_MAX);
    if (n == 0) throw UsageError(flag + " counts requests from 1");
    return {kind, n};
}

NthRequest kind_and_count(const std::string& flag, const std::string& v,
                          const std::vector<board::RequestKind>& allowed) {
    const auto colon = v.find(':');
    if (colon == std::string::npos) throw UsageError(flag + " needs KIND:N, got \"" + v + "\"");
    return nth_request(flag, v.substr(0, colon), v.substr(colon + 1), allowed);
}

void nth_reply(EmulatorSettings& s, const std::string& flag, const std::string& v, bool delay) {
    const auto first = v.find(':');
    const auto second = first == std::string::npos ? first : v.find(':', first + 1);
    if (first == std::string::npos || (delay != (second != std::string::npos)))
        throw UsageError(flag + (delay ? " needs KIND:N:MS" : " needs KIND:N") + ", got \"" + v + "\"");
    const NthRequest nth =
        nth_request(flag, v.substr(0, first),
                    v.substr(first + 1, second == std::string::npos ? second : second - first - 1), board::REPLY_FAULT_KINDS);
    EmulatorSettings::NthReply fault;
    fault.kind = nth.kind;
    fault.n = nth.n;
    if (delay) fault.delay_ms = int64_t(parse_unsigned(flag, v.substr(second + 1), 3600000));
    s.nth_reply.push_back(fault);
}

double fraction(const std::string& flag, const std::string& v) { return parse_number(flag, v, 0.0, 1.0); }

// One flag: how it is written, what it does with its value, and its lines in
// the usage text.
struct Flag {
    const char* before;    // lines of the usage text ahead of this flag's, or ""
    const char* name;      // "--core-us"
    const char* argument;  // "N" in the usage text; nullptr: the flag takes no value
    std::string help;      // its help, lines after the first indented under it
    void (*apply)(ProgramOptions& options, EmulatorSettings& s, const std::string& flag, const std::string& value);
};

#define APPLY                                                                                      \
    []([[maybe_unused]] ProgramOptions & options, [[maybe_unused]] EmulatorSettings & s,             \
       [[maybe_unused]] const std::string& flag, [[maybe_unused]] const std::string& v)

const Flag FLAGS[] = {
    {"\n", "--config", "PATH",
     std::string("YAML configuration (addresses, scaling parameters, address, port)\n[") + CONFIGURATION_PATH + "]",
     APPLY {
         options.config_path = v;
         if (options.config_path.empty()) throw UsageError("--config needs a file name");
     }},
    {"", "--bind", "ADDR", "address to bind [the configuration's ip_address]",
     APPLY { options.bind = v; }},
    {"", "--port", "N", "UDP port, 0 picks a free one [the configuration's udp_port]",
     APPLY { options.port = uint16_t(parse_unsigned(flag, v, 65535)); }},
    {"", "--core-us", "N", "core run time in microseconds [38461]",
     APPLY { s.core_us = int64_t(parse_unsigned(flag, v, I64_MAX / 1000)); }},
    {"", "--boot-ms", "N", "time after a reset command during which nothing is answered [2000]",
     APPLY { s.boot_ms = int64_t(parse_unsigned(flag, v, I64_MAX / 1000000)); }},
    {"", "--ddr-mib", "N", "DDR size in MiB [256]",
     APPLY {
         s.ddr_mib = parse_unsigned(flag, v, 65536);
         if (s.ddr_mib == 0) throw UsageError("--ddr-mib must be at least 1");
     }},
    {"", "--version", "N", "version in the init reply [1]",
     APPLY { s.version = uint32_t(parse_unsigned(flag, v, 0xFFFFFFFFu)); }},
    {"", "--model", "M", "shapes, zero, noise:SEED or replay:FILE [shapes]",
     APPLY { s.model = v; }},
    {"", "--weights", "FILE", "mempacked weights the core expects at address 0 [no check]",
     APPLY {
         s.weights_path = v;
         if (s.weights_path.empty()) throw UsageError("--weights needs a file name");
     }},
    {"", "--seed", "N", "seed of the random faults [1]",
     APPLY { s.seed = parse_unsigned(flag, v, U64_MAX); }},
    {"", "--drop-requests", "P", "fraction of incoming requests dropped [0]",
     APPLY { s.drop_requests = fraction(flag, v); }},
    {"", "--drop-replies", "P", "fraction of outgoing replies dropped [0]",
     APPLY { s.drop_replies = fraction(flag, v); }},
    {"", "--drop-nth", "KIND:N",
     "drop exactly the N-th request of a kind (init, write, write-ack,\n"
     "read, stream, done); repeatable",
     APPLY {
         const NthRequest nth = kind_and_count(flag, v, board::DROPPABLE_KINDS);
         s.drop_nth.emplace_back(nth.kind, nth.n);
     }},
    {"", "--nack", "P", "fraction of acknowledged writes answered negatively [0]",
     APPLY { s.nack = fraction(flag, v); }},
    {"", "--delay-us", "N", "delay of every reply [0]",
     APPLY { s.delay_us = int64_t(parse_unsigned(flag, v, I64_MAX / 1000)); }},
    {"", "--duplicate", "P", "fraction of replies sent twice [0]",
     APPLY { s.duplicate = fraction(flag, v); }},
    {"", "--oversize", "P", "fraction of replies sent with 4 extra bytes [0]",
     APPLY { s.oversize = fraction(flag, v); }},
    {"", "--stream-gap", "P", "fraction of stream replies with one datagram left out [0]",
     APPLY { s.stream_gap = fraction(flag, v); }},
    {"", "--short-nth", "KIND:N",
     "answer the N-th request of a kind (init, write-ack, read) with a\n"
     "reply cut short: init to 4 bytes, an acknowledgement to 6 bytes\n"
     "(status positive, the write not carried out), a read reply\n"
     "without its last word; repeatable",
     APPLY {
         const NthRequest nth = kind_and_count(flag, v, board::SHORTENABLE_KINDS);
         s.short_nth.emplace_back(nth.kind, nth.n);
     }},
    {"", "--empty-before", "P", "fraction of replies preceded by a zero-length datagram [0]",
     APPLY { s.empty_before = fraction(flag, v); }},
    {"", "--silent-init", "N", "ignore the first N init requests [0]",
     APPLY { s.silent_init = parse_unsigned(flag, v, U64_MAX); }},
    {"", "--stall-run", "N", "run N (counted from 1) never finishes; repeatable",
     APPLY {
         const uint64_t n = parse_unsigned(flag, v, U64_MAX);
         if (n == 0) throw UsageError("--stall-run counts runs from 1");
         s.stall_run.push_back(n);
     }},
    {"", "--stall-from", "N", "run N and every later run never finish",
     APPLY {
         s.stall_from = parse_unsigned(flag, v, U64_MAX);
         if (s.stall_from == 0) throw UsageError("--stall-from counts runs from 1");
     }},
    {"", "--status", "V", "register 0x10 reads V instead of 7 ...",
     APPLY { s.status = uint32_t(parse_unsigned(flag, v, 0xFFFFFFFFu)); }},
    {"", "--status-from-run", "N", "... from the moment run N - 1 has finished [1: from the start]",
     APPLY {
         s.status_from_run = parse_unsigned(flag, v, U64_MAX);
         if (s.status_from_run == 0) throw UsageError("--status-from-run counts runs from 1");
     }},
    {"", "--silent-after", "N", "stop answering after N requests, until the next reset command",
     APPLY { s.silent_after = parse_unsigned(flag, v, U64_MAX); }},
    {"\nBoard strictness:\n", "--drain-mibps", "R",
     "rate (MiB/s) at which the board empties its receive buffer; 0 turns\n"
     "the buffer model off [1.25 x the configuration's write_rate_limit]",
     APPLY { options.drain_mibps = parse_number(flag, v, 0.0, 1e6); }},
    {"", "--buffer-kib", "N", "receive buffer size; datagrams that do not fit are lost [256]",
     APPLY {
         s.buffer_kib = parse_unsigned(flag, v, uint64_t(1) << 30);
         if (s.buffer_kib == 0) throw UsageError("--buffer-kib must be at least 1");
     }},
    {"", "--stream-payload", "B[,B...]",
     "payload bytes of stream datagrams, cycled (e.g. 1200,1600,1200)\n"
     "[the DDR payload size the init request announced]",
     APPLY {
         s.stream_payload.clear();
         for (size_t start = 0; start <= v.size();) {
             const size_t comma = std::min(v.find(',', start), v.size());
             const uint64_t n = parse_unsigned(flag, v.substr(start, comma - start), 65500);
             if (n == 0 || n % 4 != 0)
                 throw UsageError("--stream-payload sizes must be multiples of 4 from 4 to 65500");
             s.stream_payload.push_back(uint32_t(n));
             start = comma + 1;
         }
     }},
    {"", "--stream-duplicate", "P", "fraction of stream replies with one datagram sent twice [0]",
     APPLY { s.stream_duplicate = fraction(flag, v); }},
    {"", "--stream-swap", "P", "fraction of stream replies with two neighbouring datagrams swapped [0]",
     APPLY { s.stream_swap = fraction(flag, v); }},
    {"", "--delay-nth", "KIND:N:MS",
     "hold back the reply to the N-th request of a kind (init, write-ack,\n"
     "read, stream, start: an acknowledged core start) by MS ms; repeatable",
     APPLY { nth_reply(s, flag, v, true); }},
    {"", "--drop-nth-reply", "KIND:N",
     "leave out the reply to the N-th request of a kind (as above);\n"
     "the request is carried out; repeatable",
     APPLY { nth_reply(s, flag, v, false); }},
    {"\n", "--stats-every", "S", "a counters line every S seconds [0: off]",
     APPLY { options.stats_every = parse_number(flag, v, 0.0, 86400.0); }},
    {"", "--verbose", nullptr, "one line per request",
     APPLY { s.verbose = true; }},
    {"", "--help", nullptr, "this text",
     APPLY { options.help = true; }},
};

#undef APPLY

// The flag of that name; "-h" is --help.
const Flag* flag_named(const std::string& name) {
    const std::string& wanted = name == "-h" ? std::string("--help") : name;
    for (const Flag& flag : FLAGS)
        if (wanted == flag.name) return &flag;
    return nullptr;
}

}  // namespace

std::string usage_text() {
    // The help starts in this column; a longer flag is followed by two spaces.
    constexpr size_t HELP_COLUMN = 25;
    std::string text =
        "usage: board_emulator [flags]\n"
        "A stand-in for the accelerator board: answers the board protocol over UDP, models the\n"
        "DDR memory, the fabric registers and the core, and injects faults on request.\n"
        "Runs until Ctrl-C or SIGTERM, then prints a summary.\n";
    for (const Flag& flag : FLAGS) {
        text += flag.before;
        std::string left = std::string("  ") + flag.name;
        if (flag.argument) left += std::string(" ") + flag.argument;
        left.resize(std::max(HELP_COLUMN, left.size() + 2), ' ');
        text += left;
        for (const char c : flag.help) {
            text += c;
            if (c == '\n') text += std::string(HELP_COLUMN, ' ');
        }
        text += '\n';
    }
    return text;
}

ProgramOptions parse_arguments(const std::vector<std::string>& args) {
    ProgramOptions options;
    for (size_t i = 0; i < args.size(); ++i) {
        const auto [flag, inline_value] = split_flag(args[i]);
        const Flag* known = flag_named(flag);
        if (!known) throw UsageError("unknown flag \"" + args[i] + "\"");
        std::string value;
        if (!known->argument) {
            if (inline_value) throw UsageError(flag + " takes no value");
        } else if (inline_value) {
            value = *inline_value;
        } else {
            if (i + 1 >= args.size()) throw UsageError(flag + " needs a value");
            value = args[++i];
        }
        known->apply(options, options.settings, flag, value);
    }
    return options;
}

namespace {

YAML::Node section(const YAML::Node& root, const std::string& name, const std::string& path) {
    const YAML::Node node = yaml_lookup::entry(root, name);
    if (!node || !node.IsMap()) throw ConfigError(path + ": missing section " + name);
    return node;
}

template <typename T>
T key(const YAML::Node& section_node, const std::string& section_name, const std::string& name,
      const std::string& path) {
    const YAML::Node node = yaml_lookup::entry(section_node, name);
    if (!node) throw ConfigError(path + ": missing key " + section_name + "." + name);
    return yaml_lookup::converted<T>(node, [&](const YAML::Mark& mark) {
        throw ConfigError(path + ": key " + section_name + "." + name + " (line " + std::to_string(mark.line + 1) +
                          "): value \"" + (node.IsScalar() ? node.Scalar() : std::string("...")) +
                          "\" does not convert");
    });
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
    const double write_rate_limit = yaml_lookup::entry(network, "write_rate_limit")
                                        ? key<double>(network, "NetworkConfiguration", "write_rate_limit", path)
                                        : 100.0;
    s.drain_mibps = options.drain_mibps ? *options.drain_mibps : 1.25 * write_rate_limit;

    constexpr size_t n = ::network::OUTPUT_CHANNELS;
    std::ifstream file(scaling_path, std::ios::binary);
    if (!file) throw ConfigError("cannot open scaling parameters " + scaling_path);
    const std::vector<char> bytes((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    if (bytes.size() != scaling_file::bytes_for(n))
        throw ConfigError("scaling parameters " + scaling_path + " hold " + std::to_string(bytes.size()) +
                          " bytes, expected " + std::to_string(scaling_file::bytes_for(n)));
    scaling_file::Values values = scaling_file::decode(bytes.data(), n);
    s.output_scale = std::move(values.scale);
    s.output_bias = std::move(values.bias);
}
