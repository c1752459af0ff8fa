// The show as a web page: an HTTP server that hands out the viewing page,
// the canvases as a multipart JPEG stream, and the latest figures and
// detections as JSON, all taken from a LiveFigures record.
//
// Each canvas is encoded once, by a thread of the server's own and only
// while someone watches. Each client is sent the newest JPEG whenever it is
// ready for one: a slow client skips canvases, and a client that stops
// reading is dropped after the write limit, without holding up the show or
// the others. At most `max_clients` streams run at once; more are answered
// 503. Every request is answered on a connection of its own, which is then
// closed. No file is ever served.
#pragma once

#include "remote/live_figures.hpp"

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

struct StreamLimits {
    size_t max_clients = 8;
    // A client that takes no data for this long is dropped.
    std::chrono::milliseconds write_limit{500};
    // A connection that has not sent its request after this long is closed.
    std::chrono::milliseconds read_limit{1000};
    // How often waiting threads look for a stop.
    std::chrono::milliseconds poll{100};
    int jpeg_quality = 80;
};

struct StreamCounts {
    uint64_t clients = 0;  // streams running now
    uint64_t encoded = 0;  // canvases encoded
    uint64_t sent = 0;     // JPEG parts written, over all clients
    uint64_t dropped = 0;  // clients dropped because they stopped taking data
    uint64_t refused = 0;  // streams answered 503
};

class StreamServer {
public:
    // Serves on `host`:`port` (port 0: a free port the system picks) from a
    // thread of its own, and returns once the port is open. `should_end`,
    // looked at every `poll`, stops the server when it returns true. Raises
    // exception_fatal naming the address when it cannot be served.
    StreamServer(std::shared_ptr<LiveFigures> figures, const std::string& host, int port,
                 std::function<bool()> should_end = {}, StreamLimits limits = {});
    ~StreamServer();
    StreamServer(const StreamServer&) = delete;
    StreamServer& operator=(const StreamServer&) = delete;

    int port() const;

    // Ends every stream (with the closing boundary, for a client that still
    // reads), closes the port and joins the server's threads. Harmless when
    // called again.
    void stop();

    StreamCounts counts() const;

private:
    struct Impl;
    std::unique_ptr<Impl> impl;
};
