// Architectural material: a base colour lit by its own light loop with a
// microfacet highlight driven by shininess, Fresnel-weighted traced
// reflection and refraction, transparency, translucency, emitted luminance,
// cutout and a metal mode.
#include "kor_arch.h"

#include <math.h>
#include <stddef.h>
#include <string.h>

#include "illum.h"
#include "kor_context.h"
#include "kor_rendelem.h"
#include "kor_statekeys.h"
#include "kor_support.h"
#include "kor_surface.h"
#include "kor_vector.h"
#include "maps/tex_reflect.h"
#include "output/kor_toneop.h"
#include "scenedata.h"
#include "shader.h"

using namespace kor;

namespace {

const char *const kModule = "kor_arch";
const float kPiF = 3.14159265f;

struct ShininessSet {
    float roughness, slope, lobe, slope2;
};

struct ArchInstance {
    float shininess, transparency, translucency, ior, luminance, cutoutClamped;
    int32_t metal;
    ShininessSet g;
    float translucencyFraction;
    Color base, Cd, Ct, Cl, lum;
    bool hasTranslucency;
};

float clamp01(float v) {
    return v < 0.0f ? 0.0f : (v > 1.0f ? 1.0f : v);
}
float finiteOr(float v, float d) {
    return isfinite(v) ? v : d;
}

ShininessSet shininessSet(float s) {
    ShininessSet g;
    const float sc = fminf(fmaxf(s, 0.0001f), 0.9999f);
    g.roughness = 0.1f * logf(sc) / logf(0.5f);
    g.slope = 0.2f * (1.0f - s);
    g.lobe = 0.25f * (1.0f - s) * (1.0f - s) + 0.01f;
    g.slope2 = 2.0f * g.slope * g.slope;
    return g;
}

Color scaled(const Color &c, float k) {
    return {c.r * k, c.g * k, c.b * k, c.a * k};
}
Color grey(float v) {
    return {v, v, v, v};
}
void addRGB(Color &a, const Color &b) {
    a.r += b.r;
    a.g += b.g;
    a.b += b.b;
}

bool mapOn(zoBoolean on, Tag map) {
    return on && map;
}

// The mean of the map's r, g, b (mode 1); false when the call fails.
bool monoMap(RenderState *state, Tag map, float *value) {
    MapRequest request{kMapGrey, 0, 0};
    Color c = {0, 0, 0, 0};
    if (zo_call_shader_x(&c, ZO_SHADER_MAP, state, map, &request) != 1) return false;
    const float v = (c.r + c.g + c.b) / 3.0f;
    if (!isfinite(v)) return false;
    *value = v;
    return true;
}

// Blends the colour map (mode 0) at `amount` into `channel`.
void colourMap(RenderState *state, Tag map, float amount, Color &channel) {
    MapRequest request{kMapColor, 0, 0};
    Color c = {0, 0, 0, 0};
    if (zo_call_shader_x(&c, ZO_SHADER_MAP, state, map, &request) != 1) return;
    const Color m = scaled(c, amount);
    const float keep = fmaxf(0.0f, 1.0f - fabsf(m.a));
    channel.r = channel.r * keep + m.r;
    channel.g = channel.g * keep + m.g;
    channel.b = channel.b * keep + m.b;
}

void buildInstance(ArchInstance &I, const ArchitecturalParams *p) {
    memset(&I, 0, sizeof I);
    I.shininess = clamp01(finiteOr(p->shininess, 0.0f));
    I.transparency = clamp01(finiteOr(p->transparency, 0.0f));
    I.translucency = clamp01(finiteOr(p->translucency, 0.0f));
    const float ior = finiteOr(p->ior, 1.0f);
    I.ior = ior < 1.0f ? 1.0f : ior;
    const float lum = finiteOr(p->luminance, 0.0f);
    I.luminance = lum < 0.0f ? 0.0f : lum;
    I.cutoutClamped = clamp01(finiteOr(p->cutout, 1.0f));
    I.metal = p->metalMode == 1;
    I.g = shininessSet(I.shininess);
    const float t = I.transparency;
    I.translucencyFraction = I.metal ? 0.0f : fmaxf(0.0f, 1.0f - t) * I.translucency;
    const float l = I.translucencyFraction;
    I.base = p->diffuseColor;
    if (p->intensity <= 0.0f) I.base.r = I.base.g = I.base.b = 0.0f;
    I.Cd = scaled(I.base, 1.0f - (t + l));
    I.Ct = scaled(I.base, t);
    I.Cl = scaled(I.base, l);
    I.lum = scaled(I.base, I.luminance);
    I.hasTranslucency = !I.metal && (I.Cl.r >= 0.0001f || I.Cl.g >= 0.0001f || I.Cl.b >= 0.0001f);
}

// Shared formulas.
float fresnel(float n, float c) {
    if (c < 0.0f) {
        n = 1.0f / n;
        c = -c;
    }
    const float k = 1.0f - (1.0f - c * c) / (n * n);
    if (k < 0.0001f) return 1.0f;
    const float r = sqrtf(k);
    const float rs = (c - n * r) / (c + n * r);
    const float rp = (n * c - r) / (r + n * c);
    return (rs * rs + rp * rp) * 0.5f;
}

float shadowing(float m, float c) {
    c = fabsf(c);
    if (m <= 0.0f) return 1.0f;
    const float a = (c / sqrtf(1.0001f - c * c)) / m;
    if (!(a > 0.0f)) return 0.0f;
    const float f = 1.0f - 0.5f * expf(-a);
    return f / (f + 1.0f / (2.0f * sqrtf(kPiF) * a));
}

float distribution(float m, float h) {
    const float q = m * m + 0.000001f;
    const float h2 = h * h;
    return expf(-((1.0001f - h2) / h2) / q) / (h2 * q * h2);
}

float metalIndex(float r) {
    r = fminf(fmaxf(r, 0.01f), 0.99f);
    const float a = 1.0f - r, b = -2.0f * (1.0f + r), c = 1.25f * (1.0f - r);
    const float disc = b * b - 4.0f * a * c;
    if (disc <= 0.0f) return (1.0f + r) / (1.0f - r);
    return (-b + sqrtf(disc)) / (2.0f * a);
}

float metalFresnel(float n, float c) {
    const float p = n * n + 0.25f;
    return 0.5f * ((c * c * p - 2.0f * n * c + 1.0f) / (c * c * p + 2.0f * n * c + 1.0f) +
                   (c * c + p - 2.0f * n * c) / (c * c + 2.0f * n * c + p));
}

Color metalFresnelC(const Color &n, float c) {
    return {metalFresnel(n.r, c), metalFresnel(n.g, c), metalFresnel(n.b, c), 1.0f};
}

struct ArchSample {
    Vector3 dir, normal;
    float NV;
    Color B, Cd, Ct, Cl, E;
    float s, c;
    ShininessSet g;
    bool raw, metal, thin, hasTranslucency, canTrace, reflectOn, refractOn;
    Color Kd, Ka, Wr, Wt;
    Color metalN;
    float GV;
    // components
    Color ambient, diffuse, selfIllum, specular, refraction, reflection;
    Color backLight;
};

void buildSample(ArchSample &S, RenderState *state, const ArchitecturalParams *p,
                 const ArchInstance &I, bool photon) {
    memset(&S, 0, sizeof S);
    S.dir = state->dir;
    S.normal = state->normal;
    S.NV = -dot(S.normal, S.dir);
    S.B = I.base;
    S.Cd = I.Cd;
    S.Ct = I.Ct;
    S.Cl = I.Cl;
    S.s = I.shininess;
    S.g = I.g;
    S.c = finiteOr(p->cutout, 1.0f);
    S.E = I.lum;
    const bool diffuseMap = mapOn(p->diffuseMapOn, p->diffuseMap);
    const bool intensityMap = p->intensity > 0.0f && mapOn(p->intensityMapOn, p->intensityMap);
    if (diffuseMap || intensityMap) {
        S.B = p->diffuseColor;
        if (diffuseMap) colourMap(state, p->diffuseMap, p->diffuseMapAmount, S.B);
        float v;
        if (intensityMap && monoMap(state, p->intensityMap, &v))
            S.B = scaled(S.B, v * p->intensity);
        if (p->intensity <= 0.0f) S.B.r = S.B.g = S.B.b = 0.0f;
    }
    float v;
    if (mapOn(p->shininessMapOn, p->shininessMap) && monoMap(state, p->shininessMap, &v)) {
        S.s = clamp01(finiteOr(v * p->shininess, 0.0f));
        S.g = shininessSet(S.s);
    }
    float t = I.transparency, l = I.translucencyFraction;
    bool recompute = diffuseMap || intensityMap;
    if (mapOn(p->transparencyMapOn, p->transparencyMap) && monoMap(state, p->transparencyMap, &v)) {
        t = finiteOr(v * p->transparency, 0.0f);
        recompute = true;
    }
    if (mapOn(p->translucencyMapOn, p->translucencyMap)) {
        float tl = I.translucency;
        if (monoMap(state, p->translucencyMap, &v)) tl = finiteOr(v * p->translucency, 0.0f);
        l = I.metal ? 0.0f : fmaxf(0.0f, 1.0f - t) * tl;
        recompute = true;
    } else if (recompute) {
        l = I.metal ? 0.0f : fmaxf(0.0f, 1.0f - t) * I.translucency;
    }
    if (recompute) {
        S.Cd = scaled(S.B, 1.0f - (t + l));
        S.Ct = scaled(S.B, t);
        S.Cl = scaled(S.B, l);
    }
    if (mapOn(p->cutoutMapOn, p->cutoutMap) && monoMap(state, p->cutoutMap, &v))
        S.c = finiteOr(v * p->cutout, 0.0f);
    if (mapOn(p->luminanceMapOn, p->luminanceMap)) {
        if (monoMap(state, p->luminanceMap, &v)) S.E = scaled(S.B, v * p->luminance * I.luminance);
    } else if (diffuseMap) {
        S.E = scaled(S.B, I.luminance);
    }
    float scale = finiteOr(p->luminanceScale, 0.0f);
    if (scale == 0.0f) scale = 1500.0f;
    S.E = scaled(S.E, 1.0f / scale);
    S.raw = p->rawDiffuse != 0;
    S.metal = I.metal != 0;
    const float ior = finiteOr(p->ior, 1.0f);
    S.thin = ior > 0.99f && ior < 1.010101f;
    S.hasTranslucency = !I.metal && (S.Cl.r >= 0.0001f || S.Cl.g >= 0.0001f || S.Cl.b >= 0.0001f);
    const auto *o = state->options;
    const bool ctPositive = fabsf(S.Ct.r) + fabsf(S.Ct.g) + fabsf(S.Ct.b) > 0.00001f;
    if (photon) {
        S.canTrace = true;
        S.reflectOn = !(!S.metal && S.thin);
        S.refractOn = !S.metal && ctPositive;
    } else {
        S.canTrace = o && state->reflection_level + state->refraction_level < o->trace_depth;
        S.reflectOn = o && state->reflection_level < o->reflection_depth && (S.metal || !S.thin);
        S.refractOn = o && state->refraction_level < o->refraction_depth && !S.metal && ctPositive;
    }

    // Weights.
    const float m = S.g.slope;
    S.GV = shadowing(m, S.NV);
    const float R = S.g.roughness;
    const float x = 12.566371f * R * S.NV;
    float e = expf(-(x * x) / 0.2916f);
    if (S.metal) {
        S.metalN = {metalIndex(S.B.r), metalIndex(S.B.g), metalIndex(S.B.b), 1.0f};
        const Color F0 = metalFresnelC(S.metalN, S.NV);
        float g2 = S.GV * S.GV;
        if (!S.canTrace) e = g2 = 0.0f;
        S.Wr = scaled(F0, e * g2);
        S.Wr.a = 0.0f;
        S.Wt = grey(0.0f);
        S.Kd = {0.0f, 0.0f, 0.0f, 1.0f};
        S.hasTranslucency = false;
        const Color Fh = metalFresnelC(S.metalN, sqrtf((S.NV + 1.0f) * 0.5f));
        S.Ka = scaled(Fh, 1.0f - e * g2);
    } else if (!S.thin) {
        const float FV = fresnel(I.ior, S.NV);
        if (S.canTrace)
            S.Wr = grey(e * S.GV * S.GV * FV);
        else
            e = 0.0f;
        const float w = 1.0f - e * S.GV * S.GV;
        const float F2 = fresnel(I.ior, sqrtf((S.NV + 1.0f) * 0.5f));
        const float gloss = w * F2;
        if (S.refractOn) {
            const float a = S.GV * S.GV * e * (1.0f - FV);
            S.Kd = scaled(S.Cd, a + w * (1.0f - F2));
            addRGB(S.Kd, S.Cl);
            S.Wt = scaled(S.Ct, a);
        } else {
            S.Kd = scaled(S.B, 1.0f - F2);
        }
        S.Ka = S.Kd;
        S.Ka.r += gloss;
        S.Ka.g += gloss;
        S.Ka.b += gloss;
    } else {
        if (S.refractOn) {
            S.Kd = S.Cd;
            addRGB(S.Kd, S.Cl);
            S.Wt = S.Ct;
        } else {
            S.Kd = S.B;
        }
        S.Ka = S.Kd;
    }
}

struct BumpInfo {
    bool changed = false;
    Vector3 normalBefore = {0, 0, 0};
    Vector3 vector = {0, 0, 0};
};

// Bends the state's normal by the bump map (mode 2) at `bumpAmount`.
BumpInfo applyBump(RenderState *state, const ArchitecturalParams *p) {
    BumpInfo b;
    b.normalBefore = state->normal;
    if (!mapOn(p->bumpMapOn, p->bumpMap)) return b;
    MapRequest request{kMapBump, 0, 0};
    Color v = {0, 0, 0, 0};
    if (zo_call_shader_x(&v, ZO_SHADER_MAP, state, p->bumpMap, &request) != 1) return b;
    const float amount = finiteOr(p->bumpAmount, 0.0f);
    const Vector3 bent =
        state->normal + Vector3{v.r, v.g, v.b} * (state->inv_normal ? -amount : amount);
    if (!(length(bent) > 0.0f) || !isfinite(length(bent))) return b;
    state->normal = unit(bent);
    state->dot_nd = dot(state->normal, state->dir);
    b.changed = true;
    b.vector = {v.r, v.g, v.b};
    return b;
}

struct LightUser {
    ArchSample *S;
    float ior;
    MaterialScratch *scratch;
    RenderState *state;
};

void lightCallback(RenderState *state, Tag light, LightIllumRecord *rec, void *user) {
    LightUser &u = *static_cast<LightUser *>(user);
    ArchSample &S = *u.S;
    Color amb = {0, 0, 0, 0}, dif = {0, 0, 0, 0}, spec = {0, 0, 0, 0};
    Color col;
    Vector3 ldir;
    float dotNL = 0.0f;
    int samples = 0, n = 0;
    const bool highlight = S.metal || !S.thin;
    const float m = S.g.slope;
    float k = 0.0f;
    if (S.GV != 0.0f) k = S.NV == 0.0f ? 1e36f : S.GV / S.NV;
    while (zo_sample_light(&col, &ldir, &dotNL, state, light, &samples)) {
        if (++n > (1 << 20)) break;
        if (rec && rec->ambientOnly) {
            addRGB(amb, col);
            continue;
        }
        const Color lc = scaled(col, dotNL);
        if (highlight) {
            const float nl = fmaxf(dotNL, 0.0001f);
            const Vector3 H = unit(ldir - S.dir);
            const float nh = fmaxf(dot(S.normal, H), 0.0001f);
            const float base = k * shadowing(m, nl) / nl * distribution(m, nh) / kPiF;
            Color Ws;
            if (S.metal) {
                const Color Fm = metalFresnelC(S.metalN, nh);
                const float lobe = S.g.lobe / kPiF;
                Ws = {base * Fm.r + lobe * S.B.r, base * Fm.g + lobe * S.B.g,
                      base * Fm.b + lobe * S.B.b, 0.0f};
            } else {
                Ws = grey(base * fresnel(u.ior, nh));
            }
            spec.r += Ws.r * lc.r;
            spec.g += Ws.g * lc.g;
            spec.b += Ws.b * lc.b;
        }
        dif.r += S.Kd.r * lc.r;
        dif.g += S.Kd.g * lc.g;
        dif.b += S.Kd.b * lc.b;
    }
    const float inv = samples > 1 ? 1.0f / float(samples) : 1.0f;
    addRGB(S.ambient, scaled(amb, inv));
    addRGB(S.specular, scaled(spec, inv));
    addRGB(S.diffuse, scaled(dif, inv));

    if (S.hasTranslucency && u.scratch) {
        const Vector3 keptNormal = state->normal;
        const float keptDot = state->dot_nd;
        const int32_t keptInside = state->inv_normal;
        state->normal = -state->normal;
        state->dot_nd = -state->dot_nd;
        state->inv_normal = !state->inv_normal;
        MaterialScratch &sc = *u.scratch;
        sc.translucencyPass = 1;
        sc.thickness = 0.0f;
        sc.passPoint = state->point;
        sc.passInstance = state->instance;
        const float ep = 0.93f + 0.069f * (S.Cl.r + S.Cl.g + S.Cl.b) / 3.0f;
        Color back = {0, 0, 0, 0};
        int bs = 0, bn = 0;
        while (zo_sample_light(&col, &ldir, &dotNL, state, light, &bs)) {
            if (++bn > (1 << 20)) break;
            float d = dotNL;
            if (sc.thickness != 0.0f) {
                const float pp = powf(ep, fabsf(sc.thickness));
                d *= (3.0f - 2.0f * pp) * pp * pp;
                sc.thickness = 0.0f;
            }
            addRGB(back, scaled(col, d));
        }
        sc.translucencyPass = 0;
        state->normal = keptNormal;
        state->dot_nd = keptDot;
        state->inv_normal = keptInside;
        addRGB(S.backLight, scaled(back, bs > 1 ? 1.0f / float(bs) : 1.0f));
    }
}

bool twoSidedOf(const ArchitecturalParams *p, const SceneData *scene) {
    return p->twoSided || (scene && scene->twoSided);
}

MaterialScratch *scratchOf(RenderState *state) {
    return static_cast<MaterialScratch *>(
        thread_block(state, kModule, __LINE__, sizeof(MaterialScratch)));
}

zoBoolean surfaceStep(Color *result, RenderState *state, const ArchitecturalParams *p,
                      const ArchInstance &I, MaterialScratch *scratch, const BumpInfo &bump) {
    if (state->type == ZO_RAY_EYE && p->materialId != 0) zo_fb_put(state, 0, &p->materialId);
    ArchSample S;
    buildSample(S, state, p, I, false);
    const SceneData *scene = GetSceneData(state);
    const auto *o = state->options;
    const bool tracing = o && o->trace;
    Color R = {0, 0, 0, 0};
    Color X = {0, 0, 0, 0};
    Color tracedReflection = {0, 0, 0, 0}, tracedRefraction = {0, 0, 0, 0};
    float op = 0.0f;
    if (S.c > 0.0f) {
        if (S.raw) {
            R = S.B;
            op = S.c;
        } else {
            LightUser user{&S, I.ior, scratch, state};
            IllumAccumulate(state, lightCallback, &user);
            Color irr = {0, 0, 0, 0};
            // the indirect light leans with the map's own bump vector, at full amount
            irradiance(&irr, state, bump.changed, bump.normalBefore, bump.vector, 1.0f);
            const Color indirect = {irr.r * S.Kd.r, irr.g * S.Kd.g, irr.b * S.Kd.b, 0.0f};
            if (S.hasTranslucency) {
                const Vector3 keptNormal = state->normal;
                const float keptDot = state->dot_nd;
                const int32_t keptInside = state->inv_normal;
                state->normal = -state->normal;
                state->dot_nd = -state->dot_nd;
                state->inv_normal = !state->inv_normal;
                Color back = {0, 0, 0, 0};
                irradiance(&back, state, false, state->normal, Vector3{0, 0, 0}, 0.0f);
                state->normal = keptNormal;
                state->dot_nd = keptDot;
                state->inv_normal = keptInside;
                addRGB(S.backLight, back);
                S.refraction = {S.backLight.r * S.Cl.r, S.backLight.g * S.Cl.g,
                                S.backLight.b * S.Cl.b, 0.0f};
            }
            if (S.reflectOn && state->type != ZO_RAY_ENVIRONMENT) {
                Vector3 rd;
                zo_reflection_dir(&rd, state);
                Color rc = {0, 0, 0, 0};
                const bool ok = tracing ? zo_trace_reflection(&rc, state, &rd)
                                        : zo_trace_environment(&rc, state, &rd);
                if (ok) {
                    tracedReflection = rc;
                    S.reflection.r += rc.r * S.Wr.r;
                    S.reflection.g += rc.g * S.Wr.g;
                    S.reflection.b += rc.b * S.Wr.b;
                }
            }
            if (S.refractOn && !S.thin) {
                const float cosI = -dot(state->normal, state->dir);
                const float eta = state->ior > 0.0f ? state->ior_in / state->ior : 1.0f;
                const float k = 1.0f - eta * eta * (1.0f - cosI * cosI);
                Color tc = {0, 0, 0, 0};
                bool ok;
                const bool total = k < 0.0001f;
                Vector3 td;
                if (total) {
                    zo_reflection_dir(&td, state);
                    ok = tracing ? zo_trace_reflection(&tc, state, &td)
                                 : zo_trace_environment(&tc, state, &td);
                } else {
                    td = unit(state->dir * eta + state->normal * (eta * cosI - sqrtf(k)));
                    ok = tracing ? zo_trace_refraction(&tc, state, &td)
                                 : zo_trace_environment(&tc, state, &td);
                }
                if (ok) {
                    tracedRefraction = tc;
                    S.refraction.r += tc.r * S.Wt.r;
                    S.refraction.g += tc.g * S.Wt.g;
                    S.refraction.b += tc.b * S.Wt.b;
                    if (!total) {
                        const float f = 1.0f - tc.a;
                        X = {f * S.Wt.r, f * S.Wt.g, f * S.Wt.b, 0.0f};
                    }
                }
            }
            if (scene) addRGB(S.ambient, scene->ambientColor);
            op = S.c * (1.0f - (S.Ct.r + S.Ct.g + S.Ct.b) / 3.0f);
            R.r = S.specular.r + S.E.r + S.Ka.r * S.ambient.r + S.diffuse.r + indirect.r +
                  S.refraction.r + S.reflection.r;
            R.g = S.specular.g + S.E.g + S.Ka.g * S.ambient.g + S.diffuse.g + indirect.g +
                  S.refraction.g + S.reflection.g;
            R.b = S.specular.b + S.E.b + S.Ka.b * S.ambient.b + S.diffuse.b + indirect.b +
                  S.refraction.b + S.reflection.b;
        }
        R = scaled(R, S.c);
    }
    // a cutout below 0 is kept: the see-through colour is 1 - c whatever its sign
    const float c = S.c;
    Color T;
    if (S.raw || !S.refractOn || ((tracing || (scene && scene->materialEditor)) && !S.thin)) {
        T = {1.0f - c, 1.0f - c, 1.0f - c, 1.0f - c};
    } else {
        T = {1.0f - c * (1.0f - S.Wt.r), 1.0f - c * (1.0f - S.Wt.g), 1.0f - c * (1.0f - S.Wt.b),
             1.0f};
    }
    if (T.r > 0.0f || T.g > 0.0f || T.b > 0.0f) {
        --state->trace_depth;
        Color Bp = {0, 0, 0, 0};
        if (zo_trace_transparent(&Bp, state)) {
            R.r += T.r * Bp.r;
            R.g += T.g * Bp.g;
            R.b += T.b * Bp.b;
            const float f = 1.0f - Bp.a;
            T.r *= f;
            T.g *= f;
            T.b *= f;
        }
        ++state->trace_depth;
    }
    R.a = 1.0f - ((T.r + X.r) + (T.g + X.g) + (T.b + X.b)) / 3.0f;
    *result = R;
    if (auto *probe = static_cast<TransparencyProbe *>(kor::transparencyProbeRecord(state))) {
        probe->filled = 1;
        probe->transparency = T;
    }
    if (o && o->render_mode == 'r') {
        const Color opacity = {1.0f - T.r, 1.0f - T.g, 1.0f - T.b, R.a};
        zo_opacity_set(state, &opacity);
    }
    if (RenderElementsAreBeingUsed(state)) {
        RenderElementPostIllumData d;
        memset(&d, 0, sizeof d);
        InitializeRenderElementPostIllumData(state, &d);
        RenderElementIllum &e = d.illum;
        ClearOutputs(&e);
        e.opacity = 1.0f - op;
        e.ambient = S.ambient;
        e.diffuse = S.diffuse;
        e.selfIllum = S.E;
        e.specular = S.specular;
        e.refraction = S.refraction;
        e.reflection = S.reflection;
        d.channels[3].r = S.s;
        d.channels[9] = tracedReflection;
        d.channels[10] = tracedRefraction;
        d.materialId = p->materialId;
        kor_CallRenderElementShaders_PostIllum(state, &d);
    }
    if (S.raw) ApplyInverseToneOperator(state, result);
    return 1;
}

zoBoolean shadowStep(Color *result, RenderState *state, const ArchitecturalParams *p,
                     const ArchInstance &I, MaterialScratch *scratch) {
    const char mode = state->options ? state->options->shadow : 0;
    float facing;
    if (mode == ZO_SHADOW_ON || mode == ZO_SHADOW_SORTED) {
        facing = -dot(state->normal, state->dir);
    } else if (mode == ZO_SHADOW_SEGMENTS) {
        if (!zo_trace_shadow_seg(result, state)) return 0;
        facing = dot(state->normal, state->dir);
    } else {
        return 1;
    }
    if (!(facing > 0.0f || twoSidedOf(p, GetSceneData(state)))) return 1;
    if (NodeData *node = GetNodeData(state->instance))
        if (!IsInstanceShadowMakerForLight(state, node)) return 1;
    iorEnter(state, I.ior, reinterpret_cast<IorTracker *>(scratch));
    if (scratch && scratch->translucencyPass && scratch->passInstance == state->instance) {
        const Vector3 d = state->point - scratch->passPoint;
        scratch->thickness = fmaxf(scratch->thickness, length(d));
    } else {
        float t = I.transparency, c = I.cutoutClamped, v;
        Color base = p->diffuseColor;
        if (mapOn(p->diffuseMapOn, p->diffuseMap))
            colourMap(state, p->diffuseMap, p->diffuseMapAmount, base);
        if (mapOn(p->transparencyMapOn, p->transparencyMap) &&
            monoMap(state, p->transparencyMap, &v))
            t = finiteOr(v * p->transparency, 0.0f);
        if (mapOn(p->cutoutMapOn, p->cutoutMap) && monoMap(state, p->cutoutMap, &v))
            c = finiteOr(v * p->cutout, 0.0f);
        const Color T0 = scaled(base, t);
        result->r *= 1.0f - c * (1.0f - T0.r);
        result->g *= 1.0f - c * (1.0f - T0.g);
        result->b *= 1.0f - c * (1.0f - T0.b);
    }
    iorLeave(state, reinterpret_cast<IorTracker *>(scratch));
    return result->r != 0.0f || result->g != 0.0f || result->b != 0.0f;
}

bool photonRay(int type) {
    return (type >= 8 && type <= 15) || type == 18 || type == 19 || type == 23 || type == 24 ||
           type == 27;
}

void saturate(Color &c, float f) {
    const float mean = (c.r + c.g + c.b) / 3.0f;
    c.r += f * (mean - c.r);
    c.g += f * (mean - c.g);
    c.b += f * (mean - c.b);
}

zoBoolean photonStep(Color *result, RenderState *state, const ArchitecturalParams *p,
                     const ArchInstance &I) {
    ArchSample S;
    buildSample(S, state, p, I, true);
    const Color E = *result;
    if (S.B.r > 0.000001f || S.B.g > 0.000001f || S.B.b > 0.000001f) zo_store_photon(&E, state);
    double u = 0.0;
    int counter = 0;
    zo_sample(&u, &counter, state, 1, nullptr);
    if (u >= double(S.c)) return zo_trace_continue(result, state);

    const Color zero = {0, 0, 0, 0};
    Color Rd = S.Kd, Td = zero, Rs = zero, Ts = zero;
    if (S.raw) {
        Rd = S.B;
    } else {
        if (S.hasTranslucency) {
            const float f = I.translucencyFraction;
            Td = {Rd.r * f, Rd.g * f, Rd.b * f, 0.0f};
            Rd.r -= Td.r;
            Rd.g -= Td.g;
            Rd.b -= Td.b;
        }
        if (S.reflectOn) Rs = S.Wr;
        if (S.refractOn) Ts = S.Wt;
        const float sum[3] = {S.Kd.r + Ts.r + Rs.r, S.Kd.g + Ts.g + Rs.g, S.Kd.b + Ts.b + Rs.b};
        const float kt[3] = {S.Kd.r + Ts.r, S.Kd.g + Ts.g, S.Kd.b + Ts.b};
        int k = 0;
        for (int i = 1; i < 3; ++i)
            if (sum[i] > sum[k]) k = i;
        const float M = sum[k], q = kt[k];
        if (M > 1.0f && q > 0.0f) {
            const float f = (q - (M - 1.0f)) / q;
            Rd = scaled(Rd, f);
            Td = scaled(Td, f);
            Ts = scaled(Ts, f);
        }
    }
    const float rs = finiteOr(p->photonReflectScale, 1.0f);
    const float ts = finiteOr(p->photonTransmitScale, 1.0f);
    if (rs != 1.0f) {
        Rd = scaled(Rd, rs);
        Rs = scaled(Rs, rs);
    }
    if (ts != 1.0f) {
        Td = scaled(Td, ts);
        Ts = scaled(Ts, ts);
    }
    const float sat = finiteOr(p->photonSaturation, 1.0f);
    if (sat != 1.0f) {
        const float f = sat >= 1.0f ? sat : 1.0f - sat;
        saturate(Rd, f);
        saturate(Td, f);
        saturate(Rs, f);
        saturate(Ts, f);
    }
    Rd.a = Td.a = Rs.a = Ts.a = 0.0f;
    scatterPhoton(state, E, Rd, Rs, Td, Ts);
    return 1;
}

}  // namespace

KOR_EXPORT zoBoolean kor_ArchitecturalMaterial(Color *result, RenderState *state,
                                               ArchitecturalParams *params) {
    if (!result) return 0;
    if (!state || !params) {
        *result = {0, 0, 0, 0};
        return 0;
    }
    void **slot = user_slot(state);
    ArchInstance local;
    const ArchInstance *I = slot && *slot ? static_cast<const ArchInstance *>(*slot) : nullptr;
    if (!I) {
        buildInstance(local, params);
        I = &local;
    }
    MaterialScratch *scratch = scratchOf(state);
    const int type = state->type;
    if (type == ZO_RAY_SHADOW) return shadowStep(result, state, params, *I, scratch);

    const bool culled = type != ZO_RAY_REFRACT && !(type >= 13 && type <= 15);
    if (culled && !twoSidedOf(params, GetSceneData(state)) && state->inv_normal) {
        if (photonRay(type)) {
            const Color &d = params->diffuseColor;
            const bool translucent =
                I->hasTranslucency ||
                (mapOn(params->translucencyMapOn, params->translucencyMap) && !I->metal);
            const bool visible =
                (mapOn(params->diffuseMapOn, params->diffuseMap) && params->diffuseMapAmount > 0) ||
                d.r > 0.000001f || d.g > 0.000001f || d.b > 0.000001f;
            if (translucent && visible) zo_store_photon(result, state);
        }
        return kor::surfaceHide(result, state);
    }
    const Tag keptVolume = state->volume;
    if (!state->refraction_volume) state->refraction_volume = state->volume;
    IorTracker *tracker = reinterpret_cast<IorTracker *>(scratch);
    iorEnter(state, I->ior, tracker);
    const Vector3 keptNormal = state->normal;
    const float keptDot = state->dot_nd;
    const BumpInfo bump = applyBump(state, params);
    zoBoolean ok;
    if (photonRay(type))
        ok = photonStep(result, state, params, *I);
    else
        ok = surfaceStep(result, state, params, *I, scratch, bump);
    state->normal = keptNormal;
    state->dot_nd = keptDot;
    iorLeave(state, tracker);
    state->volume = keptVolume;
    return ok;
}

KOR_SHADER_INIT(kor_ArchitecturalMaterial) {
    if (!params) {
        if (request) *request = 1;
        return;
    }
    void **slot = user_slot(state);
    if (!slot) return;
    if (*slot) zo_mem_int_release(kModule, __LINE__, *slot);
    *slot = nullptr;
    auto *block =
        static_cast<ArchInstance *>(zo_mem_int_allocate(kModule, __LINE__, sizeof(ArchInstance)));
    if (!block) return;
    buildInstance(*block, static_cast<const ArchitecturalParams *>(params));
    *slot = block;
}

KOR_SHADER_EXIT(kor_ArchitecturalMaterial) {
    if (!params) return;
    for_each_thread_block(state, [](void *block) { zo_mem_int_release(kModule, __LINE__, block); });
    void **slot = user_slot(state);
    if (!slot || !*slot) return;
    zo_mem_int_release(kModule, __LINE__, *slot);
    *slot = nullptr;
}
