// make_sample_data: writes the demonstrator's sample data into a folder.
#include "tools/sample_data.hpp"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <iostream>
#include <string>

namespace {

void usage(std::ostream& out) {
    out << "usage: make_sample_data [options] [FOLDER]\n"
           "Writes logos, scaling parameters, a weights file and sample scenes with ground truth\n"
           "into FOLDER (default ../data). The output is the same on every run.\n"
           "  --if-missing          write only the files that do not exist yet\n"
           "  --weights-mib N       size of the weight image in MiB (default 1)\n"
           "  --weights-bytes N     size of the weight image in bytes (rounded up to 64-byte words)\n"
           "  --weights-name NAME   file name of the weights (default weights.txt)\n"
           "  --weights-only        write only the weights file\n"
           "  --quiet               do not list the files written\n"
           "  --help                this text\n";
}

bool parse_count(const char* text, uint64_t& value) {
    if (!text || !*text || *text == '-') return false;
    char* end = nullptr;
    errno = 0;
    const unsigned long long v = std::strtoull(text, &end, 10);
    if (errno != 0 || *end != '\0') return false;
    value = v;
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    sample_data::Options options;
    bool quiet = false;
    bool folder_given = false;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        const char* next = i + 1 < argc ? argv[i + 1] : nullptr;
        uint64_t n = 0;
        if (arg == "--help" || arg == "-h") {
            usage(std::cout);
            return 0;
        } else if (arg == "--if-missing") {
            options.only_missing = true;
        } else if (arg == "--weights-only") {
            options.weights_only = true;
        } else if (arg == "--quiet") {
            quiet = true;
        } else if (arg == "--weights-mib" && parse_count(next, n) && n > 0 && n <= 4096) {
            options.weight_bytes = n << 20;
            ++i;
        } else if (arg == "--weights-bytes" && parse_count(next, n) && n > 0 && n <= (uint64_t{4096} << 20)) {
            options.weight_bytes = n;
            ++i;
        } else if (arg == "--weights-name" && next && *next && std::strchr(next, '/') == nullptr) {
            options.weights_name = next;
            ++i;
        } else if (!arg.empty() && arg[0] != '-' && !folder_given) {
            options.folder = arg;
            folder_given = true;
        } else {
            std::cerr << "ERROR: make_sample_data: bad argument '" << arg << "'" << std::endl;
            usage(std::cerr);
            return 2;
        }
    }
    try {
        std::ostream null_stream(nullptr);
        const int written = sample_data::generate(options, quiet ? null_stream : std::cout);
        std::cout << "make_sample_data: " << written << " file(s) written to " << options.folder << std::endl;
    } catch (const std::exception& e) {
        std::cerr << "ERROR: make_sample_data: " << e.what() << std::endl;
        return 1;
    }
    return 0;
}
