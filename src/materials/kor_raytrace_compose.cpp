// The raytrace material's composition: ambient, diffuse, translucent, extra
// and glow light with the traced reflection and refraction, the energy
// blend, and the transparency the layer hands on.
#include <math.h>

#include "illum_models.h"
#include "kor_raytrace_steps.h"
#include "kor_support.h"
#include "kor_vector.h"

namespace kor {
namespace raytrace {

namespace {

float gainOf(float x, float G) {
    if (x < 0.001f) return 0.0f;
    if (x > 0.999f) return 1.0f;
    const float p = logf(1.0f - G) / logf(0.5f);
    return x < 0.5f ? powf(2.0f * x, p) * 0.5f : 1.0f - powf(2.0f - 2.0f * x, p) * 0.5f;
}

Color mul(const Color &a, const Color &b) {
    return {a.r * b.r, a.g * b.g, a.b * b.b, a.a};
}
Color oneMinus(const Color &a) {
    return {1.0f - a.r, 1.0f - a.g, 1.0f - a.b, a.a};
}

}  // namespace

void compose(RenderElementIllum &e, const RaytraceMaterialParams &v, RaytraceSample &S,
             const RaytraceLightSums &L, bool energyBlend, bool handOff) {
    Color ambient = mul(S.ambientColor, L.ambientLight);
    Color lit = L.diffuseSum;
    addRGB(lit, ambient);
    addRGB(lit, L.indirect);
    addRGB(lit, S.extraLight);
    Color trans = {L.rawSum.r - L.diffuseSum.r, L.rawSum.g - L.diffuseSum.g,
                   L.rawSum.b - L.diffuseSum.b, 0.0f};
    mulRGB(trans, S.translucentColor);
    if (energyBlend) mulRGB(trans, oneMinus(L.diffuseSum));
    const float brightest = maxRGB(lit);
    float g = 0.0f;
    if (brightest > 0.0f && v.glowBias > 0.0f) g = powf(brightest, logf(v.glowBias) / logf(0.5f));

    Color self = kBlack;
    if (!v.selfIllumUseColor) {
        const float s = S.selfIllum.r;
        if (s > 0.0f) {
            if (energyBlend) {
                self = s < 1.0f ? S.selfIllum : Color{1.0f, 1.0f, 1.0f, S.selfIllum.a};
                mulRGB(ambient, oneMinus(self));
                lit = {(1.0f - s) * lit.r + s, (1.0f - s) * lit.g + s, (1.0f - s) * lit.b + s,
                       lit.a};
            } else {
                self = S.selfIllum;
                addRGB(lit, self);
            }
        }
        mulRGB(self, S.diffuseColor);
    }
    mulRGB(ambient, S.diffuseColor);
    Color col = mul(lit, S.diffuseColor);
    addRGB(col, trans);
    col.r += (g - col.r) * S.glowColor.r;
    col.g += (g - col.g) * S.glowColor.g;
    col.b += (g - col.b) * S.glowColor.b;
    if (v.selfIllumUseColor) {
        self = S.selfIllum;
        if (energyBlend) {
            mulRGB(ambient, oneMinus(S.selfIllum));
            mulRGB(col, oneMinus(S.selfIllum));
        }
        addRGB(col, self);
    }
    Color diffuse = {col.r - self.r - ambient.r, col.g - self.g - ambient.g,
                     col.b - self.b - ambient.b, S.diffuseColor.a};

    const Color refraction = mul(S.transparency, S.refractedLight);
    const Color t = oneMinus(S.transparency);
    mulRGB(diffuse, t);
    mulRGB(self, t);
    mulRGB(ambient, t);
    mulRGB(col, t);
    addRGB(col, refraction);

    if (S.diffuseShape < 0.5f) scaleRGB(S.reflectColor, 2.0f * S.diffuseShape);
    Color traced = S.reflectedLight;
    if (v.reflectionGain != 0.5f) {
        if (energyBlend) {
            traced.r = gainOf(traced.r, v.reflectionGain);
            traced.g = gainOf(traced.g, v.reflectionGain);
            traced.b = gainOf(traced.b, v.reflectionGain);
        } else {
            const float gg = clamp01(v.reflectionGain);
            scaleRGB(traced, gg >= 0.5f ? 0.5f / (1.005f - gg) : 2.0f * gg);
        }
    }
    Color reflection = mul(S.reflectColor, traced);
    reflection.a = S.reflectedLight.a;
    if (v.reflectionMode != 1) {
        const Color q = oneMinus(S.reflectColor);
        mulRGB(diffuse, q);
        mulRGB(self, q);
        mulRGB(ambient, q);
        mulRGB(col, q);
    }
    addRGB(col, reflection);
    Color specular = mul(L.specularSum, S.specularColor);
    if (energyBlend) {
        specular.r *= fmaxf(0.0f, 1.0f - col.r);
        specular.g *= fmaxf(0.0f, 1.0f - col.g);
        specular.b *= fmaxf(0.0f, 1.0f - col.b);
    }

    e.ambient = ambient;
    e.diffuse = diffuse;
    e.selfIllum = self;
    e.refraction = refraction;
    e.reflection = reflection;
    e.specular = specular;
    e.diffuseIntensity = (diffuse.r + diffuse.g + diffuse.b) / 3.0f;
    e.litScale = 1.0f;
    e.shadedColor = {col.r + specular.r, col.g + specular.g, col.b + specular.b, 0.0f};
    if (!handOff) {
        e.shadedColor.a = 1.0f;
        return;
    }
    Color T = S.transparency;
    if (energyBlend) {
        const float hs = clamp01(maxRGB(mul(L.specularSum, S.specularColor)));
        const float hr = clamp01(maxRGB(S.reflectColor));
        scaleRGB(T, 1.0f - fmaxf(hs, hr));
    }
    e.transparency = T;
    e.layerTransmission = T;
    e.shadedColor.a = ((1.0f - T.r) + (1.0f - T.g) + (1.0f - T.b)) / 3.0f;
}

}  // namespace raytrace
}  // namespace kor
