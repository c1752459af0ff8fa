#include "tools/board_check/check_result.hpp"

#include <iomanip>
#include <sstream>

namespace board_check {

const char* verdict_name(Verdict verdict) {
    switch (verdict) {
        case Verdict::pass: return "PASS";
        case Verdict::warn: return "WARN";
        case Verdict::fail: return "FAIL";
        case Verdict::skip: return "SKIP";
    }
    return "?";
}

std::string table_line(const CheckResult& result) {
    std::ostringstream line;
    line << verdict_name(result.verdict) << "  " << std::left << std::setw(11) << result.name << ' ' << result.figure;
    if (!result.advice.empty()) line << " -- " << result.advice;
    return line.str();
}

Verdict overall(const std::vector<CheckResult>& results) {
    Verdict worst = Verdict::pass;
    for (const CheckResult& r : results) {
        if (r.verdict == Verdict::fail) return Verdict::fail;
        if (r.verdict == Verdict::warn) worst = Verdict::warn;
    }
    return worst;
}

std::string verdict_line(const std::vector<CheckResult>& results) {
    int warnings = 0;
    int failures = 0;
    int skipped = 0;
    for (const CheckResult& r : results) {
        warnings += r.verdict == Verdict::warn;
        failures += r.verdict == Verdict::fail;
        skipped += r.verdict == Verdict::skip;
    }
    std::ostringstream line;
    line << "verdict: " << verdict_name(overall(results)) << " -- ";
    if (failures > 0)
        line << "not ready: " << failures << (failures == 1 ? " check" : " checks") << " failed";
    else if (warnings > 0)
        line << "it will run, with " << warnings << (warnings == 1 ? " warning" : " warnings") << " to look at";
    else
        line << "the board, the link and the settings will hold";
    if (skipped > 0) line << " (" << skipped << " skipped)";
    return line.str();
}

int exit_status(const std::vector<CheckResult>& results) { return overall(results) == Verdict::fail ? 1 : 0; }

std::string fixed(double value, int decimals) {
    std::ostringstream text;
    text << std::fixed << std::setprecision(decimals) << value;
    return text.str();
}

}  // namespace board_check
