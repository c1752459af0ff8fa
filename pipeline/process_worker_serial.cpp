#include "pipeline/process_worker_serial.hpp"

namespace serial {

void ProcessWorker::start_core() {
    using namespace std::chrono_literals;
    begin_start();
    check_idle();
    try {
        link->udp_write_ack_fabric(static_cast<uint32_t>(core->memory_index), CORE_REGISTER_BUFFER, 1s);
        link->udp_write_ack_fabric(1u, CORE_REGISTER_START, 1s);
        link->udp_write_ack_fabric(1u, CORE_REGISTER_RUN, 1s);
    } catch (const exception_writeacktimeout& error) {
        start_failed(error);
    }
    mark_started();
}

}  // namespace serial
