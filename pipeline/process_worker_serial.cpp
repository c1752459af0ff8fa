#include "pipeline/process_worker_serial.hpp"

namespace serial {

void ProcessWorker::start_core() {
    begin_start();
    check_idle();
    try {
        link->udp_write_ack_fabric(static_cast<uint32_t>(core->memory_index), CORE_REGISTER_BUFFER,
                                   limits.acknowledgement);
        link->udp_write_ack_fabric(1u, CORE_REGISTER_START, limits.acknowledgement);
        link->udp_write_ack_fabric(1u, CORE_REGISTER_RUN, limits.acknowledgement);
    } catch (const exception_writeacktimeout& error) {
        start_failed(error);
    }
    mark_started();
}

}  // namespace serial
