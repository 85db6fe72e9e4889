// kor_Swirl: a 2-D map of two colours stirred into each other. The UV
// generator places, tiles and filters; for each read it calls back here,
// where the coordinate is twisted about the centre and a damped octave sum
// of noise decides how much of the swirl colour shows.
#include <math.h>
#include <string.h>

#include "kor_support.h"
#include "maps/kor_stduv.h"
#include "maps/tex_procedural.h"

namespace {

using namespace kor;

constexpr int kMaxDetail = 20;
constexpr float kTwoPi = 6.28318531f;

struct SwirlParams {
    Color base;
    Color swirl;
    Tag baseMap;
    Tag swirlMap;
    zoBoolean baseMapOn;
    zoBoolean swirlMapOn;
    float contrast;
    float intensity;  // swirl intensity
    float twist;
    float centerU;
    float centerV;
    int32_t detail;  // octaves
    float damping;   // weight of each octave relative to the one before
    float z;         // the slice of the solid noise
    Tag coords;      // UV generator
    Tag output;
    int32_t gbufferId;
};

void evaluate(RenderState *state, const SwirlParams *raw, SwirlParams *p) {
    procEvalFields(state, raw, p, &SwirlParams::base, &SwirlParams::swirl, &SwirlParams::baseMap,
                   &SwirlParams::swirlMap, &SwirlParams::baseMapOn, &SwirlParams::swirlMapOn,
                   &SwirlParams::contrast, &SwirlParams::intensity, &SwirlParams::twist,
                   &SwirlParams::centerU, &SwirlParams::centerV, &SwirlParams::detail,
                   &SwirlParams::damping, &SwirlParams::z, &SwirlParams::coords,
                   &SwirlParams::output, &SwirlParams::gbufferId);
}

// The swirl colour at (u, v).
Color swirlAt(RenderState *state, const SwirlParams &p, int kind, float u, float v) {
    const float cu = u + p.centerU, cv = v + p.centerV;
    const float angle = p.twist * kTwoPi * (cu * cu + cv * cv);
    const float c = cosf(angle), s = sinf(angle);
    const float x = cv * c - cu * s, y = cu * c + cv * s;
    int n = p.detail < kMaxDetail ? p.detail : kMaxDetail;
    float sum = 0.0f, amplitude = 1.0f, scale = 1.0f;
    for (int i = 0; i < n; ++i) {
        sum += amplitude * noise3(Vector3{scale * x, scale * y, p.z});
        amplitude *= p.damping;
        scale *= 2.0f;
    }
    const float t = p.contrast * p.intensity * sum;
    const ProcSide a = {p.base, p.baseMap, p.baseMapOn}, b = {p.swirl, p.swirlMap, p.swirlMapOn};
    const Color ca = procSideColor(state, a, kind), cb = procSideColor(state, b, kind);
    const float r = 1.0f - t;
    return {clampRange(ca.r * r + cb.r * t, 0.0f, 1.0f),
            clampRange(ca.g * r + cb.g * t, 0.0f, 1.0f),
            clampRange(ca.b * r + cb.b * t, 0.0f, 1.0f), 1.0f};
}

struct Lookup {
    const SwirlParams *params;
    int kind;
};

Color *pointLookup(Color *out, RenderState *state, UVLookupRequest *request, float u, float v) {
    const auto *l = static_cast<const Lookup *>(request->lookupData);
    *out = swirlAt(state, *l->params, l->kind, u, v);
    return out;
}

Color *filteredLookup(Color *out, RenderState *state, UVLookupRequest *request, float u, float v,
                      float, float) {
    return pointLookup(out, state, request, u, v);
}

}  // namespace

KOR_EXPORT zoBoolean kor_Swirl(Color *result, RenderState *state, SwirlParams *params,
                               const int *mode) {
    SwirlParams p;
    if (!procBegin(result, state, params, mode, evaluate, &p)) return 0;
    const int m = procMode(mode);
    const bool bump = procIsBump(m);
    Lookup lookup = {&p, bump ? kMapColor : m};

    if (!p.coords) {
        // no generator: the coordinate is the origin
        if (!bump) {
            *result = swirlAt(state, p, m, 0.0f, 0.0f);
            procOutput(state, p.output, mode, result);
        } else {
            procBumpResult(state, kZero, 0.0f, ProcSide{p.base, 0, 0}, ProcSide{p.base, 0, 0},
                           p.output, mode, result);
        }
        return 1;
    }

    UVLookupRequest request;
    request.magic = kUVLookupMagic;
    request.pointLookup = pointLookup;
    request.filteredLookup = filteredLookup;
    request.mapParams = &p;
    request.mapData = nullptr;
    request.mode = mode;
    request.filtered = 1;
    request.lookupData = &lookup;

    if (!bump) {
        Color c = {0.0f, 0.0f, 0.0f, 0.0f};
        if (!zo_call_shader_x(&c, ZO_SHADER_MAP, state, p.coords, &request))
            c = Color{0.0f, 0.0f, 0.0f, 0.0f};
        *result = c;
        procOutput(state, p.output, mode, result);
        return 1;
    }

    // bump: the generator answers the intensity gradient along u and v and,
    // through the coordinate query, the surface directions of u and v
    CoordQuery query;
    memset(&query, 0, sizeof query);
    query.magic = kCoordQueryUV;
    query.flags = kQueryBasis;
    void *savedUser = state->user;
    const int32_t savedSize = state->user_size;
    state->user = &query;
    state->user_size = kCoordQuerySize;
    Color gradient = {0.0f, 0.0f, 0.0f, 0.0f};
    if (!zo_call_shader_x(&gradient, ZO_SHADER_MAP, state, p.coords, &request))
        gradient = Color{0.0f, 0.0f, 0.0f, 0.0f};
    state->user = savedUser;
    state->user_size = savedSize;
    const Vector3 bu = procFinite(Vector3{query.slots[0], query.slots[1], query.slots[2]});
    const Vector3 bv = procFinite(Vector3{query.slots[3], query.slots[4], query.slots[5]});
    Vector3 vector = bu * gradient.r + bv * gradient.g;
    if (p.output) {
        Color c = {vector.x, vector.y, vector.z, 0.0f};
        zo_call_shader_x(&c, ZO_SHADER_MAP, state, p.output, const_cast<int *>(mode));
        vector = Vector3{c.r, c.g, c.b};
    }
    *result = {vector.x, vector.y, vector.z, 1.0f};
    return 1;
}

KOR_SHADER_INIT(kor_Swirl) {
    if (params) return;
    if (request) *request = 1;
    noiseInit(state);
}
