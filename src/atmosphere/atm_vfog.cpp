// Volume fog: a volume shader that fills the whole scene, or a set of
// bounding shapes (sphere, cylinder, box, hemisphere), with noisy fog. It
// marches the ray segment in fixed steps, sums a noise-modulated density
// and blends the ray's colour toward the fog colour by the sum; on light
// rays it dims the light instead.
#include "atm_vfog.h"

#include <math.h>

#include "atm_gizmo.h"
#include "atm_wind.h"
#include "kor_support.h"
#include "kor_vector.h"

namespace {

constexpr const char *kModule = "atm_vfog";
constexpr float kMissDistance = 1.0e9f;
constexpr float kLongSegment = 100000.0f;
constexpr int kMaxOctaves = 16;

const VolumeFogRecord *fetchRecord(RenderState *state) {
    void **slot = kor::user_slot(state);
    return slot ? static_cast<const VolumeFogRecord *>(*slot) : nullptr;
}

void releaseRecord(void **slot) {
    if (!slot || !*slot) return;
    zo_mem_int_release(kModule, __LINE__, *slot);
    *slot = nullptr;
}

// Row vectors: p' = p * M, translation in elements 12-14.
Vector3 toGizmoPoint(const float *m, const Vector3 &p) {
    return {p.x * m[0] + p.y * m[4] + p.z * m[8] + m[12],
            p.x * m[1] + p.y * m[5] + p.z * m[9] + m[13],
            p.x * m[2] + p.y * m[6] + p.z * m[10] + m[14]};
}

// ---------------------------------------------------------------------------
// Shapes.

float sphereFalloff(const VolumeFogGizmo &g, const Vector3 &p) {
    return kor::dot(p, p) / g.radius2;
}

float hemisphereFalloff(const VolumeFogGizmo &g, const Vector3 &p) {
    const float r = kor::dot(p, p) / g.radius2;
    const float z = 1.0f - p.z / g.radius;
    return r > z ? r : z;
}

float cylinderFalloff(const VolumeFogGizmo &g, const Vector3 &p) {
    const float r = (p.x * p.x + p.y * p.y) / g.radius2;
    const float z = fabsf(p.z / g.halfHeight - 1.0f);
    return r > z ? r : z;
}

float boxFalloff(const VolumeFogGizmo &g, const Vector3 &p) {
    return kor::largest3(fabsf(p.x) / g.halfLength, fabsf(p.y) / g.halfWidth,
                         fabsf(p.z / g.halfHeight - 1.0f));
}

bool sphereIntersect(const VolumeFogGizmo &g, const Vector3 &o, const Vector3 &d, float *t0,
                     float *t1) {
    return kor::gizmoSphere(g.radius2, o, d, t0, t1);
}

bool hemisphereIntersect(const VolumeFogGizmo &g, const Vector3 &o, const Vector3 &d, float *t0,
                         float *t1) {
    return sphereIntersect(g, o, d, t0, t1) && kor::gizmoCutBelow(0.0f, o, d, t0, t1);
}

bool cylinderIntersect(const VolumeFogGizmo &g, const Vector3 &o, const Vector3 &d, float *t0,
                       float *t1) {
    return kor::gizmoCylinder(g.radius2, g.height, o, d, t0, t1);
}

bool boxIntersect(const VolumeFogGizmo &g, const Vector3 &o, const Vector3 &d, float *t0,
                  float *t1) {
    return kor::gizmoBox(g.halfLength, g.halfWidth, g.height, o, d, t0, t1);
}

// ---------------------------------------------------------------------------
// Density.

float noiseAt(const VolumeFogParams &p, const VolumeFogRecord &fog, const Vector3 &q) {
    return fog.phase ? kor::noise4(q.x, q.y, q.z, p.noisePhase) : kor::noise3(q);
}

float noiseValue(const VolumeFogParams &p, const VolumeFogRecord &fog, const Vector3 &q) {
    if (p.noiseType != 1 && p.noiseType != 2) return noiseAt(p, fog, q);
    const bool turbulence = p.noiseType == 2;
    float levels = p.noiseLevels > 0.0f ? p.noiseLevels : 0.0f;
    if (levels > kMaxOctaves) levels = kMaxOctaves;
    const int whole = static_cast<int>(levels);
    const float fraction = levels - whole;
    float value = 0.0f, scale = 1.0f;
    for (int i = 0; i <= whole; ++i, scale *= 2.0f) {
        const float weight = i < whole ? 1.0f : fraction;
        if (weight == 0.0f) break;
        float n = noiseAt(p, fog, q * scale);
        if (turbulence) n = fabsf(n);
        value += weight * n / scale;
    }
    return turbulence ? value * 4.0f - 1.0f : value;
}

// The density at the noise point q; r is the falloff at the march point
// (negative: no softened edge).
float density(const VolumeFogParams &p, const VolumeFogRecord &fog, const Vector3 &q, float r) {
    float v = noiseValue(p, fog, q) + p.noiseUniformity;
    if (p.invertNoise) v = -v;
    float d = (v > 0.0f ? v : 0.0f) / fog.uniformityDivisor;
    if (fog.threshold && p.noiseLow != p.noiseHigh) {
        if (d < p.noiseLow)
            d = 0.0f;
        else if (d > p.noiseHigh)
            d = 1.0f;
        else
            d = (d - p.noiseLow) / (p.noiseHigh - p.noiseLow);
    }
    if (r >= 0.0f && r > fog.edgeStart) d *= 1.0f - (r - fog.edgeStart) / fog.edgeWidth;
    return d;
}

struct Segment {
    Vector3 start;
    Vector3 dir;
    float length;
    int steps;
    float stepLength;
    float weight;
    float remainder;
    const VolumeFogGizmo *gizmo;  // null: the whole scene
};

// Adds the density along the segment to *amount.
void marchSegment(const VolumeFogParams &p, const VolumeFogRecord &fog, const Segment &s,
                  float *amount) {
    const bool soft = s.gizmo && fog.edgeWidth > 0.0f;
    const Vector3 offset = soft ? s.gizmo->offset : fog.windOffset;
    auto sample = [&](const Vector3 &at) {
        const float r = soft ? s.gizmo->falloff(*s.gizmo, at) : -1.0f;
        return density(p, fog, (at + offset) * fog.inverseSize, r);
    };
    Vector3 at = s.start;
    const Vector3 step = s.dir * s.stepLength;
    for (int i = 0; i < s.steps; ++i) {
        at += step;
        *amount += sample(at) * s.weight;
        if (*amount >= 1.0f && !p.exponential) {
            *amount = 1.0f;
            return;
        }
    }
    if (s.remainder > 0.0f) {
        at += s.dir * s.remainder;
        *amount += sample(at) * s.weight * (s.remainder / s.stepLength);
    }
}

// The fog through one gizmo between world points P0 and P1.
void marchGizmo(const VolumeFogParams &p, const VolumeFogRecord &fog, const VolumeFogGizmo &g,
                const Vector3 &P0, const Vector3 &P1, float *amount) {
    const Vector3 o = toGizmoPoint(g.transform, P0);
    const Vector3 span = toGizmoPoint(g.transform, P1) - o;
    const float hitDistance = kor::length(span);
    if (!(hitDistance > 0.0f)) return;
    const Vector3 d = span / hitDistance;
    float t0, t1;
    if (!g.intersect(g, o, d, &t0, &t1)) return;
    if (t0 > hitDistance || t1 < 0.0f) return;
    if (t0 < 0.0f) t0 = 0.0f;
    if (t1 > hitDistance) t1 = hitDistance;
    const float length = t1 - t0;
    if (length > kLongSegment) {
        *amount = 1.0f;
        return;
    }
    if (p.stepLimit <= 0 || !(length > 0.0f)) return;
    Segment s;
    s.start = o + d * t0;
    s.dir = d;
    s.length = length;
    s.steps = p.stepLimit;
    s.stepLength = length / p.stepLimit;
    s.weight = fog.stepWeight * s.stepLength / p.stepSize;
    s.remainder = 0.0f;
    s.gizmo = &g;
    marchSegment(p, fog, s, amount);
}

// The fog of the whole scene between world points P0 and P1.
void marchScene(const VolumeFogParams &p, const VolumeFogRecord &fog, const Vector3 &P0,
                const Vector3 &P1, float *amount) {
    const Vector3 span = P1 - P0;
    const float length = kor::length(span);
    if (length > kLongSegment) {
        *amount = 1.0f;
        return;
    }
    if (!(length > 0.0f)) return;
    Segment s;
    s.start = P0;
    s.dir = span / length;
    s.length = length;
    const float whole = floorf(length / p.stepSize);
    const int limit = p.stepLimit > 0 ? p.stepLimit : 0;
    s.steps = whole < static_cast<float>(limit) ? static_cast<int>(whole) : limit;
    s.stepLength = p.stepSize;
    s.weight = fog.stepWeight;
    s.remainder = length - s.steps * p.stepSize;
    if (s.remainder > p.stepSize) s.remainder = p.stepSize;
    s.gizmo = nullptr;
    marchSegment(p, fog, s, amount);
}

void setShape(VolumeFogGizmo *g, const VolumeGizmoData &data) {
    g->type = data.type;
    const float r = data.radius, h = data.height;
    switch (data.type) {
        case kGizmoSphere:
        case kGizmoHemisphere:
            g->radius = r;
            g->radius2 = r * r;
            g->fifth = r / 5.0f;
            g->twoFifths = 2.0f * r / 5.0f;
            g->falloff = data.type == kGizmoSphere ? sphereFalloff : hemisphereFalloff;
            g->intersect = data.type == kGizmoSphere ? sphereIntersect : hemisphereIntersect;
            break;
        case kGizmoCylinder:
            g->radius = r;
            g->radius2 = r * r;
            g->height = h;
            g->halfHeight = h / 2.0f;
            g->falloff = cylinderFalloff;
            g->intersect = cylinderIntersect;
            break;
        case kGizmoBox:
            g->height = h;
            g->halfHeight = h / 2.0f;
            g->halfWidth = data.width / 2.0f;
            g->halfLength = data.length / 2.0f;
            g->falloff = boxFalloff;
            g->intersect = boxIntersect;
            break;
        default: g->skip = 1; break;
    }
    // a shape without extent holds no fog
    switch (data.type) {
        case kGizmoSphere:
        case kGizmoHemisphere:
            if (!(r > 0.0f)) g->skip = 1;
            break;
        case kGizmoCylinder:
            if (!(r > 0.0f) || !(h > 0.0f)) g->skip = 1;
            break;
        case kGizmoBox:
            if (!(h > 0.0f) || !(data.width > 0.0f) || !(data.length > 0.0f)) g->skip = 1;
            break;
        default: break;
    }
}

}  // namespace

KOR_EXPORT zoBoolean kor_VolumeFog(Color *result, RenderState *state, VolumeFogParams *params) {
    if (!result || !state || !params) return 1;
    const VolumeFogParams &p = *params;
    if (!p.on) return 1;
    if (state->camera && state->camera->orthographic) return 1;
    const bool hit = state->dist > 0.0;
    const bool lightRay = state->type == ZO_RAY_LIGHT;
    if (lightRay && (!hit || result->a == 0.0f)) return 1;
    if (!hit && !p.fogBackground) return 1;
    const VolumeFogRecord *fog = fetchRecord(state);
    if (!fog) return 1;
    if (!(p.stepSize > 0.0f)) {
        if (!fog->warned) {
            const_cast<VolumeFogRecord *>(fog)->warned = 1;
            zo_warning("\"%s\": step size %g draws no fog", kor::shader_name(state),
                       static_cast<double>(p.stepSize));
        }
        return 1;
    }

    Vector3 P0, P1;
    zo_point_to_world(&P0, state, &state->org);
    if (hit) {
        zo_point_to_world(&P1, state, &state->point);
    } else {
        Vector3 d;
        zo_vector_to_world(&d, state, &state->dir);
        P1 = P0 + d * kMissDistance;
    }

    float amount = 0.0f;
    if (fog->gizmoCount <= 0) {
        if (hit)
            marchScene(p, *fog, P0, P1, &amount);
        else
            amount = 1.0f;
    } else {
        for (int i = 0; i < fog->gizmoCount; ++i) {
            const VolumeFogGizmo &g = fog->gizmos[i];
            if (g.skip) continue;
            marchGizmo(p, *fog, g, P0, P1, &amount);
            if (amount > 1.0f && !p.exponential) break;
        }
    }
    if (!p.exponential && amount > 1.0f) amount = 1.0f;
    const float f = p.exponential ? 1.0f - expf(-amount) : amount;

    if (lightRay) {
        const float k = 1.0f - f * result->a;
        result->r *= k;
        result->g *= k;
        result->b *= k;
    } else {
        result->r += (p.fogColor.r - result->r) * f;
        result->g += (p.fogColor.g - result->g) * f;
        result->b += (p.fogColor.b - result->b) * f;
        result->a += f * (1.0f - result->a);
    }
    return 1;
}

KOR_SHADER_INIT(kor_VolumeFog) {
    if (!params) {
        if (request) *request = 1;
        kor::noiseInit(state);
        return;
    }
    void **slot = kor::user_slot(state);
    if (!slot) return;
    releaseRecord(slot);  // a repeated init replaces the record
    auto *p = static_cast<VolumeFogParams *>(params);
    const int count = p->gizmos.count > 0 ? p->gizmos.count : 0;
    const size_t size = sizeof(VolumeFogRecord) + count * sizeof(VolumeFogGizmo);
    auto *fog = static_cast<VolumeFogRecord *>(zo_mem_int_allocate(kModule, __LINE__, size));
    if (!fog) return;
    if (p->noiseHigh < p->noiseLow) {
        const float low = p->noiseLow;
        p->noiseLow = p->noiseHigh;
        p->noiseHigh = low;
    }
    *fog = VolumeFogRecord{};
    fog->phase = p->noisePhase != 0.0f;
    fog->threshold = p->noiseLow != 0.0f || p->noiseHigh != 0.0f;
    fog->edgeStart = 1.0f - p->softenEdges;
    fog->edgeWidth = p->softenEdges;
    fog->stepWeight = p->density / 500.0f * p->stepSize;
    fog->inverseSize = p->noiseSize != 0.0f ? 1.0f / p->noiseSize : p->noiseSize;
    float divisor = p->noiseUniformity + 1.0f;
    if (divisor < 0.0001f) divisor = 0.0001f;
    fog->uniformityDivisor = divisor;
    fog->wind = kor::windVector(p->windDirection);
    fog->windOffset = fog->wind * (p->noisePhase * p->windStrength);
    fog->gizmoCount = count;
    fog->gizmos = reinterpret_cast<VolumeFogGizmo *>(fog + 1);

    // the offsets come from the shared generator, reseeded per gizmo
    zo_lock(state->global_lock);
    for (int i = 0; i < count; ++i) {
        VolumeFogGizmo &g = fog->gizmos[i];
        g = VolumeFogGizmo{};
        const Tag tag = p->gizmos[p->gizmos.start + i];
        const VolumeGizmoData *data = nullptr;
        if (!tag || !zo_query(ZO_Q_DATA_PARAM, state, tag, &data) || !data) {
            g.skip = 1;
            continue;
        }
        kor::srand15(static_cast<uint32_t>(data->seed));
        const float x = kor::rand15() / 32767.0f * 1000.0f;
        const float y = kor::rand15() / 32767.0f * 1000.0f;
        const float z = kor::rand15() / 32767.0f * 1000.0f;
        g.offset = Vector3{x, y, z} + fog->windOffset;
        for (int k = 0; k < 16; ++k) g.transform[k] = data->transform[k];
        setShape(&g, *data);
    }
    zo_unlock(state->global_lock);
    *slot = fog;
}

KOR_SHADER_EXIT(kor_VolumeFog) {
    if (!params) return;
    releaseRecord(kor::user_slot(state));
}
