// What one check of board_check found: its verdict, the figure it prints,
// for a warning or a failure what it means and what to try, and the numbers
// behind the figure (the JSON report carries them).
#pragma once

#include <string>
#include <utility>
#include <vector>

namespace board_check {

enum class Verdict { pass, warn, fail, skip };

// "PASS", "WARN", "FAIL", "SKIP".
const char* verdict_name(Verdict verdict);

struct CheckResult {
    explicit CheckResult(std::string check_name = std::string()) : name(std::move(check_name)) {}

    std::string name;
    Verdict verdict = Verdict::skip;
    std::string figure;
    // What a WARN or FAIL means and what to try; empty for PASS and SKIP.
    std::string advice;
    std::vector<std::pair<std::string, double>> figures;

    CheckResult& set(Verdict v, std::string figure_text, std::string advice_text = std::string()) {
        verdict = v;
        figure = std::move(figure_text);
        advice = std::move(advice_text);
        return *this;
    }
    CheckResult& add(std::string figure_name, double value) {
        figures.emplace_back(std::move(figure_name), value);
        return *this;
    }
};

// The check's line of the table: verdict, name, figure and, after " -- ",
// the advice.
std::string table_line(const CheckResult& result);

// The worst verdict of the checks that ran (PASS when all passed or were skipped).
Verdict overall(const std::vector<CheckResult>& results);

// The last line of the table.
std::string verdict_line(const std::vector<CheckResult>& results);

// 0 when nothing failed, 1 when a check failed.
int exit_status(const std::vector<CheckResult>& results);

// A number with `decimals` digits after the point.
std::string fixed(double value, int decimals);

}  // namespace board_check
