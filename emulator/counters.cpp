#include "emulator/counters.hpp"

#include <sstream>

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
