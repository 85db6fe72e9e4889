// The support library: random generator, noise tables and noise, cellular
// search, scalar, colour and vector helpers, map calls, refraction-index
// tracking and irradiance, against the test host's doubles.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <memory>
#include <vector>

#include "internal/internal.h"
#include "kor_support.h"

using namespace kor;

namespace {

constexpr float kPi = 3.14159265358979f;

TestHostControl &h() {
    return internal::host();
}

void expectVector(const Vector3 &v, float x, float y, float z, float tolerance = 1e-5f) {
    EXPECT_NEAR(v.x, x, tolerance);
    EXPECT_NEAR(v.y, y, tolerance);
    EXPECT_NEAR(v.z, z, tolerance);
}

void expectColor(const Color &c, float r, float g, float b, float a, float tolerance = 1e-5f) {
    EXPECT_NEAR(c.r, r, tolerance);
    EXPECT_NEAR(c.g, g, tolerance);
    EXPECT_NEAR(c.b, b, tolerance);
    EXPECT_NEAR(c.a, a, tolerance);
}

class Support : public ::testing::Test {
  protected:
    void SetUp() override {
        internal::reset();
        internal::host().argument_words = 2;  // map requests have two words at least
        state.camera = &camera;
        state.options = &options;
        noiseInit(&state);
    }

    zoCamera camera{};
    zoOptions options{};
    RenderState state{};
};

// ---------------------------------------------------------------------------
// Random generator and tables

TEST(Random, GivesThePublishedSequenceOfTheClassicGenerator) {
    srand15(1);
    const int expected[] = {16838, 5758, 10113, 17515, 31051};
    for (int value : expected) EXPECT_EQ(rand15(), value);

    Random15 local;
    local.seed(1);
    EXPECT_EQ(local.draw(), 16838);
    // values stay in 15 bits
    srand15(12345);
    for (int i = 0; i < 1000; ++i) {
        const int r = rand15();
        ASSERT_GE(r, 0);
        ASSERT_LE(r, kRand15Max);
    }
}

// ---------------------------------------------------------------------------
// Noise

TEST_F(Support, NoiseIsZeroAtLatticePoints) {
    for (int i = -40; i <= 40; ++i) EXPECT_EQ(noise1(static_cast<float>(i)), 0.0f) << i;
    for (int x = -6; x <= 6; x += 3)
        for (int y = -5; y <= 7; y += 4) {
            const float fx = static_cast<float>(x), fy = static_cast<float>(y);
            EXPECT_EQ(noise2(fx, fy), 0.0f);
            for (int z = -3; z <= 600; z += 201) {
                const float fz = static_cast<float>(z);
                EXPECT_EQ(noise3(Vector3{fx, fy, fz}), 0.0f);
                EXPECT_EQ(noise4(fx, fy, fz, fx - fy), 0.0f);
                EXPECT_EQ(noiseScaled(Vector3{fx, fy, fz}), 0.0f);
            }
        }
}

// At a lattice point the noise rises along its corner's gradient: the
// slope of noise1 is a table gradient (a multiple of 1/512 in [-1, 1)),
// the slopes of noise2 to noise4 make unit vectors.
TEST_F(Support, NoiseSlopeAtLatticePointsIsTheUnitGradient) {
    const float h = 1e-3f;
    for (int i = -5; i < 5; ++i) {
        const float slope = noise1(i + h) / h;
        EXPECT_NEAR(slope * 512.0f, std::round(slope * 512.0f), 0.5f);
        EXPECT_LE(std::fabs(slope), 1.0f + 1e-3f);
    }
    for (int i = 0; i < 8; ++i) {
        const float x = static_cast<float>(i * 7 - 20), y = static_cast<float>(i * 3 + 1);
        const float z = static_cast<float>(5 - i), w = static_cast<float>(i * i);
        const float a = noise2(x + h, y) / h, b = noise2(x, y + h) / h;
        EXPECT_NEAR(a * a + b * b, 1.0f, 0.01f);
        const float c = noise3({x + h, y, z}) / h, d = noise3({x, y + h, z}) / h,
                    e = noise3({x, y, z + h}) / h;
        EXPECT_NEAR(c * c + d * d + e * e, 1.0f, 0.01f);
        const float f = noise4(x + h, y, z, w) / h, g = noise4(x, y + h, z, w) / h,
                    k = noise4(x, y, z + h, w) / h, l = noise4(x, y, z, w + h) / h;
        EXPECT_NEAR(f * f + g * g + k * k + l * l, 1.0f, 0.01f);
    }
}

// ---------------------------------------------------------------------------
// Cellular support

// Features of one cell by the documented rule, worked out here.
void cellFeatures(int x, int y, int z, std::vector<Vector3> *out, std::vector<int32_t> *hashes) {
    const NoiseTables &t = noiseTables();
    const int32_t h = ((t.perm[z & 511] << 9 | t.perm[y & 511]) << 9) | t.perm[x & 511];
    int n = 0;
    while (n < 8 && !(t.randomTable[h % 10000] < t.poissonCdf[n])) ++n;
    int index = h % 10000 + 1;
    for (int f = 0; f < n; ++f) {
        float c[3];
        for (float &v : c) {
            if (index == 10000) index = 0;
            v = t.randomTable[index++];
        }
        out->push_back({x + c[0], y + c[1], z + c[2]});
        hashes->push_back(h);
    }
}

TEST_F(Support, CellSearchFindsTheNearestFeaturesInOrder) {
    const Vector3 points[] = {{0.5f, 0.5f, 0.5f},
                              {-3.2f, 7.9f, 100.01f},
                              {1000.3f, 1000.7f, 999.2f},
                              {12.0f, -0.001f, 3.5f}};
    for (const Vector3 &p : points) {
        // every feature of a 5 x 5 x 5 block around p, nearest first
        std::vector<Vector3> features;
        std::vector<int32_t> hashes;
        const int cx = static_cast<int>(std::floor(p.x)), cy = static_cast<int>(std::floor(p.y)),
                  cz = static_cast<int>(std::floor(p.z));
        for (int dx = -2; dx <= 2; ++dx)
            for (int dy = -2; dy <= 2; ++dy)
                for (int dz = -2; dz <= 2; ++dz)
                    cellFeatures(cx + dx, cy + dy, cz + dz, &features, &hashes);
        std::vector<std::pair<float, int32_t>> expected;
        for (size_t i = 0; i < features.size(); ++i) {
            const float dx = features[i].x - p.x, dy = features[i].y - p.y,
                        dz = features[i].z - p.z;
            expected.push_back({dx * dx + dy * dy + dz * dz, hashes[i]});
        }
        std::sort(expected.begin(), expected.end());

        CellFeature list[4];
        cellNearestFeatures(p, list, 4);
        for (int k = 0; k < 4; ++k) {
            EXPECT_NEAR(list[k].dist2, expected[k].first, 1e-4f) << k;
            EXPECT_EQ(list[k].hash, expected[k].second) << k;
            const Vector3 &o = list[k].offset;
            EXPECT_NEAR(o.x * o.x + o.y * o.y + o.z * o.z, list[k].dist2, 1e-4f);
            // the offset leads into the cell that the hash names
            const Vector3 q{p.x + o.x, p.y + o.y, p.z + o.z};
            const int qx = static_cast<int>(std::floor(q.x - 1e-6f));
            const int qy = static_cast<int>(std::floor(q.y - 1e-6f));
            const int qz = static_cast<int>(std::floor(q.z - 1e-6f));
            EXPECT_EQ(list[k].hash, cellHash(qx, qy, qz));
        }

        CellFeature one[1];
        cellNearestFeatures(p, one, 1);
        EXPECT_EQ(one[0].dist2, list[0].dist2);
        EXPECT_EQ(one[0].hash, list[0].hash);
    }
}

// ---------------------------------------------------------------------------
// Scalar helpers

// Catmull-Rom has exact tangents on a parabola, so through the knots
// k_i = i^2 it reproduces the parabola: at x it gives (x + 1)^2.
TEST(Scalar, SplinesPassThroughTheirKnots) {
    const float knots[] = {0, 1, 4, 9, 16, 25};
    Color colors[6];
    for (int i = 0; i < 6; ++i) colors[i] = Color{knots[i], 2.0f * i, 0.25f, 9.0f};
    for (float x = 0.0f; x <= 3.0f; x += 0.125f) {
        EXPECT_NEAR(splineScalar(x, 6, knots), (x + 1) * (x + 1), 1e-4f) << x;
        const Color c = splineColor(x, 6, colors);
        expectColor(c, (x + 1) * (x + 1), 2 * (x + 1), 0.25f, 1.0f, 1e-4f);
    }
    for (int i = 0; i <= 3; ++i) EXPECT_FLOAT_EQ(splineScalar(float(i), 6, knots), knots[i + 1]);
    // the last segment, with the last knot repeated past the end, ends on it
    EXPECT_FLOAT_EQ(splineScalar(4.0f, 6, knots), 25.0f);
    const float last = splineScalar(3.5f, 6, knots);
    EXPECT_GT(last, 16.0f);
    EXPECT_LT(last, 25.0f);
    expectColor(splineColor(4.0f, 6, colors), 25.0f, 10.0f, 0.25f, 1.0f);
    // an irregular set still meets every knot after the first
    const float bumpy[] = {3, -1, 2, 8, 0.5f};
    for (int i = 0; i <= 3; ++i) EXPECT_FLOAT_EQ(splineScalar(float(i), 5, bumpy), bumpy[i + 1]);
}

// ---------------------------------------------------------------------------
// Vector and colour helpers

TEST(VectorColor, RotationAboutAnAxis) {
    const float q = kPi / 2;
    expectVector(rotateAboutAxis({1, 0, 0}, q, {0, 0, 1}), 0, 1, 0);
    expectVector(rotateAboutAxis({0, 1, 0}, q, {1, 0, 0}), 0, 0, 1);
    expectVector(rotateAboutAxis({0, 0, 1}, q, {0, 1, 0}), 1, 0, 0);
    expectVector(rotateAboutAxis({2, 0, 3}, kPi, {0, 0, 1}), -2, 0, 3);
    // a third of a turn about the diagonal cycles the axes
    const float d = 1 / std::sqrt(3.0f);
    expectVector(rotateAboutAxis({1, 0, 0}, 2 * kPi / 3, {d, d, d}), 0, 1, 0);
    expectVector(rotateAboutAxis({d, d, d}, 1.0f, {d, d, d}), d, d, d);
}

// ---------------------------------------------------------------------------
// Map calls

// ---------------------------------------------------------------------------
// Refraction-index tracking

class Ior : public Support {
  protected:
    void SetUp() override {
        Support::SetUp();
        h().thread_pointers = true;
        glass.tag = 40;
        other.tag = 41;
        camera.volume = 900;
        state.shader = &glass;
    }
    RenderState child(RenderState *parent, zoShaderRecord *shader) {
        RenderState s{};
        s.camera = &camera;
        s.parent = parent;
        s.shader = shader;
        s.ior = 1.0f;
        s.ior_in = 1.0f;
        return s;
    }
    int count(Tag instance, int thread = 0) {
        auto &slots = h().thread_slots[instance];
        if (slots.size() <= size_t(thread) || !slots[thread]) return -99;
        return static_cast<IorTracker *>(slots[thread])->count;
    }
    void TearDown() override {
        for (auto &slots : h().thread_slots)
            for (void *block : slots.second) std::free(block);
    }
    zoShaderRecord glass{}, other{};
};

TEST_F(Ior, EnteringAndLeavingANestedObject) {
    // the eye ray enters the glass
    iorEnter(&state, 1.5f);
    EXPECT_EQ(state.ior_in, 1.0f);
    EXPECT_EQ(state.ior, 1.5f);
    EXPECT_EQ(count(40), 1);
    EXPECT_EQ(h().allocations, 1);

    // the refracted ray leaves it again: back to the index and volume that
    // the entering state had outside
    state.ior_in = 1.2f;
    state.refraction_volume = 777;
    RenderState inside = child(&state, &glass);
    iorEnter(&inside, 1.5f);
    EXPECT_EQ(inside.ior_in, 1.5f);
    EXPECT_EQ(inside.ior, 1.2f);
    EXPECT_EQ(inside.volume, 777u);
    EXPECT_EQ(count(40), 2);

    // the next hit of the same instance enters again
    RenderState again = child(&inside, &glass);
    again.ior = 1.33f;
    iorEnter(&again, 1.5f);
    EXPECT_EQ(again.ior_in, 1.33f);
    EXPECT_EQ(again.ior, 1.5f);
    EXPECT_EQ(count(40), 3);

    iorLeave(&again);
    iorLeave(&inside);
    iorLeave(&state);
    EXPECT_EQ(count(40), 0);
    EXPECT_EQ(h().allocations, 1);  // one block for the thread and instance
}

// ---------------------------------------------------------------------------
// Irradiance

TEST_F(Support, IrradianceIsDividedByPi) {
    h().irradiance = {1, true, {kPi, 2 * kPi, 0, 0.5f}};
    state.normal = {0, 0, 1};
    Color out{};
    EXPECT_TRUE(irradiance(&out, &state, false, {1, 0, 0}, {0, 1, 0}, 1));
    expectColor(out, 1, 2, 0, 0.5f);
    ASSERT_EQ(h().irradiance_normals.size(), 1u);
    expectVector(h().irradiance_normals[0], 0, 0, 1);

    h().irradiance = {0, true, {5, 5, 5, 5}};
    EXPECT_FALSE(irradiance(&out, &state, false, {1, 0, 0}, {0, 1, 0}, 1));
    expectColor(out, 0, 0, 0, 1);
    EXPECT_FALSE(irradiance(&out, &state, true, {1, 0, 0}, {0, 1, 0}, 1));
    expectColor(out, 0, 0, 0, 1);
}

}  // namespace
