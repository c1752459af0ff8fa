// The configuration reader fed arbitrary text as its file. Either the
// records are filled (a fit that is one of the three, an image folder that
// ends in its separator, limits that agree with each other), or exactly one
// exception_fatal leaves it, whose first line says what is wrong; no other
// exception escapes.
#include "app/configuration.hpp"
#include "platform/fatal_error.hpp"
#include "tests/fuzz/fuzz_support.hpp"
#include "tests/fuzz/scratch_file.hpp"

#include <exception>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz::silence_console();
    const std::string& path = fuzz::scratch_file(data, size);
    Core core;
    Demo demo;
    FileSettings files;
    try {
        read_configuration(path, core, demo, files);
    } catch (const exception_fatal& e) {
        fuzz::require(!e.lines().empty() && !e.lines().front().empty(), "a configuration error without its report");
        return 0;
    } catch (const std::exception& e) {
        std::fprintf(stderr, "%s\n", e.what());
        fuzz::broken("an exception other than exception_fatal left the configuration reader");
    } catch (...) {
        fuzz::broken("an unknown exception left the configuration reader");
    }
    fuzz::require(demo.data_fit != DATA_FIT::NONE, "a configuration accepted without a data fit");
    fuzz::require(!demo.path_image_glob.empty() && demo.path_image_glob.back() == '/',
                  "an image folder without its separator");
    fuzz::require(files.link_limits.reply <= core.limits.completion,
                  "a reply limit longer than the core's completion limit accepted");
    fuzz::require(files.link_limits.read_attempts >= 1 && files.link_limits.fabric_write_ack_attempts >= 1,
                  "an attempt count below one accepted");
    return 0;
}
