#include "tools/board_check/run_checks.hpp"

#include "platform/fatal_error.hpp"

#include <exception>
#include <functional>

namespace board_check {

namespace {

// A link error that escapes a check (a send that fails, a read of the
// weights that times out where none was expected) fails that check, not
// the run.
CheckResult guarded(const char* name, const std::function<CheckResult()>& check) {
    try {
        return check();
    } catch (const exception_fatal&) {
        throw;
    } catch (const std::exception& error) {
        CheckResult r{name};
        const std::string what = error.what();
        return r.set(Verdict::fail, "stopped by a link error" + (what.empty() ? std::string() : ": " + what),
                     "the board stopped answering during the check; reset it and run board_check again");
    }
}

}  // namespace

Report run_checks(Session& session, const CheckSettings& settings) {
    Report report;
    report.board = session.board();
    report.config_path = session.config_path();
    report.results.push_back(guarded("reach", [&] { return check_reach(session); }));
    const bool reached = report.reached();
    const std::vector<std::pair<const char*, std::function<CheckResult()>>> rest{
        {"replies", [&] { return check_replies(session, settings); }},
        {"registers", [&] { return check_registers(session); }},
        {"memory", [&] { return check_memory(session, settings); }},
        {"throughput", [&] { return check_throughput(session); }},
        {"core run", [&] { return check_core_run(session); }},
    };
    for (const auto& [name, check] : rest) {
        if (!reached) {
            CheckResult skipped{name};
            report.results.push_back(skipped.set(Verdict::skip, "skipped: the board was not reached"));
            continue;
        }
        report.results.push_back(guarded(name, check));
    }
    if (!reached) {
        CheckResult skipped{"limits"};
        report.results.push_back(skipped.set(Verdict::skip, "skipped: the board was not reached"));
        return report;
    }
    const Recommendation rec = recommend(session);
    report.results.push_back(check_recommendation(session, rec));
    report.snippet = rec.yaml_lines();
    return report;
}

std::vector<std::string> report_lines(const Report& report) {
    if (!report.reached()) return {table_line(report.results.front())};
    std::vector<std::string> lines;
    for (const CheckResult& r : report.results) lines.push_back(table_line(r));
    lines.push_back("# under NetworkConfiguration:");
    for (const std::string& line : report.snippet) lines.push_back(line);
    lines.push_back(verdict_line(report.results));
    return lines;
}

}  // namespace board_check
