// The photometric point light: a light of physical intensity (candela,
// lumen or lux at a distance) with an intensity distribution (isotropic,
// spot, diffuse, web profile or smooth-edged spot) and an emitter shape
// (point, line, rectangle, disc, sphere or cylinder). It shares the
// standard lights' exclusion list, "KEY_5" record, light report, volume
// query mode, shadow mix and projector evaluation; its own parts are the
// intensity scaling, the distribution, the direction from the emitter's
// effective point, the inverse-square distance factor, the far fade and the
// luminance-weighted shadow.
//
// Web profiles: the profile's angle ranges come from queries 128 to 131 and
// its values from zo_lightprofile_value. A light without a profile tag is
// shaded as the diffuse distribution. A profile whose values the host
// cannot give (zo_lightprofile_value answers 0, "not available", in every
// probed direction at init) is shaded as the isotropic distribution.
#include "kor_lslights.h"

#include <math.h>

#include "kor_rendelem.h"
#include "kor_support.h"
#include "kor_vector.h"
#include "scenedata.h"

namespace {

constexpr const char *kModule = "kor_lslights";
constexpr float kPi = 3.14159265358979f;
constexpr float kLineWidth = 2e-06f;                 // a narrower rectangle side makes a line
constexpr float kPlanarLimit = 1.553343f;            // widest half-angle with planar projection
constexpr float kMarchUnit = 0.001956947147846222f;  // 1 / 511
constexpr int kMaxPhotonTries = 64;
constexpr zoBoolean kNotLit = 2;  // beyond the far range or outside the distribution

Color scaled(const Color &c, float s) {
    return Color{c.r * s, c.g * s, c.b * s, c.a};
}
Color modulate(const Color &a, const Color &b) {
    return Color{a.r * b.r, a.g * b.g, a.b * b.b, a.a};
}
float luminance(const Color &c) {
    return 0.263f * c.r + 0.655f * c.g + 0.082f * c.b;
}

PhotometricCache *fetchCache(RenderState *state) {
    void **slot = kor::user_slot(state);
    return slot ? static_cast<PhotometricCache *>(*slot) : nullptr;
}

bool isPhotonEmission(const RenderState *state) {
    return state->type == ZO_PHOTON_LIGHT || state->type == ZO_PHOTON_EMIT_GLOBILLUM ||
           state->type == ZO_PHOTON_EMIT_CAUSTIC;
}

// The light instance's transform scales its three axes exactly alike.
bool exactUniformScale(RenderState *state) {
    auto *record = static_cast<const zoInstanceRecord *>(zo_db_access(state->light_instance));
    if (!record) return true;
    const float *m = record->to_world;
    const float lx = sqrtf(m[0] * m[0] + m[1] * m[1] + m[2] * m[2]);
    const float ly = sqrtf(m[4] * m[4] + m[5] * m[5] + m[6] * m[6]);
    const float lz = sqrtf(m[8] * m[8] + m[9] * m[9] + m[10] * m[10]);
    zo_db_unpin(state->light_instance);
    return lx == ly && ly == lz;
}

// ---------------------------------------------------------------------------
// Emitter shapes.

// The point whose direction to p gives the light direction.
Vector3 effectivePoint(const PhotometricCache &c, const Vector3 &p) {
    const Vector3 &m = c.center;
    switch (c.shape) {
        case kShapeRectangle: {
            const float qx = fminf(fmaxf(p.x, m.x - c.width * 0.5f), m.x + c.width * 0.5f);
            const float qy = fminf(fmaxf(p.y, m.y - c.height * 0.5f), m.y + c.height * 0.5f);
            return Vector3{(m.x + qx) * 0.5f, (m.y + qy) * 0.5f, m.z * 0.5f};
        }
        case kShapeDisc: {
            Vector3 v = {p.x - m.x, p.y - m.y, -m.z};
            const float len = kor::length(v);
            if (len > c.radius && len > 0.0f) v = v * (c.radius / len);
            return v * 0.5f;
        }
        case kShapeCylinder: {
            // the point of the axis segment nearest to p
            const float along = c.cylinderAxis == 1 ? p.y - m.y : p.z - m.z;
            const float t = fminf(fmaxf(along, -c.length * 0.5f), c.length * 0.5f);
            Vector3 q = m;
            if (c.cylinderAxis == 1)
                q.y += t;
            else
                q.z += t;
            return q;
        }
        default: return m;
    }
}

// 1 / (d S)^2 of the distance from e to p.
float inverseSquare(const PhotometricCache &c, const Vector3 &p, const Vector3 &e) {
    const float ds = kor::length(p - e) * c.unitScale;
    return ds > 0.0f ? 1.0f / (ds * ds) : 0.0f;
}

// The distance factor of the shape: a rectangle uses its effective point
// near by, its centre far away and a blend between.
float distanceFactor(const PhotometricCache &c, const Vector3 &p, const Vector3 &e) {
    if (c.shape != kShapeRectangle) return inverseSquare(c, p, e);
    const float D = 2.0f * sqrtf(c.width * c.width + c.height * c.height);
    const float d0 = kor::length(p - c.center);
    if (d0 <= D) return inverseSquare(c, p, e);
    const float centre = inverseSquare(c, p, c.center);
    if (d0 >= 2.0f * D) return centre;
    const float w = kor::smoothFade((d0 - D) / D);
    return (1.0f - w) * inverseSquare(c, p, e) + w * centre;
}

// The area term by which the colour seen on the emitter is divided.
float emitterArea(const PhotometricCache &c) {
    const float s2 = c.unitScale * c.unitScale;
    float area = 1.0f;
    switch (c.shape) {
        case kShapeRectangle:
            if (c.isLine)
                area = fmaxf(c.width, c.height) * s2;
            else
                area = c.width * c.height * s2;
            break;
        case kShapeDisc:
        case kShapeSphere: area = kPi * c.radius * c.radius * s2; break;
        case kShapeCylinder: area = 2.0f * c.radius * c.length * s2; break;
        default: break;
    }
    return area > 0.0f ? area : 1.0f;
}

// Projector coordinates of the direction v from the emitter: planar through
// the emission half-angle for the narrow distributions, cube faces else.
bool projectorCoords(const PhotometricCache &c, const Vector3 &v, float *u, float *w) {
    const bool narrow = c.distribution == kDistSpot || c.distribution == kDistWeb ||
                        c.distribution == kDistSmoothSpot;
    if (!(narrow && c.emissionHalfAngle < kPlanarLimit)) return kor::omniMapCoords(v, u, w);
    if (!(v.z < 0.0f)) return false;
    const float t = tanf(c.emissionHalfAngle);
    if (!(t > 0.0f)) return false;
    const float pu = 0.5f + 0.5f * (v.x / -v.z) / t;
    const float pv = 0.5f + 0.5f * (v.y / -v.z) / t;
    if (pu < 0.0f || pu > 1.0f || pv < 0.0f || pv > 1.0f) return false;
    *u = pu;
    *w = pv;
    return true;
}

// ---------------------------------------------------------------------------
// Photons: directions over the sphere weighted by the distribution, from
// the emitter's centre or a point of its rectangle or disc.

void emitPhotometricPhoton(RenderState *state, const PhotometricCache &c,
                           const PhotometricLightParams &params, const Color &energy) {
    int counter = 0;
    double sample[2] = {0.0, 0.0};
    Vector3 direction = {0.0f, 0.0f, -1.0f};
    float weight = 0.0f;
    for (int tries = 0; tries < kMaxPhotonTries && !(weight > 0.0f); ++tries) {
        zo_sample(sample, &counter, state, 2, nullptr);
        const float u = static_cast<float>(sample[0]), w = static_cast<float>(sample[1]);
        const float z = 1.0f - 2.0f * u;
        const float r = sqrtf(fmaxf(0.0f, 1.0f - z * z));
        direction = {cosf(2.0f * kPi * w) * r, sinf(2.0f * kPi * w) * r, z};
        weight = kor::photometricDistribution(c, direction);
    }
    if (!(weight > 0.0f)) return;
    Vector3 origin = c.center;
    if (c.shape == kShapeRectangle || c.shape == kShapeDisc) {
        zo_sample(sample, &counter, state, 2, nullptr);
        const float u = static_cast<float>(sample[0]), w = static_cast<float>(sample[1]);
        if (c.shape == kShapeRectangle) {
            origin.x += c.width * (u - 0.5f);
            origin.y += c.height * (w - 0.5f);
        } else {
            origin.x += c.radius * sqrtf(u) * cosf(2.0f * kPi * w);
            origin.y += c.radius * sqrtf(u) * sinf(2.0f * kPi * w);
        }
    }
    Color wc = {weight, weight, weight, 1.0f};
    float pu, pv;
    if (params.projectorOn && params.projectorMap && projectorCoords(c, direction, &pu, &pv))
        wc = modulate(wc, kor::evalLightMap(state, params.projectorMap, direction, pu, pv));
    kor::emitPhoton(state, energy, wc, origin, direction, &counter);
}

// ---------------------------------------------------------------------------
// The shader.

zoBoolean shadeLightRay(Color *result, RenderState *state, const PhotometricLightParams *params,
                        const PhotometricCache &c) {
    const bool ambientOnly = kor::eval(state, &params->ambientOnly) != 0;
    Vector3 p;
    zo_point_to_light(&p, state, &state->point);

    // far fade
    float fade = 1.0f;
    if (c.farStart != 0.0f && c.farEnd != 0.0f) {
        const float D = kor::length(p - c.center) * c.unitScale;
        if (D > c.farEnd) {
            *result = kor::kBlack;
            return kNotLit;
        }
        if (D > c.farStart) fade = kor::smoothFade((c.farEnd - D) / (c.farEnd - c.farStart));
    }
    if (state->dist == 0.0) return 0;

    VolumeSampleRecord *record = nullptr;
    const bool volumeMode = kor::volumeQueryMode(state, &record);
    if (!volumeMode && kor::excludedByList(state, params->excludeList)) return 0;

    Color color = c.base.color;
    if (!volumeMode) {
        float ndotl = 1.0f;
        if (ambientOnly) {
            state->dot_nd = 1.0f;
        } else {
            if (state->dot_nd < 0.0f) return 0;
            ndotl = state->dot_nd;
            const Vector3 toLight = c.center - p;
            const float d = kor::length(toLight);
            if (d > 0.0f && !exactUniformScale(state)) {
                Vector3 n;
                zo_normal_to_light(&n, state, &state->normal);
                ndotl = kor::dot(kor::unit(n), toLight / d);
                if (ndotl < 0.0f) return 0;
            }
        }
        kor::fillLightIllum(state,
                            kor::diffuseCurve(c.base, kor::eval(state, &params->contrast), ndotl),
                            ambientOnly, c.base.affectBits);
        const float extra = static_cast<float>(c.base.affectBits & kAffectSpecular);
        kor::lightReport(state, c.base.affectBits, ambientOnly, &extra);
    }

    // direction from the effective point and the distribution
    const Vector3 e = effectivePoint(c, p);
    const Vector3 v = p - e;
    const float value = kor::photometricDistribution(c, kor::unit(v));
    if (value == 0.0f) {
        *result = kor::kBlack;
        return kNotLit;
    }
    color = scaled(color, value);
    if (c.hasFilter) color = modulate(color, c.filter);
    color = scaled(color, distanceFactor(c, p, e) * fade);
    if (record) record->attenuation = fade;

    // projector
    const bool projector =
        kor::eval(state, &params->projectorOn) && kor::eval(state, &params->projectorMap);
    if (state->march != 0 && projector) {
        float u, w;
        if (projectorCoords(c, v, &u, &w))
            color = modulate(color, kor::evalLightMap(state, params->projectorMap, v, u, w));
    }
    color = scaled(color, 1.0f / c.reference);

    // shadow, with a density weighted by luminance
    if (kor::eval(state, &params->shadowOn) && !ambientOnly && kor::shadowsEnabled(state)) {
        const Color L = color;
        Color traced = L;
        if (!zo_trace_shadow(&traced, state)) traced = kor::kBlack;
        const float Y0 = luminance(L);
        if (Y0 != 0.0f) {
            Color K = kor::kBlack;
            if (traced.r != L.r || traced.g != L.g || traced.b != L.b) {
                K = kor::eval(state, &params->shadowColor);
                const Tag map = kor::eval(state, &params->shadowMap);
                float u, w;
                if (kor::eval(state, &params->shadowMapOn) && map && kor::omniMapCoords(v, &u, &w))
                    K = kor::evalLightMap(state, map, v, u, w);
            }
            const float q = luminance(traced) / Y0;
            if (q == 0.0f)
                color = Color{Y0, Y0, Y0, L.a};
            else
                color = scaled(traced, 1.0f / q);
            const float density = kor::eval(state, &params->shadowDensity);
            color = kor::shadowMix(color, Color{q, q, q, 1.0f}, K, density,
                                   kor::eval(state, &params->lightAffectsShadowColor) != 0,
                                   kor::shadowFinite(density, K));
        }
    }

    const bool atmosphere = kor::eval(state, &params->atmosphereShadows) != 0;
    color.a = atmosphere ? kor::eval(state, &params->atmosphereOpacity) *
                               kor::eval(state, &params->atmosphereColorAmount)
                         : 0.0f;
    *result = color;
    if (!(kor::eval(state, &params->shadowOn) && atmosphere)) state->volume = 0;
    return 1;
}

// A ray that sees the emitter.
zoBoolean shadeEmitter(Color *result, RenderState *state, const PhotometricCache &c) {
    if (state->type == ZO_RAY_REFLECT && (c.base.affectBits & kAffectSpecular)) {
        *result = kor::kBlack;
        return 1;
    }
    Vector3 back = -state->dir, d;
    zo_vector_to_light(&d, state, &back);
    Color color =
        scaled(c.base.color, kor::photometricDistribution(c, kor::unit(d)) / emitterArea(c));
    if (c.hasFilter) color = modulate(color, c.filter);
    if (c.seeThrough) {
        Color behind = kor::kBlack;
        if (zo_trace_transparent(&behind, state)) {
            color.r += behind.r;
            color.g += behind.g;
            color.b += behind.b;
        }
    }
    color.a = 1.0f;
    *result = color;
    if (RenderElementsAreBeingUsed(state)) {
        RenderElementPostIllumData data;
        InitializeRenderElementPostIllumData(state, &data);
        data.illum.shadedColor = color;
        kor_CallRenderElementShaders_PostIllum(state, &data);
    }
    return 1;
}

// ---------------------------------------------------------------------------
// Init.

// Candela from the intensity and its unit.
float candela(const PhotometricLightParams &p, int distribution, float cosHalfFalloff) {
    switch (p.intensityUnit) {
        case kUnitLumen: {
            float solidAngle = 4.0f * kPi;
            if (distribution == kDistDiffuse)
                solidAngle = kPi;
            else if (distribution == kDistSpot || distribution == kDistSmoothSpot)
                solidAngle = 2.0f * kPi * (1.0f - cosHalfFalloff);
            return solidAngle > 0.0f ? p.intensity / solidAngle : 0.0f;
        }
        case kUnitLux: return p.intensity * p.intensityDistance * p.intensityDistance;
        default: return p.intensity;
    }
}

// A web profile gives values when any probed direction has one.
bool webAnswers(Tag profile) {
    static const Vector3 kOrigin = {0.0f, 0.0f, 0.0f};
    static const float kVertical[] = {-1.0f, -0.5f, 0.0f, 0.5f, 1.0f};
    static const float kHorizontal[] = {0.0f, 0.5f * kPi, kPi, 1.5f * kPi};
    for (float vertical : kVertical)
        for (float horizontal : kHorizontal)
            if (zo_lightprofile_value(reinterpret_cast<void *>(static_cast<uintptr_t>(profile)),
                                      vertical, horizontal, &kOrigin, 0) != 0.0f)
                return true;
    return false;
}

void setupDistribution(PhotometricCache *c, RenderState *state, const PhotometricLightParams &p) {
    int kind = p.distribution;
    if (kind < kDistIsotropic || kind > kDistSmoothSpot) kind = kDistIsotropic;
    c->emissionHalfAngle = kPi;
    if (kind == kDistWeb) {
        float range[4] = {0.0f, 2.0f * kPi, 0.0f, kPi};
        if (!p.webProfile) {
            kind = kDistDiffuse;
        } else {
            for (int i = 0; i < 4; ++i) {
                float value = 0.0f;
                if (zo_query(ZO_Q_LIGHTPROFILE_PHI_MIN + i, state, p.webProfile, &value))
                    range[i] = value;
            }
            if (!webAnswers(p.webProfile)) kind = kDistIsotropic;
            c->emissionHalfAngle = fminf(fabsf(range[3]), kPi);
        }
    }
    if (kind == kDistDiffuse) c->emissionHalfAngle = 0.5f * kPi;
    if (kind == kDistSpot || kind == kDistSmoothSpot) {
        c->emissionHalfAngle = 0.5f * p.falloff;
        c->cosHalfFalloff = cosf(0.5f * p.falloff);
        c->cosHalfHotspot = cosf(0.5f * p.hotspot);
        c->cosDifference = c->cosHalfHotspot - c->cosHalfFalloff;
        const float lnCos = logf(c->cosHalfHotspot);
        c->exponent = lnCos != 0.0f ? logf(0.5f) / lnCos : 0.0f;
    }
    c->distribution = kind;
    c->webProfile = p.webProfile;
    c->webAxes = p.webAxes;
}

void setupShape(PhotometricCache *c, const PhotometricLightParams &p) {
    c->shape = (p.shape >= kShapePoint && p.shape <= kShapeCylinder) ? p.shape : kShapePoint;
    c->center = p.center;
    c->width = fabsf(p.width);
    c->height = fabsf(p.height);
    c->radius = fabsf(p.radius);
    c->length = fabsf(p.length);
    c->isLine = c->shape == kShapeRectangle && (c->width < kLineWidth || c->height < kLineWidth);
    c->cylinderAxis = 2;
    if (c->shape == kShapeCylinder) {
        if (p.cylinderAxis == 1 || p.cylinderAxis == 2)
            c->cylinderAxis = p.cylinderAxis;
        else
            zo_error("Cylinder light must be defined along y or z axis.");
    }
}

void releaseCache(void **slot) {
    if (!slot || !*slot) return;
    zo_mem_int_release(kModule, __LINE__, *slot);
    *slot = nullptr;
}

}  // namespace

namespace kor {

float photometricDistribution(const PhotometricCache &c, const Vector3 &d) {
    const float down = -d.z;
    switch (c.distribution) {
        case kDistSpot:
            if (down < c.cosHalfFalloff) return 0.0f;
            return powf(fmaxf(down, 0.0f), c.exponent);
        case kDistDiffuse: return fmaxf(down, 0.0f);
        case kDistWeb: {
            Vector3 w = d;
            if (c.webAxes == 1) {
                const float y = w.y;
                w.y = w.z;
                w.z = y;
            } else if (c.webAxes == 2) {
                w.z = -w.z;
            }
            const float vertical = fminf(fmaxf(w.z, -1.0f), 1.0f);
            float horizontal = atan2f(w.y, w.x);
            if (horizontal < 0.0f) horizontal += 2.0f * kPi;
            const float value = zo_lightprofile_value(
                reinterpret_cast<void *>(static_cast<uintptr_t>(c.webProfile)), vertical,
                horizontal, &w, 0);
            return value > 0.0f ? value : 0.0f;
        }
        case kDistSmoothSpot: {
            if (down < c.cosHalfFalloff) return 0.0f;
            float base = c.cosHalfHotspot < 1.0f ? powf(fmaxf(down, 0.0f), c.exponent) : 0.0f;
            if (down < c.cosHalfHotspot && c.cosDifference != 0.0f) {
                const float t = 1.0f - (c.cosHalfHotspot - down) / c.cosDifference;
                base *= smoothFade(t);
            }
            return base;
        }
        default: return 1.0f;
    }
}

}  // namespace kor

// ---------------------------------------------------------------------------
// Exports.

KOR_EXPORT zoBoolean kor_PhotometricPointLight(Color *result, RenderState *state,
                                               PhotometricLightParams *params,
                                               VolumeMarchRequest *request) {
    if (!result || !state || !params) return 0;
    if (!kor::eval(state, &params->on)) return 0;
    const PhotometricCache *cache = fetchCache(state);
    if (!cache) return 0;
    if (isPhotonEmission(state)) {
        emitPhotometricPhoton(state, *cache, *params, *result);
        return 1;
    }
    if (cache->base.isBlack) return 0;
    if (request) {
        const kor::LightRanges ranges = {false,
                                         0.0f,
                                         0.0f,
                                         cache->farStart != 0.0f && cache->farEnd != 0.0f,
                                         cache->farStart,
                                         cache->farEnd,
                                         0.0f,
                                         kor::eval(state, &params->shadowOn) != 0,
                                         kor::eval(state, &params->atmosphereShadows) != 0};
        return kor::volumeMarch(result, state, &cache->base, ranges, request);
    }
    if (state->type != ZO_RAY_LIGHT) return shadeEmitter(result, state, *cache);
    return shadeLightRay(result, state, params, *cache);
}

KOR_SHADER_INIT(kor_PhotometricPointLight) {
    if (!params) {
        if (request) *request = 1;
        return;
    }
    const auto *p = static_cast<const PhotometricLightParams *>(params);
    void **slot = kor::user_slot(state);
    if (!slot) return;
    releaseCache(slot);  // a repeated init replaces the cache
    auto *c = static_cast<PhotometricCache *>(
        zo_mem_int_allocate(kModule, __LINE__, sizeof(PhotometricCache)));
    if (!c) return;

    setupDistribution(c, state, *p);
    const float cd = candela(*p, c->distribution, c->cosHalfFalloff);
    Color color = {p->color.r * cd, p->color.g * cd, p->color.b * cd, 1.0f};
    if (const SceneData *scene = GetSceneData(state)) {
        color = Color{color.r * scene->lightTint.r, color.g * scene->lightTint.g,
                      color.b * scene->lightTint.b, 1.0f};
        c->base.isBlack = color.r == 0.0f && color.g == 0.0f && color.b == 0.0f;
    }
    c->base.color = color;
    c->filter = p->filterColor;
    c->hasFilter = p->filterColor.r != 1.0f || p->filterColor.g != 1.0f || p->filterColor.b != 1.0f;
    kor::contrastCoefficients(p->contrast, &c->base.contrastA, &c->base.contrastB);
    c->base.soften = p->softenDiffuseEdge / 100.0f;
    c->base.affectBits =
        (p->affectDiffuse ? kAffectDiffuse : 0) | (p->affectSpecular ? kAffectSpecular : 0);

    c->reference = p->referenceValue > 0.0f ? p->referenceValue : 1500.0f;
    c->unitScale = p->unitScale != 0.0f ? p->unitScale : 1.0f;
    c->marchScale = cd / (c->reference * kMarchUnit) / (c->unitScale * c->unitScale);
    c->farStart = p->farAttenStart * c->unitScale;
    c->farEnd = p->farAttenEnd * c->unitScale;
    c->seeThrough = p->seeThrough;

    setupShape(c, *p);
    kor::installVolumeOps(&c->base, kLightOmni, c->farStart != 0.0f && c->farEnd != 0.0f);
    *slot = c;
}

KOR_SHADER_EXIT(kor_PhotometricPointLight) {
    if (!params) return;
    releaseCache(kor::user_slot(state));
}
