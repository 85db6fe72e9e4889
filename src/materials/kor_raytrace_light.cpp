// The raytrace material's light loop: the five shading types' diffuse and
// highlight terms summed over each light's samples.
#include <math.h>

#include "illum_models.h"
#include "kor_raytrace_steps.h"
#include "kor_support.h"
#include "kor_vector.h"
#include "shader.h"

namespace kor {
namespace raytrace {

namespace {

float shapedFactor(float f, float x) {
    if (x == 0.5f) return f;
    if (x > 0.5f) return f / ((1.0f - f) * (1.0f / x - 2.0f) + 1.0f);
    return 2.0f * f * x;
}

// The Metal highlight of one sample (roughness from glossiness, conductor
// Fresnel with the mean diffuse reflectance, tinted by the diffuse colour).
void metalHighlight(const RaytraceLightSums &L, const IllumSample &s, Color &sum) {
    const float nv = -dot(L.normal, L.viewDir);
    if (nv < 0.0f) return;
    float rough = 1.0f - L.glossiness;
    if (rough <= 0.0f)
        rough = 0.00001f;
    else if (rough > 1.0f)
        rough = 0.99999f;
    const float m2 = 1.0f / (rough * rough);
    const Vector3 H = unit(s.dir - L.viewDir);
    const float nh = dot(L.normal, H);
    if (nh == 0.0f) return;
    const float lh = dot(s.dir, H);
    const float G = 2.0f * nh * fminf(s.dotNL, nv) / -dot(L.viewDir, H);
    if (!(G > 0.0f)) return;
    const Color &D = L.diffuseColor;
    float rho = fmaxf(0.0f, intensity(D));
    if (rho >= 1.0f) rho = 0.9999f;
    const float kappa = 2.0f * sqrtf(rho) / sqrtf(1.0f - rho);
    const float k2 = kappa * kappa + 1.0f;
    const float cc = lh;
    const float fr = 0.5f * ((k2 - 2.0f * cc + cc * cc) / (k2 + 2.0f * cc + cc * cc) +
                             (k2 * cc * cc - 2.0f * cc + 1.0f) / (k2 * cc * cc + 2.0f * cc + 1.0f));
    const float f = (fr - rho) / (1.0f - rho);
    const float q = 1.0f / (nh * nh);
    const float dist = expf((1.0f - q) * m2);
    const float term =
        L.specularLevel * q * 0.15915494f * q * m2 * dist * fminf(G, 1.0f) / (nv + 0.05f);
    sum.r += term * (D.r * (1.0f - f) + f) * s.color.r;
    sum.g += term * (D.g * (1.0f - f) + f) * s.color.g;
    sum.b += term * (D.b * (1.0f - f) + f) * s.color.b;
}

// The unit direction from the state's point to the origin of the light
// instance `light` (its origin taken to world space).
bool lightDirection(RenderState *state, Tag light, Vector3 *out) {
    const auto *inst = static_cast<const zoInstanceRecord *>(zo_db_access(light));
    if (!inst) return false;
    Vector3 origin;
    bool ok = zo_light_info(inst->item, &origin, nullptr, nullptr) != 0;
    if (ok) {
        const Vector3 local = origin;
        zo_point_transform(&origin, &local, inst->to_world);
    }
    zo_db_unpin(light);
    if (!ok) return false;
    const Vector3 d = origin - state->point;
    if (length(d) == 0.0f) return false;
    *out = normalize(d);
    return true;
}

}  // namespace

void lightCallback(RenderState *state, Tag light, LightIllumRecord *rec, void *user) {
    LightUser &u = *static_cast<LightUser *>(user);
    RaytraceLightSums &L = *u.L;
    const int type = u.shadingType;
    Color ambient = kBlack, diffuse = kBlack, specular = kBlack, raw = kBlack;
    IllumSample s;
    int samples = 0, taken = 0;
    while (zo_sample_light(&s.color, &s.dir, &s.dotNL, state, light, &samples)) {
        if (++taken > (1 << 20)) break;  // a host that never ends the loop
        if (rec->ambientOnly) {
            addRGB(ambient, s.color);
            continue;
        }
        if (type != kShadeMetal && s.dotNL <= 0.0f) continue;
        if (s.dotNL > 0.0f && !rec->filled) rec->diffuseFactor = s.dotNL;
        float f = rec->diffuseFactor;
        if (type != kShadeOrenNayarBlinn) f = shapedFactor(f, L.diffuseShape);
        const bool lit = s.dotNL > 0.0f;
        if (lit && (rec->affectBits & kAffectDiffuse)) {
            if (type == kShadeOrenNayarBlinn) {
                OrenNayarTerm on = orenNayar(L.viewDir, L.normal, s.dir, L.roughness * kPi * 0.5f,
                                             L.diffuseColor, f);
                on.color.r = fmaxf(0.0f, on.color.r);
                on.color.g = fmaxf(0.0f, on.color.g);
                on.color.b = fmaxf(0.0f, on.color.b);
                diffuse.r += on.color.r * f * s.color.r;
                diffuse.g += on.color.g * f * s.color.g;
                diffuse.b += on.color.b * f * s.color.b;
            } else {
                addScaledRGB(diffuse, s.color, f);
            }
        }
        if (lit && (type == kShadeBlinn || type == kShadeAnisotropic ||
                    (type != kShadeMetal && type != kShadeOrenNayarBlinn)))
            addRGB(raw, s.color);
        if (!(rec->affectBits & kAffectSpecular)) continue;
        switch (type) {
            case kShadeMetal:
                if (L.specularLevel > 0.0f) metalHighlight(L, s, specular);
                break;
            case kShadeBlinn: {
                const Vector3 H = normalize(s.dir - L.viewDir);
                const float nh = dot(L.normal, H);
                if (nh > 0.0f)
                    addScaledRGB(
                        specular, s.color,
                        softenedHighlight(nh, 4.0 * L.exponent, L.specularLevel, L.soften, f));
                break;
            }
            case kShadeOrenNayarBlinn: {
                if (!(L.specularLevel > 0.0f)) break;
                const Vector3 H = normalize(s.dir - L.viewDir);
                const float nh = dot(L.normal, H);
                if (nh > 0.0f)
                    addScaledRGB(specular, s.color,
                                 powf(nh, 4.0f * exp2f(10.0f * L.glossiness)) * L.specularLevel);
                break;
            }
            case kShadeAnisotropic:
                if (L.specularLevel > 0.0f && u.frame)
                    addScaledRGB(
                        specular, s.color,
                        f *
                            anisotropicHighlight(u.frame, L.glossiness, L.anisotropy, L.orientation,
                                                 s.dir, s.dotNL, u.reference) *
                            L.specularLevel);
                break;
            default: {
                if (!(L.specularLevel > 0.0f)) break;
                const Vector3 R =
                    normalize(L.viewDir - L.normal * (2.0f * dot(L.normal, L.viewDir)));
                const float rl = dot(R, s.dir);
                if (rl > 0.0f)
                    addScaledRGB(specular, s.color,
                                 softenedHighlight(rl, L.exponent, L.specularLevel, L.soften, f));
                break;
            }
        }
    }
    if (taken == 0 && type != kShadeMetal && type != kShadeOrenNayarBlinn) {
        // a light that lit nothing still reaches the translucent term: turn
        // the normal towards the light and take its light as it comes
        Vector3 towards;
        if (lightDirection(state, light, &towards)) {
            const Vector3 keptNormal = state->normal;
            const float keptDot = state->dot_nd;
            state->normal = towards;
            state->dot_nd = dot(towards, state->dir);
            Color back = kBlack;
            int backSamples = 0, backTaken = 0;
            while (zo_sample_light(&s.color, &s.dir, &s.dotNL, state, light, &backSamples)) {
                if (++backTaken > (1 << 20)) break;
                addRGB(back, s.color);
            }
            state->normal = keptNormal;
            state->dot_nd = keptDot;
            const int nb = backSamples > 0 ? backSamples : backTaken;
            addScaledRGB(L.rawSum, back, nb > 1 ? 1.0f / static_cast<float>(nb) : 1.0f);
        }
    }
    const float n = samples > 0 ? static_cast<float>(samples) : static_cast<float>(taken);
    const float w = n > 1.0f ? 1.0f / n : 1.0f;
    addScaledRGB(L.ambientLight, ambient, w);
    addScaledRGB(L.diffuseSum, diffuse, w);
    addScaledRGB(L.specularSum, specular, w);
    addScaledRGB(L.rawSum, raw, w);
}

}  // namespace raytrace
}  // namespace kor
