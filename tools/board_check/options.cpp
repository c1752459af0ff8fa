#include "tools/board_check/options.hpp"

#include "records/flag_argument.hpp"
#include "records/configuration_path.hpp"

namespace board_check {

Options parse_options(const std::vector<std::string>& args) {
    Options options;
    options.config_path = CONFIGURATION_PATH;
    for (size_t i = 0; i < args.size(); ++i) {
        const FlagArgument argument = split_flag(args[i]);
        const std::string& flag = argument.flag;
        const auto take = [&]() {
            if (argument.value) return *argument.value;
            if (i + 1 >= args.size()) throw OptionsError(flag + " needs a value");
            return args[++i];
        };
        const auto no_value = [&]() {
            if (argument.value) throw OptionsError(flag + " takes no value");
        };
        if (flag == "--config") {
            options.config_path = take();
            if (options.config_path.empty()) throw OptionsError("--config needs a file");
        } else if (flag == "--json") {
            options.json_path = take();
            if (options.json_path.empty()) throw OptionsError("--json needs a file");
        } else if (flag == "--weights") {
            no_value();
            options.weights = true;
        } else if (flag == "--verbose") {
            no_value();
            options.verbose = true;
        } else if (flag == "--help" || flag == "-h") {
            no_value();
            options.help = true;
        } else {
            throw OptionsError("unknown option " + args[i]);
        }
    }
    return options;
}

std::string usage() {
    return std::string("usage: board_check [options]\n"
                       "Checks the board, the link and the link settings of the configuration before a show:\n"
                       "reach, reply times and loss, registers, memory, throughput, one core run, and the link\n"
                       "limits that suit what was measured. One line per check: PASS, WARN or FAIL.\n"
                       "Exit status: 0 nothing failed, 1 a check failed, 2 bad options or configuration.\n"
                       "  --config PATH   the configuration [") +
           CONFIGURATION_PATH +
           "]\n"
           "  --json FILE     also write the results as JSON\n"
           "  --weights       also upload the configured weights and read them back (the weights area\n"
           "                  is not touched otherwise)\n"
           "  --verbose       the link's own messages on the error stream\n"
           "  --help          this text\n";
}

}  // namespace board_check
