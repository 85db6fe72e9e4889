// Curves: the control-point lists of kor_base_CurveControl and their
// evaluation by kor_base_Curve, through which the Output shader maps
// colour channels.
#ifndef KORSHADERS_MAPS_UTL_CURVE_H
#define KORSHADERS_MAPS_UTL_CURVE_H

#include <korshaders/host.h>
#include <stdint.h>

#include "shader.h"

// One control point: the point, its handles as offsets from it, and flags.
struct CurvePoint {
    float x, y;
    float inX, inY;    // handle towards the previous point
    float outX, outY;  // handle towards the next point
    float flags;       // bit 0: a corner (ends continue along the line to the neighbour)
};
static_assert(sizeof(CurvePoint) == 28, "a control point is seven values");

constexpr int32_t kCurveCorner = 1;

struct CurveControlParams {
    kor::ParamArray<CurvePoint> points;  // in increasing x
};

// What kor_base_CurveControl answers: its points as they stand.
struct CurveList {
    int32_t count;
    const CurvePoint *points;
};

struct CurveParams {
    kor::ParamArray<Tag> curves;  // kor_base_CurveControl shaders
};

// The argument of a curve call: which curve, and the size of the sample
// table to build on first use (0 or 1: none).
struct CurveRequest {
    int32_t channel;
    int32_t tableSize;
};

KOR_EXPORT zoBoolean kor_base_CurveControl(CurveList *result, RenderState *state,
                                           CurveControlParams *params);
// result->r: the value in, the curve's value out.
KOR_EXPORT zoBoolean kor_base_Curve(Color *result, RenderState *state, CurveParams *params,
                                    CurveRequest *request);
KOR_SHADER_INIT(kor_base_Curve);
KOR_SHADER_EXIT(kor_base_Curve);

namespace kor {

// One cubic Bezier segment, control points absolute.
struct CurveSegment {
    float x[4], y[4];
};

// A curve expanded for evaluation.
struct CurveShape {
    int32_t points;
    float firstX, firstY, lastX, lastY;
    float slopeBefore, slopeAfter;  // linear continuation outside [firstX, lastX]
    CurveSegment *segments;         // points - 1
    float *table;                   // evenly spaced samples over [firstX, lastX]
    int32_t tableSize;
};

// Expands `count` points into *shape (host allocator, module "utl_curve");
// a table of `tableSize` samples when that is at least 2.
void curveBuild(CurveShape *shape, const CurvePoint *points, int count, int tableSize);
void curveRelease(CurveShape *shape);
// The curve at x (exactly, from the segments); 0 for a curve without points.
float curveEvaluate(const CurveShape &shape, float x);
// From the table when it has one, else exactly.
float curveLookup(const CurveShape &shape, float x);

}  // namespace kor

#endif
