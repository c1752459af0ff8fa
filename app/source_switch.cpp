#include "app/source_switch.hpp"

#include "app/board.hpp"
#include "app/end_request.hpp"
#include "platform/fatal_error.hpp"

#include <iostream>
#include <string>

uint64_t initial_stream_index(DATA_SOURCE data_source) {
    switch (data_source) {
        case DATA_SOURCE::CAPTURE:
            return 0;
        case DATA_SOURCE::IMAGE:
            return 1;
        case DATA_SOURCE::VIDEO:
            return 2;
        case DATA_SOURCE::PACKED:
            throw exception_fatal({"ERROR: Data source PACKED not yet implemented"});
        default:
            throw exception_fatal({"ERROR: Unknown data source selected"});
    }
}

void require_initial_stream(Stream& stream, DATA_SOURCE data_source) {
    std::string message;
    if (stream.okay(message)) return;
    throw exception_fatal({"ERROR: Unable to initialise initial stream",
                           "\tStream Type:  \t" + data_source_name.at(data_source), "\tError Message:\t" + message});
}

uint64_t switch_stream(const std::vector<std::shared_ptr<Stream>>& streams, uint64_t stream_index) {
    std::cout << "stream_index " << stream_index << std::endl;
    std::cout << "streams.size() " << streams.size() << std::endl;
    switch_source.store(false);
    for (uint64_t i = 0; i < streams.size(); ++i) {
        std::cout << "i " << i << std::endl;
        stream_index = (stream_index + 1) % streams.size();
        std::cout << "stream_index " << stream_index << std::endl;
        std::cout << "streams[stream_index]->get_id() " << streams[stream_index]->get_id() << std::endl;
        std::string message;
        if (streams[stream_index]->okay(message)) {
            // An end the user asked for meanwhile still ends the program.
            if (!end_requested()) stop.store(false);
            return stream_index;
        }
        std::cerr << "WARNING: Cannot switch to stream " << stream_index << std::endl;
        std::cerr << "\t Message: " << message << std::endl;
    }
    throw exception_fatal({"ERROR: Unable to switch stream", "\tNo stream in okay state found"});
}
