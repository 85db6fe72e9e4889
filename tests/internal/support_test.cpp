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

// An independent copy of the documented generator for expected values.
struct Lcg {
    uint32_t next;
    int draw() {
        next = next * 1103515245u + 12345u;
        return static_cast<int>((next >> 16) & 0x7fff);
    }
};

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

TEST_F(Support, TablesAreBuiltOnceUnderTheGlobalLock) {
    // the fixture built them already; this process built them there or in
    // an earlier test, and never again
    EXPECT_LE(h().locks, 1);
    EXPECT_EQ(h().locks, h().unlocks);
    const long before = h().locks;
    noiseInit(&state);
    noiseInit(&state);
    EXPECT_EQ(h().locks, before);
    EXPECT_EQ(h().unlocks, before);
    EXPECT_GT(noiseTables().poissonCdf[8], 0.0f);
}

TEST_F(Support, TablesAreTheSameOnEveryBuild) {
    auto a = std::make_unique<NoiseTables>();
    auto b = std::make_unique<NoiseTables>();
    std::memset(a.get(), 0xAA, sizeof *a);
    std::memset(b.get(), 0x55, sizeof *b);
    srand15(777);  // whatever the generator did before
    noiseBuildTables(a.get());
    rand15();
    noiseBuildTables(b.get());
    EXPECT_EQ(std::memcmp(a.get(), b.get(), sizeof *a), 0);
    EXPECT_EQ(std::memcmp(a.get(), &noiseTables(), sizeof *a), 0);

    // the build leaves the process generator seeded with 1
    EXPECT_EQ(rand15(), 16838);

    // the first draws after seed 548485, worked out with a separate copy
    // of the generator: grad1[0] from the first, grad2[0] from the next
    // pair of length at most 1
    Lcg lcg{548485};
    EXPECT_FLOAT_EQ(a->grad1[0], ((lcg.draw() % 1024) - 512) / 512.0f);
    float gx, gy;
    do {
        gx = ((lcg.draw() % 1024) - 512) / 512.0f;
        gy = ((lcg.draw() % 1024) - 512) / 512.0f;
    } while (gx * gx + gy * gy > 1.0f);
    const float len = std::sqrt(gx * gx + gy * gy);
    EXPECT_FLOAT_EQ(a->grad2[0][0], gx / len);
    EXPECT_FLOAT_EQ(a->grad2[0][1], gy / len);

    // recorded values: a change here means the noise patterns changed
    const int32_t perm[] = {266, 496, 200, 424, 214, 438, 20, 79};
    for (int i = 0; i < 8; ++i) EXPECT_EQ(a->perm[i], perm[i]) << i;
}

TEST_F(Support, TablesHaveTheirShape) {
    const NoiseTables &t = noiseTables();
    std::vector<int> seen(kNoisePeriod, 0);
    for (int i = 0; i < kNoisePeriod; ++i) {
        ASSERT_GE(t.perm[i], 0);
        ASSERT_LT(t.perm[i], kNoisePeriod);
        ++seen[t.perm[i]];
    }
    EXPECT_EQ(std::count(seen.begin(), seen.end(), 1), kNoisePeriod);

    for (int i = 0; i < kNoiseTableSize; ++i) {
        const int k = i % kNoisePeriod;  // 512 and 513 repeat 0 and 1
        EXPECT_EQ(t.perm[i], t.perm[k]);
        EXPECT_EQ(t.grad1[i], t.grad1[k]);
        EXPECT_GE(t.grad1[i], -1.0f);
        EXPECT_LT(t.grad1[i], 1.0f);
        EXPECT_EQ(t.grad1[i] * 512.0f, std::floor(t.grad1[i] * 512.0f));
        const float *g2 = t.grad2[i], *g3 = t.grad3[i], *g4 = t.grad4[i];
        EXPECT_NEAR(g2[0] * g2[0] + g2[1] * g2[1], 1.0f, 1e-5f);
        EXPECT_NEAR(g3[0] * g3[0] + g3[1] * g3[1] + g3[2] * g3[2], 1.0f, 1e-5f);
        EXPECT_NEAR(g4[0] * g4[0] + g4[1] * g4[1] + g4[2] * g4[2] + g4[3] * g4[3], 1.0f, 1e-5f);
        EXPECT_EQ(std::memcmp(t.grad4[i], t.grad4[k], sizeof t.grad4[i]), 0);
    }

    float low = 1.0f, high = 0.0f;
    double sum = 0.0;
    for (float r : t.randomTable) {
        low = std::min(low, r);
        high = std::max(high, r);
        sum += r;
    }
    EXPECT_GE(low, 0.0f);
    EXPECT_LE(high, 1.0f);
    EXPECT_NEAR(sum / kRandomTableSize, 0.5, 0.02);
}

TEST_F(Support, PoissonTableIsTheCumulativeDistributionOfMeanThree) {
    double cdf = 0.0;
    for (int k = 0; k < kPoissonSize; ++k) {
        cdf += std::pow(3.0, k) * std::exp(-3.0) / std::tgamma(k + 1.0);
        EXPECT_NEAR(noiseTables().poissonCdf[k], cdf, 1e-6) << k;
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

// Each corner's term uses the offset from that corner: the noise is
// continuous across cell faces, bounded, and repeats every 512 units.
TEST_F(Support, NoiseIsContinuousBoundedAndPeriodic) {
    const float e = 1e-4f;
    float largest = 0.0f;
    for (int i = 0; i < 200; ++i) {
        const float x = i * 0.37f - 30.0f, y = i * 0.61f - 11.0f, z = i * 0.23f + 2.0f,
                    w = i * 0.11f;
        const float fx = std::floor(x);
        EXPECT_NEAR(noise1(fx - e), noise1(fx + e), 1e-3f);
        EXPECT_NEAR(noise2(fx - e, y), noise2(fx + e, y), 1e-3f);
        EXPECT_NEAR(noise3({x, std::floor(y) - e, z}), noise3({x, std::floor(y) + e, z}), 1e-3f);
        EXPECT_NEAR(noise3({x, y, std::floor(z) - e}), noise3({x, y, std::floor(z) + e}), 1e-3f);
        EXPECT_NEAR(noise4(x, y, z, std::floor(w) - e), noise4(x, y, z, std::floor(w) + e), 1e-3f);
        EXPECT_NEAR(noise4(fx - e, y, z, w), noise4(fx + e, y, z, w), 1e-3f);

        const float n3 = noise3({x, y, z});
        largest = std::max({largest, std::fabs(noise1(x)), std::fabs(noise2(x, y)), std::fabs(n3),
                            std::fabs(noise4(x, y, z, w))});
        EXPECT_EQ(noiseScaled({x, y, z}), clampRange(1.65f * n3, -1.0f, 1.0f));
    }
    EXPECT_LE(largest, 1.0f);
    EXPECT_GT(largest, 0.1f);

    const float x = 0.25f, y = 1.5f, z = 2.75f, w = -3.125f;
    EXPECT_EQ(noise1(x + 512.0f), noise1(x));
    EXPECT_EQ(noise2(x, y + 512.0f), noise2(x, y));
    EXPECT_EQ(noise3({x, y, z + 1024.0f}), noise3({x, y, z}));
    EXPECT_EQ(noise4(x, y, z, w + 512.0f), noise4(x, y, z, w));
}

// ---------------------------------------------------------------------------
// Cellular support

TEST_F(Support, CellCountFollowsThePoissonTableAndNeverExceedsEight) {
    const double e3 = std::exp(-3.0);
    EXPECT_EQ(cellCount(0.0f), 0);
    EXPECT_EQ(cellCount(static_cast<float>(e3) * 0.999f), 0);
    EXPECT_EQ(cellCount(static_cast<float>(e3) * 1.001f), 1);  // past P(0)
    EXPECT_EQ(cellCount(0.5f), 3);                             // P(<=2) 0.423, P(<=3) 0.647
    EXPECT_EQ(cellCount(static_cast<float>(13.0 * e3) + 0.001f), 4);
    for (float r : {0.9999f, 1.0f, 2.0f, 1e9f, -1.0f, 0.3f}) {
        EXPECT_LE(cellCount(r), 8);
        EXPECT_GE(cellCount(r), 0);
    }
    EXPECT_EQ(cellCount(1.0f), 8);
}

TEST_F(Support, CellHashAndRandomWrapAround) {
    EXPECT_EQ(cellHash(-1, 3, -7), cellHash(511, 3, 505));
    EXPECT_EQ(cellHash(1, 2, 3), cellHash(513, 2 - 1024, 3 + 512));
    const int32_t h = cellHash(10, 20, 30);
    EXPECT_GE(h, 0);
    EXPECT_LT(h, 1 << 27);
    // the three fields are the permuted coordinates, x lowest
    EXPECT_EQ(h & 511, noiseTables().perm[10]);
    EXPECT_EQ((h >> 9) & 511, noiseTables().perm[20]);
    EXPECT_EQ(h >> 18, noiseTables().perm[30]);

    EXPECT_EQ(cellRandom(0), noiseTables().randomTable[0]);
    EXPECT_EQ(cellRandom(10000), noiseTables().randomTable[0]);
    EXPECT_EQ(cellRandom(123457), noiseTables().randomTable[3457]);
    EXPECT_EQ(cellRandom(-1), noiseTables().randomTable[9999]);
}

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

TEST(Scalar, FloorIntAndFracTakeOneOffNegativeWholeNumbers) {
    EXPECT_EQ(floorInt(-2.0f), -3);
    EXPECT_EQ(floorInt(-0.5f), -1);
    EXPECT_EQ(floorInt(0.0f), 0);
    EXPECT_EQ(floorInt(2.0f), 2);
    EXPECT_EQ(floorInt(1.7f), 1);
    EXPECT_EQ(frac(-2.0f), 1.0f);
    EXPECT_EQ(frac(-0.25f), 0.75f);
    EXPECT_EQ(frac(2.25f), 0.25f);
    EXPECT_EQ(frac(3.0f), 0.0f);
}

TEST(Scalar, ClampsAndSteps) {
    EXPECT_EQ(largest3(1, 5, 3), 5);
    EXPECT_EQ(largest3(-1, -5, -3), -1);
    EXPECT_EQ(largest3(1, 2, 7), 7);
    EXPECT_EQ(clampRange(0.5f, 0, 1), 0.5f);
    EXPECT_EQ(clampRange(-2, 0, 1), 0);
    EXPECT_EQ(clampRange(3, 0, 1), 1);
    EXPECT_FLOAT_EQ(linearStep(2, 4, 3), 0.5f);
    EXPECT_EQ(linearStep(2, 4, 1), 0.0f);
    EXPECT_EQ(linearStep(2, 4, 9), 1.0f);
    EXPECT_FLOAT_EQ(smoothStep(0, 2, 1), 0.5f);
    EXPECT_FLOAT_EQ(smoothStep(0, 1, 0.25f), 0.15625f);  // t^2 (3 - 2t)
    EXPECT_EQ(smoothStep(1, 2, 0.5f), 0.0f);
    EXPECT_EQ(smoothStep(1, 2, 2.5f), 1.0f);
}

TEST(Scalar, SoftClampIsContinuousAtItsBreakpoints) {
    const float lo = 0.0f, hi = 1.0f, s = 0.2f, e = 1e-4f;
    EXPECT_FLOAT_EQ(softClamp(lo - s, lo, hi, s), lo);
    EXPECT_FLOAT_EQ(softClamp(lo + s, lo, hi, s), lo + s);
    EXPECT_FLOAT_EQ(softClamp(hi - s, lo, hi, s), hi - s);
    EXPECT_FLOAT_EQ(softClamp(hi + s, lo, hi, s), hi);
    for (float b : {lo - s, lo + s, hi - s, hi + s})
        EXPECT_NEAR(softClamp(b - e, lo, hi, s), softClamp(b + e, lo, hi, s), 3 * e) << b;
    // quarter of the way into the lower knee: lo + s (1/4)^2
    EXPECT_FLOAT_EQ(softClamp(lo - s / 2, lo, hi, s), lo + s / 16);
    EXPECT_FLOAT_EQ(softClamp(hi + s / 2, lo, hi, s), hi - s / 16);
    EXPECT_EQ(softClamp(-5, lo, hi, s), lo);
    EXPECT_EQ(softClamp(5, lo, hi, s), hi);
    EXPECT_EQ(softClamp(0.5f, lo, hi, s), 0.5f);
    float previous = softClamp(-1, lo, hi, s);
    for (float x = -1; x <= 2; x += 0.01f) {
        const float y = softClamp(x, lo, hi, s);
        EXPECT_GE(y, previous - 1e-6f);
        previous = y;
    }
}

TEST(Scalar, RemapBiasModuloFactorial) {
    for (float x : {-1.0f, 3.0f, 7.5f}) EXPECT_EQ(remap01(x, 3, 3), x);
    EXPECT_FLOAT_EQ(remap01(5, 3, 7), 0.5f);
    EXPECT_EQ(remap01(2, 3, 7), 0.0f);
    EXPECT_EQ(remap01(8, 3, 7), 1.0f);

    // bias(t, 0.5) = t, and bias(0.5, b) = b
    for (float t : {0.1f, 0.5f, 0.9f}) EXPECT_NEAR(bias(t, 0.5f), t, 1e-6f);
    for (float b : {0.2f, 0.7f}) EXPECT_NEAR(bias(0.5f, b), b, 1e-6f);

    EXPECT_FLOAT_EQ(fmodPositive(7, 3), 1);
    EXPECT_FLOAT_EQ(fmodPositive(-1, 3), 2);
    EXPECT_FLOAT_EQ(fmodPositive(-6, 3), 0);
    EXPECT_FLOAT_EQ(fmodPositive(5.5f, 2), 1.5f);
    EXPECT_FLOAT_EQ(fmodPositive(-0.5f, 2), 1.5f);

    EXPECT_EQ(factorial(0), 1);
    EXPECT_EQ(factorial(1), 1);
    EXPECT_EQ(factorial(5), 120);
    EXPECT_EQ(factorial(8), 40320);
}

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

TEST(VectorColor, ColourHelpers) {
    EXPECT_NEAR(intensity({0.3f, 0.6f, 0.9f, 5.0f}), 0.6f, 1e-6f);
    expectColor(clampColor({2, -1, 0.5f, 7}), 1, 0, 0.5f, 0);
    expectColor(makeColor(2, -1, 0.5f, 7), 1, 0, 0.5f, 7);
}

TEST(VectorColor, ReflectionUsesTheStoredCosine) {
    RenderState s{};
    const float r = std::sqrt(0.5f);
    s.dir = {r, -r, 0};
    s.normal = {0, 1, 0};
    s.dot_nd = -r;
    expectVector(reflectDir(&s), r, r, 0);
    // with a stored cosine of -0.5 on a head-on ray, dir + N
    s.dir = {0, 0, -1};
    s.normal = {0, 0, 1};
    s.dot_nd = -0.5f;
    expectVector(reflectDir(&s), 0, 0, 0);
}

TEST(VectorColor, Normalising) {
    expectVector(normalize({3, 4, 0}), 0.6f, 0.8f, 0);
    expectVector(normalize({0, 0, 0}), 0, 0, 0);
    expectVector(normalizeByMax({2, 4, -8}), 0.5f, 1, -2);  // the largest, not the longest
    expectVector(normalizeByMax({-1, -2, 0}), -1, -2, 0);   // largest is 0: unchanged
}

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

TEST(VectorColor, DominantAxisAndItsTies) {
    EXPECT_EQ(dominantAxis({3, 1, 2}), 0);
    EXPECT_EQ(dominantAxis({-3, 1, 2}), 0);
    EXPECT_EQ(dominantAxis({1, -5, 2}), 1);
    EXPECT_EQ(dominantAxis({1, 1, 0}), 1);   // x = y: y
    EXPECT_EQ(dominantAxis({1, 0, 1}), 2);   // x = z: z
    EXPECT_EQ(dominantAxis({0, 1, -1}), 2);  // y = z: z
    EXPECT_EQ(dominantAxis({2, 2, 2}), 2);
    EXPECT_EQ(dominantAxis({0, 0, 7}), 2);
    EXPECT_EQ(dominantAxis({0, 0, 0}), 3);
}

TEST(VectorColor, PlanarWeightsReproduceThePoint) {
    struct Triangle {
        Vector3 a, b, c;
    };
    const Triangle triangles[] = {
        {{0, 0, 1}, {4, 0, 1.5f}, {0, 3, 2}},        // normal mostly along z
        {{1, 2, 0}, {1.5f, 2.2f, 4}, {4, 1, 1}},     // mostly along y
        {{5, 0, 0}, {5.5f, 3, 0}, {4.5f, 0.5f, 2}},  // mostly along x
    };
    const float weights[][3] = {{0.2f, 0.3f, 0.5f}, {1, 0, 0}, {-0.5f, 1.25f, 0.25f}};
    for (const Triangle &t : triangles)
        for (const auto &w : weights) {
            const Vector3 p{w[0] * t.a.x + w[1] * t.b.x + w[2] * t.c.x,
                            w[0] * t.a.y + w[1] * t.b.y + w[2] * t.c.y,
                            w[0] * t.a.z + w[1] * t.b.z + w[2] * t.c.z};
            const Vector3 got = planarWeights(p, t.a, t.b, t.c);
            expectVector(got, w[0], w[1], w[2], 1e-4f);
        }
    // collinear corners
    expectVector(planarWeights({1, 1, 1}, {0, 0, 0}, {1, 1, 1}, {2, 2, 2}), 1, 0, 0);
    expectVector(planarWeights({1, 1, 1}, {3, 3, 3}, {3, 3, 3}, {3, 3, 3}), 1, 0, 0);
}

// ---------------------------------------------------------------------------
// Map calls

TEST_F(Support, MapGreyAsksForKindOneAndAveragesTheColour) {
    h().shaders[7] = {1, true, {0.3f, 0.6f, 0.9f, 1}};
    MapRequest request{-5, 77, 99};
    EXPECT_NEAR(mapGrey(&state, &request, 7), 0.6f, 1e-6f);
    ASSERT_EQ(h().arguments.size(), 1u);
    const TestCallArgument &a = h().arguments[0];
    EXPECT_EQ(a.type, ZO_SHADER_MAP);
    EXPECT_EQ(a.tag, 7u);
    EXPECT_EQ(a.arg, &request);
    EXPECT_EQ(a.words[0], 1);
    EXPECT_EQ(a.words[1], 0);
    EXPECT_EQ(request.extra, 99);  // the caller's third word travels unchanged

    h().shaders[7].ok = 0;
    EXPECT_EQ(mapGrey(&state, &request, 7), 0.0f);
    // any success counts for a grey value
    h().shaders[7].ok = 2;
    EXPECT_NEAR(mapGrey(&state, &request, 7), 0.6f, 1e-6f);

    // without a request of the caller's the map still sees {1, 0}
    EXPECT_NEAR(mapGrey(&state, nullptr, 7), 0.6f, 1e-6f);
    EXPECT_NE(h().arguments.back().arg, nullptr);
    EXPECT_EQ(h().arguments.back().words[0], 1);
    EXPECT_EQ(h().arguments.back().words[1], 0);
}

TEST_F(Support, MapColorAndBumpTakeTheResultOnlyFromAReturnOfOne) {
    MapRequest request{9, 9, 5};
    h().shaders[3] = {1, true, {0.1f, 0.2f, 0.3f, 0.4f}};
    Color out{7, 7, 7, 7};
    EXPECT_EQ(mapColor(&out, &state, &request, 3), 1);
    expectColor(out, 0.1f, 0.2f, 0.3f, 0.4f);
    EXPECT_EQ(h().arguments.back().words[0], 0);
    EXPECT_EQ(h().arguments.back().words[1], 0);

    Vector3 bump{7, 7, 7};
    EXPECT_EQ(mapBump(&bump, &state, &request, 3), 1);
    expectVector(bump, 0.1f, 0.2f, 0.3f);
    EXPECT_EQ(h().arguments.back().words[0], 2);
    EXPECT_EQ(h().arguments.back().words[1], 0);
    EXPECT_EQ(request.extra, 5);

    for (zoBoolean answer : {0, 2}) {
        h().shaders[3] = {answer, true, {0.9f, 0.9f, 0.9f, 0.9f}};
        out = Color{7, 7, 7, 7};
        bump = Vector3{7, 7, 7};
        mapColor(&out, &state, &request, 3);
        mapBump(&bump, &state, &request, 3);
        expectColor(out, 7, 7, 7, 7);
        expectVector(bump, 7, 7, 7);
    }
}

TEST_F(Support, TextureColorReadsImagesDirectlyAndLooksUpTextures) {
    Color pixels[8];
    for (int i = 0; i < 8; ++i) pixels[i] = Color{float(i), 0, 0, 1};
    zoImage image{};
    image.width = 4;
    image.height = 2;
    image.data = pixels;
    h().db_types[5] = ZO_DB_IMAGE;
    h().images[5] = &image;

    Color out{};
    const Vector3 at{0.6f, 0.7f, 0};  // pixel (2.4, 1.4)
    EXPECT_TRUE(textureColor(&out, &state, &at, 5));
    EXPECT_EQ(out.r, 6.0f);  // row 1, column 2
    ASSERT_EQ(h().pixel_reads.size(), 1u);
    EXPECT_EQ(h().pixel_reads[0], std::make_pair(2, 1));
    EXPECT_TRUE(h().texture_coords.empty());
    const Vector3 corner{1, 1, 0};  // the far edge stays on the image
    EXPECT_TRUE(textureColor(&out, &state, &corner, 5));
    EXPECT_EQ(h().pixel_reads.back(), std::make_pair(3, 1));

    h().db_types[6] = ZO_DB_TEXTURE;
    h().shaders[6] = {1, true, {0.5f, 0.25f, 0.125f, 1}};
    const Vector3 uv{0.3f, 0.4f, 0.5f};
    EXPECT_TRUE(textureColor(&out, &state, &uv, 6));
    expectColor(out, 0.5f, 0.25f, 0.125f, 1);
    ASSERT_EQ(h().texture_coords.size(), 1u);
    expectVector(h().texture_coords[0], 0.3f, 0.4f, 0.5f);
    EXPECT_EQ(h().pixel_reads.size(), 2u);
}

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

TEST_F(Ior, LeavingWithoutTheEnteringStateFallsBackToAirAndTheCameraVolume) {
    IorTracker tracker{1};
    RenderState top = child(nullptr, &other);
    RenderState s = child(&top, &glass);
    s.volume = 5;
    iorEnter(&s, 1.7f, &tracker);
    EXPECT_EQ(s.ior_in, 1.7f);
    EXPECT_EQ(s.ior, 1.0f);
    EXPECT_EQ(s.volume, 900u);
    EXPECT_EQ(tracker.count, 2);
    // a tracker handed in by the caller needs no thread pointer
    for (const TestQuery &q : h().queries) EXPECT_NE(q.code, ZO_Q_FUNC_TLS_GET);

    // count 0 with a parent: entering, keeping the current index as outer
    IorTracker fresh{0};
    RenderState t = child(&top, &glass);
    t.ior = 1.1f;
    iorEnter(&t, 2.0f, &fresh);
    EXPECT_EQ(t.ior_in, 1.1f);
    EXPECT_EQ(t.ior, 2.0f);
}

TEST_F(Ior, ATrackerFirstMetByLeaveStartsAtOne) {
    iorLeave(&state);
    EXPECT_EQ(count(40), 0);
    state.ior = 3.0f;
    iorEnter(&state, 1.4f);  // count 0, no parent: from air
    EXPECT_EQ(state.ior_in, 1.0f);
    EXPECT_EQ(state.ior, 1.4f);

    // every thread and instance counts on its own
    RenderState second = child(nullptr, &glass);
    second.thread = 1;
    iorEnter(&second, 1.4f);
    iorEnter(&second, 1.4f);
    EXPECT_EQ(count(40, 1), 2);
    EXPECT_EQ(count(40, 0), 1);
    RenderState third = child(nullptr, &other);
    iorEnter(&third, 1.4f);
    EXPECT_EQ(count(41), 1);
    EXPECT_EQ(h().allocations, 3);
}

TEST_F(Ior, WithoutThreadPointersEveryCallIsAFirst) {
    h().thread_pointers = false;
    RenderState inside = child(&state, &glass);
    iorEnter(&state, 1.5f);
    iorEnter(&inside, 1.5f);  // would be leaving with a counter
    EXPECT_EQ(inside.ior_in, 1.0f);
    EXPECT_EQ(inside.ior, 1.5f);
    iorLeave(&state);
    EXPECT_EQ(h().allocations, 0);
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

TEST_F(Support, IrradianceWithASubstitutedNormal) {
    h().irradiance = {1, true, {kPi, kPi, kPi, 1}};
    state.normal = {0, 0, 1};
    state.dir = {0, 0, -1};
    const Vector3 bent{0, 0.6f, 0.8f}, tangent{0, 1, 0};
    Color out{};
    // M = unit(bent + 0.2 T) = unit(0, 0.8, 0.8): |D.M| = 0.70711, |D.N'| = 0.8
    EXPECT_TRUE(irradiance(&out, &state, true, bent, tangent, 1));
    const float outside = (std::sqrt(0.5f) + 0.2f) / (0.8f + 0.2f);
    expectColor(out, outside, outside, outside, 1);
    expectVector(h().irradiance_normals.back(), 0, 0.6f, 0.8f);
    expectVector(state.normal, 0, 0, 1);  // restored

    // inside, k turns: M = unit(0, 0.4, 0.8), |D.M| = 0.89443
    state.inv_normal = 1;
    EXPECT_TRUE(irradiance(&out, &state, true, bent, tangent, 1));
    const float inside = (0.8f / std::sqrt(0.8f) + 0.2f) / (0.8f + 0.2f);
    expectColor(out, inside, inside, inside, 1);
}

}  // namespace
