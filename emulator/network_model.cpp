#include "emulator/network_model.hpp"

#include "emulator/faults.hpp"
#include "records/classes.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <fstream>
#include <iterator>
#include <limits>
#include <stdexcept>

namespace board {

using namespace network;

const std::array<std::array<uint8_t, 3>, CLASSES>& class_colours_bgr() {
    static const std::array<std::array<uint8_t, 3>, CLASSES> table = [] {
        std::array<std::array<uint8_t, 3>, CLASSES> bgr{};
        for (size_t k = 0; k < bgr.size(); ++k) {
            const auto& rgb = CLASS_COLOURS_RGB[k];
            bgr[k] = {rgb[2], rgb[1], rgb[0]};
        }
        return bgr;
    }();
    return table;
}

namespace {

// For each channel and sample value, the set of classes (one bit each) whose
// colour is within the tolerance in that channel once the sample is doubled.
// A pixel's classes are the AND over its three channels; the class colours are
// further apart than twice the tolerance, so at most one bit survives.
struct ColourMasks {
    std::array<std::array<uint32_t, 256>, 3> mask{};
    ColourMasks() {
        const auto& colours = class_colours_bgr();
        for (int ch = 0; ch < 3; ++ch)
            for (int s = 0; s < 256; ++s)
                for (int k = 0; k < CLASSES; ++k)
                    if (std::abs(2 * s - int(colours[k][ch])) <= COLOUR_TOLERANCE) mask[ch][s] |= 1u << k;
    }
};

}  // namespace

std::vector<Shape> find_shapes(const uint8_t* planes) {
    static const ColourMasks masks;
    constexpr uint8_t NONE = 0xFF;
    std::vector<uint8_t> classes(PLANE_BYTES);
    const uint8_t* blue = planes;
    const uint8_t* green = planes + PLANE_BYTES;
    const uint8_t* red = planes + 2 * PLANE_BYTES;
    uint8_t* out = classes.data();
    for (size_t i = 0; i < PLANE_BYTES; ++i) {
        const uint32_t bits = masks.mask[0][blue[i]] & masks.mask[1][green[i]] & masks.mask[2][red[i]];
        if (bits == 0) {
            out[i] = NONE;
        } else {
            out[i] = static_cast<uint8_t>(__builtin_ctz(bits));
        }
    }

    // 8-connected regions of one class: runs of equal class along each row,
    // joined by union-find with the runs of the row above that touch them
    // (overlapping or diagonally adjacent).
    struct RowRun {
        int32_t x0, x1, y;
        uint8_t cls;
    };
    std::vector<RowRun> runs;
    std::vector<int32_t> parent;
    auto find = [&](int32_t i) {
        while (parent[size_t(i)] != i) {
            parent[size_t(i)] = parent[size_t(parent[size_t(i)])];
            i = parent[size_t(i)];
        }
        return i;
    };
    size_t above_begin = 0, above_end = 0;  // runs of the previous row
    for (int y = 0; y < INPUT_SIZE; ++y) {
        const uint8_t* row = out + size_t(y) * INPUT_SIZE;
        const size_t row_begin = runs.size();
        size_t a = above_begin;
        for (int x = 0; x < INPUT_SIZE;) {
            const uint8_t k = row[x];
            int end = x + 1;
            while (end < INPUT_SIZE && row[end] == k) ++end;
            if (k != NONE) {
                const auto index = int32_t(runs.size());
                runs.push_back({x, end - 1, y, k});
                parent.push_back(index);
                // Runs above that end before x - 1 cannot touch this or any later run.
                while (a < above_end && runs[a].x1 < x - 1) ++a;
                for (size_t b = a; b < above_end && runs[b].x0 <= end; ++b)
                    if (runs[b].cls == k) {
                        const int32_t ra = find(int32_t(b)), rb = find(index);
                        if (ra != rb) parent[size_t(std::max(ra, rb))] = std::min(ra, rb);
                    }
            }
            x = end;
        }
        above_begin = row_begin;
        above_end = runs.size();
    }

    std::vector<Shape> shapes;
    std::vector<int32_t> shape_of(runs.size(), -1);
    for (size_t i = 0; i < runs.size(); ++i) {
        const int32_t root = find(int32_t(i));
        const RowRun& r = runs[i];
        int32_t& id = shape_of[size_t(root)];
        if (id < 0) {
            id = int32_t(shapes.size());
            Shape shape;
            shape.cls = r.cls;
            shape.x0 = r.x0;
            shape.x1 = r.x1;
            shape.y0 = shape.y1 = r.y;
            shapes.push_back(shape);
        }
        Shape& shape = shapes[size_t(id)];
        shape.x0 = std::min(shape.x0, int(r.x0));
        shape.x1 = std::max(shape.x1, int(r.x1));
        shape.y1 = std::max(shape.y1, int(r.y));
        shape.pixels += r.x1 - r.x0 + 1;
    }
    shapes.erase(std::remove_if(shapes.begin(), shapes.end(),
                                [](const Shape& s) { return s.pixels < MIN_OBJECT_PIXELS; }),
                 shapes.end());
    return shapes;
}

Scaling default_scaling() {
    return Scaling{std::vector<float>(OUTPUT_CHANNELS, 1.0f), std::vector<float>(OUTPUT_CHANNELS, 0.0f)};
}

namespace {
constexpr float FRACTION = 1.0f / float(1 << OUTPUT_FRACTION_BITS);
}

int8_t quantise(float value, int channel, const Scaling& scaling) {
    const double step = double(scaling.scale[channel]) * double(FRACTION);
    if (!(std::isfinite(step)) || step == 0.0 || std::isnan(value)) return 0;
    const double q = std::nearbyint((double(value) - double(scaling.bias[channel])) / step);
    return static_cast<int8_t>(std::clamp(q, -128.0, 127.0));
}

float dequantise(int8_t q, int channel, const Scaling& scaling) {
    return ((float(q) * scaling.scale[channel]) * FRACTION) + scaling.bias[channel];
}

std::vector<uint8_t> encode_shapes(const std::vector<Shape>& shapes, const Scaling& scaling) {
    constexpr size_t CELLS = size_t(GRID) * GRID;
    std::vector<float> values(OUTPUT_BYTES, 0.0f);
    auto at = [&](int anchor, int k, int row, int col) -> float& {
        return values[size_t(anchor * CHANNELS_PER_BOX + k) * CELLS + size_t(row) * GRID + size_t(col)];
    };
    for (int a = 0; a < BOXES_PER_CELL; ++a)
        for (int r = 0; r < GRID; ++r)
            for (int c = 0; c < GRID; ++c) at(a, 4, r, c) = LOGIT_LOW;

    // Larger objects first: a smaller one never takes a cell and anchor already taken.
    std::vector<const Shape*> order;
    for (const auto& s : shapes) order.push_back(&s);
    std::stable_sort(order.begin(), order.end(), [](const Shape* a, const Shape* b) {
        return int64_t(a->x1 - a->x0 + 1) * (a->y1 - a->y0 + 1) > int64_t(b->x1 - b->x0 + 1) * (b->y1 - b->y0 + 1);
    });
    std::vector<bool> taken(CELLS * BOXES_PER_CELL, false);

    auto logit = [](double f) {
        f = std::clamp(f, 0.02, 0.98);
        return float(std::log(f / (1.0 - f)));
    };
    for (const Shape* s : order) {
        if (s->cls < 0 || s->cls >= CLASSES) continue;
        const double w = double(s->x1 - s->x0 + 1);
        const double h = double(s->y1 - s->y0 + 1);
        if (!(w > 0 && h > 0)) continue;
        const double cx = s->x0 + w / 2.0;
        const double cy = s->y0 + h / 2.0;
        const int col = std::clamp(int(std::floor(cx / CELL)), 0, GRID - 1);
        const int row = std::clamp(int(std::floor(cy / CELL)), 0, GRID - 1);
        const double wc = w / CELL, hc = h / CELL;
        int best = 0;
        double best_iou = -1.0;
        for (int a = 0; a < BOXES_PER_CELL; ++a) {
            const double aw = ANCHORS[a][0], ah = ANCHORS[a][1];
            const double inter = std::min(wc, aw) * std::min(hc, ah);
            const double iou = inter / (wc * hc + aw * ah - inter);
            if (iou > best_iou) {
                best_iou = iou;
                best = a;
            }
        }
        const size_t slot = (size_t(row) * GRID + size_t(col)) * BOXES_PER_CELL + size_t(best);
        if (taken[slot]) continue;
        taken[slot] = true;
        at(best, 0, row, col) = logit(cx / CELL - col);
        at(best, 1, row, col) = logit(cy / CELL - row);
        at(best, 2, row, col) = float(std::log(wc / ANCHORS[best][0]));
        at(best, 3, row, col) = float(std::log(hc / ANCHORS[best][1]));
        at(best, 4, row, col) = LOGIT_HIGH;
        for (int k = 0; k < CLASSES; ++k) at(best, 5 + k, row, col) = (k == s->cls) ? LOGIT_HIGH : LOGIT_LOW;
    }

    std::vector<uint8_t> block(OUTPUT_BYTES);
    for (size_t i = 0; i < OUTPUT_BYTES; ++i)
        block[i] = static_cast<uint8_t>(quantise(values[i], int(i / CELLS), scaling));
    return block;
}

namespace {

class ZeroModel : public NetworkModel {
public:
    explicit ZeroModel(const Scaling& scaling) : block_(encode_shapes({}, scaling)) {}
    void run(const uint8_t*, uint8_t* output) override { std::memcpy(output, block_.data(), block_.size()); }

private:
    std::vector<uint8_t> block_;
};

class ShapesModel : public NetworkModel {
public:
    explicit ShapesModel(const Scaling& scaling) : scaling_(scaling) {
        // Builds the colour tables now rather than in the first run.
        const std::vector<uint8_t> blank(INPUT_BYTES, 0);
        find_shapes(blank.data());
    }
    void run(const uint8_t* planes, uint8_t* output) override {
        const auto block = encode_shapes(find_shapes(planes), scaling_);
        std::memcpy(output, block.data(), block.size());
    }

private:
    Scaling scaling_;
};

class NoiseModel : public NetworkModel {
public:
    explicit NoiseModel(uint64_t seed) : random_(seed) {}
    void run(const uint8_t*, uint8_t* output) override {
        for (size_t i = 0; i < OUTPUT_BYTES; i += 8) {
            const uint64_t word = random_.next();
            for (size_t j = 0; j < 8 && i + j < OUTPUT_BYTES; ++j) output[i + j] = uint8_t(word >> (8 * j));
        }
    }

private:
    FaultRandom random_;
};

class ReplayModel : public NetworkModel {
public:
    explicit ReplayModel(const std::string& path) {
        std::ifstream file(path, std::ios::binary);
        if (!file) throw std::runtime_error("cannot open replay file " + path);
        block_.assign(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
        if (block_.size() != OUTPUT_BYTES)
            throw std::runtime_error("replay file " + path + " has " + std::to_string(block_.size()) +
                                     " bytes, expected " + std::to_string(OUTPUT_BYTES));
    }
    void run(const uint8_t*, uint8_t* output) override { std::memcpy(output, block_.data(), block_.size()); }

private:
    std::vector<uint8_t> block_;
};

bool parse_u64(const std::string& text, uint64_t& value) {
    if (text.empty() || text.size() > 20) return false;
    uint64_t v = 0;
    for (char ch : text) {
        if (ch < '0' || ch > '9') return false;
        const uint64_t digit = uint64_t(ch - '0');
        if (v > (std::numeric_limits<uint64_t>::max() - digit) / 10) return false;
        v = v * 10 + digit;
    }
    value = v;
    return true;
}

}  // namespace

std::unique_ptr<NetworkModel> NetworkModel::create(const std::string& spec, const Scaling& scaling) {
    if (spec == "shapes") return std::make_unique<ShapesModel>(scaling);
    if (spec == "zero") return std::make_unique<ZeroModel>(scaling);
    if (spec.rfind("noise:", 0) == 0) {
        uint64_t seed = 0;
        if (!parse_u64(spec.substr(6), seed))
            throw std::invalid_argument("model noise:SEED needs an unsigned number, got \"" + spec + "\"");
        return std::make_unique<NoiseModel>(seed);
    }
    if (spec.rfind("replay:", 0) == 0) {
        if (spec.size() == 7) throw std::invalid_argument("model replay:FILE needs a file name");
        return std::make_unique<ReplayModel>(spec.substr(7));
    }
    throw std::invalid_argument("unknown model \"" + spec + "\" (shapes, zero, noise:SEED or replay:FILE)");
}

}  // namespace board
