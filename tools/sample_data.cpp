// Deterministic sample data: scenes with ground truth, logos, a weight image
// and scaling parameters.
#include "tools/sample_data.hpp"

#include "records/classes.hpp"
#include "records/network.hpp"
#include "postprocess/canvas.hpp"
#include "postprocess/overlay.hpp"

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace sample_data {

const char* const LEFT_LOGO_NAME = "mox_logo.png";
const char* const RIGHT_LOGO_NAME = "pyr_logo.png";
const char* const SCALING_NAME = "scaling_parameters.bin";
const char* const WEIGHTS_NAME = "weights.txt";
const char* const SCENES_FOLDER = "scenes";

namespace {

namespace fs = std::filesystem;

cv::Scalar class_bgr(int k) {
    const auto& rgb = network::CLASS_COLOURS_RGB[size_t(k)];
    return cv::Scalar(rgb[2], rgb[1], rgb[0]);
}

// splitmix64: a small, fully specified generator, so the data is the same
// with every standard library.
class Random {
public:
    explicit Random(uint64_t seed) : state_(seed) {}
    uint64_t next() {
        uint64_t z = (state_ += 0x9E3779B97F4A7C15ull);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
        return z ^ (z >> 31);
    }
    // Uniform in [lo, hi] (inclusive); the tiny modulo bias does not matter here.
    int range(int lo, int hi) { return lo + static_cast<int>(next() % static_cast<uint64_t>(hi - lo + 1)); }

private:
    uint64_t state_;
};

// Background texture: light greys only, far from every class colour.
const unsigned char BACKGROUND_LEVELS[] = {224, 230, 236, 242, 248};

uchar background_level(int x, int y) {
    // Diagonal bands of 12 pixels over a 64-pixel checker, with a thin grid
    // line every 96 pixels.
    if (x % 96 == 0 || y % 96 == 0) return BACKGROUND_LEVELS[0];
    const int band = ((x + y) / 12) % 2;
    const int check = ((x / 64) + (y / 64)) % 2;
    return BACKGROUND_LEVELS[1 + band + 2 * check];
}

// Rectangles a and b are at least `gap` pixels apart.
bool apart(const cv::Rect& a, const cv::Rect& b, int gap) {
    return a.x + a.width + gap <= b.x || b.x + b.width + gap <= a.x || a.y + a.height + gap <= b.y ||
           b.y + b.height + gap <= a.y;
}

// Draws one shape filling `box` into the single-channel mask: a rectangle
// (radius 0) or a rectangle with corners rounded to `radius`.
void draw_shape(cv::Mat& mask, const cv::Rect& box, int radius) {
    const cv::Scalar on(255);
    const int r = std::min(radius, std::min(box.width, box.height) / 2 - 1);
    if (r <= 0) {
        cv::rectangle(mask, box, on, cv::FILLED, cv::LINE_8);
        return;
    }
    // Two crossing bars and four corner discs.
    cv::rectangle(mask, cv::Rect(box.x + r, box.y, box.width - 2 * r, box.height), on, cv::FILLED);
    cv::rectangle(mask, cv::Rect(box.x, box.y + r, box.width, box.height - 2 * r), on, cv::FILLED);
    const int right = box.x + box.width - 1 - r;
    const int bottom = box.y + box.height - 1 - r;
    for (const cv::Point& c : {cv::Point(box.x + r, box.y + r), cv::Point(right, box.y + r),
                               cv::Point(box.x + r, bottom), cv::Point(right, bottom)}) {
        cv::circle(mask, c, r, on, cv::FILLED, cv::LINE_8);
    }
}

// The insides of the figures: light for a dark class colour, dark for a light
// one, so that the label the overlay writes in the class colour at the top
// left inside the box stands out, and the box line apart from the inside.
const cv::Vec3b LIGHT_INSIDE(255, 255, 255);
const cv::Vec3b DARK_INSIDE(0, 0, 0);

double class_luminance(int k) {
    const auto& rgb = network::CLASS_COLOURS_RGB[size_t(k)];
    return 0.299 * rgb[0] + 0.587 * rgb[1] + 0.114 * rgb[2];
}

// A light class colour does not stand out on the light background either:
// its label has to fit inside its figure.
bool light_class(int k) { return class_luminance(k) > 128.0; }

cv::Size label_size(int k) {
    int baseline = 0;
    const cv::Size text =
        cv::getTextSize(network::CLASS_NAMES[size_t(k)], LABEL_FONT, LABEL_SCALE, LABEL_THICKNESS, &baseline);
    return cv::Size(text.width, text.height + baseline + LABEL_THICKNESS);
}

// Where the label of a box at `box` (source pixels) lies on the canvas, with
// a margin of a few pixels.
cv::Rect label_on_canvas(const cv::Rect& box, int k, const CanvasGeometry& g) {
    const BB drawn{box.x * g.d + g.left - 1, (box.x + box.width) * g.d + g.left - 1, box.y * g.d + g.top - 1,
                   (box.y + box.height) * g.d + g.top - 1};
    const cv::Point origin = label_origin(drawn);
    const cv::Size size = label_size(k);
    int baseline = 0;
    const int above = cv::getTextSize(network::CLASS_NAMES[size_t(k)], LABEL_FONT, LABEL_SCALE, LABEL_THICKNESS,
                                      &baseline).height;
    return cv::Rect(origin.x - 4, origin.y - above - 4, size.width + 8, size.height + 8);
}

// A canvas rectangle in source pixels (rounded outwards).
cv::Rect canvas_to_source(const cv::Rect& r, const CanvasGeometry& g) {
    const int x0 = static_cast<int>(std::floor((r.x - g.left) / g.d));
    const int y0 = static_cast<int>(std::floor((r.y - g.top) / g.d));
    const int x1 = static_cast<int>(std::ceil((r.x + r.width - g.left) / g.d));
    const int y1 = static_cast<int>(std::ceil((r.y + r.height - g.top) / g.d));
    return cv::Rect(x0, y0, x1 - x0, y1 - y0);
}

// What the overlay draws over the canvas besides the boxes: the logos, the
// frame rate and the thresholds. No label may lie under them.
const cv::Rect OVERLAY_AREAS[] = {cv::Rect(20, 560, 470, 140), cv::Rect(1110, 530, 170, 190),
                                  cv::Rect(1200, 0, 80, 50)};

void write_png(const fs::path& path, const cv::Mat& image) {
    // Fixed compression settings, so the same image gives the same file.
    const std::vector<int> params = {cv::IMWRITE_PNG_COMPRESSION, 9};
    if (!cv::imwrite(path.string(), image, params)) {
        throw std::runtime_error("cannot write " + path.string());
    }
}

void write_bytes(const fs::path& path, const void* data, size_t size) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(static_cast<const char*>(data), static_cast<std::streamsize>(size));
    out.close();
    if (!out) throw std::runtime_error("cannot write " + path.string());
}

// Checks a finished scene against the rules the tests and the emulator rely on.
void check_scene(const SceneSpec& spec, const Scene& scene) {
    const double scale = static_cast<double>(network::INPUT_SIZE) / std::max(spec.width, spec.height);
    const int side = std::min(spec.width, spec.height);
    const cv::Rect square((spec.width - side) / 2, (spec.height - side) / 2, side, side);
    for (size_t i = 0; i < scene.objects.size(); ++i) {
        const cv::Rect& box = scene.objects[i].box;
        if (box.width * scale < MIN_OBJECT_INPUT_PIXELS || box.height * scale < MIN_OBJECT_INPUT_PIXELS ||
            (box & square) != box) {
            throw std::runtime_error(spec.name + ": object " + std::to_string(i) + " breaks the size rules");
        }
        for (size_t j = 0; j < i; ++j) {
            if (!apart(box, scene.objects[j].box, 1)) {
                throw std::runtime_error(spec.name + ": objects " + std::to_string(j) + " and " +
                                         std::to_string(i) + " touch");
            }
        }
    }
}

}  // namespace

std::vector<GroundTruthObject> read_ground_truth(const std::string& path) {
    std::ifstream in(path);
    if (!in) throw std::runtime_error("cannot read ground truth " + path);
    std::vector<GroundTruthObject> objects;
    std::string line;
    int number = 0;
    while (std::getline(in, line)) {
        ++number;
        if (!line.empty() && line.back() == '\r') line.pop_back();
        const size_t first = line.find_first_not_of(" \t");
        if (first == std::string::npos || line[first] == '#') continue;
        std::istringstream fields(line);
        GroundTruthObject object;
        std::string rest;
        if (!(fields >> object.class_id >> object.box.x >> object.box.y >> object.box.width >> object.box.height) ||
            (fields >> rest) || object.class_id < 0 || object.class_id >= 20 || object.box.width <= 0 ||
            object.box.height <= 0 || object.box.x < 0 || object.box.y < 0) {
            throw std::runtime_error(path + ":" + std::to_string(number) + ": malformed ground-truth line");
        }
        objects.push_back(object);
    }
    return objects;
}

void write_ground_truth(const std::string& path, const std::vector<GroundTruthObject>& objects) {
    std::ofstream out(path, std::ios::trunc);
    out << "# class x y width height: bounding box in source pixels; x, y inclusive,\n"
           "# x + width and y + height one past the object\n";
    for (const GroundTruthObject& o : objects) {
        out << o.class_id << ' ' << o.box.x << ' ' << o.box.y << ' ' << o.box.width << ' ' << o.box.height << '\n';
    }
    out.close();
    if (!out) throw std::runtime_error("cannot write " + path);
}

std::string ground_truth_path(const std::string& image_path) {
    return fs::path(image_path).replace_extension(".txt").string();
}

const std::vector<SceneSpec>& scene_specs() {
    static const std::vector<SceneSpec> specs = [] {
        // Sizes: the usual camera and screen formats, a portrait, squares, a
        // panorama, odd sizes (1366 gives an odd scaled width on the canvas)
        // and a tiny one.
        const int sizes[][3] = {
            {1280, 720, 4}, {1920, 1080, 5}, {640, 480, 4}, {320, 240, 3}, {720, 1280, 3}, {800, 800, 5},
            {1024, 768, 4}, {416, 416, 3},   {1366, 768, 4}, {480, 640, 3}, {2048, 512, 3}, {160, 120, 3},
        };
        std::vector<SceneSpec> list;
        int n = 0;
        for (const auto& s : sizes) {
            ++n;
            char name[64];
            std::snprintf(name, sizeof name, "scene_%02d_%dx%d", n, s[0], s[1]);
            list.push_back({name, s[0], s[1], s[2], 1000u + static_cast<uint64_t>(n)});
        }
        return list;
    }();
    return specs;
}

std::vector<cv::Vec3b> background_palette() {
    std::vector<cv::Vec3b> palette;
    for (uchar v : BACKGROUND_LEVELS) palette.emplace_back(v, v, v);
    palette.push_back(LIGHT_INSIDE);
    palette.push_back(DARK_INSIDE);
    return palette;
}

double min_class_distance(const std::vector<cv::Vec3b>& palette) {
    double best = 1e9;
    for (const cv::Vec3b& c : palette) {
        for (const auto& k : network::CLASS_COLOURS_RGB) {
            const double db = c[0] - k[2], dg = c[1] - k[1], dr = c[2] - k[0];
            best = std::min(best, std::sqrt(db * db + dg * dg + dr * dr));
        }
    }
    return best;
}

Scene make_scene(const SceneSpec& spec) {
    Scene scene;
    scene.image.create(spec.height, spec.width, CV_8UC3);
    for (int y = 0; y < spec.height; ++y) {
        cv::Vec3b* row = scene.image.ptr<cv::Vec3b>(y);
        for (int x = 0; x < spec.width; ++x) {
            const uchar v = background_level(x, y);
            row[x] = cv::Vec3b(v, v, v);
        }
    }

    // Objects stay inside the centred square the crop fit keeps, with a margin
    // and gaps of a few network-input pixels, so that resampling never merges
    // two objects or cuts one at the edge.
    const int longest = std::max(spec.width, spec.height);
    const int side = std::min(spec.width, spec.height);
    const int min_size = (24 * longest + network::INPUT_SIZE - 1) / network::INPUT_SIZE;
    const int gap = (5 * longest + network::INPUT_SIZE - 1) / network::INPUT_SIZE + 2;
    const cv::Rect area((spec.width - side) / 2 + gap, (spec.height - side) / 2 + gap, side - 2 * gap,
                        side - 2 * gap);
    const int max_size = std::max(min_size, area.width * 2 / 5);
    // The figures' outline: two and a half network-input pixels under the box
    // fit (more under the others), so that it stays one closed region of the
    // class colour when the frame is scaled down, and at least three source
    // pixels, so that scaling up keeps pixels of the pure colour across it;
    // about 8 canvas pixels, so that the label starts inside it.
    const int outline = std::max(3, (5 * longest + 2 * network::INPUT_SIZE - 1) / (2 * network::INPUT_SIZE));
    const CanvasGeometry g = canvas_geometry(spec.height, spec.width);

    // The classes: stepping through all twenty from scene to scene, leaving
    // out those whose figure would not hold its label here.
    const auto least = [&](int k) {
        if (!light_class(k)) return cv::Size(min_size, min_size);
        const cv::Size text = label_size(k);
        return cv::Size(std::max(min_size, static_cast<int>(std::ceil((text.width + 26) / g.d))),
                        std::max(min_size, static_cast<int>(std::ceil((text.height + 16) / g.d))));
    };
    std::vector<int> classes;
    int next_class = static_cast<int>(spec.seed % 20);
    for (int i = 0; i < spec.objects; ++i) {
        int k = next_class;
        const auto too_large = [&](int c) {
            const int label_width = static_cast<int>(std::ceil((label_size(c).width + 30) / g.d));
            return std::max(least(c).width, label_width) > area.width * 3 / 4 || least(c).height > area.height / 2;
        };
        for (int tries = 0; tries < 20 && too_large(k); ++tries)
            k = (k + 1) % 20;
        classes.push_back(k);
        next_class = (k + 7) % 20;
    }

    // A figure and its label keep clear of the others and of what the
    // overlay draws; place all boxes first, and when the space runs out,
    // start the layout again with the next state of the generator.
    const auto footprint = [&](const cv::Rect& box, int k) {
        return box | canvas_to_source(label_on_canvas(box, k, g), g);
    };
    const auto under_overlay = [&](const cv::Rect& box, int k) {
        const cv::Rect label = label_on_canvas(box, k, g);
        return std::any_of(std::begin(OVERLAY_AREAS), std::end(OVERLAY_AREAS),
                           [&](const cv::Rect& a) { return (a & label).area() > 0; });
    };
    Random random(spec.seed);
    std::vector<cv::Rect> placed;
    for (int layout = 0; layout < 200 && static_cast<int>(placed.size()) < spec.objects; ++layout) {
        placed.clear();
        for (int i = 0; i < spec.objects; ++i) {
            const int k = classes[size_t(i)];
            const cv::Size low = least(k);
            cv::Rect box;
            bool found = false;
            for (int attempt = 0; attempt < 200 && !found; ++attempt) {
                box.width = random.range(low.width, std::max(low.width, max_size));
                box.height = random.range(low.height, std::max(low.height, max_size));
                if (box.width > area.width || box.height > area.height) continue;
                box.x = random.range(area.x, area.x + area.width - box.width);
                box.y = random.range(area.y, area.y + area.height - box.height);
                const cv::Rect mine = footprint(box, k);
                found = (mine & area) == mine && !under_overlay(box, k) &&
                        std::all_of(placed.begin(), placed.end(), [&](const cv::Rect& p) {
                            return apart(mine, footprint(p, classes[size_t(&p - placed.data())]), gap);
                        });
            }
            if (!found) break;
            placed.push_back(box);
        }
    }
    if (static_cast<int>(placed.size()) < spec.objects) throw std::runtime_error(spec.name + ": no room for the objects");

    for (size_t i = 0; i < placed.size(); ++i) {
        const cv::Rect& box = placed[i];
        const int k = classes[i];
        const int radius = random.range(0, 1) * 2 * outline;
        cv::Mat mask = cv::Mat::zeros(scene.image.size(), CV_8UC1);
        draw_shape(mask, box, radius);
        cv::Mat inside = cv::Mat::zeros(scene.image.size(), CV_8UC1);
        const cv::Rect inner(box.x + outline, box.y + outline, box.width - 2 * outline, box.height - 2 * outline);
        draw_shape(inside, inner, std::max(0, radius - outline));
        GroundTruthObject object;
        object.class_id = k;
        object.box = cv::boundingRect(mask);
        scene.image.setTo(class_bgr(k), mask);
        scene.image.setTo(light_class(k) ? DARK_INSIDE : LIGHT_INSIDE, inside);
        scene.objects.push_back(object);
    }
    check_scene(spec, scene);
    return scene;
}

cv::Mat make_left_logo() {
    // A rounded badge holding a ring with a dot (a lens) above the word "MOX".
    const int s = 240;
    cv::Mat logo(s, s, CV_8UC4, cv::Scalar(0, 0, 0, 0));
    const cv::Scalar badge(120, 60, 30, 255);  // deep blue
    const cv::Scalar light(235, 235, 235, 255);
    const cv::Scalar accent(40, 190, 250, 255);  // amber
    const int r = 36;
    cv::rectangle(logo, cv::Rect(8 + r, 8, s - 16 - 2 * r, s - 16), badge, cv::FILLED);
    cv::rectangle(logo, cv::Rect(8, 8 + r, s - 16, s - 16 - 2 * r), badge, cv::FILLED);
    for (const cv::Point& c : {cv::Point(8 + r, 8 + r), cv::Point(s - 9 - r, 8 + r), cv::Point(8 + r, s - 9 - r),
                               cv::Point(s - 9 - r, s - 9 - r)}) {
        cv::circle(logo, c, r, badge, cv::FILLED, cv::LINE_AA);
    }
    cv::circle(logo, cv::Point(s / 2, 92), 48, light, 10, cv::LINE_AA);
    cv::circle(logo, cv::Point(s / 2, 92), 18, accent, cv::FILLED, cv::LINE_AA);
    int baseline = 0;
    const cv::Size text = cv::getTextSize("MOX", cv::FONT_HERSHEY_DUPLEX, 1.9, 4, &baseline);
    cv::putText(logo, "MOX", cv::Point((s - text.width) / 2, 208), cv::FONT_HERSHEY_DUPLEX, 1.9, light, 4,
                cv::LINE_AA);
    return logo;
}

cv::Mat make_right_logo() {
    // A stepped pyramid of four bars beside the word "PYR" and an underline.
    const int w = 1260, h = 420;
    cv::Mat logo(h, w, CV_8UC4, cv::Scalar(0, 0, 0, 0));
    const cv::Scalar steps[4] = {cv::Scalar(30, 120, 230, 255), cv::Scalar(40, 150, 240, 255),
                                 cv::Scalar(50, 180, 245, 255), cv::Scalar(70, 210, 250, 255)};
    const int base_x = 60, base_w = 360, bar_h = 70, bottom = 370;
    for (int i = 0; i < 4; ++i) {
        const int bw = base_w - i * 90;
        const int y = bottom - (i + 1) * (bar_h + 8);
        cv::rectangle(logo, cv::Rect(base_x + (base_w - bw) / 2, y, bw, bar_h), steps[i], cv::FILLED);
    }
    const cv::Scalar ink(70, 55, 45, 255);  // dark slate
    cv::putText(logo, "PYR", cv::Point(500, 300), cv::FONT_HERSHEY_TRIPLEX, 8.0, ink, 22, cv::LINE_AA);
    cv::rectangle(logo, cv::Rect(505, 338, 680, 16), steps[0], cv::FILLED);
    return logo;
}

std::vector<float> scaling_parameters() {
    std::vector<float> values(2 * network::OUTPUT_CHANNELS);
    for (int c = 0; c < network::OUTPUT_CHANNELS; ++c) {
        // Two exact, small variations per channel, in steps of 1/10 of -1..1.
        const float u = static_cast<float>((c * 37 + 11) % 21 - 10) / 10.0f;
        const float v = static_cast<float>((c * 53 + 5) % 21 - 10) / 10.0f;
        const int kind = c % network::CHANNELS_PER_BOX;
        float scale, bias;
        if (kind < 2) {  // centre offsets: logits within +-3.9
            scale = 1.0f + 0.08f * (u + 1.0f);
            bias = 0.03f * v;
        } else if (kind < 4) {  // log size ratios: within about +-3
            scale = 0.75f + 0.06f * u;
            bias = 0.05f * v;
        } else if (kind == 4) {  // objectness: high or very low
            scale = 2.2f + 0.1f * u;
            bias = 0.1f * v;
        } else {  // class scores
            scale = 1.6f + 0.1f * u;
            bias = 0.1f * v;
        }
        values[c] = scale;
        values[network::OUTPUT_CHANNELS + c] = bias;
    }
    return values;
}

std::vector<uint8_t> weight_image(uint64_t bytes, uint64_t seed) {
    const uint64_t words = (bytes + WEIGHT_DATA_WIDTH - 1) / WEIGHT_DATA_WIDTH;
    std::vector<uint8_t> image(words * WEIGHT_DATA_WIDTH);
    Random random(seed);
    for (size_t i = 0; i < image.size(); i += 8) {
        const uint64_t r = random.next();
        for (size_t b = 0; b < 8 && i + b < image.size(); ++b) image[i + b] = static_cast<uint8_t>(r >> (8 * b));
    }
    return image;
}

void write_mempacked(const std::string& path, const std::vector<uint8_t>& image, uint64_t data_width) {
    if (data_width == 0 || image.size() % data_width != 0) {
        throw std::runtime_error("weight image is not a whole number of words");
    }
    static const char digits[] = "0123456789abcdef";
    std::string text;
    text.reserve(image.size() / data_width * (2 * data_width + 1));
    for (size_t word = 0; word < image.size(); word += data_width) {
        for (size_t b = data_width; b-- > 0;) {
            const uint8_t v = image[word + b];
            text.push_back(digits[v >> 4]);
            text.push_back(digits[v & 15]);
        }
        text.push_back('\n');
    }
    write_bytes(path, text.data(), text.size());
}

int generate(const Options& options, std::ostream& log) {
    const fs::path folder(options.folder);
    const fs::path scenes = folder / SCENES_FOLDER;
    std::error_code ec;
    fs::create_directories(options.weights_only ? folder : scenes, ec);
    if (ec) throw std::runtime_error("cannot create " + scenes.string() + ": " + ec.message());

    int written = 0;
    auto wanted = [&](const fs::path& path) { return !options.only_missing || !fs::exists(path); };
    auto done = [&](const fs::path& path) {
        ++written;
        log << "wrote " << path.string() << '\n';
    };

    const fs::path weights = folder / options.weights_name;
    if (wanted(weights)) {
        write_mempacked(weights.string(), weight_image(options.weight_bytes), WEIGHT_DATA_WIDTH);
        done(weights);
    }
    if (options.weights_only) return written;

    const fs::path left = folder / LEFT_LOGO_NAME;
    if (wanted(left)) {
        write_png(left, make_left_logo());
        done(left);
    }
    const fs::path right = folder / RIGHT_LOGO_NAME;
    if (wanted(right)) {
        write_png(right, make_right_logo());
        done(right);
    }
    const fs::path scaling = folder / SCALING_NAME;
    if (wanted(scaling)) {
        const std::vector<float> values = scaling_parameters();
        write_bytes(scaling, values.data(), values.size() * sizeof(float));
        done(scaling);
    }

    const double distance = min_class_distance(background_palette());
    if (distance < MIN_BACKGROUND_DISTANCE) {
        throw std::runtime_error("background colours too close to a class colour: " + std::to_string(distance));
    }
    for (const SceneSpec& spec : scene_specs()) {
        const fs::path image = scenes / (spec.name + ".png");
        const fs::path truth = scenes / (spec.name + ".txt");
        if (!wanted(image) && !wanted(truth)) continue;
        const Scene scene = make_scene(spec);
        write_png(image, scene.image);
        done(image);
        write_ground_truth(truth.string(), scene.objects);
        done(truth);
    }
    return written;
}

}  // namespace sample_data
