// Core control as visiondemo_serial uses it: the idle check before every
// start, and three single acknowledged words to start a run on the buffer set
// selected by the memory index in Core.
#pragma once

#include "pipeline/process_worker.hpp"

namespace serial {

class ProcessWorker : public ::ProcessWorker {
public:
    using ::ProcessWorker::ProcessWorker;

    void work() override { start_core(); }
    void start_core();
};

}  // namespace serial
