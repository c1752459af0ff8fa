// The report as JSON: the same verdicts, lines and figures as the table.
#pragma once

#include "tools/board_check/run_checks.hpp"

#include <ostream>
#include <string>

namespace board_check {

void write_json(std::ostream& out, const Report& report);

}  // namespace board_check
