// The checks in their order, each after the one before: when the board
// cannot be reached, every later check is skipped.
#pragma once

#include "tools/board_check/checks.hpp"

#include <string>
#include <vector>

namespace board_check {

struct Report {
    std::string board;        // ADDRESS:PORT
    std::string config_path;
    std::vector<CheckResult> results;
    // Lines to paste under NetworkConfiguration; empty when the board was not reached.
    std::vector<std::string> snippet;

    bool reached() const { return !results.empty() && results.front().verdict != Verdict::fail; }
};

Report run_checks(Session& session, const CheckSettings& settings);

// The table as printed: one line per check, the snippet, the verdict. When
// the board was not reached, only the reach line.
std::vector<std::string> report_lines(const Report& report);

}  // namespace board_check
