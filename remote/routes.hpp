// What the stream server answers to a request line: the four things it
// serves, or a refusal. A pure function of the method and the path, so that
// anything a client may send can be fed to it directly.
#pragma once

#include <string_view>

enum class Route {
    page,        // GET /             the viewing page
    stream,      // GET /stream.mjpg  the canvases as multipart JPEG
    stats,       // GET /stats.json   the latest figures
    detections,  // GET /detections.json  the latest frame's detections
    not_found,   // GET of any other path: 404
    bad_request  // any other method, or a path that is not absolute: 400
};

// `method` as sent (methods are case-sensitive), `path` without the query.
Route route_request(std::string_view method, std::string_view path);

// The status code a route is answered with.
int route_status(Route route);
