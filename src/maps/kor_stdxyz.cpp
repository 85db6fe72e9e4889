// XYZ coordinate generators: the point a 3-D map is evaluated at, moved,
// turned and scaled by the generator's transform.
#include <math.h>

#include "kor_context.h"
#include "kor_matrix.h"
#include "kor_memo.h"
#include "kor_stduv.h"
#include "kor_support.h"
#include "kor_vector.h"
#include "shader.h"

namespace {

constexpr const char *kModule = "kor_stdxyz";

struct XYZGeneratorParams {
    int32_t coordinateSystem;  // 0 object XYZ, 1 map channel, 2 vertex colour, 3 world XYZ
    int32_t mapChannel;
    Vector3 offset;
    Vector3 tiling;
    Vector3 angle;  // radians about X, Y, Z
    float blur;
    float blurOffset;
};

struct XYZThreadData {
    int32_t ready;
    int32_t valid;
    Vector3 offset, angle, tiling;
    kor::Matrix34 matrix;
    Vector3 rows[3];  // the first three rows, normalised
    ShadingContext context;
    FootprintCache footprint;  // the triangle last shaded
};

bool same(Vector3 a, Vector3 b) {
    return a.x == b.x && a.y == b.y && a.z == b.z;
}

XYZGeneratorParams evaluate(RenderState *state, const XYZGeneratorParams *raw) {
    // nothing connected: the record as it stands
    if (kor::unconnected(state, raw, sizeof *raw)) return *raw;
    XYZGeneratorParams p;
    p.coordinateSystem = kor::eval(state, &raw->coordinateSystem);
    p.mapChannel = kor::eval(state, &raw->mapChannel);
    p.offset = kor::eval(state, &raw->offset);
    p.tiling = kor::eval(state, &raw->tiling);
    p.angle = kor::eval(state, &raw->angle);
    p.blur = kor::eval(state, &raw->blur);
    p.blurOffset = kor::eval(state, &raw->blurOffset);
    return p;
}

// The thread's block of the running instance, as the host answered it
// before on this thread. A block lives until the instance's exit, which
// makes every kept answer stale; a generator has no init, and a new
// instance starts without blocks, asked for at its first sample.
kor::ShaderMemo xyzMemo;

XYZThreadData *thread_data(RenderState *state, const XYZGeneratorParams &p) {
    auto *td = static_cast<XYZThreadData *>(
        kor::memoThreadBlock(xyzMemo, state, kModule, __LINE__, sizeof(XYZThreadData)));
    if (!td) return nullptr;
    if (!td->ready) {
        kor::contextCreate(&td->context, state);
        td->ready = 1;
    }
    if (!td->valid || !same(td->offset, p.offset) || !same(td->angle, p.angle) ||
        !same(td->tiling, p.tiling)) {
        td->offset = p.offset;
        td->angle = p.angle;
        td->tiling = p.tiling;
        kor::Matrix34 m = kor::matrixTranslation(p.offset);
        m = kor::matrixMultiply(m, kor::matrixRotation(0, p.angle.x));
        m = kor::matrixMultiply(m, kor::matrixRotation(1, p.angle.y));
        m = kor::matrixMultiply(m, kor::matrixRotation(2, p.angle.z));
        m = kor::matrixMultiply(m, kor::matrixScale(p.tiling));
        td->matrix = m;
        for (int r = 0; r < 3; ++r) {
            const Vector3 row = kor::matrixRow(m, r);
            td->rows[r] = kor::length(row) > 0.0f ? kor::normalize(row) : row;
        }
        td->valid = 1;
    }
    return td;
}

int channel(RenderState *state, const XYZGeneratorParams &p, const ShadingContext *ctx) {
    return kor::selectChannel(state, ctx, 0, nullptr, p.coordinateSystem == 2 ? 2 : 0,
                              p.mapChannel);
}

Vector3 point(RenderState *state, const XYZGeneratorParams &p, const ShadingContext *ctx) {
    Vector3 v = kor::kZero;
    switch (p.coordinateSystem) {
        case 0: kor::objectPoint(state, ctx, 0, &v); break;
        case 1:
        case 2: kor::channelUVW(state, ctx, 0, channel(state, p, ctx), &v); break;
        case 3: kor::pointToSpace(state, ctx, 0, state->point, kSpaceWorld, &v); break;
        default: break;
    }
    return v;
}

Vector3 footprint(RenderState *state, const XYZGeneratorParams &p, XYZThreadData *td) {
    const ShadingContext *ctx = &td->context;
    Vector3 d = kor::kZero;
    switch (p.coordinateSystem) {
        case 0: kor::objectPointDerivative(state, ctx, 0, &d, &td->footprint); break;
        case 1:
        case 2:
            kor::channelFootprint(state, ctx, 0, channel(state, p, ctx), &d, &td->footprint);
            break;
        case 3: {
            Vector3 camera_width, internal;
            kor::shadingPointDerivative(state, ctx, 0, &camera_width);
            kor::vectorFromSpace(state, ctx, 0, camera_width, kSpaceCamera, &internal);
            kor::vectorToSpace(state, ctx, 0, internal, kSpaceWorld, &d);
            d = kor::abs(d);
            break;
        }
        default: break;
    }
    d = kor::transformVector(td->matrix, d);
    return {p.blurOffset + p.blur * d.x, p.blurOffset + p.blur * d.y, p.blurOffset + p.blur * d.z};
}

void answer_query(RenderState *state, const XYZGeneratorParams &p, XYZThreadData *td) {
    if (!state->user || state->user_size != kCoordQuerySize) return;
    auto *q = static_cast<CoordQuery *>(state->user);
    if (q->magic != kCoordQueryXYZ) return;
    const int flags = q->flags & 0xFFFF;
    if (flags & kQueryFootprint) {
        const Vector3 d = footprint(state, p, td);
        q->slots[0] = d.x;
        q->slots[1] = d.y;
        q->slots[2] = d.z;
    }
    if (flags & kQueryRows) {
        for (int r = 0; r < 3; ++r) {
            q->slots[3 + 3 * r] = td->rows[r].x;
            q->slots[4 + 3 * r] = td->rows[r].y;
            q->slots[5 + 3 * r] = td->rows[r].z;
        }
    }
}

void release_thread_data(RenderState *state, void *params) {
    if (!params) return;
    kor::memoForget();
    kor::for_each_thread_block(state, [](void *block) {
        auto *td = static_cast<XYZThreadData *>(block);
        kor::contextRelease(&td->context);
        zo_mem_int_release(kModule, __LINE__, td);
    });
}

}  // namespace

KOR_EXPORT zoBoolean kor_base_XYZGenerator(Color *result, RenderState *state,
                                           XYZGeneratorParams *params) {
    if (!params || !state || !result) return 0;
    const XYZGeneratorParams p = evaluate(state, params);
    XYZThreadData *td = thread_data(state, p);
    if (!td) return 0;
    const Vector3 v = kor::transformPoint(td->matrix, point(state, p, &td->context));
    *result = {v.x, v.y, v.z, 1.0f};
    answer_query(state, p, td);
    return 1;
}

KOR_EXPORT zoBoolean kor_XYZCoordinate(CoordinateRecord *result, RenderState *state,
                                       XYZGeneratorParams *params) {
    if (!params || !state || !result) return 0;
    const XYZGeneratorParams p = evaluate(state, params);
    XYZThreadData *td = thread_data(state, p);
    if (!td) return 0;
    result->uvw = kor::transformPoint(td->matrix, point(state, p, &td->context));
    result->duvw = footprint(state, p, td);
    return 1;
}

KOR_SHADER_EXIT(kor_base_XYZGenerator) {
    release_thread_data(state, params);
}
KOR_SHADER_EXIT(kor_XYZCoordinate) {
    release_thread_data(state, params);
}
