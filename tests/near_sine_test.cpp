// The near sine and cosine stay far inside the slack their callers allow
// around the C library's values, over the whole range they serve.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <random>

#include "NearSine.h"

namespace {

// The largest difference from the library over `xs`, for sine and cosine.
template <typename Arguments>
double largestDifference(Arguments xs) {
    double worst = 0.0;
    for (double x : xs) {
        EXPECT_TRUE(nearSineServes(x)) << x;
        worst = std::fmax(worst, std::fabs(nearSine(x) - std::sin(x)));
        worst = std::fmax(worst, std::fabs(nearCosine(x) - std::cos(x)));
    }
    return worst;
}

}  // namespace

TEST(NearSine, WithinFarLessThanTheSlackOfTheLibrary) {
    std::mt19937_64 random(20261209);
    struct Range { double low, high; int count; };
    const Range ranges[] = {
        {-4.0, 4.0, 200000},                  // the first turns, both signs
        {0.0, 200.0, 200000},                 // phases of ordinary runs
        {-kNearSineLimit, kNearSineLimit, 400000},
        {kNearSineLimit - 100.0, kNearSineLimit, 100000},
    };
    for (const Range& r : ranges) {
        std::uniform_real_distribution<double> pick(r.low, r.high);
        std::vector<double> xs(r.count);
        for (double& x : xs) x = pick(random);
        EXPECT_LT(largestDifference(xs), 1e-14) << r.low << ".." << r.high;
    }
    // Around every multiple of pi/4 up to 400 turns, where the quadrant and
    // the polynomial change.
    std::vector<double> edges;
    for (int k = -1600; k <= 1600; ++k) {
        const double edge = k * 0.78539816339744830962;
        for (double step : {-1e-9, -1e-15, 0.0, 1e-15, 1e-9}) edges.push_back(edge + step);
    }
    EXPECT_LT(largestDifference(edges), 1e-14);
    EXPECT_EQ(nearSine(0.0), 0.0);
    EXPECT_EQ(nearCosine(0.0), 1.0);
}

TEST(NearSine, ServesOnlyFiniteArgumentsInItsRange) {
    const double inf = std::numeric_limits<double>::infinity();
    for (double x : {0.0, -kNearSineLimit, kNearSineLimit, 12345.678}) EXPECT_TRUE(nearSineServes(x)) << x;
    for (double x : {std::nextafter(kNearSineLimit, inf), -std::nextafter(kNearSineLimit, inf), inf, -inf,
                     std::numeric_limits<double>::quiet_NaN(), 3e10}) {
        EXPECT_FALSE(nearSineServes(x)) << x;
    }
}
