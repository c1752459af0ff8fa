// The stage against an in-process board over real UDP.
#pragma once

#include "postprocess/post_process_worker.hpp"

#include "tests/postprocess/support.hpp"
#include "tests/support/link_fixture.hpp"

#include <gtest/gtest.h>

class StageOnBoard : public LinkTest {
protected:
    void SetUp() override {
        EmulatorSettings settings;
        settings.model = "zero";
        settings.address_data = core->address_data;
        settings.address_output = core->address_output;
        settings.offset_pingpong = core->offset_pingpong;
        start(settings);
        stage = std::make_shared<PostProcessWorker>("output", lb.link, core, demo, post);
    }

    pp_test::RunFolder folder;
    std::shared_ptr<Core> core = pp_test::make_core();
    std::shared_ptr<Demo> demo = pp_test::make_demo(DATA_FIT::BOX);
    std::shared_ptr<PostProcessing> post = pp_test::make_post();
    std::shared_ptr<PostProcessWorker> stage;
};

