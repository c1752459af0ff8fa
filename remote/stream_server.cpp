#include "remote/stream_server.hpp"

#include "platform/fatal_error.hpp"
#include "platform/owned_thread.hpp"
#include "remote/page.hpp"
#include "remote/routes.hpp"

#include <httplib.h>
#include <opencv2/imgcodecs.hpp>

#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <vector>

namespace {

constexpr const char* BOUNDARY = "frame";

// Scheduling priority of the encoding thread (0 normal, 19 lowest): on a busy
// machine viewers get fewer canvases rather than the show fewer frames.
constexpr int ENCODER_NICENESS = 10;

// Threads for requests besides the streams: the page, the figures and the
// 503 answers stay served while every stream slot is taken.
constexpr size_t SPARE_THREADS = 4;

template <class Rep, class Period>
std::pair<time_t, time_t> seconds_and_micros(std::chrono::duration<Rep, Period> d) {
    const auto us = std::chrono::duration_cast<std::chrono::microseconds>(d).count();
    return {static_cast<time_t>(us / 1000000), static_cast<time_t>(us % 1000000)};
}

}  // namespace

struct StreamServer::Impl {
    Impl(std::shared_ptr<LiveFigures> figures_, std::function<bool()> should_end_, StreamLimits limits_)
        : figures(std::move(figures_)), should_end(std::move(should_end_)), limits(limits_) {}

    std::shared_ptr<LiveFigures> figures;
    std::function<bool()> should_end;
    StreamLimits limits;
    httplib::Server server;
    int bound_port = 0;

    // The newest JPEG, its number, and the stop: under `mutex`.
    std::mutex mutex;
    std::condition_variable jpeg_came;    // a new JPEG, or the stop
    std::condition_variable clients_changed;
    std::shared_ptr<const std::string> jpeg;
    uint64_t jpeg_number = 0;
    bool stopping = false;

    std::atomic<uint64_t> clients{0};
    std::atomic<uint64_t> encoded{0};
    std::atomic<uint64_t> sent{0};
    std::atomic<uint64_t> dropped{0};
    std::atomic<uint64_t> refused{0};
    std::once_flag ended;
    // Last, so that they are stopped and joined before the members they use
    // go. An error of either ends the program.
    OwnedThread listener{"Stream server", OwnedThread::Errors::hand_over};
    OwnedThread encoder{"Stream server", OwnedThread::Errors::hand_over};

    // Takes one of the stream slots for as long as it lives.
    struct Slot {
        explicit Slot(Impl& impl_) : impl(impl_) {}
        ~Slot() {
            {
                std::lock_guard<std::mutex> lock(impl.mutex);
                impl.clients.fetch_sub(1);
            }
            impl.clients_changed.notify_all();
        }
        Impl& impl;
    };

    void answer(const httplib::Request& request, httplib::Response& response) {
        const Route route = route_request(request.method, request.path);
        response.status = route_status(route);
        response.set_header("Cache-Control", "no-store");
        response.set_header("Connection", "close");
        switch (route) {
            case Route::page:
                response.set_content(viewing_page(), "text/html; charset=utf-8");
                break;
            case Route::stats:
                response.set_content(figures->stats_json(stream_members()), "application/json");
                break;
            case Route::detections:
                response.set_content(figures->detections_json(), "application/json");
                break;
            case Route::stream:
                start_stream(response);
                break;
            case Route::not_found:
                response.set_content("Not found\n", "text/plain");
                break;
            case Route::bad_request:
                response.set_content("Bad request\n", "text/plain");
                break;
        }
    }

    std::string stream_members() const {
        const StreamCounts c = counts();
        return "\"stream\":{\"clients\":" + std::to_string(c.clients) + ",\"encoded\":" + std::to_string(c.encoded) +
               ",\"sent\":" + std::to_string(c.sent) + ",\"dropped\":" + std::to_string(c.dropped) +
               ",\"refused\":" + std::to_string(c.refused) + "}";
    }

    StreamCounts counts() const {
        return StreamCounts{clients.load(), encoded.load(), sent.load(), dropped.load(), refused.load()};
    }

    void start_stream(httplib::Response& response) {
        std::shared_ptr<Slot> slot;
        {
            std::lock_guard<std::mutex> lock(mutex);
            if (!stopping && clients.load() < limits.max_clients) {
                clients.fetch_add(1);
                slot = std::make_shared<Slot>(*this);
            }
        }
        if (!slot) {
            refused.fetch_add(1);
            response.status = 503;
            response.set_content("Too many viewers\n", "text/plain");
            return;
        }
        clients_changed.notify_all();
        uint64_t last = 0;
        // Sent as it comes, without a length and without chunks, until the
        // closing boundary and the connection's end: what every browser and
        // MJPEG player reads.
        response.set_content_provider(
            std::string("multipart/x-mixed-replace; boundary=") + BOUNDARY,
            [this, slot, last](size_t, httplib::DataSink& sink) mutable { return send_part(sink, last); });
    }

    // Writes the newest JPEG when it is newer than the last one sent; after
    // the stop, the closing boundary. False drops the client.
    bool send_part(httplib::DataSink& sink, uint64_t& last) {
        std::shared_ptr<const std::string> part;
        uint64_t number = 0;
        {
            std::unique_lock<std::mutex> lock(mutex);
            jpeg_came.wait_for(lock, limits.poll, [&] { return stopping || (jpeg && jpeg_number > last); });
            if (stopping) {
                lock.unlock();
                const std::string closing = std::string("--") + BOUNDARY + "--\r\n";
                if (sink.write(closing.data(), closing.size())) sink.done();
                return true;
            }
            if (!jpeg || jpeg_number <= last) return true;
            part = jpeg;
            number = jpeg_number;
        }
        const std::string head = std::string("--") + BOUNDARY + "\r\nContent-Type: image/jpeg\r\nContent-Length: " +
                                 std::to_string(part->size()) + "\r\n\r\n";
        if (!sink.write(head.data(), head.size()) || !sink.write(part->data(), part->size()) ||
            !sink.write("\r\n", 2)) {
            dropped.fetch_add(1);
            return false;
        }
        last = number;
        sent.fetch_add(1);
        return true;
    }

    // The encoding thread: while someone watches, each new canvas becomes
    // the newest JPEG.
    void encode() {
        // Failing to lower the priority changes nothing else.
        ::setpriority(PRIO_PROCESS, static_cast<id_t>(::syscall(SYS_gettid)), ENCODER_NICENESS);
        uint64_t canvas_number = 0;
        std::vector<uchar> buffer;
        const std::vector<int> parameters{cv::IMWRITE_JPEG_QUALITY, limits.jpeg_quality};
        for (;;) {
            if (should_end && should_end()) end_streams();
            {
                std::unique_lock<std::mutex> lock(mutex);
                if (stopping) return;
                if (clients.load() == 0) {
                    // Nobody watches: nothing is encoded, and a viewer who
                    // comes later starts with the canvas shown then.
                    jpeg.reset();
                    clients_changed.wait_for(lock, limits.poll, [&] { return stopping || clients.load() > 0; });
                    continue;
                }
            }
            const LiveCanvas canvas = figures->wait_canvas(canvas_number, limits.poll);
            if (!canvas.image || canvas.image->empty()) continue;
            canvas_number = canvas.sequence;
            buffer.clear();
            if (!cv::imencode(".jpg", *canvas.image, buffer, parameters)) continue;
            auto encoded_jpeg = std::make_shared<const std::string>(buffer.begin(), buffer.end());
            {
                std::lock_guard<std::mutex> lock(mutex);
                jpeg = std::move(encoded_jpeg);
                jpeg_number += 1;
            }
            encoded.fetch_add(1);
            jpeg_came.notify_all();
        }
    }

    // Ends the streams, waits (bounded) for their clients to be let go, and
    // closes the port. Runs once, on whichever thread comes first.
    void end_streams() {
        std::call_once(ended, [this] {
            {
                std::unique_lock<std::mutex> lock(mutex);
                stopping = true;
                jpeg_came.notify_all();
                clients_changed.notify_all();
                // A stream ends at its next look (or when its write limit
                // drops a client that takes nothing any more).
                clients_changed.wait_for(lock, limits.poll + limits.write_limit,
                                         [&] { return clients.load() == 0; });
            }
            server.stop();
        });
    }
};

StreamServer::StreamServer(std::shared_ptr<LiveFigures> figures, const std::string& host, int port,
                           std::function<bool()> should_end, StreamLimits limits)
    : impl(std::make_unique<Impl>(std::move(figures), std::move(should_end), limits)) {
    Impl& s = *impl;
    const size_t threads = limits.max_clients + SPARE_THREADS;
    s.server.new_task_queue = [threads] { return new httplib::ThreadPool(threads); };
    const auto read = seconds_and_micros(limits.read_limit);
    const auto write = seconds_and_micros(limits.write_limit);
    s.server.set_read_timeout(read.first, read.second);
    s.server.set_write_timeout(write.first, write.second);
    s.server.set_keep_alive_max_count(1);
    s.server.set_keep_alive_timeout(std::max<time_t>(1, read.first));
    s.server.set_pre_routing_handler([&s](const httplib::Request& request, httplib::Response& response) {
        s.answer(request, response);
        return httplib::Server::HandlerResponse::Handled;
    });

    s.bound_port = port == 0 ? s.server.bind_to_any_port(host) : (s.server.bind_to_port(host, port) ? port : -1);
    if (s.bound_port <= 0) {
        throw exception_fatal({"ERROR: Cannot serve the stream", "\tAddress:\t" + host + ":" + std::to_string(port)});
    }
    const auto end = [&s] { s.end_streams(); };
    s.listener.start([&s] { s.server.listen_after_bind(); }, end);
    s.encoder.start([&s] { s.encode(); }, end);
}

StreamServer::~StreamServer() { stop(); }

int StreamServer::port() const { return impl->bound_port; }

void StreamServer::stop() {
    impl->end_streams();
    impl->encoder.join();
    impl->listener.join();
}

StreamCounts StreamServer::counts() const { return impl->counts(); }
