#include "platform/flag_argument.hpp"

FlagArgument split_flag(const std::string& argument) {
    if (argument.rfind("--", 0) == 0) {
        const auto eq = argument.find('=');
        if (eq != std::string::npos) return {argument.substr(0, eq), argument.substr(eq + 1)};
    }
    return {argument, std::nullopt};
}
