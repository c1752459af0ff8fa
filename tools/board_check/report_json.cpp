#include "tools/board_check/report_json.hpp"

#include "postprocess/json_text.hpp"

#include <cmath>
#include <cstdio>
#include <sstream>

namespace board_check {

namespace {

std::string json_number(double value) {
    if (!std::isfinite(value)) return "null";
    std::ostringstream text;
    text.precision(10);
    text << value;
    return text.str();
}

}  // namespace


void write_json(std::ostream& out, const Report& report) {
    out << "{\n  \"board\": " << json_string(report.board) << ",\n  \"configuration\": "
        << json_string(report.config_path) << ",\n  \"checks\": [";
    for (size_t i = 0; i < report.results.size(); ++i) {
        const CheckResult& r = report.results[i];
        out << (i == 0 ? "\n" : ",\n") << "    {\"name\": " << json_string(r.name)
            << ", \"verdict\": " << json_string(verdict_name(r.verdict)) << ", \"figure\": " << json_string(r.figure)
            << ", \"advice\": " << json_string(r.advice) << ", \"line\": " << json_string(table_line(r))
            << ",\n     \"figures\": {";
        for (size_t k = 0; k < r.figures.size(); ++k)
            out << (k == 0 ? "" : ", ") << json_string(r.figures[k].first) << ": " << json_number(r.figures[k].second);
        out << "}}";
    }
    out << "\n  ],\n  \"recommended\": [";
    for (size_t i = 0; i < report.snippet.size(); ++i) out << (i == 0 ? "" : ", ") << json_string(report.snippet[i]);
    out << "],\n  \"verdict\": " << json_string(verdict_name(overall(report.results)))
        << ",\n  \"verdict_line\": " << json_string(verdict_line(report.results))
        << ",\n  \"exit_status\": " << exit_status(report.results) << "\n}\n";
}

}  // namespace board_check
