// The page's request routing fed arbitrary request lines: the bytes up to
// the first space are the method, the rest is the path. Every input must get
// one of the defined answers: one of the four things served (200) only for
// GET of its exact path, 400 for any other method or a path that is not
// absolute, 404 for every other GET.
#include "remote/routes.hpp"
#include "tests/fuzz/fuzz_support.hpp"

#include <cstddef>
#include <cstdint>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view line(reinterpret_cast<const char*>(data), size);
    const size_t space = line.find(' ');
    const std::string_view method = line.substr(0, space);
    const std::string_view path = space == std::string_view::npos ? std::string_view() : line.substr(space + 1);

    const Route route = route_request(method, path);
    const int status = route_status(route);
    const bool get = method == "GET";
    const bool absolute = !path.empty() && path.front() == '/';
    switch (route) {
        case Route::page:
            fuzz::require(get && path == "/", "the page served for another request");
            break;
        case Route::stream:
            fuzz::require(get && path == "/stream.mjpg", "the stream served for another request");
            break;
        case Route::stats:
            fuzz::require(get && path == "/stats.json", "the figures served for another request");
            break;
        case Route::detections:
            fuzz::require(get && path == "/detections.json", "the detections served for another request");
            break;
        case Route::not_found:
            fuzz::require(get && absolute && status == 404, "404 for a request that is not a GET of a path");
            break;
        case Route::bad_request:
            fuzz::require((!get || !absolute) && status == 400, "400 for a GET of an absolute path");
            break;
        default:
            fuzz::broken("an answer that is none of the defined ones");
    }
    const bool served = route == Route::page || route == Route::stream || route == Route::stats ||
                        route == Route::detections;
    fuzz::require(served == (status == 200), "a status that does not match the answer");
    return 0;
}
