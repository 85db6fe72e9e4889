// The routines the light shaders share that are not run inline with every
// sample: contrast coefficients, the blocked shadow colour mix, projector
// coordinates and map evaluation, the exclusion by node index, the uniform
// scale of the light instance and the N.L test in light space, photon
// emission and the cache's colour.
#include <math.h>

#include "kor_light.h"
#include "kor_support.h"
#include "kor_vector.h"
#include "scenedata.h"

namespace kor {

void contrastCoefficients(float contrast, float *a, float *b) {
    const float denominator = contrast / 204.0f + 0.5f;
    *a = denominator != 0.0f ? 2.0f - 1.0f / denominator : 0.0f;
    *b = 1.0f - *a;
}

Color shadowMixBlocked(const Color &L, const Color &S, const Color &K, float density,
                       bool lightAffectsShadowColor) {
    const float fr = density * (1.0f - S.r), fg = density * (1.0f - S.g),
                fb = density * (1.0f - S.b);
    const float m = (fr + fg + fb) / 3.0f;
    // the mean decides the form of the mix once for the three channels
    Color out = L;
    if (m < 0.0f) {
        if (lightAffectsShadowColor) {
            out.r = L.r * (K.r * fr + 1.0f);
            out.g = L.g * (K.g * fg + 1.0f);
            out.b = L.b * (K.b * fb + 1.0f);
        } else {
            out.r = L.r + K.r * fr;
            out.g = L.g + K.g * fg;
            out.b = L.b + K.b * fb;
        }
    } else if (m <= 1.0f) {
        if (lightAffectsShadowColor) {
            out.r = L.r * (fr * K.r + (1.0f - fr));
            out.g = L.g * (fg * K.g + (1.0f - fg));
            out.b = L.b * (fb * K.b + (1.0f - fb));
        } else {
            out.r = L.r * (1.0f - fr) + K.r * fr;
            out.g = L.g * (1.0f - fg) + K.g * fg;
            out.b = L.b * (1.0f - fb) + K.b * fb;
        }
    } else if (lightAffectsShadowColor) {
        out.r = L.r * K.r * fr;
        out.g = L.g * K.g * fg;
        out.b = L.b * K.b * fb;
    } else {
        out.r = K.r * fr;
        out.g = K.g * fg;
        out.b = K.b * fb;
    }
    return out;
}

static bool inUnit(float x) {
    return x >= 0.0f && x <= 1.0f;
}

bool spotMapCoords(const BeamShape *beam, const Vector3 &p, float *u, float *v) {
    const auto *k = beam ? static_cast<const ConeConstants *>(beam->constants) : nullptr;
    const float d = length(p);
    if (!k || d == 0.0f || p.z == 0.0f) return false;
    if (!(-p.z / d > k->cosHalf)) return false;
    const float su = 0.5f + 0.5f * (p.x / p.z) * k->projScale;
    const float sv = 0.5f + 0.5f * (p.y / p.z) * k->projScale * beam->aspect;
    if (!inUnit(su) || !inUnit(sv)) return false;
    *u = 1.0f - su;
    *v = 1.0f - sv;
    return true;
}

bool parallelMapCoords(const BeamShape *beam, const Vector3 &p, float *u, float *v) {
    if (!beam || beam->falloff == 0.0f) return false;
    const float pu = 0.5f + 0.5f * p.x / beam->falloff;
    const float pv = 0.5f + 0.5f * (p.y / beam->falloff) * beam->aspect;
    if (!inUnit(pu) || !inUnit(pv)) return false;
    *u = pu;
    *v = pv;
    return true;
}

int cubeFace(const Vector3 &p, float *u, float *v) {
    const float ax = fabsf(p.x), ay = fabsf(p.y), az = fabsf(p.z);
    int face;
    float a, b, w;
    if (ax >= ay && ax >= az) {
        face = p.x >= 0.0f ? 0 : 1;
    } else if (ay >= az) {
        face = p.y >= 0.0f ? 2 : 3;
    } else {
        face = p.z >= 0.0f ? 4 : 5;
    }
    switch (face) {
        case 0: a = p.z, b = p.y, w = -p.x; break;
        case 1: a = -p.z, b = p.y, w = p.x; break;
        case 2: a = p.x, b = p.z, w = -p.y; break;
        case 3: a = p.x, b = -p.z, w = p.y; break;
        case 4: a = -p.x, b = p.y, w = -p.z; break;
        default: a = p.x, b = p.y, w = p.z; break;
    }
    if (w == 0.0f) {
        *u = *v = -1.0f;
    } else {
        *u = 0.5f + 0.5f * a / w;
        *v = 0.5f + 0.5f * b / w;
    }
    return face;
}

bool omniMapCoords(const Vector3 &p, float *u, float *v) {
    float fu, fv;
    cubeFace(p, &fu, &fv);
    if (!inUnit(fu) || !inUnit(fv)) return false;
    *u = fu;
    *v = fv;
    return true;
}

Color evalLightMap(RenderState *state, Tag map, const Vector3 &p, float u, float v) {
    Color color = kBlack;
    if (!state || !map) return color;
    const Vector3 dir = state->dir, point = state->point;
    Vector3 *const texList = state->tex_list;
    const int32_t texCount = state->tex_count;
    Vector3 coord[1] = {{u, v, 0.0f}};
    state->dir = unit(p);
    state->point = p;
    state->tex_list = coord;
    state->tex_count = 1;
    MapRequest request = {kMapColor, 0, 0};
    if (!zo_call_shader_x(&color, ZO_SHADER_MAP, state, map, &request)) color = kBlack;
    state->dir = dir;
    state->point = point;
    state->tex_list = texList;
    state->tex_count = texCount;
    return color;
}

// The exclusion test past the empty-list check of excludedByList.
bool excludedByNode(RenderState *state, const ParamArray<zoBoolean> &list) {
    const NodeData *node = GetNodeData(state->instance);
    if (!node) return false;
    const int index = node->nodeIndex;
    return index >= 0 && index < list.count && list[list.start + index] != 0;
}

// The light instance's transform scales all three axes alike (within 1e-6).
static bool uniformLightScale(RenderState *state) {
    auto *record = static_cast<const zoInstanceRecord *>(zo_db_access(state->light_instance));
    if (!record) return true;
    const float *m = record->to_world;
    const float lx = sqrtf(m[0] * m[0] + m[1] * m[1] + m[2] * m[2]);
    const float ly = sqrtf(m[4] * m[4] + m[5] * m[5] + m[6] * m[6]);
    const float lz = sqrtf(m[8] * m[8] + m[9] * m[9] + m[10] * m[10]);
    zo_db_unpin(state->light_instance);
    return fabsf(lx - ly) <= 1e-6f && fabsf(lx - lz) <= 1e-6f && fabsf(ly - lz) <= 1e-6f;
}

// The answer of uniformLightScale for the light instance last asked about,
// kept in the light's cache: an instance's transform does not change within
// a frame. The memo word holds the tag, the answer and a valid bit, so that
// threads read and replace it whole.
bool askUniformLightScale(RenderState *state, LightCache *cache) {
    const bool uniform = uniformLightScale(state);
    if (cache) {
        const uint64_t tag = state->light_instance;
        __atomic_store_n(&cache->scaleMemo, tag << 2 | (uniform ? 2u : 0u) | 1u, __ATOMIC_RELAXED);
    }
    return uniform;
}

bool lightSpaceNdotL(RenderState *state, const Vector3 &p, float d, float *ndotl) {
    Vector3 n;
    zo_normal_to_light(&n, state, &state->normal);
    const float x = dot(unit(n), -p / d);
    if (x < 0.0f) return false;
    *ndotl = x;
    return true;
}

bool emitPhoton(RenderState *state, const Color &energy, const Color &weight, const Vector3 &origin,
                const Vector3 &direction, int *counter) {
    const float m = (weight.r + weight.g + weight.b) / 3.0f;
    double x = 0.0;
    zo_sample(&x, counter, state, 1, nullptr);
    if (!(m > static_cast<float>(x))) return false;
    Color e = {energy.r * weight.r / m, energy.g * weight.g / m, energy.b * weight.b / m, energy.a};
    Vector3 o, d;
    zo_point_from_light(&o, state, &origin);
    zo_vector_from_light(&d, state, &direction);
    state->org = o;
    state->dir = unit(d);
    state->ior = 1.0f;
    state->ior_in = 1.0f;
    zo_photon_light(&e, state);
    return true;
}

void initLightColor(LightCache *cache, RenderState *state, const Color &color, float multiplier) {
    Color tint = {1.0f, 1.0f, 1.0f, 1.0f};  // a scene without scene data keeps the colour
    if (const SceneData *scene = GetSceneData(state)) tint = scene->lightTint;
    cache->color = Color{color.r * multiplier * tint.r, color.g * multiplier * tint.g,
                         color.b * multiplier * tint.b, 1.0f};
    const bool productsZero =
        cache->color.r == 0.0f && cache->color.g == 0.0f && cache->color.b == 0.0f;
    const bool tintZero = tint.r == 0.0f && tint.g == 0.0f && tint.b == 0.0f;
    cache->isBlack = productsZero && !tintZero;
}

}  // namespace kor
