#include "app/session_summary.hpp"

#include <cmath>
#include <cstdio>

std::string session_summary(const NamedValues& values) {
    std::string text = "INFO: Session summary\n";
    for (const auto& [name, value] : values) {
        char number[64];
        // Counts as whole numbers, rates and times to the microsecond.
        if (std::floor(value) == value && std::fabs(value) < 1e15)
            std::snprintf(number, sizeof number, "%.0f", value);
        else
            std::snprintf(number, sizeof number, "%.3f", value);
        text += "\t" + name + ":\t" + number + "\n";
    }
    return text;
}
