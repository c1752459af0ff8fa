#include "pipeline/fps_measure.hpp"

#include <iomanip>
#include <sstream>

FpsMeasure::FpsMeasure() : frame_start_time(CLOCK()) {}

void FpsMeasure::frame_start() { frame_start_time = CLOCK(); }

void FpsMeasure::frame_end() {
    const auto elapsed = std::chrono::duration_cast<std::chrono::nanoseconds>(CLOCK() - frame_start_time);
    const int64_t d = elapsed.count() / 1000;
    total_us += d;
    last_us = d;
    window_sum_us -= window[window_pos];
    window[window_pos] = d;
    window_sum_us += d;
    if (window_count < WINDOW_SIZE) ++window_count;
    ++frame_count;
    window_pos = (window_pos + 1) % WINDOW_SIZE;
}

int64_t FpsMeasure::avgdur() {
    avg_us = frame_count > 0 ? total_us / frame_count : 0;
    return avg_us;
}

double FpsMeasure::avgfps() {
    avg_fps = frame_count > 0 ? 1000000.0 / static_cast<double>(avg_us) : 0.0;
    return avg_fps;
}

int64_t FpsMeasure::recentdur() {
    recent_us = window_count > 0 ? window_sum_us / window_count : 0;
    return recent_us;
}

double FpsMeasure::recentfps() {
    recent_fps = window_count > 0 ? 1000000.0 / static_cast<double>(recent_us) : 0.0;
    return recent_fps;
}

double FpsMeasure::get_fps() {
    avgdur();
    return avgfps();
}

double FpsMeasure::get_recent_fps() {
    recentdur();
    return recentfps();
}

void FpsMeasure::reset() {
    total_us = 0;
    window_sum_us = 0;
    window_pos = 0;
    window_count = 0;
    frame_count = 0;
    window.fill(0);
}

std::string FpsMeasure::print() {
    get_fps();
    get_recent_fps();
    std::ostringstream line;
    line << std::fixed << std::setprecision(3);
    const auto number = [&line](double value) -> std::ostream& { return line << std::setw(7) << value; };
    line << "(avg/recent/now) " << "duration [ms]";
    number(avg_us / 1000.0) << "/";
    number(recent_us / 1000.0) << "/";
    number(last_us / 1000.0);
    line << " | " << "fps ";
    number(avg_fps) << "/";
    number(recent_fps) << "/";
    number(1000000.0 / static_cast<double>(last_us));
    line << " | " << "frameno " << std::setw(3) << frame_count;
    return line.str();
}
