// kor_Falloff, a grey value by the angle between the normal and a
// direction, and kor_Falloff2, two colours (or sub-maps) blended by one of
// five falloff terms in one of ten direction frames.
#include <math.h>
#include <string.h>

#include "kor_support.h"
#include "kor_vector.h"
#include "maps/tex_pattern.h"
#include "materials/illum.h"

namespace {

using namespace kor;

Vector3 unitAxis(int axis) {
    return Vector3{axis == 0 ? 1.0f : 0.0f, axis == 1 ? 1.0f : 0.0f, axis == 2 ? 1.0f : 0.0f};
}

// The light arriving at the point: per light the mean over its samples.
void sumLight(RenderState *state, Tag light, LightIllumRecord *record, void *user) {
    Color *sum = static_cast<Color *>(user);
    Color colour, lightSum = kClearColor;
    Vector3 direction;
    float dotNL = 0.0f;
    int samples = 0;
    while (zo_sample_light(&colour, &direction, &dotNL, state, light, &samples)) {
        float k = 1.0f;
        if (!record || !record->ambientOnly) {
            if (dotNL <= 0.0f) continue;
            k = record && record->filled ? record->diffuseFactor : dotNL;
        }
        lightSum.r += colour.r * k;
        lightSum.g += colour.g * k;
        lightSum.b += colour.b * k;
    }
    const float n = samples > 1 ? 1.0f / float(samples) : 1.0f;
    sum->r += lightSum.r * n;
    sum->g += lightSum.g * n;
    sum->b += lightSum.b * n;
}

float lightTerm(RenderState *state) {
    Color sum = kClearColor;
    // the light loop skips light and shadow rays: seen as an eye ray here
    const int32_t savedType = state->type;
    state->type = ZO_RAY_EYE;
    IllumAccumulate(state, sumLight, &sum);
    state->type = savedType;
    return (sum.r + sum.g + sum.b) / 3.0f;
}

// The reference instance's origin and axes in internal space.
bool nodeFrame(Tag node, Vector3 *origin, Vector3 axes[3]) {
    if (!node) return false;
    const auto *inst = static_cast<const zoInstanceRecord *>(zo_db_access(node));
    if (!inst) return false;
    const float *m = inst->to_world;
    *origin = Vector3{m[12], m[13], m[14]};
    for (int k = 0; k < 3; ++k) axes[k] = unit(Vector3{m[4 * k], m[4 * k + 1], m[4 * k + 2]});
    zo_db_unpin(node);
    return true;
}

void evaluate(RenderState *state, const Falloff2Params *in, Falloff2Params *p) {
#define KOR_EVAL(field) p->field = eval(state, &in->field)
    KOR_EVAL(color1);
    KOR_EVAL(color2);
    KOR_EVAL(map1);
    KOR_EVAL(map2);
    KOR_EVAL(map1On);
    KOR_EVAL(map2On);
    KOR_EVAL(falloffType);
    KOR_EVAL(direction);
    KOR_EVAL(node);
    KOR_EVAL(iorOverride);
    KOR_EVAL(ior);
    KOR_EVAL(nearDistance);
    KOR_EVAL(farDistance);
    KOR_EVAL(extrapolate);
    KOR_EVAL(output);
    KOR_EVAL(gbufferId);
#undef KOR_EVAL
}

}  // namespace

KOR_EXPORT zoBoolean kor_Falloff(Color *result, RenderState *state, FalloffParams *params,
                                 int *mode) {
    if (!result) return 0;
    const bool bump = isBumpMode(mode);
    if (!state || !params) {
        *result = kClearColor;
        return 0;
    }
    const float value1 = eval(state, &params->value1), value2 = eval(state, &params->value2);
    const int type = eval(state, &params->falloffType);
    const bool unsignedTerm = eval(state, &params->unsigned_) != 0;
    const Tag output = eval(state, &params->output);
    writeGBufferId(state, eval(state, &params->gbufferId));
    if (bump) {
        finishVector(result, state, output, mode, kZero, 1.0f);
        return 1;
    }
    const Vector3 n = state->normal;
    float t;
    switch (type) {
        case 0: t = -dot(n, state->dir); break;
        case 1: t = 1.0f - fabsf(dot(n, state->dir)); break;
        case 2:
        case 3:
        case 4: {
            Vector3 w = n;
            zo_normal_to_world(&w, state, &n);
            t = component(unit(w), type - 2);
            break;
        }
        default: t = 0.0f; break;
    }
    if (!unsignedTerm) t = (t + 1.0f) * 0.5f;
    const float v = value1 * (1.0f - t) + value2 * t;
    *result = Color{v, v, v, 1.0f};
    applyOutput(result, state, output, mode);
    return 1;
}

KOR_EXPORT zoBoolean kor_Falloff2(Color *result, RenderState *state, Falloff2Params *params,
                                  int *mode) {
    if (!result) return 0;
    const bool bump = isBumpMode(mode);
    if (!state || !params) {
        *result = kClearColor;
        return 0;
    }
    Falloff2Params p;
    evaluate(state, params, &p);
    writeGBufferId(state, p.gbufferId);
    if (bump) {
        finishVector(result, state, p.output, mode, kZero, 1.0f);
        return 1;
    }

    // the direction of the frame, and the reference point of distances
    Vector3 origin = state->org, axes[3];
    const bool node = nodeFrame(p.node, &origin, axes);
    Vector3 direction = -state->dir;
    switch (p.direction) {
        case 1:
        case 2: {
            const Vector3 axis = unitAxis(p.direction - 1);
            zo_vector_from_camera(&direction, state, &axis);
            break;
        }
        case 3: direction = origin - state->point; break;
        case 4:
        case 5:
        case 6:
            if (node) {
                direction = axes[p.direction - 4];
            } else {
                const Vector3 axis = unitAxis(p.direction - 4);
                zo_vector_from_object(&direction, state, &axis);
            }
            break;
        case 7:
        case 8:
        case 9: {
            const Vector3 axis = unitAxis(p.direction - 7);
            zo_vector_from_world(&direction, state, &axis);
            break;
        }
        default: break;
    }
    const float c = dot(state->normal, unit(direction));

    float t = 0.0f;
    switch (p.falloffType) {
        case 0: t = 1.0f - (c + 1.0f) * 0.5f; break;
        case 1: t = 1.0f - fabsf(c); break;
        case 2: {
            float n = p.iorOverride ? p.ior : state->ior;
            if (n == 0.0f) n = 1.0f;
            t = dielectricFresnel(reflectDir(state), state->dir, n);
            break;
        }
        case 3: t = lightTerm(state); break;
        case 4: {
            const float d = length(state->point - origin);
            const float k = p.farDistance == p.nearDistance
                                ? 10000.0f
                                : 1.0f / (p.farDistance - p.nearDistance);
            if (!p.extrapolate && d <= p.nearDistance)
                t = 1.0f;
            else if (!p.extrapolate && d > p.farDistance)
                t = 0.0f;
            else
                t = (p.farDistance - d) * k;
            break;
        }
        default: break;
    }
    const Color a = active(p.map1, p.map1On) ? callMap(state, p.map1, mode) : p.color1;
    const Color b = active(p.map2, p.map2On) ? callMap(state, p.map2, mode) : p.color2;
    *result = lerp(a, b, t);
    applyOutput(result, state, p.output, mode);
    return 1;
}
