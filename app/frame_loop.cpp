#include "app/frame_loop.hpp"

#include "app/board.hpp"

void report_loop_reset(const exception_reset& error) {
    if (end_requested()) {
        // The end the user asked for comes first: the board is not reset.
        std::cerr << "INFO: stopped with the last core run unfinished: " << error.what() << std::endl;
    } else {
        std::cerr << "Caught exception" << std::endl;
        std::cerr << error.what() << std::endl;
    }
    reset.store(true);
    stop.store(true);
}
