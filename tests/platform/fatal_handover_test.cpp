#include "platform/fatal_handover.hpp"
#include "platform/fatal_error.hpp"

#include <gtest/gtest.h>

#include <atomic>
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

}  // namespace

// A worker thread's error reaches the main thread as a fatal error with its
// lines; the first one is the one reported, and taking it clears the slot.
TEST(FatalHandover, FirstErrorOfAnyThreadIsRethrownOnceOnTheTakingThread) {
    set_fatal_notify(count_notify);
    notified = 0;
    std::thread first([] {
        run_handing_over("Camera source", [] { throw std::runtime_error("device gone"); });
    });
    first.join();
    std::thread second([] { run_handing_over("Display", [] { throw exception_fatal({"FRAME NULL"}); }); });
    second.join();
    EXPECT_TRUE(fatal_handed_over());
    EXPECT_EQ(notified.load(), 1);
    EXPECT_EQ(rethrown_text(), "ERROR: Camera source: device gone\n");
    EXPECT_FALSE(fatal_handed_over());
    EXPECT_NO_THROW(rethrow_handed_over_fatal());

    std::thread third([] { run_handing_over("Display", [] { throw exception_fatal({"FRAME NULL"}); }); });
    third.join();
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
