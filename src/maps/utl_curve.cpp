// Curve shaders: kor_base_CurveControl holds a list of control points;
// kor_base_Curve expands the lists it is given into cubic Bezier segments
// on first use and evaluates them.
#include "maps/utl_curve.h"

#include <math.h>
#include <string.h>

#include "kor_support.h"

namespace {

constexpr const char *kModule = "utl_curve";

struct CurveInstance {
    zoLock lock;
    int32_t built;
    int32_t count;
    kor::CurveShape *shapes;
};

inline float bezier(const float c[4], float t) {
    const float s = 1.0f - t;
    return s * s * s * c[0] + 3.0f * s * s * t * c[1] + 3.0f * s * t * t * c[2] + t * t * t * c[3];
}

inline float clampTo(float x, float lo, float hi) {
    return x < lo ? lo : x > hi ? hi : x;
}

void releaseInstance(CurveInstance *inst) {
    if (!inst) return;
    if (inst->shapes) {
        for (int k = 0; k < inst->count; ++k) kor::curveRelease(&inst->shapes[k]);
        zo_mem_int_release(kModule, __LINE__, inst->shapes);
    }
    if (inst->lock) zo_delete_lock(&inst->lock);
    zo_mem_int_release(kModule, __LINE__, inst);
}

// Fetches the control lists and expands them (under the instance's lock).
void buildCurves(RenderState *state, const CurveParams *params, CurveInstance *inst,
                 int tableSize) {
    const int32_t start = kor::eval(state, &params->curves.start);
    int32_t count = kor::eval(state, &params->curves.count);
    if (count < 0 || count > 4096) count = 0;
    if (count > 0) {
        inst->shapes = static_cast<kor::CurveShape *>(
            zo_mem_int_allocate(kModule, __LINE__, count * int(sizeof(kor::CurveShape))));
        if (!inst->shapes)
            count = 0;
        else
            memset(inst->shapes, 0, count * sizeof(kor::CurveShape));
    }
    for (int k = 0; k < count; ++k) {
        const Tag control = kor::eval(state, &params->curves[start + k]);
        CurveList list = {0, nullptr};
        if (!control || !zo_call_shader_x(&list, ZO_SHADER_MAP, state, control, nullptr))
            list = CurveList{0, nullptr};
        kor::curveBuild(&inst->shapes[k], list.points, list.points ? list.count : 0, tableSize);
    }
    inst->count = count;
}

}  // namespace

namespace kor {

void curveBuild(CurveShape *shape, const CurvePoint *points, int count, int tableSize) {
    memset(shape, 0, sizeof *shape);
    if (count < 1 || !points) return;
    if (count > 1) {
        shape->segments = static_cast<CurveSegment *>(
            zo_mem_int_allocate(kModule, __LINE__, (count - 1) * int(sizeof(CurveSegment))));
        if (!shape->segments) return;
    }
    shape->points = count;
    const CurvePoint &first = points[0], &last = points[count - 1];
    shape->firstX = first.x;
    shape->firstY = first.y;
    shape->lastX = last.x;
    shape->lastY = last.y;
    for (int i = 0; i + 1 < count; ++i) {
        const CurvePoint &p = points[i], &q = points[i + 1];
        CurveSegment &s = shape->segments[i];
        // handles never pass the neighbouring points nor leave the curve
        const float lo = fmaxf(p.x, first.x), hi = fminf(q.x, last.x);
        s.x[0] = p.x;
        s.y[0] = p.y;
        s.x[1] = clampTo(p.x + p.outX, lo, hi);
        s.y[1] = p.y + p.outY;
        s.x[2] = clampTo(q.x + q.inX, lo, hi);
        s.y[2] = q.y + q.inY;
        s.x[3] = q.x;
        s.y[3] = q.y;
    }
    // the ends continue along their handles, or towards the neighbour
    auto lineSlope = [](const CurvePoint &a, const CurvePoint &b) {
        const float dx = b.x - a.x;
        return dx != 0.0f ? (b.y - a.y) / dx : 0.0f;
    };
    const bool firstCorner = (static_cast<int>(first.flags) & kCurveCorner) != 0;
    const bool lastCorner = (static_cast<int>(last.flags) & kCurveCorner) != 0;
    if (fabsf(first.inX) < 0.0001f || firstCorner)
        shape->slopeBefore = count > 1 ? lineSlope(first, points[1]) : 0.0f;
    else
        shape->slopeBefore = first.inY / first.inX;
    if (fabsf(last.outX) < 0.0001f || lastCorner)
        shape->slopeAfter = count > 1 ? lineSlope(points[count - 2], last) : 0.0f;
    else
        shape->slopeAfter = last.outY / last.outX;

    if (tableSize >= 2) {
        shape->table = static_cast<float *>(zo_mem_int_allocate(kModule, __LINE__, tableSize * 4));
        if (shape->table) {
            shape->tableSize = tableSize;
            const float span = shape->lastX - shape->firstX;
            for (int i = 0; i < tableSize; ++i)
                shape->table[i] =
                    curveEvaluate(*shape, shape->firstX + span * float(i) / float(tableSize - 1));
        }
    }
}

void curveRelease(CurveShape *shape) {
    if (shape->segments) zo_mem_int_release(kModule, __LINE__, shape->segments);
    if (shape->table) zo_mem_int_release(kModule, __LINE__, shape->table);
    memset(shape, 0, sizeof *shape);
}

float curveEvaluate(const CurveShape &shape, float x) {
    if (shape.points < 1) return 0.0f;
    if (x <= shape.firstX) return shape.firstY + (x - shape.firstX) * shape.slopeBefore;
    if (x >= shape.lastX) return shape.lastY + (x - shape.lastX) * shape.slopeAfter;
    // the segment holding x
    int lo = 0, hi = shape.points - 2;
    while (lo < hi) {
        const int mid = (lo + hi + 1) / 2;
        if (shape.segments[mid].x[0] <= x)
            lo = mid;
        else
            hi = mid - 1;
    }
    const CurveSegment &s = shape.segments[lo];
    // the Bezier parameter with X(t) = x, by bisection
    float a = 0.0f, b = 1.0f, t = 0.5f;
    for (int i = 0; i < 20; ++i) {
        t = 0.5f * (a + b);
        const float at = bezier(s.x, t);
        if (at == x) break;
        if (at < x)
            a = t;
        else
            b = t;
    }
    return bezier(s.y, t);
}

float curveLookup(const CurveShape &shape, float x) {
    if (!shape.table || shape.tableSize < 2 || !(x > shape.firstX) || !(x < shape.lastX))
        return curveEvaluate(shape, x);
    const float span = shape.lastX - shape.firstX;
    const float f = (x - shape.firstX) / span * float(shape.tableSize - 1);
    int i = static_cast<int>(f);
    if (i > shape.tableSize - 2) i = shape.tableSize - 2;
    const float w = f - float(i);
    return shape.table[i] * (1.0f - w) + shape.table[i + 1] * w;
}

}  // namespace kor

KOR_EXPORT zoBoolean kor_base_CurveControl(CurveList *result, RenderState *state,
                                           CurveControlParams *params) {
    if (!result) return 0;
    if (!params) {
        *result = CurveList{0, nullptr};
        return 0;
    }
    const int32_t start = kor::eval(state, &params->points.start);
    const int32_t count = kor::eval(state, &params->points.count);
    result->count = count > 0 ? count : 0;
    result->points = count > 0 ? &params->points[start] : nullptr;
    return 1;
}

KOR_EXPORT zoBoolean kor_base_Curve(Color *result, RenderState *state, CurveParams *params,
                                    CurveRequest *request) {
    if (!result) return 0;
    void **slot = state && params ? kor::user_slot(state) : nullptr;
    auto *inst = slot ? static_cast<CurveInstance *>(*slot) : nullptr;
    if (!inst) {
        result->r = 0.0f;
        return 1;
    }
    if (!__atomic_load_n(&inst->built, __ATOMIC_ACQUIRE)) {
        zo_lock(inst->lock);
        if (!inst->built) {
            buildCurves(state, params, inst, request ? request->tableSize : 0);
            __atomic_store_n(&inst->built, 1, __ATOMIC_RELEASE);
        }
        zo_unlock(inst->lock);
    }
    if (inst->count < 1) {
        result->r = 0.0f;
        return 1;
    }
    int channel = request ? request->channel : 0;
    if (channel < 0) channel = 0;
    if (channel >= inst->count) channel = inst->count - 1;
    const kor::CurveShape &shape = inst->shapes[channel];
    const bool table = request && request->tableSize == shape.tableSize && shape.table;
    result->r = table ? kor::curveLookup(shape, result->r) : kor::curveEvaluate(shape, result->r);
    return 1;
}

KOR_SHADER_INIT(kor_base_Curve) {
    if (!params) {
        if (request) *request = 1;
        return;
    }
    void **slot = kor::user_slot(state);
    if (!slot) return;
    if (*slot) releaseInstance(static_cast<CurveInstance *>(*slot));
    *slot = nullptr;
    auto *inst =
        static_cast<CurveInstance *>(zo_mem_int_allocate(kModule, __LINE__, sizeof(CurveInstance)));
    if (!inst) return;
    memset(inst, 0, sizeof *inst);
    zo_init_lock(&inst->lock);
    *slot = inst;
}

KOR_SHADER_EXIT(kor_base_Curve) {
    if (!params) return;
    void **slot = kor::user_slot(state);
    if (!slot || !*slot) return;
    releaseInstance(static_cast<CurveInstance *>(*slot));
    *slot = nullptr;
}
