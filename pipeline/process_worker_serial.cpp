#include "pipeline/process_worker_serial.hpp"

#include "pipeline/session_health.hpp"

namespace serial {

void ProcessWorker::start_core() {
    begin_start();
    check_idle();
    try {
        const uint32_t buffer = static_cast<uint32_t>(core->memory_index);
        const uint32_t one = 1;
        write_start(&buffer, CORE_REGISTER_BUFFER, 1, false);
        write_start(&one, CORE_REGISTER_START, 1, false);
        write_start(&one, CORE_REGISTER_RUN, 1, true);
    } catch (const exception_writeacktimeout& error) {
        start_failed(error);
    } catch (const exception_readtimeout& error) {
        start_failed(error);
    }
    mark_started();
    count(loop_counters().core_runs);
}

}  // namespace serial
