// One command-line argument taken apart into its flag and the value written
// with it, for the programs that accept both "--flag value" and
// "--flag=value".
#pragma once

#include <optional>
#include <string>

struct FlagArgument {
    std::string flag;
    // The text after the first '=' of a "--" argument, possibly empty;
    // absent when the argument has none (the value, if the flag takes one,
    // is then the next argument).
    std::optional<std::string> value;
};

// "--flag=value" splits at its first '='; any other argument ("--flag",
// "-h", a plain word, "-x=1") is the flag as it stands, without a value.
inline FlagArgument split_flag(const std::string& argument) {
    if (argument.rfind("--", 0) == 0) {
        const auto eq = argument.find('=');
        if (eq != std::string::npos) return {argument.substr(0, eq), argument.substr(eq + 1)};
    }
    return {argument, std::nullopt};
}
