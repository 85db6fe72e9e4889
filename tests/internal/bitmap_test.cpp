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

TEST_F(Bitmap, ARepeatedInitReadsItsNewImage) {
    image.pixels[2 * 8 + 2] = Color{0.8f, 0.4f, 0.2f, 0.5f};
    init();
    const float u = 2.5f / 8, v = 2.5f / 4;
    expect_color(at(u, v), Color{0.8f, 0.4f, 0.2f, 0.5f}, 0, "the first image");
    TestImage flat(8, 4, ZO_IMG_TYPE_RGBA, [](int, int) { return Color{0.25f, 0.5f, 0.75f, 1}; });
    p.image = add_image(flat, 303);
    zoBoolean more = 0;
    kor_Bitmap_init(&state, &p, &more);  // the same record and tag: a new instance
    expect_color(at(u, v), Color{0.25f, 0.5f, 0.75f, 1}, 0, "the new image, not the old one");
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

}  // namespace
