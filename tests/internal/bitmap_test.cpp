// The image filter against values worked out here from small generated
// images (texel reads, box means of the pyramid levels, bicubic and
// bilinear interpolation, blends between levels), and the bitmap map
// through a stand-in generator: cropping, placement with its jitter,
// alpha sources, output modes, image lists, messages and G-buffer writes.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <functional>
#include <thread>
#include <vector>

#include "internal/internal.h"
#include "kor_stduv.h"
#include "maps/bmm_filter.h"
#include "maps/tex_bitmap.h"
#include "scenedata.h"
#include "testhost/host_bitmap.h"

namespace {

using kor::ImageFilter;

TestBitmapHost &bitmap_host() {
    return *internal::host_object<TestBitmapHost>("testhost_bitmap");
}

// A deterministic pattern whose channels are whole multiples of 1/255.
float pattern(int x, int y, int channel) {
    return static_cast<float>((x * 37 + y * 91 + channel * 53 + 17) % 256) / 255.0f;
}

struct TestImage {
    zoImage header{};
    std::vector<Color> pixels;

    TestImage(int width, int height, int type, const std::function<Color(int, int)> &f) {
        header.width = width;
        header.height = height;
        header.type = type;
        header.comp = 4;
        header.bits = type == ZO_IMG_TYPE_RGBA_FP ? 32 : (type == ZO_IMG_TYPE_RGBA ? 8 : 16);
        pixels.resize(static_cast<size_t>(width) * height);
        for (int y = 0; y < height; ++y)
            for (int x = 0; x < width; ++x) pixels[y * width + x] = f(x, y);
        header.data = pixels.data();
    }
    TestImage(int width, int height, int type)
        : TestImage(width, height, type, [](int x, int y) {
              return Color{pattern(x, y, 0), pattern(x, y, 1), pattern(x, y, 2), pattern(x, y, 3)};
          }) {}

    const Color &at(int x, int y) const { return pixels[y * header.width + x]; }
    // The mean of the pixels in the columns and rows given, in double.
    Color mean(std::initializer_list<std::pair<int, int>> points) const {
        double s[4] = {0, 0, 0, 0};
        for (auto [x, y] : points) {
            const Color &c = at(x, y);
            s[0] += c.r, s[1] += c.g, s[2] += c.b, s[3] += c.a;
        }
        const double n = static_cast<double>(points.size());
        return Color{float(s[0] / n), float(s[1] / n), float(s[2] / n), float(s[3] / n)};
    }
    Color block_mean(int x0, int y0, int size) const {
        double s[4] = {0, 0, 0, 0};
        for (int y = y0; y < y0 + size; ++y)
            for (int x = x0; x < x0 + size; ++x) {
                const Color &c = at(x, y);
                s[0] += c.r, s[1] += c.g, s[2] += c.b, s[3] += c.a;
            }
        const double n = double(size) * size;
        return Color{float(s[0] / n), float(s[1] / n), float(s[2] / n), float(s[3] / n)};
    }
};

Tag add_image(TestImage &image, Tag tag) {
    internal::host().images[tag] = &image.header;
    internal::host().db_types[tag] = ZO_DB_IMAGE;
    return tag;
}

void expect_color(const Color &c, const Color &expected, double tolerance, const char *what) {
    EXPECT_NEAR(c.r, expected.r, tolerance) << what;
    EXPECT_NEAR(c.g, expected.g, tolerance) << what;
    EXPECT_NEAR(c.b, expected.b, tolerance) << what;
    EXPECT_NEAR(c.a, expected.a, tolerance) << what;
}

Color read(ImageFilter *f, float u, float v, float du, float dv) {
    Color c{9, 9, 9, 9};
    kor::filterRead(f, u, v, du, dv, &c);
    return c;
}

double catmull_rom(double p0, double p1, double p2, double p3, double t) {
    // the cubic through p1 and p2 whose slopes are (p2 - p0)/2 and (p3 - p1)/2
    const double m1 = (p2 - p0) / 2, m2 = (p3 - p1) / 2;
    const double t2 = t * t, t3 = t2 * t;
    return (2 * t3 - 3 * t2 + 1) * p1 + (t3 - 2 * t2 + t) * m1 + (-2 * t3 + 3 * t2) * p2 +
           (t3 - t2) * m2;
}

class Filter : public ::testing::Test {
  protected:
    void SetUp() override {
        internal::reset();
        bitmap_host().reset();
    }
    void TearDown() override {
        long pinned = 0;
        for (ImageFilter *f : filters) pinned += f && f->hostImage ? 1 : 0;
        const long unpins = internal::scene().unpins;
        for (ImageFilter *f : filters) kor::filterDestroy(f);
        EXPECT_EQ(internal::host().allocations, internal::host().releases) << "blocks released";
        EXPECT_EQ(bitmap_host().lock_inits, bitmap_host().lock_deletes) << "locks deleted";
        EXPECT_EQ(internal::scene().unpins - unpins, pinned) << "images unpinned";
    }
    ImageFilter *make(TestImage &image, float gamma = 1.0f, bool wrap = false) {
        ImageFilter *f =
            kor::filterCreate(add_image(image, next_tag++), gamma, nullptr, nullptr, 0, 0);
        kor::filterSetWrap(f, wrap);
        filters.push_back(f);
        return f;
    }
    std::vector<ImageFilter *> filters;
    Tag next_tag = 100;
};

TEST_F(Filter, LevelCountsHalveTheSmallerSide) {
    EXPECT_EQ(kor::filterLevelCount(8, 8), 4);   // 8 4 2 1, plus one
    EXPECT_EQ(kor::filterLevelCount(16, 4), 3);  // the height decides
    EXPECT_EQ(kor::filterLevelCount(5, 3), 3);   // 3 -> 2 -> 1
    EXPECT_EQ(kor::filterLevelCount(1, 1), 1);
    EXPECT_EQ(kor::filterLevelCount(0, 7), 0);
    EXPECT_EQ(kor::filterLevelCount(1 << 14, 1 << 14), 12) << "at most 12";
}

TEST_F(Filter, TexelCentresOfLevelZeroReadTheTexel) {
    for (int type : {ZO_IMG_TYPE_RGBA_FP, ZO_IMG_TYPE_RGBA, ZO_IMG_TYPE_RGBA_16}) {
        TestImage image(8, 4, type);
        ImageFilter *f = make(image);
        for (int y = 0; y < 4; ++y)
            for (int x = 0; x < 8; ++x)
                expect_color(read(f, (x + 0.5f) / 8, (y + 0.5f) / 4, 0, 0), image.at(x, y), 1e-6,
                             "texel centre");
    }
}

TEST_F(Filter, LevelTexelsAreBoxMeans) {
    // float levels keep the mean; 16-bit and 8-bit levels round it
    const std::pair<int, double> kinds[] = {{ZO_IMG_TYPE_RGBA_FP, 1e-6},
                                            {ZO_IMG_TYPE_RGBA_16, 0.5 / 65535 + 1e-6},
                                            {ZO_IMG_TYPE_RGBA, 0.5 / 255 + 1e-6}};
    for (auto [type, tolerance] : kinds) {
        TestImage image(8, 4, type);
        ImageFilter *f = make(image);
        // a footprint of two texels reads level 1 alone (blend weight 0)
        for (int j = 0; j < 2; ++j)
            for (int i = 0; i < 4; ++i)
                expect_color(read(f, (2 * i + 1) / 8.0f, (2 * j + 1) / 4.0f, 2.0f / 8, 0),
                             image.block_mean(2 * i, 2 * j, 2), tolerance, "level 1");
        // four texels: level 2, the mean of a 4x4 block
        for (int i = 0; i < 2; ++i)
            expect_color(read(f, (4 * i + 2) / 8.0f, 0.5f, 0, 4.0f / 4),
                         image.block_mean(4 * i, 0, 4), 2 * tolerance, "level 2");
        EXPECT_EQ(f->levels, 3);
    }
}

TEST_F(Filter, OddLastColumnAndRow) {
    TestImage image(5, 3, ZO_IMG_TYPE_RGBA_FP);
    ImageFilter *clamped = make(image);
    ImageFilter *wrapped = make(image, 1.0f, true);
    // level-1 texel (i, j) read with a two-texel footprint close to its
    // centre (within 1/4096 of a texel)
    auto level1 = [](ImageFilter *f, int i, int j) {
        const float u = ((2 * i + 1) * 4096.0f - 1) / (5 * 4096.0f);
        const float v = ((2 * j + 1) * 4096.0f - 1) / (3 * 4096.0f);
        return read(f, u, v, 2.0f / 5, 0);
    };
    const double tol = 5e-4;
    expect_color(level1(clamped, 0, 0), image.mean({{0, 0}, {1, 0}, {0, 1}, {1, 1}}), tol, "inner");
    expect_color(level1(clamped, 2, 0), image.mean({{4, 0}, {4, 1}}), tol,
                 "last column: the two pixels above each other");
    expect_color(level1(clamped, 1, 1), image.mean({{2, 2}, {3, 2}}), tol, "last row");
    expect_color(level1(clamped, 2, 1), image.mean({{4, 2}}), tol, "corner");
    expect_color(level1(wrapped, 2, 0), image.mean({{4, 0}, {0, 0}, {4, 1}, {0, 1}}), tol,
                 "wrapping: column 0 joins");
    expect_color(level1(wrapped, 1, 1), image.mean({{2, 2}, {3, 2}, {2, 0}, {3, 0}}), tol,
                 "wrapping: row 0 joins");
    EXPECT_EQ(clamped->levelWidth[1], 3);
    EXPECT_EQ(clamped->levelHeight[1], 2);
}

TEST_F(Filter, ConstantImagesReadTheConstantAtEveryFootprint) {
    const Color constant{153 / 255.0f, 51 / 255.0f, 1.0f, 204 / 255.0f};
    for (int type : {ZO_IMG_TYPE_RGBA_FP, ZO_IMG_TYPE_RGBA, ZO_IMG_TYPE_RGBA_16}) {
        TestImage image(7, 5, type, [&](int, int) { return constant; });
        ImageFilter *f = make(image);
        for (float du : {0.0f, 0.05f, 0.2f, 0.3f, 0.5f, 0.9f, 3.0f})
            for (float u : {0.0f, 0.13f, 0.5f, 0.77f, 0.999f})
                expect_color(read(f, u, 1 - u, du, du * 0.5f), constant, 1e-5, "constant");
    }
}

TEST_F(Filter, SmallFootprintsInterpolateLevelZero) {
    // fixed-point position 3.25 + 0.5 texels across, 4.75 + 0.5 down
    const float u = (3 * 4096 + 1024 + 2048) / (8 * 4096.0f);
    const float v = (4 * 4096 + 3072 + 2048) / (8 * 4096.0f);
    TestImage bytes(8, 8, ZO_IMG_TYPE_RGBA);
    ImageFilter *cubic = make(bytes);
    Color c = read(cubic, u, v, 0.5f / 8, 0.5f / 8);  // half a texel
    for (int k = 0; k < 4; ++k) {
        double rows[4];
        for (int r = 0; r < 4; ++r) {
            const int y = 3 + r;
            rows[r] = catmull_rom(pattern(2, y, k), pattern(3, y, k), pattern(4, y, k),
                                  pattern(5, y, k), 0.25);
        }
        double expected = catmull_rom(rows[0], rows[1], rows[2], rows[3], 0.75);
        expected = std::min(1.0, std::max(0.0, expected));
        EXPECT_NEAR((&c.r)[k], expected, 1e-5) << "bicubic channel " << k;
    }
    TestImage floats(8, 8, ZO_IMG_TYPE_RGBA_FP);
    ImageFilter *linear = make(floats);
    c = read(linear, u, v, 0.5f / 8, 0);
    for (int k = 0; k < 4; ++k) {
        const double top = 0.75 * pattern(3, 4, k) + 0.25 * pattern(4, 4, k);
        const double bottom = 0.75 * pattern(3, 5, k) + 0.25 * pattern(4, 5, k);
        EXPECT_NEAR((&c.r)[k], 0.25 * top + 0.75 * bottom, 1e-5) << "bilinear channel " << k;
    }
}

TEST_F(Filter, FootprintsBetweenLevelsBlendThem) {
    TestImage image(32, 32, ZO_IMG_TYPE_RGBA_FP);
    ImageFilter *f = make(image);
    // eight texels: level 3 with weight 1 (a texel centre there: the 8x8 mean)
    expect_color(read(f, 12 / 32.0f, 20 / 32.0f, 8 / 32.0f, 0), image.block_mean(8, 16, 8), 1e-5,
                 "levels 3 and 4 with t = 0");
    // 2^1.5 texels: half-way between levels 1 and 2. At texel 4k + 3 the
    // level-1 read is a texel centre and the level-2 read lies a quarter
    // texel past one.
    const int k = 2, m = 3;
    const float u = (4 * k + 3) / 32.0f, v = (4 * m + 3) / 32.0f;
    const Color c = read(f, u, v, std::sqrt(8.0f) / 32, 0);
    const Color l1 = image.block_mean(2 * (2 * k + 1), 2 * (2 * m + 1), 2);
    const Color q00 = image.block_mean(4 * k, 4 * m, 4),
                q10 = image.block_mean(4 * k + 4, 4 * m, 4);
    const Color q01 = image.block_mean(4 * k, 4 * m + 4, 4),
                q11 = image.block_mean(4 * k + 4, 4 * m + 4, 4);
    const double t = 2048.0 / 4095.0;
    for (int ch = 0; ch < 4; ++ch) {
        const double a = (&l1.r)[ch];
        const double b = 0.5625 * (&q00.r)[ch] + 0.1875 * (&q10.r)[ch] + 0.1875 * (&q01.r)[ch] +
                         0.0625 * (&q11.r)[ch];
        EXPECT_NEAR((&c.r)[ch], (1 - t) * a + t * b, 5e-4) << "channel " << ch;
    }
}

TEST_F(Filter, GammaIsAppliedToEveryPixelRead) {
    TestImage image(4, 4, ZO_IMG_TYPE_RGBA_FP);
    ImageFilter *f = make(image, 2.2f);
    auto table = [](float x) {
        const double index = std::floor(x * 8191.0 + 0.5);
        return std::pow(index / 8191.0, 2.2);
    };
    const Color &p = image.at(1, 2);
    Color c = read(f, 1.5f / 4, 2.5f / 4, 0, 0);
    EXPECT_NEAR(c.r, table(p.r), 1e-6);
    EXPECT_NEAR(c.g, table(p.g), 1e-6);
    EXPECT_NEAR(c.b, table(p.b), 1e-6);
    EXPECT_FLOAT_EQ(c.a, p.a) << "alpha is not corrected";
    // level 1 is built from corrected pixels
    c = read(f, 1 / 4.0f, 1 / 4.0f, 2 / 4.0f, 0);
    double mean = 0;
    const std::initializer_list<std::pair<int, int>> block = {{0, 0}, {1, 0}, {0, 1}, {1, 1}};
    for (auto [x, y] : block) mean += table(image.at(x, y).r) / 4;
    EXPECT_NEAR(c.r, mean, 1e-6);
    // point reads too
    kor::filterPointRead(f, nullptr, 0.3f, 0.6f, &c);
    EXPECT_NEAR(c.r, table(image.at(1, 2).r), 1e-6);
}

TEST_F(Filter, PointReadsTakeTheNearestPixel) {
    TestImage image(8, 4, ZO_IMG_TYPE_RGBA);
    ImageFilter *f = make(image);
    Color c;
    kor::filterPointRead(f, nullptr, 0.3f, 0.6f, &c);
    expect_color(c, image.at(2, 2), 0, "(0.3 * 8, 0.6 * 4)");
    kor::filterPointRead(f, nullptr, 0.999f, 0.0f, &c);
    expect_color(c, image.at(7, 0), 0, "last column");
}

TEST_F(Filter, TexturesThatAreNotImages) {
    internal::host().db_types[55] = ZO_DB_TEXTURE;
    internal::host().shaders[55] = TestShaderBehaviour{1, true, {0.25f, 0.5f, 0.75f, 1}};
    ImageFilter *f = kor::filterCreate(55, 1.0f, nullptr, nullptr, 0, 0);
    filters.push_back(f);
    expect_color(read(f, 0.5f, 0.5f, 0.1f, 0.1f), Color{0, 0, 0, 1}, 0, "filtered: black");
    Color c;
    kor::filterPointRead(f, nullptr, 0.25f, 0.75f, &c);
    expect_color(c, Color{0.25f, 0.5f, 0.75f, 1}, 0, "point: the host's texture lookup");
    ASSERT_EQ(internal::host().texture_coords.size(), 1u);
    EXPECT_FLOAT_EQ(internal::host().texture_coords[0].x, 0.25f);
    EXPECT_FLOAT_EQ(internal::host().texture_coords[0].y, 0.75f);
}

TEST_F(Filter, HostPyramidsAreSampledDirectly) {
    TestImage base(8, 8, ZO_IMG_TYPE_RGBA_FP);
    TestImage level1(4, 4, ZO_IMG_TYPE_RGBA_FP, [](int, int) {
        return Color{0.25f, 0.25f, 0.25f, 1};
    });
    TestImage level2(2, 2, ZO_IMG_TYPE_RGBA_FP, [](int, int) {
        return Color{0.75f, 0.75f, 0.75f, 1};
    });
    base.header.filter = 1.0f;
    base.header.levels = 3;
    bitmap_host().pyramids[&base.header] = {&base.header, &level1.header, &level2.header};
    ImageFilter *f = make(base);
    EXPECT_NEAR(read(f, 0.5f, 0.5f, 2 / 8.0f, 0).r, 0.25f, 1e-6) << "the host's level 1";
    EXPECT_NEAR(read(f, 0.5f, 0.5f, 64 / 8.0f, 0).r, 0.75f, 1e-6) << "clamped to the last level";
    const float t = 2048.0f / 4095.0f;
    EXPECT_NEAR(read(f, 0.5f, 0.5f, std::sqrt(8.0f) / 8, 0).r, (1 - t) * 0.25f + t * 0.75f, 5e-4);
    EXPECT_EQ(f->level[1], nullptr) << "nothing rebuilt";
}

TEST_F(Filter, PixelCallbackSources) {
    static auto source = [](Color *out, void *user, int x, int y) {
        const float scale = *static_cast<float *>(user);
        *out = Color{x * scale, y * scale, 0, 1};
    };
    float scale = 0.1f;
    ImageFilter *f = kor::filterCreate(0, 1.0f, source, &scale, 4, 4);
    filters.push_back(f);
    expect_color(read(f, 2.5f / 4, 1.5f / 4, 0, 0), Color{0.2f, 0.1f, 0, 1}, 1e-6, "level 0");
    expect_color(read(f, 0.25f, 0.25f, 0.5f, 0), Color{0.05f, 0.05f, 0, 1}, 1e-4, "level 1");
}

TEST_F(Filter, ThePyramidIsBuiltOnceAndReadsAfterwardsTakeNoLock) {
    TestImage image(64, 32, ZO_IMG_TYPE_RGBA);
    ImageFilter *fresh = make(image);
    ImageFilter *reference = make(image);
    struct Probe {
        float u, v, du, dv;
    };
    std::vector<Probe> probes;
    for (int i = 0; i < 200; ++i)
        probes.push_back(
            {(i * 37 % 101) / 101.0f, (i * 53 % 97) / 97.0f, (i % 7) * 0.03f, (i % 5) * 0.04f});
    std::vector<Color> expected;
    for (const Probe &p : probes) expected.push_back(read(reference, p.u, p.v, p.du, p.dv));

    constexpr int kThreads = 8;
    std::vector<std::vector<Color>> got(kThreads);
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t)
        threads.emplace_back([&, t] {
            for (const Probe &p : probes) got[t].push_back(read(fresh, p.u, p.v, p.du, p.dv));
        });
    for (auto &th : threads) th.join();
    for (int t = 0; t < kThreads; ++t)
        for (size_t i = 0; i < probes.size(); ++i)
            ASSERT_EQ(std::memcmp(&got[t][i], &expected[i], sizeof(Color)), 0)
                << "thread " << t << " probe " << i;
    const long locks = internal::host().locks;
    EXPECT_LE(locks, 2 + kThreads) << "the lock is taken only while the pyramid is pending";
    for (const Probe &p : probes) read(fresh, p.u, p.v, p.du, p.dv);
    EXPECT_EQ(internal::host().locks, locks) << "no lock after the build";
    EXPECT_EQ(internal::host().locks, internal::host().unlocks);
}

// ---------------------------------------------------------------------------
// The bitmap map.

constexpr Tag kCoords = 900, kOutput = 901, kImage = 300;

// A stand-in UV generator: reads the map at a set coordinate and footprint,
// or answers a bump gradient and the basis of a pending coordinate query.
struct FakeGenerator {
    float u = 0.5f, v = 0.5f, du = 0, dv = 0;
    zoBoolean ok = 1;
    Color gradient{0, 0, 0, 0};
    Vector3 bu{1, 0, 0}, bv{0, 1, 0};
    int point_calls = 0, filtered_calls = 0, calls = 0;
    const int *mode = nullptr;
};

zoBoolean fake_generator(void *result, RenderState *state, void *params, void *arg) {
    auto *g = static_cast<FakeGenerator *>(params);
    auto *request = static_cast<UVLookupRequest *>(arg);
    ++g->calls;
    if (!g->ok || !request || request->magic != kUVLookupMagic) return 0;
    g->mode = request->mode;
    Color *out = static_cast<Color *>(result);
    if (request->mode && *request->mode != 0 && *request->mode != 1) {
        auto *query = static_cast<CoordQuery *>(state->user);
        if (query && state->user_size == kCoordQuerySize && query->magic == kCoordQueryUV &&
            (query->flags & kQueryBasis)) {
            std::memcpy(&query->slots[0], &g->bu, sizeof(Vector3));
            std::memcpy(&query->slots[3], &g->bv, sizeof(Vector3));
        }
        *out = g->gradient;
        return 1;
    }
    if (request->filtered) {
        ++g->filtered_calls;
        request->filteredLookup(out, state, request, g->u, g->v, g->du, g->dv);
    } else {
        ++g->point_calls;
        request->pointLookup(out, state, request, g->u, g->v);
    }
    return 1;
}

// An Output shader that doubles what it is given and notes the mode pointer.
struct FakeOutput {
    int calls = 0;
    const void *mode = nullptr;
    Color seen{0, 0, 0, 0};
};

zoBoolean fake_output(void *result, RenderState *, void *params, void *arg) {
    auto *o = static_cast<FakeOutput *>(params);
    ++o->calls;
    o->mode = arg;
    Color *c = static_cast<Color *>(result);
    o->seen = *c;
    *c = Color{2 * c->r, 2 * c->g, 2 * c->b, 2 * c->a};
    return 1;
}

// The parameter record followed by room for list elements: element k of a
// list with start kListStart lies at list[k].
struct ParamsWithLists {
    BitmapParams p;
    Tag list[8];
};
static_assert(offsetof(ParamsWithLists, list) == sizeof(BitmapParams), "list storage follows");
constexpr int kListStart = (sizeof(BitmapParams) - offsetof(BitmapParams, images.storage)) / 4;

// The process generator's sequence, worked out on its own.
struct Lcg {
    uint32_t next;
    int draw() {
        next = next * 1103515245u + 12345u;
        return static_cast<int>((next >> 16) & 0x7FFF);
    }
};

class Bitmap : public ::testing::Test {
  protected:
    void SetUp() override {
        internal::reset();
        bitmap_host().reset();
        internal::host().user_slot = &slot;
        record.tag = 50;
        state.shader = &record;
        state.options = &options;
        state.type = ZO_RAY_EYE;
        std::memset(&all, 0, sizeof all);
        p.clipW = p.clipH = 1;
        p.jitter = 1;
        p.premultipliedAlpha = 1;
        p.coords = kCoords;
        p.playbackRate = 1;
        p.frameStep = 1;
        p.filtering = 2;
        p.image = add_image(image, kImage);
        bitmap_host().functions[kCoords] = {fake_generator, &gen};
        bitmap_host().functions[kOutput] = {fake_output, &out};
    }
    void TearDown() override {
        if (initialised) kor_Bitmap_exit(&state, &p);
        EXPECT_EQ(slot, nullptr);
        EXPECT_EQ(internal::host().allocations, internal::host().releases) << "blocks released";
        EXPECT_EQ(bitmap_host().lock_inits, bitmap_host().lock_deletes);
    }
    void init() {
        zoBoolean more = 0;
        kor_Bitmap_init(&state, nullptr, &more);
        EXPECT_TRUE(more) << "asks for instance initialisation";
        kor_Bitmap_init(&state, &p, &more);
        ASSERT_NE(slot, nullptr);
        initialised = true;
    }
    Color run(int mode = 0, zoBoolean expect = 1) {
        Color c{9, 9, 9, 9};
        EXPECT_EQ(kor_Bitmap(&c, &state, &p, &mode), expect);
        return c;
    }
    Color at(float u, float v, int mode = 0) {
        gen.u = u;
        gen.v = v;
        return run(mode);
    }
    Color pixel_at(float u, float v) const {
        return image.at(static_cast<int>(u * 8), static_cast<int>(v * 4));
    }

    TestImage image{8, 4, ZO_IMG_TYPE_RGBA};
    FakeGenerator gen;
    FakeOutput out;
    zoOptions options{};
    zoShaderRecord record{};
    RenderState state{};
    void *slot = nullptr;
    ParamsWithLists all;
    BitmapParams &p = all.p;
    bool initialised = false;
};

TEST_F(Bitmap, PointReadsThroughTheGenerator) {
    init();
    expect_color(at(0.3f, 0.6f), pixel_at(0.3f, 0.6f), 0, "premultiplied: as read");
    EXPECT_EQ(gen.point_calls, 1);
    EXPECT_EQ(gen.filtered_calls, 0) << "filtering 2 uses the point read only";
    ASSERT_EQ(internal::host().arguments.size(), 1u);
    EXPECT_EQ(internal::host().arguments[0].type, ZO_SHADER_MAP);
    EXPECT_EQ(internal::host().arguments[0].words[0], kUVLookupMagic);
    // filtered reads go to the filter; tile coordinates are reduced first
    p.filtering = 0;
    gen.du = gen.dv = 0;
    expect_color(at(2.5f / 8 + 3, 1.5f / 4 - 2), image.at(2, 1), 1e-6, "filtered texel centre");
    EXPECT_EQ(gen.filtered_calls, 1);
}

TEST_F(Bitmap, AlphaSourcesAndPremultiplication) {
    image.pixels[2 * 8 + 2] = Color{0.8f, 0.4f, 0.2f, 0.5f};
    init();
    const float u = 2.5f / 8, v = 2.5f / 4;
    expect_color(at(u, v), Color{0.8f, 0.4f, 0.2f, 0.5f}, 0, "as read");
    p.premultipliedAlpha = 0;
    expect_color(at(u, v), Color{0.4f, 0.2f, 0.1f, 0.5f}, 1e-7, "alpha 0.5 halves the RGB");
    p.alphaSource = 1;
    const float i = (0.8f + 0.4f + 0.2f) / 3;
    expect_color(at(u, v), Color{0.8f * i, 0.4f * i, 0.2f * i, i}, 1e-6, "alpha from intensity");
    p.alphaSource = 2;
    expect_color(at(u, v), Color{0.8f, 0.4f, 0.2f, 1}, 0, "no alpha");
    p.alphaSource = 0;
    p.rgbChannel = 1;
    expect_color(at(u, v), Color{0.5f, 0.5f, 0.5f, 0.5f}, 0, "alpha as grey");
    p.rgbChannel = 0;
    expect_color(at(u, v, 1), Color{0.8f, 0.4f, 0.2f, 0.5f}, 0, "mono mode: as read");
    p.monoChannel = 1;
    expect_color(at(u, v, 1), Color{0.5f, 0.5f, 0.5f, 0.5f}, 0, "mono mode: the alpha");
}

TEST_F(Bitmap, CropStretchesTheRectangleOverTheTile) {
    p.applyClip = 1;
    p.clipV = 0;
    p.clipH = 0.5f;  // the top half: v from 0.5 to 1
    init();
    expect_color(at(0.3f, 0.25f), pixel_at(0.3f, 0.5f + 0.25f * 0.5f), 0, "top half");
    expect_color(at(0.3f, 0.0f), pixel_at(0.3f, 0.5f), 0, "its bottom edge");
    p.clipU = 0.25f;
    p.clipW = 0.5f;
    p.clipV = 0.25f;
    expect_color(at(0.5f, 0.5f), pixel_at(0.5f, 0.25f + 0.25f), 0, "middle");
    expect_color(at(0.9f, 0.1f), pixel_at(0.25f + 0.45f, 0.25f + 0.05f), 0, "corner");
}

TEST_F(Bitmap, CroppedFootprintsShrinkWithTheRectangle) {
    TestImage big(32, 32, ZO_IMG_TYPE_RGBA_FP);
    p.image = add_image(big, 301);
    p.applyClip = 1;
    p.clipU = 0.5f;
    p.clipW = 0.5f;
    p.clipV = 0.5f;
    p.clipH = 0.5f;
    p.filtering = 0;
    init();
    // a footprint of 16 texels of the tile is 8 texels of the image: a
    // level-3 texel centre reads the 8x8 mean
    gen.du = 0.5f;
    gen.dv = 0;
    const Color c = at(0.25f, 0.25f);  // image (0.625, 0.125)
    expect_color(c, big.block_mean(16, 0, 8), 1e-5, "level 3");
}

TEST_F(Bitmap, PlaceShrinksTheImageIntoTheRectangle) {
    p.applyClip = 1;
    p.placeMode = 1;
    p.clipU = 0.25f;
    p.clipV = 0.25f;
    p.clipW = 0.5f;
    p.clipH = 0.5f;  // lower-left corner (0.25, 0.25)
    init();
    expect_color(at(0.1f, 0.5f), Color{0, 0, 0, 0}, 0, "left of the rectangle");
    expect_color(at(0.5f, 0.8f), Color{0, 0, 0, 0}, 0, "above it");
    expect_color(at(0.5f, 0.5f), pixel_at(0.5f, 0.5f), 0, "centre");
    expect_color(at(0.3f, 0.7f), pixel_at(0.1f, 0.9f), 0, "near the top-left corner");
}

TEST_F(Bitmap, PlacedFootprintsAreCutAtTheRectangle) {
    const Color constant{0.4f, 0.6f, 0.8f, 1.0f};
    TestImage flat(8, 8, ZO_IMG_TYPE_RGBA_FP, [&](int, int) { return constant; });
    p.image = add_image(flat, 302);
    p.applyClip = 1;
    p.placeMode = 1;
    p.clipU = 0.25f;
    p.clipV = 0.25f;
    p.clipW = 0.5f;
    p.clipH = 0.5f;
    p.filtering = 0;
    init();
    gen.du = 0.1f;  // 0.2 of the image, centred on its left edge
    gen.dv = 0.0f;
    Color c = at(0.25f, 0.5f);
    expect_color(c, Color{0.2f, 0.3f, 0.4f, 0.5f}, 1e-5, "half the box covered");
    c = at(0.1f, 0.5f);
    expect_color(c, Color{0, 0, 0, 0}, 0, "box wholly outside");
    c = at(0.5f, 0.5f);
    expect_color(c, constant, 1e-5, "inside");
}

TEST_F(Bitmap, JitteredPlacementIsFixedPerTile) {
    p.clipU = 0.7f;  // ignored with jitter
    p.clipV = 0.1f;
    p.clipW = 0.25f;
    p.clipH = 0.5f;
    p.jitter = 0.8f;
    p.jitterOn = 1;
    auto expected = [&](int tu, int tv, float *left, float *bottom) {
        Lcg g{static_cast<uint32_t>((tu * 14693 - tv * 3251 - 1328) & 0x7FFF)};
        const int r1 = g.draw();
        g.draw();
        g.draw();
        const int r4 = g.draw();
        *left = r1 * (1 - 0.25f) * 0.8f / 32767;
        *bottom = 1 - (0.5f + r4 * (1 - 0.5f) * 0.8f / 32767);
    };
    float corners[3][2];
    const int tiles[3][2] = {{0, 0}, {1, 0}, {-2, 3}};
    for (int t = 0; t < 3; ++t) {
        float left, bottom, want_left, want_bottom;
        kor::bitmapPlaceCorner(p, tiles[t][0], tiles[t][1], &left, &bottom);
        expected(tiles[t][0], tiles[t][1], &want_left, &want_bottom);
        EXPECT_NEAR(left, want_left, 1e-6);
        EXPECT_NEAR(bottom, want_bottom, 1e-6);
        float again_left, again_bottom;
        kor::bitmapPlaceCorner(p, tiles[t][0], tiles[t][1], &again_left, &again_bottom);
        EXPECT_EQ(left, again_left) << "the same tile, the same offset";
        EXPECT_EQ(bottom, again_bottom);
        corners[t][0] = left;
        corners[t][1] = bottom;
    }
    EXPECT_TRUE(corners[0][0] != corners[1][0] || corners[0][1] != corners[1][1])
        << "neighbouring tiles differ";

    // through the shader: tile (1, 0) is read with its own rectangle
    p.applyClip = 1;
    p.placeMode = 1;
    init();
    const float left = corners[1][0], bottom = corners[1][1];
    const float u = left + 0.6f * 0.25f, v = bottom + 0.3f * 0.5f;
    expect_color(at(1 + u, v), pixel_at(0.6f, 0.3f), 0, "inside the jittered rectangle");
    expect_color(at(1 + left - 0.01f, v), Color{0, 0, 0, 0}, 0, "left of it");
}

TEST_F(Bitmap, FrameIndexRules) {
    p.sequenceStart = 0;
    p.sequenceEnd = 3;
    p.frameStep = 2;  // eight frames per run through the list
    p.endCondition = 0;
    EXPECT_EQ(kor::bitmapListIndex(p, 11, 4), 1) << "loop: 11 mod 8 = 3, held 2 frames";
    EXPECT_EQ(kor::bitmapListIndex(p, -3, 4), 2) << "loop backwards: -3 mod 8 = 5";
    p.startFrame = 4;
    EXPECT_EQ(kor::bitmapListIndex(p, 11, 4), 3) << "counted from the start frame: 7";
    p.startFrame = 0;
    p.playbackRate = 0.5f;
    EXPECT_EQ(kor::bitmapListIndex(p, 7, 4), 1) << "half rate: frame 3";
    p.playbackRate = 1;
    p.endCondition = 1;
    EXPECT_EQ(kor::bitmapListIndex(p, 3, 4), 1) << "ping-pong, first run forwards";
    EXPECT_EQ(kor::bitmapListIndex(p, 9, 4), 3) << "second run backwards: 3 - 0";
    EXPECT_EQ(kor::bitmapListIndex(p, 14, 4), 0) << "3 - 3";
    EXPECT_EQ(kor::bitmapListIndex(p, 17, 4), 0) << "third run forwards again";
    EXPECT_EQ(kor::bitmapListIndex(p, -3, 4), 1) << "before the start: backwards, 3 - 2";
    p.endCondition = 2;
    EXPECT_EQ(kor::bitmapListIndex(p, 0, 4), 0) << "hold: the first image before frame 1";
    EXPECT_EQ(kor::bitmapListIndex(p, 5, 4), 2);
    EXPECT_EQ(kor::bitmapListIndex(p, 30, 4), 3) << "hold: the last image after the run";
    p.endCondition = 7;
    EXPECT_EQ(kor::bitmapListIndex(p, 5, 4), 0);
    p.endCondition = 0;
    EXPECT_EQ(kor::bitmapListIndex(p, 5, 2), 0) << "index 2 of a list of two";
}

TEST_F(Bitmap, ImageListsPickTheFrame) {
    const Color colours[3] = {{0.2f, 0, 0, 1}, {0, 0.4f, 0, 1}, {0, 0, 0.6f, 1}};
    std::vector<TestImage> images;
    images.reserve(3);
    for (const Color &c : colours)
        images.emplace_back(4, 4, ZO_IMG_TYPE_RGBA_FP, [c](int, int) { return c; });
    for (int k = 0; k < 3; ++k) all.list[k] = add_image(images[k], 400 + k);
    p.images.start = kListStart;
    p.images.count = 3;
    p.sequenceStart = 0;
    p.sequenceEnd = 2;
    init();
    for (int frame : {0, 1, 2, 4, 5}) {
        p.frame = frame;
        expect_color(run(), colours[frame % 3], 0, "loop through the list");
    }
    // per particle: the frame is the particle's entry of its record
    p.perParticle = 1;
    ObjectData object{};
    object.particleData = 71;
    int32_t particles[] = {2, 0, 2, /* frames */ 1, 2};
    internal::scene().object_data = 70;
    internal::host().data_blocks[70] = &object;
    internal::host().data_blocks[71] = particles;
    internal::scene().has_face_data = true;
    internal::scene().face_columns = {0, 1, 2};
    internal::scene().face_words = {0, 0, 1};  // particle 1
    expect_color(run(), colours[2], 0, "particle 1: frame 2");
    internal::scene().face_words = {0, 0, 4};  // beyond the table: 4 mod 2 = 0
    expect_color(run(), colours[1], 0, "particle 4: frame 1");
}

TEST_F(Bitmap, MissingGeneratorIsReportedOnce) {
    p.coords = 0;
    init();
    Color c = run(0, 0);
    expect_color(c, Color{0, 0, 0, 0}, 0, "transparent black");
    run(0, 0);
    int bump = 2;
    Color v{9, 9, 9, 9};
    EXPECT_FALSE(kor_Bitmap(&v, &state, &p, &bump));
    EXPECT_EQ(v.r, 0);
    EXPECT_EQ(v.g, 0);
    EXPECT_EQ(v.b, 0);
    ASSERT_EQ(internal::host().messages.size(), 1u);
    EXPECT_EQ(internal::host().messages[0], "error: \"test_shader\" requires uv coordinate shader");
}

TEST_F(Bitmap, MissingImageIsTransparentBlack) {
    p.image = 0;
    init();
    expect_color(run(), Color{0, 0, 0, 0}, 0, "no image");
    EXPECT_EQ(gen.calls, 0);
    gen.ok = 0;
    p.image = kImage;
    kor_Bitmap_exit(&state, &p);
    init();
    expect_color(run(), Color{0, 0, 0, 0}, 0, "a failing generator");
}

TEST_F(Bitmap, GBufferIdentifierOnEyeRaysOnly) {
    p.gbufferId = 7;
    init();
    run();
    state.type = ZO_RAY_REFLECT;
    run();
    p.gbufferId = 0;
    state.type = ZO_RAY_EYE;
    run();
    ASSERT_EQ(bitmap_host().fb_puts.size(), 1u);
    EXPECT_EQ(bitmap_host().fb_puts[0].buffer, 0);
    EXPECT_EQ(bitmap_host().fb_puts[0].word, 7);
    EXPECT_EQ(bitmap_host().fb_puts[0].ray_type, ZO_RAY_EYE);
}

TEST_F(Bitmap, OutputShaderGetsTheResultAndTheMode) {
    p.output = kOutput;
    init();
    int mode = 0;
    Color c{9, 9, 9, 9};
    gen.u = 0.3f;
    gen.v = 0.6f;
    EXPECT_TRUE(kor_Bitmap(&c, &state, &p, &mode));
    const Color read = pixel_at(0.3f, 0.6f);
    expect_color(c, Color{2 * read.r, 2 * read.g, 2 * read.b, 2 * read.a}, 0, "doubled");
    EXPECT_EQ(out.mode, &mode) << "the mode pointer is forwarded";
    EXPECT_EQ(gen.mode, &mode);
}

TEST_F(Bitmap, BumpModeScalesTheGradientAlongTheBasis) {
    init();
    gen.gradient = Color{2.0f, -3.0f, 0, 0};
    gen.bu = {0, 0, 1};
    gen.bv = {1, 1, 0};
    int saved = 5;
    state.user = &saved;
    state.user_size = 4;
    Color c = at(0.5f, 0.5f, 2);
    EXPECT_NEAR(c.r, 0.01f * -3.0f, 1e-7);
    EXPECT_NEAR(c.g, 0.01f * -3.0f, 1e-7);
    EXPECT_NEAR(c.b, 0.01f * 2.0f, 1e-7);
    EXPECT_EQ(c.a, 9) << "a vector: the fourth word is not written";
    EXPECT_EQ(state.user, &saved) << "user data restored";
    EXPECT_EQ(state.user_size, 4);
    p.output = kOutput;
    c = at(0.5f, 0.5f, 2);
    EXPECT_NEAR(c.b, 2 * 0.02f, 1e-7) << "the output shader sees the vector";
    EXPECT_EQ(out.seen.a, 0.0f);
}

TEST_F(Bitmap, InputGammaFromTheSceneData) {
    SceneData scene{};
    scene.gamma = 2.0f;
    options.userdata = 60;
    internal::host().data_blocks[60] = &scene;
    init();
    const Color c = at(0.3f, 0.6f);
    const Color raw = pixel_at(0.3f, 0.6f);
    auto table = [](float x) { return std::pow(std::floor(x * 8191.0 + 0.5) / 8191.0, 2.0); };
    EXPECT_NEAR(c.r, table(raw.r), 1e-6);
    EXPECT_NEAR(c.g, table(raw.g), 1e-6);
    EXPECT_NEAR(c.a, raw.a, 0);
}

}  // namespace

// ---------------------------------------------------------------------------
// Through the library's own UV generator, and from an external source.

namespace {

// The UV generator's parameters as these tests use them.
struct UVParams : UVGeneratorParams {
    UVParams() {
        noiseLevels = 0;
        realWorldScale = 1;
    }
};

}  // namespace

extern "C" {
zoBoolean kor_base_UVGenerator(void *, RenderState *, void *, UVLookupRequest *);
void kor_base_UVGenerator_init(RenderState *, void *, zoBoolean *);
void kor_base_UVGenerator_exit(RenderState *, void *);
}

namespace {

zoBoolean real_generator(void *result, RenderState *state, void *params, void *arg) {
    return kor_base_UVGenerator(result, state, params, static_cast<UVLookupRequest *>(arg));
}

TEST_F(Bitmap, TiledReadsThroughTheUVGenerator) {
    UVParams uv;
    uv.uTiling = 2;  // u = 0.3 reads 0.6 of the first tile
    internal::host().thread_pointers = true;
    internal::scene().textures = 1;
    bitmap_host().functions[kCoords] = {real_generator, &uv};
    zoCamera camera{};
    camera.focal = camera.aperture = 1;
    camera.x_resolution = camera.y_resolution = 64;
    state.camera = &camera;
    Vector3 tex{0.3f, 0.6f, 0};
    state.tex_list = &tex;
    state.tex_count = 1;
    state.normal = state.normal_geom = {0, 0, 1};
    state.dir = {0, 0, -1};
    zoBoolean more = 0;
    kor_base_UVGenerator_init(&state, nullptr, &more);
    init();
    expect_color(run(), pixel_at(0.6f, 0.6f), 0, "first tile");
    tex = {0.8f, 0.1f, 0};
    expect_color(run(), pixel_at(0.6f, 0.1f), 1e-6, "second tile: 1.6 -> 0.6");
    kor_Bitmap_exit(&state, &p);
    initialised = false;
    kor_base_UVGenerator_exit(&state, &uv);
}

struct ExternalCall {
    intptr_t handle;
    float u, row, du, dv;
    int32_t arg1, arg2, flags;
};
std::vector<ExternalCall> external_calls;

zoBoolean external_point(intptr_t handle, Color *out, float u, float row, int32_t a1, int32_t a2,
                         int32_t flags) {
    external_calls.push_back({handle, u, row, -1, -1, a1, a2, flags});
    *out = Color{0.5f, 0.25f, 1.0f, 1.0f};
    return 1;
}

zoBoolean external_filtered(intptr_t handle, Color *out, float u, float row, float du, float dv,
                            int32_t a1, int32_t a2, int32_t flags) {
    external_calls.push_back({handle, u, row, du, dv, a1, a2, flags});
    *out = Color{0.5f, 0.25f, 1.0f, 0.5f};
    return 1;
}

TEST_F(Bitmap, ExternalImageSource) {
    external_calls.clear();
    static const BitmapExternalSource source = {external_point, external_filtered};
    p.externalSource = 1;
    p.externalInterface = reinterpret_cast<intptr_t>(&source);
    p.externalHandle = 0x1234;
    p.externalArg1 = 3;
    p.externalArg2 = 4;
    p.externalFlags = 9;
    init();
    expect_color(at(0.25f, 0.75f), Color{0.5f, 0.25f, 1.0f, 1.0f}, 0, "point read");
    ASSERT_EQ(external_calls.size(), 1u);
    EXPECT_EQ(external_calls[0].handle, 0x1234);
    EXPECT_FLOAT_EQ(external_calls[0].u, 0.25f);
    EXPECT_FLOAT_EQ(external_calls[0].row, 0.25f) << "rows counted from the top";
    EXPECT_EQ(external_calls[0].arg1, 3);
    EXPECT_EQ(external_calls[0].arg2, 4);
    EXPECT_EQ(external_calls[0].flags, 9);
    // a list of handles picked by frame; filtered reads
    all.list[0] = 0x10;
    all.list[1] = 0x20;
    p.externalHandles.start =
        (sizeof(BitmapParams) - offsetof(BitmapParams, externalHandles.storage)) / 4;
    p.externalHandles.count = 2;
    p.sequenceEnd = 1;
    p.frame = 3;
    p.filtering = 0;
    p.premultipliedAlpha = 0;
    gen.du = 0.1f;
    expect_color(at(0.5f, 0.5f), Color{0.25f, 0.125f, 0.5f, 0.5f}, 0, "premultiplied here");
    ASSERT_EQ(external_calls.size(), 2u);
    EXPECT_EQ(external_calls[1].handle, 0x20) << "frame 3 of two: the second";
    EXPECT_FLOAT_EQ(external_calls[1].du, 0.1f);
}

}  // namespace
