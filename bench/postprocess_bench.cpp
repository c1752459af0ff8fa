// Costs of the detection post-processing: dequantisation, decoding of a
// typical and a worst-case output, suppression, decoding plus suppression
// against the same work done with OpenCV's NMSBoxes, the drawing of a
// 1280 x 720 frame (against drawing every text directly), a whole
// post-processing cycle, and download + cycle against the in-process board.
#include "app/configuration.hpp"
#include "emulator/board_emulator.hpp"
#include "link/udp_interface_ethernet.hpp"
#include "postprocess/nms.hpp"
#include "postprocess/overlay.hpp"
#include "postprocess/post_process_worker.hpp"
#include "postprocess/yolo.hpp"
#include "tests/postprocess/fake_link.hpp"

#include <benchmark/benchmark.h>
#include <opencv2/dnn.hpp>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include <cmath>
#include <filesystem>
#include <random>

namespace {

// The records as start-up fills them, with scale 1 and bias 0.
std::shared_ptr<Core> make_core() {
    auto core = std::make_shared<Core>();
    fill_core_constants(*core);
    core->address_output = 0x2000000;
    core->offset_pingpong = 0x800000;
    core->output_scale.assign(core->output_channels, 1.0f);
    core->output_bias.assign(core->output_channels, 0.0f);
    return core;
}

std::shared_ptr<PostProcessing> make_post() {
    auto post = std::make_shared<PostProcessing>();
    fill_post_processing(*post);
    return post;
}

// A network output (scale 1, bias 0: byte q means q / 32) with noise in
// every channel, low objectness everywhere, and `objects` objects that each
// light up two anchors of one cell (so suppression has work to do). With
// objects < 0 every anchor of every cell is above the threshold.
std::vector<uint8_t> output_block(int objects, uint32_t seed = 5) {
    std::mt19937 rng(seed);
    std::vector<uint8_t> block(21125);
    for (auto& b : block) b = static_cast<uint8_t>(static_cast<int8_t>(static_cast<int>(rng() % 160) - 100));
    auto at = [&](int r, int c, int a, int k) -> uint8_t& { return block[(a * 25 + k) * 169 + r * 13 + c]; };
    for (int r = 0; r < 13; ++r)
        for (int c = 0; c < 13; ++c)
            for (int a = 0; a < 5; ++a) at(r, c, a, 4) = static_cast<uint8_t>(objects < 0 ? 120 : -128);
    if (objects < 0) {
        for (int r = 0; r < 13; ++r)
            for (int c = 0; c < 13; ++c)
                for (int a = 0; a < 5; ++a) at(r, c, a, 5 + (r + c + a) % 20) = 127;
    }
    for (int i = 0; i < objects; ++i) {
        const int r = 1 + (i * 5) % 11, c = 1 + (i * 7) % 11, cls = (i * 3) % 20;
        for (int a : {1, 2}) {
            at(r, c, a, 4) = 120;
            at(r, c, a, 5 + cls) = 127;
            at(r, c, a, 2) = static_cast<uint8_t>(-10);
            at(r, c, a, 3) = static_cast<uint8_t>(-10);
        }
    }
    return block;
}

struct Planes {
    explicit Planes(const std::vector<uint8_t>& block_) : block(block_) {
        for (int c = 0; c < 125; ++c) {
            raw.emplace_back(13, 13, CV_8SC1, block.data() + c * 169);
            floats.emplace_back(13, 13, CV_32FC1, cv::Scalar(0));
        }
        auto core = make_core();
        dequantise_planes(raw, floats, core->output_scale, core->output_bias, 5);
    }
    std::vector<uint8_t> block;
    std::vector<cv::Mat> raw, floats;
};

ImageInfo hd_info() {
    ImageInfo info;
    info.height = info.region_height = 720;
    info.width = info.region_width = 1280;
    return info;
}

struct Candidates {
    std::vector<float> probs = std::vector<float>(845);
    std::vector<int> classes = std::vector<int>(845);
    std::vector<BB> boxes = std::vector<BB>(845);
    uint64_t n = 0;
};

DecodeSettings settings_for(const Core& core, const PostProcessing& post) {
    Demo demo;
    demo.data_fit = DATA_FIT::STRETCH;
    return decode_settings(core, demo, post, hd_info());
}

// The decoder without the objectness shortcut: softmax for every anchor.
uint64_t decode_straightforward(const std::vector<cv::Mat>& p, const DecodeSettings& s, Candidates& out) {
    uint64_t n = 0;
    for (int r = 0; r < 13; ++r)
        for (int c = 0; c < 13; ++c)
            for (int a = 0; a < 5; ++a) {
                const int base = a * 25;
                int best = 0;
                float best_value = -3.4028235e38f;
                for (int64_t k : *s.selected_classes) {
                    const float v = p[base + 5 + k].at<float>(r, c);
                    if (v > best_value) {
                        best_value = v;
                        best = static_cast<int>(k);
                    }
                }
                float sum = 0;
                for (int64_t k : *s.selected_classes) sum += std::exp(p[base + 5 + k].at<float>(r, c) - best_value);
                const float score = sigmoid(p[base + 4].at<float>(r, c)) * (1 / sum);
                if (!(score > s.threshold_probability)) continue;
                const float x = (sigmoid(p[base].at<float>(r, c)) + c) / 13;
                const float y = (sigmoid(p[base + 1].at<float>(r, c)) + r) / 13;
                const float w = std::exp(p[base + 2].at<float>(r, c)) * (*s.anchors)[a][0] / 13;
                const float h = std::exp(p[base + 3].at<float>(r, c)) * (*s.anchors)[a][1] / 13;
                out.probs[n] = score;
                out.classes[n] = best;
                out.boxes[n] = map_box(x, y, w, h, s.fit, s.info, 416, 416);
                ++n;
            }
    return n;
}

void BM_Prepostprocess(benchmark::State& state) {
    Planes planes(output_block(10));
    auto core = make_core();
    for (auto _ : state) {
        dequantise_planes(planes.raw, planes.floats, core->output_scale, core->output_bias, 5);
        benchmark::ClobberMemory();
    }
}

// Argument: objects (-1: every anchor above the threshold).
void BM_Decode(benchmark::State& state) {
    Planes planes(output_block(static_cast<int>(state.range(0))));
    auto core = make_core();
    auto post = make_post();
    const DecodeSettings s = settings_for(*core, *post);
    Candidates out;
    for (auto _ : state) {
        out.n = decode_yolo(planes.floats, s, out.probs.data(), out.classes.data(), out.boxes.data());
        benchmark::DoNotOptimize(out.n);
    }
    state.counters["candidates"] = static_cast<double>(out.n);
}

void BM_DecodeStraightforward(benchmark::State& state) {
    Planes planes(output_block(static_cast<int>(state.range(0))));
    auto core = make_core();
    auto post = make_post();
    const DecodeSettings s = settings_for(*core, *post);
    Candidates out;
    for (auto _ : state) {
        out.n = decode_straightforward(planes.floats, s, out);
        benchmark::DoNotOptimize(out.n);
    }
    state.counters["candidates"] = static_cast<double>(out.n);
}

// Suppression of n candidates: random boxes in groups around 10 centres.
void BM_Nms(benchmark::State& state) {
    const uint64_t n = static_cast<uint64_t>(state.range(0));
    std::mt19937 rng(3);
    std::uniform_real_distribution<float> jitter(-20, 20), unit(0, 1);
    std::vector<float> probs(845);
    std::vector<BB> boxes(845);
    for (uint64_t i = 0; i < n; ++i) {
        const float cx = 100 + 100.0f * (i % 10), cy = 100 + 50.0f * (i % 10);
        const float x = cx + jitter(rng), y = cy + jitter(rng), w = 60 + jitter(rng), h = 60 + jitter(rng);
        boxes[i] = BB{x - w / 2, x + w / 2, y - h / 2, y + h / 2};
        probs[i] = unit(rng);
    }
    std::vector<uint64_t> kept(845);
    uint64_t count = 0;
    for (auto _ : state) {
        suppression::nms(n, probs, boxes, kept.data(), count, 0.425f);
        benchmark::DoNotOptimize(count);
    }
    state.counters["kept"] = static_cast<double>(count);
}

// Decode + suppression of one frame: ours, and the same candidates through
// cv::dnn::NMSBoxes (intersection over union, limit 0.425).
void BM_DecodeNms(benchmark::State& state) {
    Planes planes(output_block(static_cast<int>(state.range(0))));
    auto core = make_core();
    auto post = make_post();
    const DecodeSettings s = settings_for(*core, *post);
    Candidates out;
    std::vector<uint64_t> kept(845);
    uint64_t count = 0;
    for (auto _ : state) {
        out.n = decode_yolo(planes.floats, s, out.probs.data(), out.classes.data(), out.boxes.data());
        suppression::nms(out.n, out.probs, out.boxes, kept.data(), count, 0.425f);
        benchmark::DoNotOptimize(count);
    }
    state.counters["candidates"] = static_cast<double>(out.n);
    state.counters["kept"] = static_cast<double>(count);
}

void BM_DecodeNmsBoxesOpenCV(benchmark::State& state) {
    Planes planes(output_block(static_cast<int>(state.range(0))));
    auto core = make_core();
    auto post = make_post();
    const DecodeSettings s = settings_for(*core, *post);
    Candidates out;
    std::vector<cv::Rect2d> rects;
    std::vector<float> scores;
    std::vector<int> indices;
    for (auto _ : state) {
        out.n = decode_yolo(planes.floats, s, out.probs.data(), out.classes.data(), out.boxes.data());
        rects.clear();
        scores.clear();
        for (uint64_t i = 0; i < out.n; ++i) {
            const BB& b = out.boxes[i];
            rects.emplace_back(b.left, b.top, b.right - b.left, b.bottom - b.top);
            scores.push_back(out.probs[i]);
        }
        cv::dnn::NMSBoxes(rects, scores, s.threshold_probability, 0.425f, indices);
        benchmark::DoNotOptimize(indices.data());
    }
    state.counters["candidates"] = static_cast<double>(out.n);
    state.counters["kept"] = static_cast<double>(indices.size());
}

// Detections spread over a 1280 x 720 frame.
void spread_detections(int n, std::vector<int>& classes, std::vector<BB>& boxes) {
    classes.clear();
    boxes.clear();
    for (int i = 0; i < n; ++i) {
        const float x = 40.0f + 240.0f * (i % 5), y = 30.0f + 170.0f * (i / 5 % 4);
        classes.push_back((i * 7) % 20);
        boxes.push_back(BB{x, x + 200, y, y + 150});
    }
}

Logo load(const char* path) {
    Logo logo = prepare_logo(cv::imread(path, cv::IMREAD_UNCHANGED));
    scale_logo_to_height(logo, 120);
    return logo;
}

// The drawing phase: frame on the canvas, boxes and labels, frame rate,
// logos, thresholds. Argument: detections.
void BM_Draw(benchmark::State& state) {
    const int n = static_cast<int>(state.range(0));
    cv::Mat frame(720, 1280, CV_8UC3);
    cv::randu(frame, 0, 256);
    std::vector<int> classes;
    std::vector<BB> boxes;
    spread_detections(n, classes, boxes);
    auto post = make_post();
    const Logo left = load("../data/mox_logo.png"), right = load("../data/pyr_logo.png");
    OverlayPainter painter;
    for (auto _ : state) {
        const CanvasGeometry g = canvas_geometry(frame.rows, frame.cols);
        cv::Mat canvas = place_frame(frame, g);
        painter.draw_detections(canvas, g, classes.size(), classes.data(), boxes.data(), post->colours, post->labels);
        painter.draw_frame_rate(canvas, 29.7);
        painter.draw_logos(canvas, left, right);
        painter.draw_thresholds(canvas, 0.275f, 0.575f);
        benchmark::DoNotOptimize(canvas.data);
    }
}

// The same picture with every text stroked by cv::putText each frame.
void BM_DrawDirect(benchmark::State& state) {
    const int n = static_cast<int>(state.range(0));
    cv::Mat frame(720, 1280, CV_8UC3);
    cv::randu(frame, 0, 256);
    std::vector<int> classes;
    std::vector<BB> boxes;
    spread_detections(n, classes, boxes);
    auto post = make_post();
    const Logo left = load("../data/mox_logo.png"), right = load("../data/pyr_logo.png");
    for (auto _ : state) {
        cv::Mat canvas;
        cv::resize(frame, canvas, cv::Size(1280, 720));
        for (int i = 0; i < n; ++i) {
            const cv::Vec3b c = post->colours.at<cv::Vec3b>(0, classes[i]);
            const cv::Scalar colour(c[0], c[1], c[2]);
            const BB& b = boxes[i];
            cv::rectangle(canvas, cv::Point(int(b.left - 1), int(b.top - 1)),
                          cv::Point(int(b.right - 1), int(b.bottom - 1)), colour, 5);
            cv::putText(canvas, post->labels[classes[i]], cv::Point(int(b.left + 9), int(b.top + 44)),
                        cv::FONT_HERSHEY_COMPLEX_SMALL, 3.0, colour, 3);
        }
        cv::putText(canvas, "30", cv::Point(1130, 670), cv::FONT_HERSHEY_SIMPLEX, 3.0, cv::Scalar(0, 0, 0), 10);
        cv::putText(canvas, "30", cv::Point(1130, 670), cv::FONT_HERSHEY_SIMPLEX, 3.0, cv::Scalar::all(255), 4);
        cv::putText(canvas, "FPS", cv::Point(1130, 595), cv::FONT_HERSHEY_SIMPLEX, 1.5, cv::Scalar(0, 0, 0), 7);
        cv::putText(canvas, "FPS", cv::Point(1130, 595), cv::FONT_HERSHEY_SIMPLEX, 1.5, cv::Scalar::all(255), 2);
        paste_logo(canvas, left, cv::Point(30, 570));
        paste_logo(canvas, right, cv::Point(240, 570));
        cv::putText(canvas, "27.5 %", cv::Point(1220, 20), cv::FONT_HERSHEY_SIMPLEX, 0.5, cv::Scalar::all(255), 1);
        cv::putText(canvas, "57.5 %", cv::Point(1220, 40), cv::FONT_HERSHEY_SIMPLEX, 0.5, cv::Scalar::all(255), 1);
        benchmark::DoNotOptimize(canvas.data);
    }
}

// A block whose objects sit in the cells of `detections` spread detections.
std::vector<uint8_t> block_with(int detections) {
    std::vector<uint8_t> block = output_block(0);
    auto at = [&](int r, int c, int a, int k) -> uint8_t& { return block[(a * 25 + k) * 169 + r * 13 + c]; };
    for (int i = 0; i < detections; ++i) {
        const int r = 1 + 3 * (i / 5 % 4), c = 1 + 2 * (i % 5) + (i / 5 % 2);
        at(r, c, 1, 4) = 120;
        at(r, c, 1, 5 + (i * 7) % 20) = 127;
        for (int k = 0; k < 4; ++k) at(r, c, 1, k) = 0;
    }
    return block;
}

// One whole work() cycle on a 1280 x 720 frame, the download excluded
// (a link without a board). Argument: detections.
void BM_StageWork(benchmark::State& state) {
    auto link = std::make_shared<FakeLink>();
    auto core = make_core();
    auto demo = std::make_shared<Demo>();
    demo->data_fit = DATA_FIT::STRETCH;
    auto post = make_post();
    link->blocks[static_cast<uint32_t>(core->address_output)] = block_with(static_cast<int>(state.range(0)));
    PostProcessWorker stage("output", link, core, demo, post);
    auto frame = std::make_shared<cv::Mat>(720, 1280, CV_8UC3);
    cv::randu(*frame, 0, 256);
    auto info = std::make_shared<ImageInfo>(hd_info());
    stage.download(info, frame, 1, 30.0);
    std::shared_ptr<cv::Mat> shown;
    uint64_t id;
    int64_t decode = 0, nms_time = 0, resize = 0, boxes = 0, overlay = 0;
    for (auto _ : state) {
        stage.work();
        stage.grab(shown, id);
        decode += stage.timings().decode_us;
        nms_time += stage.timings().nms_us;
        resize += stage.timings().resize_us;
        boxes += stage.timings().boxes_us;
        overlay += stage.timings().overlay_us;
    }
    const double k = static_cast<double>(state.iterations());
    state.counters["detections"] = static_cast<double>(stage.get_detection_count());
    state.counters["decode_us"] = decode / k;
    state.counters["nms_us"] = nms_time / k;
    state.counters["resize_us"] = resize / k;
    state.counters["boxes_us"] = boxes / k;
    state.counters["overlay_us"] = overlay / k;
}

// download + work against the in-process board over loopback UDP.
void BM_DownloadAndWork(benchmark::State& state) {
    auto core = make_core();
    EmulatorSettings settings;
    settings.model = "zero";
    settings.address_output = core->address_output;
    settings.offset_pingpong = core->offset_pingpong;
    BoardEmulator board(settings);
    board.start();
    auto link = std::make_shared<UDPInterfaceEthernet>(8192, 64, 4, 8, false);
    link->init("127.0.0.1", board.port(), 1000000);
    board.write_ddr(core->address_output, block_with(10));
    auto demo = std::make_shared<Demo>();
    demo->data_fit = DATA_FIT::STRETCH;
    auto post = make_post();
    PostProcessWorker stage("output", link, core, demo, post);
    auto frame = std::make_shared<cv::Mat>(720, 1280, CV_8UC3);
    cv::randu(*frame, 0, 256);
    auto info = std::make_shared<ImageInfo>(hd_info());
    std::shared_ptr<cv::Mat> shown;
    uint64_t id = 0, frame_id = 0;
    int64_t download = 0;
    for (auto _ : state) {
        stage.download(info, frame, ++frame_id, 30.0);
        stage.work();
        stage.grab(shown, id);
        download += stage.timings().download_us;
    }
    state.counters["download_us"] = download / static_cast<double>(state.iterations());
    state.counters["detections"] = static_cast<double>(stage.get_detection_count());
    link->close_socket();
    board.stop();
}

}  // namespace

BENCHMARK(BM_Prepostprocess)->Repetitions(5)->ReportAggregatesOnly(true);
BENCHMARK(BM_Decode)->Arg(10)->Arg(-1)->Repetitions(5)->ReportAggregatesOnly(true);
BENCHMARK(BM_DecodeStraightforward)->Arg(10)->Arg(-1)->Repetitions(5)->ReportAggregatesOnly(true);
BENCHMARK(BM_Nms)->Arg(20)->Arg(845)->Repetitions(5)->ReportAggregatesOnly(true);
BENCHMARK(BM_DecodeNms)->Arg(10)->Arg(-1)->Repetitions(5)->ReportAggregatesOnly(true);
BENCHMARK(BM_DecodeNmsBoxesOpenCV)->Arg(10)->Arg(-1)->Repetitions(5)->ReportAggregatesOnly(true);
BENCHMARK(BM_Draw)->Arg(10)->Arg(20)->Repetitions(5)->ReportAggregatesOnly(true)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_DrawDirect)->Arg(10)->Arg(20)->Repetitions(5)->ReportAggregatesOnly(true)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_StageWork)->Arg(10)->Arg(20)->Repetitions(5)->ReportAggregatesOnly(true)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_DownloadAndWork)->Repetitions(5)->ReportAggregatesOnly(true)->Unit(benchmark::kMicrosecond);

int main(int argc, char** argv) {
    // The logos are read from ../data, as by the program run from a folder
    // one level below the repository root.
    std::filesystem::current_path(std::filesystem::path(VISIONDEMO_SOURCE_DIR) / "bench");
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
