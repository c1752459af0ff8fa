#include "platform/owned_thread.hpp"

#include "platform/fatal_handover.hpp"

#include <stdexcept>
#include <string>
#include <utility>

OwnedThread::~OwnedThread() {
    if (thread.joinable() && stop) {
        try {
            stop();
        } catch (...) {
            hand_over_current_error(where);
        }
    }
    join_handing_over();
}

void OwnedThread::start(std::function<void()> body, std::function<void()> stop_) {
    if (thread.joinable()) throw std::logic_error(std::string(where) + ": thread started twice");
    error = nullptr;
    stop = std::move(stop_);
    thread = std::thread([this, body = std::move(body)] { run(body); });
}

void OwnedThread::run(const std::function<void()>& body) {
    try {
        body();
    } catch (...) {
        if (errors == Errors::hand_over) {
            hand_over_current_error(where);
        } else {
            error = std::current_exception();
        }
    }
}

void OwnedThread::join() {
    if (thread.joinable()) thread.join();
    if (error) std::rethrow_exception(std::exchange(error, nullptr));
}

void OwnedThread::stop_and_join() {
    if (thread.joinable() && stop) stop();
    join();
}

void OwnedThread::join_handing_over() noexcept {
    if (thread.joinable()) thread.join();
    if (!error) return;
    try {
        std::rethrow_exception(std::exchange(error, nullptr));
    } catch (...) {
        hand_over_current_error(where);
    }
}
