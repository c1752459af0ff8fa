#include "platform/owned_thread.hpp"

#include "platform/fatal_handover.hpp"

#include <stdexcept>
#include <string>
#include <utility>

OwnedThread::~OwnedThread() { join_handing_over(); }

void OwnedThread::start(std::function<void()> body) {
    if (thread.joinable()) throw std::logic_error(std::string(where) + ": thread started twice");
    error = nullptr;
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

void OwnedThread::join_handing_over() noexcept {
    if (thread.joinable()) thread.join();
    if (!error) return;
    try {
        std::rethrow_exception(std::exchange(error, nullptr));
    } catch (...) {
        hand_over_current_error(where);
    }
}
