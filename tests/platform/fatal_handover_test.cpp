#include "platform/fatal_handover.hpp"
#include "platform/fatal_error.hpp"
#include "platform/owned_thread.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <sstream>
#include <stdexcept>
#include <thread>

namespace {

std::atomic<int> notified{0};
void count_notify() { notified.fetch_add(1); }

std::string rethrown_text() {
    try {
        rethrow_handed_over_fatal();
    } catch (const exception_fatal& error) {
        return error.text();
    }
    return "(nothing rethrown)";
}

// Runs `body` on a thread whose errors are handed over, and joins it.
void fail_on_thread(const char* where, std::function<void()> body) {
    OwnedThread thread(where, OwnedThread::Errors::hand_over);
    thread.start(std::move(body));
    thread.join();
}

}  // namespace

// A worker thread's error reaches the main thread as a fatal error with its
// lines; the first one is the one reported, and taking it clears the slot.
TEST(FatalHandover, FirstErrorOfAnyThreadIsRethrownOnceOnTheTakingThread) {
    set_fatal_notify(count_notify);
    notified = 0;
    fail_on_thread("Camera source", [] { throw std::runtime_error("device gone"); });
    fail_on_thread("Display", [] { throw exception_fatal({"FRAME NULL"}); });
    EXPECT_TRUE(fatal_handed_over());
    EXPECT_EQ(notified.load(), 1);
    EXPECT_EQ(rethrown_text(), "ERROR: Camera source: device gone\n");
    EXPECT_FALSE(fatal_handed_over());
    EXPECT_NO_THROW(rethrow_handed_over_fatal());

    fail_on_thread("Display", [] { throw exception_fatal({"FRAME NULL"}); });
    EXPECT_EQ(rethrown_text(), "FRAME NULL\n");
    set_fatal_notify(nullptr);
}

// The lines are written exactly, on the stream they belong to.
TEST(FatalError, WritesItsLinesOnItsStream) {
    std::ostringstream out, err;
    exception_fatal({"ERROR: Invalid image received", "\t image height:0", "\t image width: 0"}).write(out, err);
    EXPECT_EQ(out.str(), "");
    EXPECT_EQ(err.str(), "ERROR: Invalid image received\n\t image height:0\n\t image width: 0\n");
    exception_fatal({"ERROR: Unable to convert character g to hex"}, exception_fatal::Stream::output, false)
        .write(out, err);
    EXPECT_EQ(out.str(), "ERROR: Unable to convert character g to hex");
}

// An owned thread's error is never lost: join() rethrows it once, on the
// joining thread, and an owner destroyed without taking it hands it to the
// main thread; with Errors::hand_over it is handed over as the body ends.
TEST(OwnedThread, CarriesTheBodysErrorToTheJoinerOrHandsItOver) {
    set_fatal_notify(nullptr);
    rethrow_handed_over_fatal();
    OwnedThread worker("Worker");
    worker.start([] { throw std::runtime_error("cycle failed"); });
    EXPECT_THROW(
        {
            try {
                worker.join();
            } catch (const std::runtime_error& error) {
                EXPECT_STREQ(error.what(), "cycle failed");
                throw;
            }
        },
        std::runtime_error);
    worker.join();  // taken once: nothing more to rethrow
    EXPECT_FALSE(fatal_handed_over());

    // Started again after the join; this time nobody joins before the end.
    worker.start([] { throw std::runtime_error("late failure"); });
    worker.join_handing_over();
    EXPECT_EQ(rethrown_text(), "ERROR: Worker: late failure\n");

    {
        OwnedThread dropped("Recorder");
        dropped.start([] { throw exception_fatal({"ERROR: disk full"}); });
    }
    EXPECT_EQ(rethrown_text(), "ERROR: disk full\n");

    OwnedThread source("Image folder source", OwnedThread::Errors::hand_over);
    source.start([] { throw std::runtime_error("folder gone"); });
    // Handed over while the owner has not joined yet.
    for (int i = 0; i < 2000 && !fatal_handed_over(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    EXPECT_EQ(rethrown_text(), "ERROR: Image folder source: folder gone\n");
    source.join();  // nothing kept for the joiner
}

// A body that loops until told to stop: the owner's destructor (and
// stop_and_join) must stop it before joining, or they would wait forever;
// a stop twice, or of a thread never started, is harmless; and the thread
// can be started again once joined.
TEST(OwnedThread, StopsTheBodyBeforeJoiningAndStartsAgainOnceJoined) {
    std::mutex mutex;
    std::condition_variable wake;
    bool stopping = false;
    int runs = 0;
    auto body = [&] {
        std::unique_lock<std::mutex> lock(mutex);
        ++runs;
        wake.wait(lock, [&] { return stopping; });
    };
    auto stop = [&] {
        std::lock_guard<std::mutex> lock(mutex);
        stopping = true;
        wake.notify_all();
    };
    {
        OwnedThread loop("Loop");
        loop.stop_and_join();  // never started: nothing to do
        loop.start(body, stop);
        EXPECT_THROW(loop.start(body, stop), std::logic_error);
        loop.stop_and_join();
        loop.stop_and_join();
        EXPECT_FALSE(loop.running());
        stopping = false;
        loop.start(body, stop);
    }  // the destructor stops and joins the second run
    EXPECT_EQ(runs, 2);
}
