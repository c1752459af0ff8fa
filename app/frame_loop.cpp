#include "app/frame_loop.hpp"

#include "app/board.hpp"

void report_loop_reset(const exception_reset& error) {
    std::cerr << "Caught exception" << std::endl;
    std::cerr << error.what() << std::endl;
    reset.store(true);
    stop.store(true);
}
