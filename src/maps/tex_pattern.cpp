// Steps shared by the pattern and blend maps.
#include "maps/tex_pattern.h"

#include <math.h>
#include <string.h>

#include "kor_support.h"
#include "kor_vector.h"

namespace kor {

void writeGBufferId(RenderState *state, int32_t id) {
    if (state && state->type == ZO_RAY_EYE && id != 0) zo_fb_put(state, 0, &id);
}

Color callMap(RenderState *state, Tag map, void *arg, Color failed) {
    Color c = failed;
    if (!map || !zo_call_shader_x(&c, ZO_SHADER_MAP, state, map, arg)) c = failed;
    return c;
}

Color callMapInMode(RenderState *state, Tag map, int *mode, int kind, Color failed) {
    if (!mode) {
        MapRequest own = {kind, 0, 0};
        return callMap(state, map, &own, failed);
    }
    const int saved = *mode;
    *mode = kind;
    const Color c = callMap(state, map, mode, failed);
    *mode = saved;
    return c;
}

Vector3 callMapBump(RenderState *state, Tag map, int *mode) {
    const Color c = callMapInMode(state, map, mode, kMapBump);
    return Vector3{c.r, c.g, c.b};
}

void writeVector(Color *result, const Vector3 &v, float alpha) {
    result->r = v.x;
    result->g = v.y;
    result->b = v.z;
    result->a = alpha;
}

void finishVector(Color *result, RenderState *state, Tag output, int *mode, Vector3 v,
                  float alpha) {
    if (output) {
        Color c = {v.x, v.y, v.z, 0.0f};
        zo_call_shader_x(&c, ZO_SHADER_MAP, state, output, mode);
        v = Vector3{c.r, c.g, c.b};
    }
    writeVector(result, v, alpha);
}

Color lerp(const Color &a, const Color &b, float t) {
    const float s = 1.0f - t;
    return Color{a.r * s + b.r * t, a.g * s + b.g * t, a.b * s + b.b * t, a.a * s + b.a * t};
}

void sideTake(RenderState *state, PatternSide *side, int *mode) {
    side->colour = callMap(state, side->map, mode);
    side->known = true;
}

Color runUVPattern(RenderState *state, Tag coords, UVPointLookup point, UVFilteredLookup filtered,
                   void *mapParams, void *mapData, const int *mode, void *lookupData,
                   CoordQuery *query) {
    UVLookupRequest request;
    request.magic = kUVLookupMagic;
    request.pointLookup = point;
    request.filteredLookup = filtered;
    request.mapParams = mapParams;
    request.mapData = mapData;
    request.mode = mode;
    request.filtered = 1;
    request.lookupData = lookupData;
    void *savedUser = state->user;
    const int32_t savedSize = state->user_size;
    if (query) {
        state->user = query;
        state->user_size = kCoordQuerySize;
    }
    Color c = kClearColor;
    if (!zo_call_shader_x(&c, ZO_SHADER_MAP, state, coords, &request)) c = kClearColor;
    state->user = savedUser;
    state->user_size = savedSize;
    return c;
}

Vector3 basisGradient(const Color &gradient, const CoordQuery &query, float scale) {
    const float gu = gradient.r * scale, gv = gradient.g * scale;
    const float *bu = &query.slots[0], *bv = &query.slots[3];
    return Vector3{gu * bu[0] + gv * bv[0], gu * bu[1] + gv * bv[1], gu * bu[2] + gv * bv[2]};
}

Vector3 runUVGradient(RenderState *state, Tag coords, UVPointLookup point,
                      UVFilteredLookup filtered, void *mapParams, void *mapData, const int *mode,
                      void *lookupData, int flags, float scale, CoordQuery *query) {
    memset(query, 0, sizeof *query);
    query->magic = kCoordQueryUV;
    query->flags = flags;
    const Color gradient =
        runUVPattern(state, coords, point, filtered, mapParams, mapData, mode, lookupData, query);
    return basisGradient(gradient, *query, scale);
}

void writeEmpty(Color *result, bool bump) {
    if (bump)
        writeVector(result, kZero, 1.0f);
    else
        *result = kClearColor;
}

bool sideTakeGrey(RenderState *state, PatternSide *side, int *mode) {
    if (!side->mapActive) return false;
    side->colour = callMapInMode(state, side->map, mode, kMapGrey);
    side->known = true;
    return true;
}

void reportMissingUV(RenderState *state, int32_t *warned) {
    if (warned) {
        if (__atomic_exchange_n(warned, 1, __ATOMIC_RELAXED) != 0) return;
    } else if (void **slot = user_slot(state)) {
        // A map without an instance record keeps its warn-once mark in the
        // instance's user-pointer slot, which nothing else uses or frees.
        void *expected = nullptr;
        if (!__atomic_compare_exchange_n(slot, &expected, reinterpret_cast<void *>(1), false,
                                         __ATOMIC_RELAXED, __ATOMIC_RELAXED))
            return;
    }
    zo_error("\"%s\" requires uv coordinate shader", shader_name(state));
}

float gradientNoise(float u, float v, float phase, float scale, int type, float levels, float low,
                    float high, float softness) {
    const Vector3 p = {u * scale + 1.0f, v * scale + 1.0f, phase};
    float n = 0.0f;
    if (type == 0) {
        n = noise3(p);
    } else if (type == 1 || type == 2) {
        const int whole = levels > 0.0f ? static_cast<int>(levels) : 0;
        const float part = levels > 0.0f ? levels - float(whole) : 0.0f;
        float f = 1.0f;
        for (int i = 0; i < whole && i < 30; ++i) {
            const float s = noise3(p * f);
            n += (type == 2 ? fabsf(s) : s) / f;
            f *= 2.0f;
        }
        if (part > 0.0f) {
            const float s = noise3(p * f);
            n += part * (type == 2 ? fabsf(s) : s) / f;
        }
    }
    if (low < high) {
        const float x = (n + 1.0f) * 0.5f;
        const float t = (softClamp(x, low, high, softness) - low) / (high - low);
        n = 2.0f * t - 1.0f;
    }
    return n;
}

}  // namespace kor
