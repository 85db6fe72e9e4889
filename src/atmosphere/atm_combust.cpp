// The fire effect: flames inside sphere, hemisphere, cylinder and box
// gizmos. Every ray is marched through every gizmo; a turbulent
// four-dimensional noise (the fourth axis is the animation phase) gives the
// flame density, which blends an inner and an outer colour into the ray's
// colour with exponential absorption. An explosion grows the gizmos with
// the phase, fades the flames out and may turn them to smoke.
#include "atm_combust.h"

#include <math.h>

#include "atm_gizmo.h"
#include "kor_support.h"
#include "kor_vector.h"

namespace {

constexpr const char *kModule = "atm_combust";
constexpr float kMissDistance = 1.0e9f;
// Octaves beyond this many add nothing a float can hold.
constexpr float kMaxOctaves = 24.0f;

const FireEffectRecord *fetchRecord(RenderState *state) {
    void **slot = kor::user_slot(state);
    return slot ? static_cast<const FireEffectRecord *>(*slot) : nullptr;
}

void releaseRecord(void **slot) {
    if (!slot || !*slot) return;
    auto *fire = static_cast<FireEffectRecord *>(*slot);
    if (fire->gizmos) zo_mem_int_release(kModule, __LINE__, fire->gizmos);
    zo_mem_int_release(kModule, __LINE__, fire);
    *slot = nullptr;
}

// Row vectors: p' = p * M, translation in elements 12-14.
Vector3 toGizmoPoint(const float *m, const Vector3 &p) {
    return {p.x * m[0] + p.y * m[4] + p.z * m[8] + m[12],
            p.x * m[1] + p.y * m[5] + p.z * m[9] + m[13],
            p.x * m[2] + p.y * m[6] + p.z * m[10] + m[14]};
}

Vector3 toGizmoVector(const float *m, const Vector3 &v) {
    return {v.x * m[0] + v.y * m[4] + v.z * m[8], v.x * m[1] + v.y * m[5] + v.z * m[9],
            v.x * m[2] + v.y * m[6] + v.z * m[10]};
}

float smooth(float f) {
    return f * f * (3.0f - 2.0f * f);
}

// ---------------------------------------------------------------------------
// Shapes.

float sphereShape(const FireGizmo &g, const Vector3 &p) {
    return kor::dot(p, p) / g.radius2;
}

float hemisphereShape(const FireGizmo &g, const Vector3 &p) {
    const float a = kor::dot(p, p) / g.radius2;
    const float b = 1.0f - (p.z + g.fifth) / g.twoFifths;
    return a > b ? a : b;
}

float cylinderShape(const FireGizmo &g, const Vector3 &p) {
    const float z = p.z / g.halfHeight;
    return kor::largest3((p.x * p.x + p.y * p.y) / g.radius2, z - 1.0f, 1.0f - z);
}

float boxShape(const FireGizmo &g, const Vector3 &p) {
    return kor::largest3(fabsf(p.y / g.halfWidth), fabsf(p.x / g.halfLength),
                         fabsf(p.z / g.halfHeight - 1.0f));
}

bool sphereIntersect(const FireGizmo &g, const Vector3 &o, const Vector3 &d, float *t0, float *t1) {
    return kor::gizmoSphere(g.radius2, o, d, t0, t1);
}

bool hemisphereIntersect(const FireGizmo &g, const Vector3 &o, const Vector3 &d, float *t0,
                         float *t1) {
    return sphereIntersect(g, o, d, t0, t1) && kor::gizmoCutBelow(-g.twoFifths, o, d, t0, t1);
}

bool cylinderIntersect(const FireGizmo &g, const Vector3 &o, const Vector3 &d, float *t0,
                       float *t1) {
    return kor::gizmoCylinder(g.radius2, g.height, o, d, t0, t1);
}

bool boxIntersect(const FireGizmo &g, const Vector3 &o, const Vector3 &d, float *t0, float *t1) {
    return kor::gizmoBox(g.halfLength, g.halfWidth, g.height, o, d, t0, t1);
}

bool neverHit(const FireGizmo &, const Vector3 &, const Vector3 &, float *, float *) {
    return false;
}

float noShape(const FireGizmo &, const Vector3 &) {
    return 1.0f;
}

void setShape(FireGizmo *g, const VolumeGizmoData &data, float scale) {
    const float r = data.radius * scale;
    g->radius = r;
    g->radius2 = r * r;
    g->fifth = r / 5.0f;
    g->twoFifths = 2.0f * r / 5.0f;
    g->halfLength = data.length * scale / 2.0f;
    g->halfWidth = data.width * scale / 2.0f;
    g->height = data.height * scale;
    g->halfHeight = g->height / 2.0f;
    bool extent = true;
    switch (data.type) {
        case kGizmoSphere:
            g->shape = sphereShape;
            g->intersect = sphereIntersect;
            extent = r > 0.0f;
            break;
        case kGizmoHemisphere:
            g->shape = hemisphereShape;
            g->intersect = hemisphereIntersect;
            extent = r > 0.0f;
            break;
        case kGizmoCylinder:
            g->shape = cylinderShape;
            g->intersect = cylinderIntersect;
            extent = r > 0.0f && g->height > 0.0f;
            break;
        case kGizmoBox:
            g->shape = boxShape;
            g->intersect = boxIntersect;
            extent = g->halfLength > 0.0f && g->halfWidth > 0.0f && g->height > 0.0f;
            break;
        default:
            g->shape = noShape;
            g->intersect = neverHit;
            break;
    }
    // a shape without extent (an explosion outside its phases) draws nothing
    if (!extent) g->skip = 1;
}

// Fills the record's colours and scales for the phase.
void setPhase(FireEffectRecord *fire, const FireEffectParams &p) {
    fire->innerColor = p.innerColor;
    fire->outerColor = p.outerColor;
    fire->densityScale = p.density / 50.0f;
    fire->invSize = p.flameSize != 0.0f ? 1.0f / p.flameSize : 0.0f;
    fire->invStretch = p.stretch != 0.0f ? 1.0f / p.stretch : 0.0f;
    if (!p.explode) {
        fire->sizeScale = 1.0f;
        fire->phaseValue = p.phase / 300.0f * 5.0f;
        return;
    }
    if (!(p.phase >= 0.0f && p.phase <= 300.0f)) {
        fire->sizeScale = 0.0f;
        fire->densityScale = 0.0f;
        fire->phaseValue = 0.0f;
        return;
    }
    fire->sizeScale = sqrtf(p.phase / 100.0f);
    if (p.phase > 100.0f) {
        const float f = 1.0f - (p.phase - 100.0f) / 200.0f;
        fire->densityScale *= smooth(f);
    }
    if (p.smoke) {
        if (p.phase > 200.0f) {
            fire->innerColor = p.smokeColor;
            fire->outerColor = p.smokeColor;
        } else if (p.phase > 100.0f) {
            const float s = smooth((p.phase - 100.0f) / 100.0f);
            Color *colours[2] = {&fire->innerColor, &fire->outerColor};
            for (Color *c : colours) {
                c->r += (p.smokeColor.r - c->r) * s;
                c->g += (p.smokeColor.g - c->g) * s;
                c->b += (p.smokeColor.b - c->b) * s;
            }
        }
    }
    fire->phaseValue = sqrtf(p.phase / 75.0f) * 0.5f * 5.0f * p.fury;
}

}  // namespace

namespace kor {

float fireTurbulence(const Vector3 &q, float w, float octaves, int type) {
    if (octaves > kMaxOctaves) octaves = kMaxOctaves;
    float sum = 0.0f, f = 1.0f;
    while (octaves >= 1.0f) {
        sum += fabsf(noise4(f * q.x, f * q.y, f * q.z, w)) / f;
        f *= 2.0f;
        octaves -= 1.0f;
    }
    if (octaves > 0.0f) sum += fabsf(noise4(f * q.x, f * q.y, f * q.z, w)) * octaves / f;
    if (type == 0) return sum;
    const float t = 0.5f - sum;
    return t > 0.0f ? t : 0.0f;
}

}  // namespace kor

KOR_EXPORT zoBoolean kor_FireEffect(Color *result, RenderState *state, FireEffectParams *params) {
    if (!result || !state || !params) return 1;
    const FireEffectParams &p = *params;
    if (!p.on) return 1;
    const bool lightRay = state->type == ZO_RAY_LIGHT;
    const bool hasLength = state->dist > 0.0;
    if (lightRay && !hasLength) return 1;
    const FireEffectRecord *fire = fetchRecord(state);
    if (!fire) return 1;
    if (p.samples <= 0) {
        if (!fire->warned) {
            const_cast<FireEffectRecord *>(fire)->warned = 1;
            zo_warning("\"%s\": %d samples draw no flames", kor::shader_name(state), p.samples);
        }
        return 1;
    }
    const Color kept = *result;
    if (lightRay) *result = Color{1.0f, 1.0f, 1.0f, 0.0f};

    Vector3 origin, direction, end = {0.0f, 0.0f, 0.0f};
    zo_point_to_world(&origin, state, &state->org);
    zo_vector_to_world(&direction, state, &state->dir);
    if (hasLength) zo_point_to_world(&end, state, &state->point);

    Color A = {0.0f, 0.0f, 0.0f, 0.0f};
    bool any = false;
    for (int i = 0; i < fire->gizmoCount; ++i) {
        const FireGizmo &g = fire->gizmos[i];
        if (g.skip) continue;
        const Vector3 o = toGizmoPoint(g.transform, origin);
        const Vector3 gd = toGizmoVector(g.transform, direction);
        const float dl = kor::length(gd);
        if (!(dl > 0.0f)) continue;
        const Vector3 d = gd / dl;
        float t0, t1;
        if (!g.intersect(g, o, d, &t0, &t1) || t1 < 0.0f) continue;
        const float far =
            hasLength ? kor::length(toGizmoPoint(g.transform, end) - o) : kMissDistance;
        if (t0 > far) continue;
        any = true;
        if (t0 < 0.0f) t0 = 0.0f;
        if (t1 > far) t1 = far;
        const float s = (t1 - t0) / p.samples;
        for (int k = 0; k < p.samples; ++k) {
            const Vector3 at = o + d * (t0 + k * s);
            const float v = g.shape(g, at);
            Vector3 q = (at + g.offset) * fire->invSize;
            q.z *= fire->invStretch;
            float n = kor::fireTurbulence(q, fire->phaseValue, p.flameDetail, p.flameType);
            if (v > p.regularity) {
                n -= v - p.regularity;
                if (n < 0.0f) n = 0.0f;
            }
            const float w = fire->densityScale * s * n * (1.0f - v);
            A.r += w * (fire->outerColor.r * (1.0f - n) + fire->innerColor.r * n);
            A.g += w * (fire->outerColor.g * (1.0f - n) + fire->innerColor.g * n);
            A.b += w * (fire->outerColor.b * (1.0f - n) + fire->innerColor.b * n);
            A.a += w;
        }
    }

    if (!any) {
        if (lightRay) *result = kept;
        return 1;
    }
    const Color e = {1.0f - expf(-A.r), 1.0f - expf(-A.g), 1.0f - expf(-A.b), 1.0f - expf(-A.a)};
    result->r = result->r * (1.0f - e.a) + e.r;
    result->g = result->g * (1.0f - e.a) + e.g;
    result->b = result->b * (1.0f - e.a) + e.b;
    result->a = result->a + e.a - result->a * e.a;
    if (lightRay) {
        const float dim = 1.0f - result->a / 2.0f;
        result->r = kept.r * dim * (1.0f - (1.0f - result->r) / 2.0f);
        result->g = kept.g * dim * (1.0f - (1.0f - result->g) / 2.0f);
        result->b = kept.b * dim * (1.0f - (1.0f - result->b) / 2.0f);
        result->a = kept.a;
    }
    return 1;
}

KOR_SHADER_INIT(kor_FireEffect) {
    if (!params) {
        if (request) *request = 1;
        kor::noiseInit(state);
        return;
    }
    void **slot = kor::user_slot(state);
    if (!slot) return;
    const auto &p = *static_cast<const FireEffectParams *>(params);
    const int count = p.gizmos.count > 0 ? p.gizmos.count : 0;

    // the offsets come from the shared generator, reseeded per gizmo
    zo_lock(state->global_lock);
    releaseRecord(slot);  // a repeated init replaces the record
    auto *fire = static_cast<FireEffectRecord *>(
        zo_mem_int_allocate(kModule, __LINE__, sizeof(FireEffectRecord)));
    if (!fire) {
        zo_unlock(state->global_lock);
        return;
    }
    *fire = FireEffectRecord{};
    setPhase(fire, p);
    if (count > 0) {
        fire->gizmos = static_cast<FireGizmo *>(
            zo_mem_int_allocate(kModule, __LINE__, count * static_cast<int>(sizeof(FireGizmo))));
        if (fire->gizmos) fire->gizmoCount = count;
    }
    for (int i = 0; i < fire->gizmoCount; ++i) {
        FireGizmo &g = fire->gizmos[i];
        g = FireGizmo{};
        const Tag tag = p.gizmos[p.gizmos.start + i];
        const VolumeGizmoData *data = nullptr;
        if (!tag || !zo_query(ZO_Q_DATA_PARAM, state, tag, &data) || !data) {
            g.skip = 1;
            continue;
        }
        kor::srand15(static_cast<uint32_t>(data->seed));
        const float x = kor::rand15() / 32767.0f * 1000.0f;
        const float y = kor::rand15() / 32767.0f * 1000.0f;
        const float z = kor::rand15() / 32767.0f * 1000.0f - p.drift;
        g.offset = Vector3{x, y, z};
        for (int k = 0; k < 16; ++k) g.transform[k] = data->transform[k];
        setShape(&g, *data, fire->sizeScale);
    }
    *slot = fire;
    zo_unlock(state->global_lock);
}

KOR_SHADER_EXIT(kor_FireEffect) {
    if (!params) return;
    releaseRecord(kor::user_slot(state));
}
