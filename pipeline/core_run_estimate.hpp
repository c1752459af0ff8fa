// How long the core's runs take, learned from the runs just finished, and
// when the completion wait should look for the end of the next one: not
// before shortly ahead of its expected end, then closely for a while, then
// at the slow pace again. Pure arithmetic on durations measured by the
// caller (from the acknowledged start to the sending of the read that saw the
// end), so it holds no clock.
#pragma once

#include <array>
#include <chrono>
#include <cstddef>

class CoreRunEstimate {
public:
    // Runs remembered; the expected length is the shortest of them, since a
    // run's measured length exceeds the time a read needs to see its end by
    // however late that read was sent.
    static constexpr std::size_t WINDOW = 8;
    // The first read comes this long before the expected end, to cover the
    // variation of start acknowledgements and wake-ups.
    static constexpr std::chrono::nanoseconds MARGIN{std::chrono::microseconds(250)};
    // The pause between reads around the expected end.
    static constexpr std::chrono::nanoseconds CLOSE_INTERVAL{std::chrono::microseconds(50)};
    // How long past the expected end reads stay close: a run that lasts much
    // longer is then looked for at the slow pace, not thousands of times.
    static constexpr std::chrono::nanoseconds CLOSE_SPAN{std::chrono::milliseconds(1)};

    // A run that finished after `length`; the oldest of a full window is forgotten.
    void learn(std::chrono::nanoseconds length);
    // Forgets every run.
    void clear() {
        count_ = 0;
        next_ = 0;
    }

    bool known() const { return count_ > 0; }
    // The shortest run remembered; zero when none is.
    std::chrono::nanoseconds expected() const;
    // How long after the run's start the first read is due: MARGIN before
    // the expected end, at once when nothing is known.
    std::chrono::nanoseconds first_read() const;
    // The pause before the next read, `since_start` into the run: the close
    // interval up to CLOSE_SPAN past the expected end, `slow` after it and
    // when nothing is known.
    std::chrono::nanoseconds interval(std::chrono::nanoseconds since_start, std::chrono::nanoseconds slow) const;

private:
    std::array<std::chrono::nanoseconds, WINDOW> lengths_{};
    std::size_t count_ = 0;
    // Where the next run is written: after the newest, over the oldest once the window is full.
    std::size_t next_ = 0;
};
