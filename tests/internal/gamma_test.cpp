// The display gamma table: no table for an exponent of one, the entries,
// rounding to the nearest entry and round trips through two tables.
#include <gtest/gtest.h>

#include <cmath>

#include "internal/internal.h"
#include "kor_base.h"

namespace {

using namespace kor;

class Gamma : public ::testing::Test {
  protected:
    void SetUp() override { internal::reset(); }
    TestHostControl &h() { return internal::host(); }
};

TEST_F(Gamma, AnExponentOfOneBuildsNothingAndChangesNothing) {
    EXPECT_EQ(gammaBuild(1.0f), nullptr);
    EXPECT_EQ(h().allocations, 0);
    Color c{0.3f, 0.6f, 1.7f, -2.0f};
    gammaApply(&c, nullptr);
    EXPECT_EQ(c.r, 0.3f);
    EXPECT_EQ(c.g, 0.6f);
    EXPECT_EQ(c.b, 1.7f);
    EXPECT_EQ(c.a, -2.0f);
    gammaFree(nullptr);
    EXPECT_EQ(h().releases, 0);
}

TEST_F(Gamma, EntriesArePowersOfTheirPosition) {
    GammaTable *t = gammaBuild(2.2f);
    ASSERT_NE(t, nullptr);
    EXPECT_EQ(h().allocations, 1);
    EXPECT_EQ(t->scale, 8191.0);
    EXPECT_EQ(t->entries[0], 0.0f);
    EXPECT_EQ(t->entries[8191], 1.0f);
    for (int i : {1, 100, 4096, 8000})
        EXPECT_NEAR(t->entries[i], std::pow(i / 8191.0, 2.2), 1e-6) << i;
    gammaFree(t);
    EXPECT_EQ(h().releases, 1);
}

TEST_F(Gamma, ChannelsTakeTheNearestEntryAndAlphaStays) {
    GammaTable *t = gammaBuild(0.5f);
    ASSERT_NE(t, nullptr);
    auto entry = [](int i) { return static_cast<float>(std::sqrt(i / 8191.0)); };

    Color c{0.0f, 1.0f, 0.25f, 0.75f};
    gammaApply(&c, t);
    EXPECT_EQ(c.r, 0.0f);
    EXPECT_EQ(c.g, 1.0f);
    EXPECT_NEAR(c.b, entry(2048), 1e-6f);  // 0.25 * 8191 = 2047.75
    EXPECT_EQ(c.a, 0.75f);

    // half an entry and above rounds up
    for (int k : {0, 1, 100, 5000}) {
        Color below{(k + 0.499f) / 8191.0f, (k + 0.501f) / 8191.0f, float(k) / 8191.0f, 1};
        gammaApply(&below, t);
        EXPECT_NEAR(below.r, entry(k), 1e-6f) << k;
        EXPECT_NEAR(below.g, entry(k + 1), 1e-6f) << k;
        EXPECT_NEAR(below.b, entry(k), 1e-6f) << k;
    }

    // channels outside [0, 1] stay on the table
    Color outside{-0.5f, 2.0f, NAN, 1};
    gammaApply(&outside, t);
    EXPECT_EQ(outside.r, 0.0f);
    EXPECT_EQ(outside.g, 1.0f);
    EXPECT_EQ(outside.b, 0.0f);
    gammaFree(t);
}

TEST_F(Gamma, ATableAndItsInverseGiveTheColourBack) {
    GammaTable *forward = gammaBuild(2.2f);
    GammaTable *back = gammaBuild(1.0f / 2.2f);
    ASSERT_NE(forward, nullptr);
    ASSERT_NE(back, nullptr);
    for (float v = 0.1f; v <= 1.0f; v += 0.05f) {
        Color c{v, 1.0f - v * 0.5f, v * v, 0.5f};
        const Color original = c;
        gammaApply(&c, forward);
        EXPECT_NEAR(c.r, std::pow(v, 2.2f), 1e-3f);
        gammaApply(&c, back);
        EXPECT_NEAR(c.r, original.r, 2e-3f) << v;
        EXPECT_NEAR(c.g, original.g, 2e-3f) << v;
        if (original.b >= 0.1f) {
            EXPECT_NEAR(c.b, original.b, 2e-3f) << v;
        }
        EXPECT_EQ(c.a, 0.5f);
    }
    gammaFree(forward);
    gammaFree(back);
    EXPECT_EQ(h().releases, 2);
}

}  // namespace
