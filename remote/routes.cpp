#include "remote/routes.hpp"

Route route_request(std::string_view method, std::string_view path) {
    if (method != "GET") return Route::bad_request;
    if (path.empty() || path.front() != '/') return Route::bad_request;
    if (path == "/") return Route::page;
    if (path == "/stream.mjpg") return Route::stream;
    if (path == "/stats.json") return Route::stats;
    if (path == "/detections.json") return Route::detections;
    return Route::not_found;
}

int route_status(Route route) {
    switch (route) {
        case Route::not_found:
            return 404;
        case Route::bad_request:
            return 400;
        default:
            return 200;
    }
}
