#include "platform/sleep.hpp"

#include <gtest/gtest.h>

#include <pthread.h>
#include <signal.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

using namespace std::chrono_literals;

namespace {
std::atomic<int> signals_seen{0};
}

TEST(SleepFull, LastsItsWholeDurationThroughInterruptingSignals) {
    struct sigaction counting {};
    counting.sa_handler = [](int) { signals_seen.fetch_add(1); };
    sigemptyset(&counting.sa_mask);
    struct sigaction previous {};
    sigaction(SIGUSR2, &counting, &previous);

    const pthread_t sleeper = pthread_self();
    std::mutex mutex;
    std::condition_variable changed;
    bool done = false;
    std::thread interrupter([&] {
        std::unique_lock<std::mutex> lock(mutex);
        while (!changed.wait_for(lock, 10ms, [&] { return done; })) pthread_kill(sleeper, SIGUSR2);
    });

    const auto start = std::chrono::steady_clock::now();
    sleep_full(300ms);
    const auto elapsed = std::chrono::steady_clock::now() - start;
    {
        std::lock_guard<std::mutex> lock(mutex);
        done = true;
    }
    changed.notify_one();
    interrupter.join();
    sigaction(SIGUSR2, &previous, nullptr);

    EXPECT_GE(elapsed, 300ms);
    EXPECT_GT(signals_seen.load(), 0);
}
