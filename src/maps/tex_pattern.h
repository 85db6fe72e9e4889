// The pattern and blend maps: their parameter records and the steps they
// share (sub-map calls in a chosen output mode, the G-buffer write, the
// Output shader, 2-D patterns read through a UV generator, the bump vector
// of a two-sided blend, the gradient noise).
#ifndef KORSHADERS_MAPS_TEX_PATTERN_H
#define KORSHADERS_MAPS_TEX_PATTERN_H

#include <korshaders/host.h>
#include <stddef.h>
#include <stdint.h>

#include "maps/kor_stduv.h"
#include "shader.h"

// ---------------------------------------------------------------------------
// Parameter records (every field evaluated).

struct CheckerParams {
    float soften;
    Color color1, color2;
    Tag map1, map2;
    zoBoolean map1On, map2On;
    Tag coords, output;
    int32_t gbufferId;
};

struct GradientParams {
    Color color1, color2, color3;
    Tag map1, map2, map3;
    zoBoolean map1On, map2On, map3On;
    float color2Position;
    int32_t gradientType;  // 0 linear, otherwise radial
    float noiseAmount;
    int32_t noiseType;  // 0 regular, 1 fractal, 2 turbulence
    float noiseSize, noisePhase, noiseLevels;
    float thresholdLow, thresholdHigh, thresholdSmooth;
    Tag coords, output;
    int32_t gbufferId;
};

// One key of a gradient ramp as the scene gives it.
struct RampKeyParams {
    float position;
    int32_t number;
    Color color;
    int32_t interpolation;  // 1 ease in, 2 spline, 3 ease out, 5 solid, else linear
    Tag map;
    zoBoolean mapOn;
};

enum RampType : int32_t {
    kRampLinear = 0,      // x = u
    kRampVertical = 1,    // x = v
    kRampRadial = 2,      // distance from the centre, 1 at the edge midpoints
    kRampDiagonal = 3,    // (u + v) / 2
    kRampBox = 4,         // largest distance from the centre along an axis
    kRampSpiral = 5,      // angle around the centre
    kRampPong = 6,        // u up to the middle and back
    kRampImage = 7,       // intensity of the source image at (u, v)
    kRampImageScreen = 8  // intensity of the source image at the screen position
};

struct GradientRampParams {
    kor::ParamArray<RampKeyParams> keys;
    int32_t gradientType;  // RampType
    Tag sourceImage;       // for the two image kinds
    float noiseAmount;
    int32_t noiseType;
    float noiseSize, noisePhase, noiseLevels;
    float thresholdLow, thresholdHigh, thresholdSmooth;
    Tag coords, output;
    int32_t gbufferId;
};

struct BricksParams {
    Color mortarColor, brickColor;
    Tag mortarMap, brickMap;
    zoBoolean mortarMapOn, brickMapOn;
    float horizontalCount, verticalCount;
    float horizontalGap, verticalGap;  // percent
    float colorVariance, fadeVariance;
    float lineShift, randomShift;
    float roughness;
    float holes;  // percent of bricks left out
    int32_t seed;
    int32_t rowInterval;  // every n-th row changes its brick width (0: none)
    float rowChange;
    int32_t columnInterval;  // every n-th column changes its brick height (0: none)
    float columnChange;
    Tag coords, output;
    int32_t gbufferId;
};

struct MixParams {
    float mixAmount;
    float curveLower, curveUpper;
    zoBoolean useCurve;
    Color color1, color2;
    Tag map1, map2, mixMap;
    zoBoolean map1On, map2On, mixMapOn;
    Tag output;
    int32_t gbufferId;
};

struct MaskParams {
    Tag map, mask;
    zoBoolean mapOn, maskOn;
    zoBoolean maskInverted;
    Tag output;
    int32_t gbufferId;
};

struct CompositeParams {
    kor::ParamArray<Tag> layerMaps;
    kor::ParamArray<zoBoolean> layerOn;
    kor::ParamArray<Tag> maskMaps;
    kor::ParamArray<zoBoolean> maskOn;
    kor::ParamArray<float> opacity;  // percent
    kor::ParamArray<int32_t> blendMode;
    int32_t gbufferId;
};

struct RGBMultiplierParams {
    Color color1, color2;
    Tag map1, map2;
    zoBoolean map1On, map2On;
    Tag output;
    int32_t gbufferId;
};

struct TintParams {
    Color red, green, blue;
    Tag map;
    zoBoolean mapOn;
    int32_t gbufferId;
};

struct ColorCorrectionParams {
    Color color;
    Tag map;
    int32_t rewireRed, rewireGreen, rewireBlue, rewireAlpha;  // selectors 0 .. 10
    float hueShift;                                           // degrees
    float saturation;                                         // percent added
    int32_t lightnessMode;                                    // 0 standard, 1 advanced
    float brightness, contrast;                               // percent
    float gainRGB, gainR, gainG, gainB;                       // percent
    float gammaRGB, gammaR, gammaG, gammaB;
    float pivotRGB, pivotR, pivotG, pivotB;
    float liftRGB, liftR, liftG, liftB;
    Tag output;
    int32_t gbufferId;
};

struct OutputMapParams {
    Tag map;
    zoBoolean mapOn;
    Tag output;
    int32_t gbufferId;
};

struct OutputAdjustParams {
    float outputAmount;
    float rgbOffset;
    float rgbLevel;
    float bumpAmount;
    zoBoolean invert;
    zoBoolean clampResult;
    zoBoolean useCurve;
    zoBoolean curvePerChannel;  // curve k of the curve shader for channel k, else curve 0
    Tag curve;                  // kor_base_Curve
};

struct FalloffParams {
    float value1, value2;
    int32_t falloffType;  // 0 towards/away, 1 perpendicular/parallel, 2-4 world X, Y, Z
    zoBoolean unsigned_;  // the term is used as it is; clear: (t + 1) / 2
    Tag output;
    int32_t gbufferId;
};

struct Falloff2Params {
    Color color1, color2;
    Tag map1, map2;
    zoBoolean map1On, map2On;
    int32_t
        falloffType;    // 0 towards/away, 1 perpendicular/parallel, 2 Fresnel, 3 light, 4 distance
    int32_t direction;  // 0 view, 1-2 camera X/Y, 3 to object, 4-6 object X/Y/Z, 7-9 world X/Y/Z
    Tag node;           // the instance of directions 3 to 6
    zoBoolean iorOverride;
    float ior;
    float nearDistance, farDistance;
    zoBoolean extrapolate;
    Tag output;
    int32_t gbufferId;
};

struct VertexColorParams {
    int32_t mapChannel;
    int32_t subChannel;  // 0 all, 1 red, 2 green, 3 blue
    int32_t gbufferId;
};

struct ParticleAgeParams {
    Color color1, color2, color3;
    Tag map1, map2, map3;
    zoBoolean map1On, map2On, map3On;
    float age1, age2, age3;  // percent of the lifetime
    Tag output;
    int32_t gbufferId;
};

struct ParticleBlurParams {
    Color color1, color2;  // head, tail
    float sharpness;
    int32_t gbufferId;
};

// The particle record of a particle object.
struct ParticleRecord {
    int32_t count;
    kor::ParamArray<int32_t> ages;
    kor::ParamArray<int32_t> lifetimes;
    kor::ParamArray<float> sizes;
    kor::ParamArray<Vector3> positions;
    kor::ParamArray<Vector3> velocities;
    kor::ParamArray<int32_t> shapes;
};

// ---------------------------------------------------------------------------
// Exports.

KOR_EXPORT zoBoolean kor_Checker(Color *result, RenderState *state, CheckerParams *params,
                                 int *mode);
KOR_EXPORT zoBoolean kor_Gradient(Color *result, RenderState *state, GradientParams *params,
                                  int *mode);
KOR_SHADER_INIT(kor_Gradient);
KOR_EXPORT zoBoolean kor_GradientRamp(Color *result, RenderState *state, GradientRampParams *params,
                                      int *mode);
KOR_SHADER_INIT(kor_GradientRamp);
KOR_SHADER_EXIT(kor_GradientRamp);
KOR_EXPORT zoBoolean kor_Bricks(Color *result, RenderState *state, BricksParams *params, int *mode);
KOR_SHADER_INIT(kor_Bricks);
KOR_EXPORT zoBoolean kor_Mix(Color *result, RenderState *state, MixParams *params, int *mode);
KOR_EXPORT zoBoolean kor_Mask(Color *result, RenderState *state, MaskParams *params, int *mode);
KOR_EXPORT zoBoolean kor_Composite(Color *result, RenderState *state, CompositeParams *params,
                                   int *mode);
KOR_EXPORT zoBoolean kor_RGBMultiplier(Color *result, RenderState *state,
                                       RGBMultiplierParams *params, int *mode);
KOR_EXPORT zoBoolean kor_Tint(Color *result, RenderState *state, TintParams *params, int *mode);
KOR_EXPORT zoBoolean kor_ColorCorrection(Color *result, RenderState *state,
                                         ColorCorrectionParams *params, int *mode);
KOR_EXPORT zoBoolean kor_Output(Color *result, RenderState *state, OutputMapParams *params,
                                int *mode);
KOR_EXPORT zoBoolean kor_base_Output(Color *result, RenderState *state, OutputAdjustParams *params,
                                     int *mode);
KOR_EXPORT zoBoolean kor_Falloff(Color *result, RenderState *state, FalloffParams *params,
                                 int *mode);
KOR_EXPORT zoBoolean kor_Falloff2(Color *result, RenderState *state, Falloff2Params *params,
                                  int *mode);
KOR_EXPORT zoBoolean kor_VertexColor(Color *result, RenderState *state, VertexColorParams *params,
                                     int *mode);
KOR_SHADER_INIT(kor_VertexColor);
KOR_SHADER_EXIT(kor_VertexColor);
KOR_EXPORT zoBoolean kor_ParticleAge(Color *result, RenderState *state, ParticleAgeParams *params,
                                     int *mode);
KOR_SHADER_INIT(kor_ParticleAge);
KOR_SHADER_EXIT(kor_ParticleAge);
KOR_EXPORT zoBoolean kor_ParticleBlur(Color *result, RenderState *state, ParticleBlurParams *params,
                                      int *mode);

namespace kor {

// ---------------------------------------------------------------------------
// Shared steps.

constexpr Color kClearColor = {0.0f, 0.0f, 0.0f, 0.0f};
constexpr Color kWhiteColor = {1.0f, 1.0f, 1.0f, 1.0f};

// The output mode the caller's mode record asks for (null: colour).
inline int outputMode(const int *mode) {
    return mode ? *mode : 0;
}
inline bool isBumpMode(const int *mode) {
    const int m = outputMode(mode);
    return m != 0 && m != 1;
}

// A sub-map counts when its tag is set and its on-flag is on.
inline bool active(Tag map, zoBoolean on) {
    return map != 0 && on != 0;
}

// On eye samples a non-zero identifier goes into frame buffer 0.
void writeGBufferId(RenderState *state, int32_t id);

// Runs `map` as a map shader with `arg`; a failed call gives `failed`.
Color callMap(RenderState *state, Tag map, void *arg, Color failed = kClearColor);
// Runs `map` with the caller's mode record set to `kind` for the call and
// restored after (a record of its own when the caller has none).
Color callMapInMode(RenderState *state, Tag map, int *mode, int kind, Color failed = kClearColor);
// The bump vector of `map` (mode 2 for the call); zero when it fails.
Vector3 callMapBump(RenderState *state, Tag map, int *mode);

// Hands `result` to the Output shader `output` (when set) with the mode.
inline void applyOutput(Color *result, RenderState *state, Tag output, int *mode) {
    if (output) zo_call_shader_x(result, ZO_SHADER_MAP, state, output, mode);
}
// Writes a bump vector into the first three channels; `alpha` as given.
void writeVector(Color *result, const Vector3 &v, float alpha);
// The bump vector through the Output shader, written with `alpha`.
void finishVector(Color *result, RenderState *state, Tag output, int *mode, Vector3 v, float alpha);

Color lerp(const Color &a, const Color &b, float t);  // all four channels

// One side of a two-sided pattern: the colour parameter, or the sub-map's
// result taken once, on first need, for the rest of the sample.
struct PatternSide {
    Color colour;
    Tag map;
    bool mapActive;
    bool known;
};
inline void sideInit(PatternSide *side, const Color &colour, Tag map, zoBoolean on) {
    side->colour = colour;
    side->map = map;
    side->mapActive = active(map, on);
    side->known = !side->mapActive;
}
// Takes the side's sub-map result (called with `mode`, forwarded).
void sideTake(RenderState *state, PatternSide *side, int *mode);
// The side's colour; a sub-map is called with `mode` (forwarded), on first
// need.
inline const Color &sideColour(RenderState *state, PatternSide *side, int *mode) {
    if (!side->known) sideTake(state, side, mode);
    return side->colour;
}

// Calls the UV generator `coords` with the read callbacks of a 2-D
// pattern (`filtered` 1). With `query` the coordinate query sits in the
// state's user-data slot for the call. A failed call gives transparent
// black.
Color runUVPattern(RenderState *state, Tag coords, UVPointLookup point, UVFilteredLookup filtered,
                   void *mapParams, void *mapData, const int *mode, void *lookupData,
                   CoordQuery *query);
// gu Bu + gv Bv from the generator's gradient and the query's basis.
Vector3 basisGradient(const Color &gradient, const CoordQuery &query, float scale);

// Reports a missing UV generator once per warn-once word; without one,
// once per instance through a mark in the instance's user-pointer slot
// (for maps that keep no instance record).
void reportMissingUV(RenderState *state, int32_t *warned);

// Evaluates `fields` of the record `in` into `p`, in the order given.
template <typename P, typename... T>
inline void evalFields(RenderState *state, const P *in, P *p, T P::*...fields) {
    ((p->*fields = eval(state, &(in->*fields))), ...);
}

// Evaluates the fields both gradient maps end their records with: the
// gradient noise, the generator, the Output shader and the G-buffer
// identifier.
template <typename P>
inline void evalGradientNoise(RenderState *state, const P *in, P *p) {
    evalFields(state, in, p, &P::noiseAmount, &P::noiseType, &P::noiseSize, &P::noisePhase,
               &P::noiseLevels, &P::thresholdLow, &P::thresholdHigh, &P::thresholdSmooth,
               &P::coords, &P::output, &P::gbufferId);
}

// The bump pass of a 2-D pattern: the generator answers the intensity
// gradient along u and v with a coordinate query of `flags` (the basis
// among them) in the user-data slot; the answers stay in *query. Returns
// gu Bu + gv Bv, the gradient scaled by `scale`.
Vector3 runUVGradient(RenderState *state, Tag coords, UVPointLookup point,
                      UVFilteredLookup filtered, void *mapParams, void *mapData, const int *mode,
                      void *lookupData, int flags, float scale, CoordQuery *query);

// The read callbacks of a 2-D pattern whose sample record S is the
// request's lookup data: Read(out, s, u, v, du, dv), with du = dv = 0 for
// point reads.
template <typename S, Color *(*Read)(Color *, S *, float, float, float, float)>
Color *patternPoint(Color *out, RenderState *, UVLookupRequest *request, float u, float v) {
    return Read(out, static_cast<S *>(request->lookupData), u, v, 0.0f, 0.0f);
}
template <typename S, Color *(*Read)(Color *, S *, float, float, float, float)>
Color *patternFiltered(Color *out, RenderState *, UVLookupRequest *request, float u, float v,
                       float du, float dv) {
    return Read(out, static_cast<S *>(request->lookupData), u, v, du, dv);
}

// The answer of a map with nothing to show: a zero bump vector (alpha 1)
// for bump requests, transparent black otherwise.
void writeEmpty(Color *result, bool bump);

// Takes an active side's sub-map once, by its grey value (the caller's
// mode record set to grey for the call). True when the side has an active
// sub-map.
bool sideTakeGrey(RenderState *state, PatternSide *side, int *mode);

// The entry of a 2-D pattern map of the sides above. Its sample record S
// holds the evaluated parameter record `p` (with coords, output and
// gbufferId), `state` and `sideMode`, the mode record the sides' sub-maps
// are called with.
//
// The start: false when the entry is done and returns *answer, for a call
// without a result (0), without a state or record (transparent black, 0)
// or without a UV generator (reported once, the empty answer, 1). Else
// the record is evaluated into s->p, its G-buffer identifier written and
// s->state set.
template <typename S, typename P>
inline bool patternBegin(Color *result, RenderState *state, const P *params, const int *mode,
                         void (*evaluate)(RenderState *, const P *, P *), S *s, zoBoolean *answer) {
    *answer = 0;
    if (!result) return false;
    if (!state || !params) {
        *result = kClearColor;
        return false;
    }
    evaluate(state, params, &s->p);
    writeGBufferId(state, s->p.gbufferId);
    if (!s->p.coords) {
        reportMissingUV(state, nullptr);
        writeEmpty(result, isBumpMode(mode));
        *answer = 1;
        return false;
    }
    s->state = state;
    return true;
}

// The colour answer: the generator reads the pattern (sub-maps called with
// the caller's mode), then the Output shader runs on it.
template <typename S>
inline zoBoolean patternColour(Color *result, RenderState *state, int *mode, S *s,
                               UVPointLookup point, UVFilteredLookup filtered) {
    s->sideMode = mode;
    *result = runUVPattern(state, s->p.coords, point, filtered, &s->p, nullptr, mode, s, nullptr);
    applyOutput(result, state, s->p.output, mode);
    return 1;
}

// Gradient noise of the gradient maps at (u, v): the octave sum of the
// given type over `levels` (whole levels plus the fractional last one),
// then the smoothed threshold when low < high. `scale` is 20 / size.
float gradientNoise(float u, float v, float phase, float scale, int type, float levels, float low,
                    float high, float softness);

}  // namespace kor

#endif
