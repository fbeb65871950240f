// The covered spans of a transition pass: for every row, exactly the pixels
// whose sample position passes the drawing's inside test, for rotations,
// scalings and positions far outside the field; and no spans for terms whose
// covered pixels need not be one span per row.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <memory>
#include <vector>

#include "TransitionDrawing.h"

namespace {

// Terms of a rotation by `angle` and a scaling by `scale` about (cx, cy),
// shifted by (shiftX, shiftY), laid out as the transitions lay them out.
void fillTerms(PassTerms& t, int32_t w, int32_t h, double angle, double scale, double shiftX, double shiftY) {
    const double s = std::sin(angle), c = std::cos(angle);
    const double cx = w * 0.5, cy = h * 0.5;
    for (int32_t x = 0; x < w; ++x) {
        const double u = (x - cx) * scale;
        t.columnCos[x] = c * u;
        t.columnSin[x] = s * u;
    }
    for (int32_t y = 0; y < h; ++y) {
        const double v = (y - cy) * 2.0 * scale;
        t.rowSin[y] = s * v;
        t.rowCos[y] = c * v;
    }
    t.originX = cx + shiftX;
    t.originY = cy + shiftY;
}

bool inside(const PassTerms& t, int32_t w, int32_t h, int32_t x, int32_t y) {
    const double sx = t.columnCos[x] - t.rowSin[y] + t.originX;
    const double sy = (t.columnSin[x] + t.rowCos[y]) * 0.5 + t.originY;
    return sx >= 0.0 && sx < static_cast<double>(w) && sy >= 0.0 && sy < static_cast<double>(h);
}

struct Geometry {
    int32_t w, h;
    double angle, scale, shiftX, shiftY;
};

const Geometry kGeometries[] = {
    {37, 23, 0.0, 1.0, 0.0, 0.0},       {37, 23, 0.3, 1.7, 0.0, 0.0},     {37, 23, -2.9, 0.4, 3.0, -2.0},
    {1, 1, 0.7, 1.0, 0.0, 0.0},         {2, 3, 1.5707963, 3.0, 0.0, 0.0}, {101, 57, 3.14159265, 1.0, 0.5, 0.5},
    {720, 288, 0.05, 1.0001, 0.0, 0.0}, {720, 288, 5.1, 9.5, 0.0, 0.0},   {720, 288, 1.0, 0.02, 0.0, 0.0},
    {96, 40, 0.9, 1.0, 500.0, 0.0},     {96, 40, -0.4, 1e-9, 0.0, 0.0},   {64, 64, 0.7853981634, 1.0, 0.0, 0.0},
};

}  // namespace

TEST(CoveredSpans, EachRowIsExactlyThePixelsInside) {
    auto terms = std::make_unique<PassTerms>();
    std::vector<RowSpan> spans(kMaxFieldExtent);
    for (const Geometry& g : kGeometries) {
        fillTerms(*terms, g.w, g.h, g.angle, g.scale, g.shiftX, g.shiftY);
        ASSERT_TRUE(coveredSpans(*terms, g.w, g.h, spans.data())) << g.w << "x" << g.h << " angle " << g.angle;
        for (int32_t y = 0; y < g.h; ++y) {
            for (int32_t x = 0; x < g.w; ++x) {
                const bool inSpan = x >= spans[y].begin && x < spans[y].end;
                ASSERT_EQ(inSpan, inside(*terms, g.w, g.h, x, y))
                    << g.w << "x" << g.h << " angle " << g.angle << " scale " << g.scale << " at " << x << "," << y;
            }
        }
    }
}

// Terms that are not finite, or columns that do not move one way, give no
// spans: a caller then has to test every pixel.
TEST(CoveredSpans, NoneForTermsThatNeedNotGiveOneSpanARow) {
    const double inf = std::numeric_limits<double>::infinity();
    const double nan = std::numeric_limits<double>::quiet_NaN();
    auto terms = std::make_unique<PassTerms>();
    std::vector<RowSpan> spans(kMaxFieldExtent);
    auto breakTerms = [&](int which) {
        fillTerms(*terms, 37, 23, 0.3, 1.0, 0.0, 0.0);
        switch (which) {
            case 0: terms->columnCos[5] = inf; break;
            case 1: terms->columnSin[0] = nan; break;
            case 2: terms->rowSin[22] = -inf; break;
            case 3: terms->rowCos[3] = nan; break;
            case 4: terms->originX = nan; break;
            case 5: terms->originY = inf; break;
            case 6: terms->columnCos[10] = terms->columnCos[30]; break;  // turns back along the row
            case 7: terms->columnSin[36] = -1e9; break;
        }
    };
    for (int which = 0; which < 8; ++which) {
        breakTerms(which);
        EXPECT_FALSE(coveredSpans(*terms, 37, 23, spans.data())) << "case " << which;
    }
}
