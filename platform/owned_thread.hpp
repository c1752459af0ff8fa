// The one way this program owns a thread. start() runs a body (usually a
// member function of the owner) on a new thread; whatever error leaves the
// body is kept, and join() rethrows it on the joining thread. The destructor
// joins too, and hands a kept error that nobody took to the main thread
// (hand_over_fatal) instead of dropping it.
//
// A body that must tell the main thread at once, while it still runs (a
// source's loop, the window loop), is started with Errors::hand_over: its
// error goes to hand_over_current_error(where) as it leaves the body.
//
// The owner tells start() how to stop the body (set its flag, wake its wait):
// stop_and_join() and the destructor run that before they join. Declare the
// OwnedThread after every member the body or its stop uses, so that it is
// destroyed first: the owner's destructor then has nothing to do for it.
#pragma once

#include <exception>
#include <functional>
#include <thread>
#include <utility>

class OwnedThread {
public:
    enum class Errors {
        // Kept for join(); handed over by the destructor if nobody took it.
        to_joiner,
        // Handed over to the main thread as the body ends with it.
        hand_over,
    };

    explicit OwnedThread(const char* where, Errors errors = Errors::to_joiner) : where(where), errors(errors) {}
    ~OwnedThread();
    OwnedThread(const OwnedThread&) = delete;
    OwnedThread& operator=(const OwnedThread&) = delete;

    // Runs `body` on a new thread; `stop`, when given, makes it return. A
    // thread still running is an error (std::logic_error): it is joined first
    // by whoever starts it again.
    void start(std::function<void()> body, std::function<void()> stop = {});
    template <class Owner>
    void start(void (Owner::*member)(), Owner* owner, std::function<void()> stop = {}) {
        start([member, owner] { (owner->*member)(); }, std::move(stop));
    }

    // Waits for the body's end, then rethrows the error that left it, once.
    // Does nothing when no thread was started or it was joined already.
    void join();
    // join(), with the kept error handed over instead of rethrown: for
    // destructors and stop paths that must not throw.
    void join_handing_over() noexcept;
    // Runs the stop given to start() (when a thread runs), then join().
    void stop_and_join();

    bool running() const { return thread.joinable(); }
    std::thread::id id() const { return thread.get_id(); }

private:
    void run(const std::function<void()>& body);

    const char* where;
    Errors errors;
    std::function<void()> stop;
    std::thread thread;
    // Written by the thread before it ends, read after the join.
    std::exception_ptr error;
};
