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
