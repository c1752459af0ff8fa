#include "postprocess/nms.hpp"
#include "postprocess/nms_reference.hpp"
#include "tests/support/fatal.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <vector>

using namespace suppression;

namespace {

std::vector<uint64_t> run_nms(std::vector<float> scores, std::vector<BB> boxes, float x) {
    std::vector<uint64_t> kept(scores.size() + 1, 999);
    uint64_t count = 12345;
    nms(scores.size(), scores, boxes, kept.data(), count, x);
    kept.resize(count);
    return kept;
}

BB box(float left, float right, float top, float bottom) { return BB{left, right, top, bottom}; }

}  // namespace

TEST(Nms, EmptyAndSingleInput) {
    // n = 0 touches nothing but the count, even with lists of different length.
    std::vector<float> scores{0.5f, 0.7f};
    std::vector<BB> boxes{box(0, 1, 0, 1)};
    uint64_t kept[2] = {77, 88};
    uint64_t count = 5;
    nms(0, scores, boxes, kept, count, 0.425f);
    EXPECT_EQ(count, 0u);
    EXPECT_EQ(kept[0], 77u);
    EXPECT_EQ(kept[1], 88u);

    EXPECT_EQ(run_nms({0.3f}, {box(5, 6, 5, 6)}, 0.425f), (std::vector<uint64_t>{0}));
}

TEST(Nms, CoverIsIntersectionOverTheWeakerBoxWithWholePixelCorners) {
    // Identical 10-pixel boxes: 100 / 121 covers the weaker one at the default
    // limit, and nothing is suppressed at limit 1 (overlap threshold 0).
    const BB b = box(0, 10, 0, 10);
    EXPECT_EQ(run_nms({0.4f, 0.6f}, {b, b}, 0.425f), (std::vector<uint64_t>{1}));
    EXPECT_EQ(run_nms({0.4f, 0.6f}, {b, b}, 100.0f / 121.0f), (std::vector<uint64_t>{1, 0}));
    EXPECT_EQ(run_nms({0.4f, 0.6f}, {b, b}, 1.0f), (std::vector<uint64_t>{1, 0}));

    // A strong small box inside a weak large one (area 100 x 100 = 10000 with
    // the +1): at 4250 pixels the cover is exactly 0.425 and both stay; one
    // more column of intersection and the large box goes.
    const BB large = box(0, 99, 0, 99);
    EXPECT_EQ(run_nms({0.2f, 0.9f}, {large, box(0, 50, 0, 85)}, 0.425f), (std::vector<uint64_t>{1, 0}));
    EXPECT_EQ(run_nms({0.2f, 0.9f}, {large, box(0, 51, 0, 85)}, 0.425f), (std::vector<uint64_t>{1}));
    // The other way round the small box is wholly covered and goes.
    EXPECT_EQ(run_nms({0.9f, 0.2f}, {large, box(10, 20, 10, 20)}, 0.425f), (std::vector<uint64_t>{0}));

    // Corners are truncated: a sliver of 0.8 pixels does not intersect, so
    // even limit 0 (overlap threshold 1) keeps both.
    EXPECT_EQ(run_nms({0.9f, 0.8f}, {box(0, 10.9f, 0, 10), box(10.1f, 20, 0, 10)}, 0.0f),
              (std::vector<uint64_t>{0, 1}));
    EXPECT_EQ(run_nms({0.9f, 0.8f}, {box(0, 11.9f, 0, 10), box(10.1f, 20, 0, 10)}, 0.0f),
              (std::vector<uint64_t>{0}));
}

TEST(Nms, EqualScoresComeOutInTheQuicksortOrder) {
    // Hand trace of the Lomuto quicksort on scores (0.9, 0.5, 0.5, 0.1, 0.5):
    // the ascending index order is 3, 4, 1, 2, 0, so with disjoint boxes the
    // kept order is 0, 2, 1, 4, 3 (a stable sort would give 0, 4, 2, 1, 3).
    std::vector<BB> disjoint;
    for (int k = 0; k < 5; ++k) disjoint.push_back(box(100.0f * k, 100.0f * k + 50, 0, 50));
    EXPECT_EQ(run_nms({0.9f, 0.5f, 0.5f, 0.1f, 0.5f}, disjoint, 0.425f), (std::vector<uint64_t>{0, 2, 1, 4, 3}));

    // Three equal scores sort to 2, 0, 1: index 1 is chosen first, and with
    // identical boxes it is the only one kept.
    std::vector<BB> same(3, box(0, 20, 0, 20));
    EXPECT_EQ(run_nms({0.5f, 0.5f, 0.5f}, same, 0.425f), (std::vector<uint64_t>{1}));

    std::vector<float> values{0.5f, 0.5f, 0.5f};
    std::vector<uint64_t> indices{0, 1, 2};
    quickSortIterative(values.data(), indices.data(), 0, 2);
    EXPECT_EQ(indices, (std::vector<uint64_t>{2, 0, 1}));
}

TEST(Nms, AgreesWithTheListVariantOnRandomCandidates) {
    std::mt19937 rng(20261207);
    std::uniform_real_distribution<float> pos(0.0f, 400.0f);
    std::uniform_real_distribution<float> size(1.0f, 150.0f);
    int compared = 0;
    for (int round = 0; round < 300; ++round) {
        const int n = 1 + static_cast<int>(rng() % 120);
        std::vector<float> scores;
        std::vector<BB> boxes;
        for (int k = 0; k < n; ++k) {
            // Distinct scores: the two variants sort equal scores differently.
            scores.push_back(static_cast<float>(k + 1) / (n + 1));
            const float l = pos(rng), t = pos(rng);
            boxes.push_back(box(l, l + size(rng), t, t + size(rng)));
        }
        std::shuffle(scores.begin(), scores.end(), rng);
        const std::vector<uint64_t> expected = nms_cpp(scores, boxes);
        std::vector<uint64_t> kept = run_nms(scores, boxes, 0.3f);
        // At a cover of exactly 0.3f the variants differ by design (x >= cover
        // against cover < 0.3); redraw such rounds.
        bool exact = false;
        for (int a = 0; a < n && !exact; ++a)
            for (int b = 0; b < n && !exact; ++b) {
                auto t = [](float v) { return static_cast<int>(v); };
                const int iw = std::max(0, std::min(t(boxes[a].right), t(boxes[b].right)) -
                                               std::max(t(boxes[a].left), t(boxes[b].left)));
                const int ih = std::max(0, std::min(t(boxes[a].bottom), t(boxes[b].bottom)) -
                                               std::max(t(boxes[a].top), t(boxes[b].top)));
                const int area = static_cast<int>((boxes[a].right - boxes[a].left + 1) *
                                                  (boxes[a].bottom - boxes[a].top + 1));
                exact = static_cast<float>(iw * ih) / static_cast<float>(area) == 0.3f;
            }
        if (exact) continue;
        ++compared;
        ASSERT_EQ(kept, expected) << "round " << round;
        // Best first.
        for (size_t i = 1; i < kept.size(); ++i) EXPECT_GT(scores[kept[i - 1]], scores[kept[i]]);
    }
    EXPECT_GT(compared, 250);
}

TEST(Nms, ListsOfDifferentLengthEndTheProgram) {
    std::vector<float> scores{0.5f, 0.6f, 0.7f};
    std::vector<BB> boxes(2);
    uint64_t kept[3];
    uint64_t count = 0;
    EXPECT_TRUE(fatal::contains_regex(fatal::error_text([&] { nms(2, scores, boxes, kept, count, 0.425f); }),
                "Number of bounding boxes and probabilities does not match\n"
                "\tcandidate_probs.size\\(\\) = 3\n"
                "\tcandidate_bbs.size\\(\\) = 2\n"));
}
